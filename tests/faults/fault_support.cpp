#include "faults/fault_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>

#include "mkrecording/recording_builder.h"
#include "mkrecording/recording_maker.h"
#include "support/test_support.h"

namespace trunvex::test {
namespace {

class FaultySourceReader final : public SourceReader {
public:
    FaultySourceReader(FaultySourceOpener& opener, std::unique_ptr<SourceReader> innerReader)
        : owner(opener), inner(std::move(innerReader)) {}

    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        if (owner.delayMicros > 0) {
            ::usleep(owner.delayMicros);
        }
        if (++owner.readsSeen == owner.failAtRead) {
            failed = true;
            return -1;
        }
        return inner->read(into);
    }
    std::uint64_t size() const noexcept override { return inner->size(); }
    bool isSameFileAs(const std::string& path) const noexcept override {
        return inner->isSameFileAs(path);
    }
    std::string errorText() const override {
        return failed ? std::string(std::strerror(owner.errorNumber)) : inner->errorText();
    }

private:
    FaultySourceOpener& owner;
    std::unique_ptr<SourceReader> inner;
    bool failed = false;
};

}  // namespace

std::unique_ptr<SourceReader> FaultySourceOpener::open(const std::string& path) noexcept {
    std::unique_ptr<SourceReader> reader = inner.open(path);
    if (!reader) {
        return nullptr;
    }
    return std::make_unique<FaultySourceReader>(*this, std::move(reader));
}

FileSnapshot snapshotOf(const std::filesystem::path& path) {
    FileSnapshot snapshot;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return snapshot;
    }
    snapshot.exists = true;
    snapshot.mtimeNanos = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
    if (S_ISREG(info.st_mode)) {
        snapshot.bytes = readFile(path);
    }
    return snapshot;
}

std::vector<std::string> namesIn(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::uint32_t, int> packetsPerStream(const AviCheck& check) {
    std::map<std::uint32_t, int> packets;
    for (std::uint32_t s = 0; s < check.streams.size(); ++s) {
        packets[s] = 0;
    }
    for (const AviIndexedChunk& chunk : check.dataChunks) {
        if (chunk.size > 0) {
            ++packets[chunk.stream];
        }
    }
    return packets;
}

ProbeResult probePackets(const std::filesystem::path& avi, bool skipDecoderMessages) {
    const CommandResult r = runCommand(
        "ffprobe -v error -count_packets -show_entries stream=index,nb_read_packets -of flat " +
        shellQuote(avi.string()));
    ProbeResult result;
    result.exitCode = r.exitCode;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
        if (!skipDecoderMessages || !line.starts_with("[mpeg4 @")) {
            result.errors += line + "\n";
        }
    }
    const auto keys = parseFlat(r.out);
    for (std::uint32_t s = 0;; ++s) {
        const auto found = keys.find("streams.stream." + std::to_string(s) + ".nb_read_packets");
        if (found == keys.end()) {
            break;
        }
        result.packets[s] = std::stoi(found->second);
    }
    return result;
}

const Bytes& encodedRecording(double seconds) {
    static std::map<double, Bytes> made;
    auto [slot, fresh] = made.try_emplace(seconds);
    if (fresh && !findProgram("ffmpeg").empty()) {
        recording::RecordingOptions options;
        options.video = recording::VIDEO_H264;
        options.width = 352;
        options.height = 288;
        options.seconds = seconds;
        options.audio = recording::AUDIO_ADPCM;
        options.junk = true;
        options.skipRecords = true;
        recording::Recording rec;
        std::string error;
        if (recording::makeRecording(options, rec, error)) {
            slot->second = std::move(rec.bytes);
        }
    }
    return slot->second;
}

Bytes syntheticRecording(int frames, std::uint32_t frameBytes) {
    std::mt19937 noise(7);
    Bytes payload(frameBytes);
    Bytes pcm(1600);
    recording::RecordingBuilder builder;
    builder.reserve(static_cast<std::size_t>(frames) * (frameBytes + pcm.size() + 64));
    for (int f = 0; f < frames; ++f) {
        // Noise without zero bytes holds no start code.
        std::generate(payload.begin(), payload.end(),
                      [&] { return static_cast<std::uint8_t>(1 + noise() % 255); });
        builder.keyFrame(recording::KIND_MPEG4_KEY, {0, 25, 320, 240}, payload);
        builder.audio(12, recording::RATE_CODE_8000, pcm);
    }
    return builder.tailFiller().take();
}

}  // namespace trunvex::test
