#include "faults/fault_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
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
        if (++owner.readsSeen == owner.failAtRead || at == owner.failAtByte) {
            failed = true;
            return -1;
        }
        const std::uint64_t left = owner.failAtByte - at;
        const std::int64_t n = inner->read(left < into.size() ? into.first(left) : into);
        if (n > 0) {
            at += static_cast<std::uint64_t>(n);
        }
        return n;
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
    std::uint64_t at = 0;
    bool failed = false;
};

}  // namespace

std::unique_ptr<SourceReader> FaultySourceOpener::open(const std::string& path,
                                                       std::string& failure) noexcept {
    std::unique_ptr<SourceReader> reader = inner.open(path, failure);
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

ProbeResult probeAvi(const std::filesystem::path& avi, bool skipDecoderMessages) {
    const CommandResult r = runCommand(
        "ffprobe -v error -show_entries stream=index,codec_type:packet=stream_index,size -of csv " +
        shellQuote(avi.string()));
    ProbeResult result;
    result.exitCode = r.exitCode;
    std::istringstream errors(r.err);
    for (std::string line; std::getline(errors, line);) {
        if (!skipDecoderMessages || !line.starts_with("[mpeg4 @")) {
            result.errors += line + "\n";
        }
    }
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        unsigned stream = 0;
        unsigned long long size = 0;
        std::array<char, 16> type{};
        if (std::sscanf(line.c_str(), "packet,%u,%llu", &stream, &size) == 2) {
            ++result.totals[stream].packets;
            result.totals[stream].bytes += size;
        } else if (std::sscanf(line.c_str(), "stream,%u,%15s", &stream, type.data()) == 2) {
            result.totals[stream].audio = std::strcmp(type.data(), "audio") == 0;
        }
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
