#include "avi/avi_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "avi/avi_file.h"
#include "avi/avi_writer.h"
#include "avi/comparing_sink.h"
#include "avi_test_support.h"
#include "common/bytes.h"
#include "support/test_sinks.h"

namespace trunvex {
namespace {

using avitest::frameBytes;
using File = std::vector<std::uint8_t>;

class MemoryBytes final : public StoredBytes {
public:
    explicit MemoryBytes(const File& fileBytes) : bytes(fileBytes) {}
    std::uint64_t size() const noexcept override { return bytes.size(); }
    bool readAt(std::uint64_t offset, std::span<std::uint8_t> into) noexcept override {
        if (offset > bytes.size() || into.size() > bytes.size() - offset) {
            return false;
        }
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
        return true;
    }
    std::string errorText() const override { return {}; }

private:
    const File& bytes;
};

// Two H.264 streams and audio; OpenDML with several RIFFs when `riffBytes` is small.
bool writeSample(SinkFactory& sinks, std::uint64_t riffBytes) {
    AviWriter writer;
    writer.setSinkFactory(sinks);
    writer.setFileLimits({.riffBytes = riffBytes, .chunkIndexEntries = 5});
    writer.setOutputPath("sample.avi");
    writer.resetOutput();
    bool ok = writer.selectVideoStream(VIDEO_KIND_H264, 32, 16, 25) &&
              writer.openAudioStream(AUDIO_ENC_PCM16, 2, 25);
    for (std::uint32_t i = 0; ok && i < 40; ++i) {
        ok = writer.writeVideoFrame(frameBytes(900 + i, i), i % 10 == 0) &&
             writer.writeAudioFrame(frameBytes(640, 1000 + i));
    }
    ok = ok && writer.selectVideoStream(VIDEO_KIND_MPEG4, 16, 16, 30) &&
         writer.writeVideoFrame(frameBytes(300, 99), true);
    return ok && writer.closeOutput();
}

File sample(std::uint64_t riffBytes) {
    MemorySinkFactory memory;
    EXPECT_TRUE(writeSample(memory, riffBytes));
    const File* file = memory.find("sample.avi");
    return file != nullptr ? *file : File();
}

constexpr std::uint64_t ONE_RIFF = std::uint64_t{1} << 30;
constexpr std::uint64_t SMALL_RIFFS = 20 * 1024;

TEST(AviReader, DescribesWhatTheWriterWrote) {
    for (const std::uint64_t riffBytes : {ONE_RIFF, SMALL_RIFFS}) {
        SCOPED_TRACE(riffBytes);
        const File file = sample(riffBytes);
        MemoryBytes stored(file);
        const AviStructure avi = readAviStructure(stored);
        ASSERT_TRUE(avi.whole()) << avi.fault;
        const AviDescription& d = avi.description;
        ASSERT_EQ(d.video.size(), 2U);
        EXPECT_EQ(d.video[0].codec, "h264");
        EXPECT_EQ(d.video[0].width, 32U);
        EXPECT_EQ(d.video[0].height, 16U);
        EXPECT_EQ(d.video[0].frameRate, 25U);
        EXPECT_EQ(d.video[0].samples, 40U);
        if (riffBytes == ONE_RIFF) {
            EXPECT_EQ(d.video[0].frames, 40U);
            EXPECT_EQ(d.video[0].emptySamples, 0U);
        }
        EXPECT_EQ(d.video[1].codec, "mpeg4");
        EXPECT_EQ(d.video[1].frameRate, 30U);
        EXPECT_EQ(d.video[1].samples, 41U);  // empty samples up to its first frame
        if (riffBytes == ONE_RIFF) {
            EXPECT_EQ(d.video[1].frames, 1U);
            EXPECT_EQ(d.video[1].emptySamples, 40U);
        }
        ASSERT_TRUE(d.audio.has_value());
        EXPECT_EQ(d.audio->bitsPerSample, 16U);
        EXPECT_GT(d.audio->samples, 0U);
        EXPECT_DOUBLE_EQ(d.videoSeconds, 40 / 25.0);
        EXPECT_NEAR(d.audioSeconds, double(d.audio->samples) / d.audio->sampleRate, 1e-9);
    }
}

std::uint32_t u32(const File& f, std::size_t at) {
    return loadLe32(std::span(f).subspan(at).first<4>());
}

void put32(File& f, std::size_t at, std::uint32_t v) {
    storeLe32(std::span(f).subspan(at).first<4>(), v);
}

std::size_t find(const File& f, const char (&code)[5], std::size_t from = 0) {
    for (std::size_t at = from; at + 4 <= f.size(); ++at) {
        if (u32(f, at) == fourCc(code)) {
            return at;
        }
    }
    ADD_FAILURE() << code << " not found";
    return 0;
}

// Files cut short, never finished or damaged in their structure are never taken as whole.
TEST(AviReader, RefusesEveryCutOrBrokenFile) {
    struct Case {
        const char* name;
        std::uint64_t riffBytes;
        std::function<void(File&)> spoil;
        const char* fault;
    };
    const std::vector<Case> cases = {
        {"empty", ONE_RIFF, [](File& f) { f.clear(); }, "not a whole AVI"},
        {"only the RIFF head", ONE_RIFF, [](File& f) { f.resize(12); }, "do not add up"},
        {"cut in movi", ONE_RIFF, [](File& f) { f.resize(f.size() / 2); }, "do not add up"},
        {"last byte missing", ONE_RIFF, [](File& f) { f.pop_back(); }, "do not add up"},
        {"a byte too many", ONE_RIFF, [](File& f) { f.push_back(0); }, "do not add up"},
        {"headers never written", ONE_RIFF,
         [](File& f) {
             std::fill_n(f.begin() + 12, HEADER_RESERVE_BYTES - 12, 0);
             put32(f, 12, fourCc("JUNK"));
             put32(f, 16, HEADER_RESERVE_BYTES - 20);
         },
         "header list"},
        {"no idx1", ONE_RIFF, [](File& f) { put32(f, find(f, "idx1"), fourCc("JUNK")); },
         "no index"},
        {"idx1 past movi", ONE_RIFF, [](File& f) { put32(f, f.size() - 8, 1U << 24); }, "outside"},
        {"stream count wrong", ONE_RIFF, [](File& f) { put32(f, find(f, "avih") + 8 + 24, 2); },
         "header list"},
        {"strl cut", ONE_RIFF, [](File& f) { put32(f, find(f, "strh") + 4, 8); }, "header list"},
        {"AVIX cut", SMALL_RIFFS, [](File& f) { f.resize(f.size() - 100); }, "do not add up"},
        {"AVIX size wrong", SMALL_RIFFS,
         [](File& f) {
             const std::size_t avix = find(f, "AVIX") - 8;
             put32(f, avix + 4, u32(f, avix + 4) + 2);
         },
         "do not add up"},
        {"AVIX not a RIFF", SMALL_RIFFS, [](File& f) { put32(f, find(f, "AVIX"), 0); },
         "do not add up"},
        {"super index past the end", SMALL_RIFFS,
         [](File& f) { put32(f, find(f, "indx") + 8 + 24 + 4, 1); }, "outside"},
        {"super index missing", SMALL_RIFFS,
         [](File& f) { put32(f, find(f, "indx"), fourCc("JUNK")); }, "no index"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        File file = sample(c.riffBytes);
        c.spoil(file);
        MemoryBytes stored(file);
        const AviStructure avi = readAviStructure(stored);
        EXPECT_FALSE(avi.whole());
        EXPECT_NE(avi.fault.find(c.fault), std::string::npos) << avi.fault;
    }
}

// What the comparison finds when the same conversion runs against a stored file.
Comparison compareWith(const File& stored, std::uint64_t riffBytes) {
    MemoryBytes bytes(stored);
    ComparingSinkFactory comparing(bytes, HEADER_RESERVE_BYTES);
    EXPECT_TRUE(writeSample(comparing, riffBytes));
    return comparing.comparison();
}

TEST(ComparingSink, FindsTheFirstDifferentByte) {
    for (const std::uint64_t riffBytes : {ONE_RIFF, SMALL_RIFFS}) {
        SCOPED_TRACE(riffBytes);
        const File original = sample(riffBytes);
        const Comparison same = compareWith(original, riffBytes);
        EXPECT_TRUE(same.done);
        EXPECT_FALSE(same.firstDifference.has_value()) << *same.firstDifference;
        const std::size_t moviSize = HEADER_RESERVE_BYTES + 4;  // rewritten at the end
        std::vector<std::size_t> offsets = {
            0, 40, moviSize, moviSize + 20, original.size() / 2, original.size() - 1};
        if (riffBytes == SMALL_RIFFS) {
            offsets.push_back(find(original, "AVIX") - 4);
        }
        for (const std::size_t at : offsets) {
            SCOPED_TRACE(at);
            File changed = original;
            changed[at] ^= 0x01;
            changed[std::min(at + 5000, changed.size() - 1)] ^= 0x80;  // later ones do not count
            EXPECT_EQ(compareWith(changed, riffBytes).firstDifference, at);
        }
        File shorter(original.begin(), original.end() - 3);
        EXPECT_EQ(compareWith(shorter, riffBytes).firstDifference, shorter.size());
        File longer = original;
        longer.push_back(0);
        EXPECT_EQ(compareWith(longer, riffBytes).firstDifference, original.size());
        EXPECT_EQ(compareWith(File(), riffBytes).firstDifference, 0U);
    }
}

}  // namespace
}  // namespace trunvex
