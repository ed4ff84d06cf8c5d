#include "avi/avi_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "avi/avi_writer.h"
#include "avi_test_support.h"
#include "common/bytes.h"
#include "platform/file_sink.h"

namespace trunvex {
namespace {

using avitest::frameBytes;
using avitest::u32At;

// Little-endian bytes built field by field, so a golden vector reads like the layout.
struct Bytes {
    std::vector<std::uint8_t> v;
    Bytes& code(const char (&s)[5]) { return u32(fourCc(s)); }
    Bytes& u32(std::uint32_t x) {
        for (int i = 0; i < 4; ++i) {
            v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
        }
        return *this;
    }
    Bytes& u16(std::uint16_t x) {
        v.push_back(static_cast<std::uint8_t>(x));
        v.push_back(static_cast<std::uint8_t>(x >> 8));
        return *this;
    }
};

// The writer set to write `path` into `memory`, under `limits` when given.
void startWriting(AviWriter& writer, MemorySinkFactory& memory, const char* path,
                  const AviFileLimits* limits = nullptr) {
    writer.setSinkFactory(memory);
    if (limits != nullptr) {
        writer.setFileLimits(*limits);
    }
    writer.setOutputPath(path);
    writer.resetOutput();
}

// The whole hdrl of a small file: one H.264 stream of two frames, one 8-bit audio stream.
TEST(AviFileLayout, GoldenHeaderList) {
    MemorySinkFactory memory;
    AviWriter writer;
    startWriting(writer, memory, "golden.avi");
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, 16, 16, 25));
    ASSERT_TRUE(writer.writeVideoFrame(frameBytes(10, 0), true));
    ASSERT_TRUE(writer.writeVideoFrame(frameBytes(5, 1), false));
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM8, 2, 25));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(3, 2)));
    ASSERT_TRUE(writer.closeOutput());
    const std::vector<std::uint8_t>& file = *memory.find("golden.avi");
    // 96 KiB of headers, movi (12), chunks of 18 + 14 + 12 with pads, idx1 of 3 entries.
    ASSERT_EQ(file.size(), 98304U + 12 + 44 + 8 + 48);

    Bytes want;
    want.code("LIST").u32(294).code("hdrl");
    want.code("avih").u32(56);
    want.u32(40000)           // dwMicroSecPerFrame
        .u32(98416 * 25 / 2)  // dwMaxBytesPerSec: file bytes per second of stream 0
        .u32(0)               // dwPaddingGranularity
        .u32(0x110)           // dwFlags: HASINDEX | ISINTERLEAVED
        .u32(2)               // dwTotalFrames
        .u32(0)               // dwInitialFrames
        .u32(2)               // dwStreams
        .u32(8000)            // dwSuggestedBufferSize: the largest stream's
        .u32(16)              // dwWidth
        .u32(16)              // dwHeight
        .u32(0)
        .u32(0)
        .u32(0)
        .u32(0);  // dwReserved
    want.code("LIST").u32(116).code("strl");
    want.code("strh").u32(56);
    want.code("vids")                 // fccType
        .code("MPG4")                 // fccHandler
        .u32(0)                       // dwFlags
        .u16(0)                       // wPriority
        .u16(0)                       // wLanguage
        .u32(0)                       // dwInitialFrames
        .u32(1)                       // dwScale
        .u32(25)                      // dwRate
        .u32(0)                       // dwStart
        .u32(2)                       // dwLength: chunks
        .u32(16 * 16 * 3 / 2 + 2048)  // dwSuggestedBufferSize
        .u32(0)                       // dwQuality
        .u32(0)                       // dwSampleSize
        .u16(0)
        .u16(0)
        .u16(16)
        .u16(16);  // rcFrame
    want.code("strf").u32(40);
    want.u32(40)       // biSize
        .u32(16)       // biWidth
        .u32(16)       // biHeight
        .u16(1)        // biPlanes
        .u16(12)       // biBitCount
        .code("H264")  // biCompression
        .u32(384)      // biSizeImage
        .u32(0)
        .u32(0)  // biXPelsPerMeter, biYPelsPerMeter
        .u32(0)
        .u32(0);  // biClrUsed, biClrImportant
    want.code("LIST").u32(94).code("strl");
    want.code("strh").u32(56);
    want.code("auds")  // fccType
        .u32(0)        // fccHandler
        .u32(0)        // dwFlags
        .u16(0)        // wPriority
        .u16(0)        // wLanguage
        .u32(18)       // dwInitialFrames: 0.75 s at 25 frames per second
        .u32(1)        // dwScale: nBlockAlign
        .u32(8000)     // dwRate: nAvgBytesPerSec
        .u32(0)        // dwStart
        .u32(3)        // dwLength: samples
        .u32(8000)     // dwSuggestedBufferSize
        .u32(0)        // dwQuality
        .u32(1)        // dwSampleSize
        .u16(0)
        .u16(0)
        .u16(0)
        .u16(0);  // rcFrame
    want.code("strf").u32(18);
    want.u16(1)     // wFormatTag: PCM
        .u16(1)     // nChannels
        .u32(8000)  // nSamplesPerSec
        .u32(8000)  // nAvgBytesPerSec
        .u16(1)     // nBlockAlign
        .u16(8)     // wBitsPerSample
        .u16(0);    // cbSize
    const std::vector<std::uint8_t> head(file.begin(), file.begin() + 12);
    EXPECT_EQ(head, (Bytes{}.code("RIFF").u32(98416 - 8).code("AVI ").v));
    const std::vector<std::uint8_t> hdrl(file.begin() + 12, file.begin() + 12 + 302);
    EXPECT_EQ(hdrl, want.v);
    // JUNK fills the rest of the header region, outside hdrl; movi follows it.
    EXPECT_EQ(u32At(file, 314), fourCc("JUNK"));
    EXPECT_EQ(u32At(file, 318), 98304U - 314 - 8);
    EXPECT_EQ(u32At(file, 98304), fourCc("LIST"));
    EXPECT_EQ(u32At(file, 98312), fourCc("movi"));
    EXPECT_TRUE(checkAvi(file).ok());
}

struct Sample {
    int stream;  // -1: audio
    std::uint32_t size;
    bool key;
};

// A long mixed run: two frame sizes taking turns, audio after every frame.
std::vector<Sample> mixedRun(int frames) {
    std::vector<Sample> run;
    std::mt19937 random(7);
    for (int i = 0; i < frames; ++i) {
        const int stream = (i / 30) % 2;
        run.push_back({stream, 1000 + static_cast<std::uint32_t>(random() % 4000),
                       i % 30 == 0 || i % 10 == 0});
        run.push_back({-1, (i % 17 == 0) ? 0U : 640U, true});
    }
    return run;
}

// What each stream's index must list for a run, fill chunks included. Streams are numbered
// in creation order: the first frame size, the audio (created after the first frame), the
// second frame size.
std::vector<std::vector<std::pair<std::uint32_t, bool>>> expectedIndex(
    const std::vector<Sample>& run) {
    std::vector<std::vector<std::pair<std::uint32_t, bool>>> streams(3);
    std::int64_t position = 0;
    for (const Sample& s : run) {
        if (s.stream < 0) {
            streams[1].emplace_back(s.size, true);
            continue;
        }
        auto& list = streams[s.stream == 0 ? 0U : 2U];
        while (static_cast<std::int64_t>(list.size()) < position) {
            list.emplace_back(0, false);
        }
        list.emplace_back(s.size, s.key);
        ++position;
    }
    return streams;
}

bool writeRun(AviWriter& writer, const std::vector<Sample>& run) {
    bool audioOpen = false;
    std::uint32_t n = 0;
    for (const Sample& s : run) {
        if (s.stream < 0) {
            if (!audioOpen && !writer.openAudioStream(AUDIO_ENC_PCM16, 1, 25)) {
                return false;
            }
            audioOpen = true;
            if (!writer.writeAudioFrame(frameBytes(s.size, n++))) {
                return false;
            }
            continue;
        }
        const std::uint32_t width = s.stream == 0 ? 64 : 32;
        if (s.key && !writer.selectVideoStream(VIDEO_KIND_H264, width, 32, 25)) {
            return false;
        }
        if (!writer.writeVideoFrame(frameBytes(s.size, n++), s.key)) {
            return false;
        }
    }
    return writer.closeOutput();
}

// Small limits reach every part of the OpenDML layout: AVIX lists, standard index blocks
// split by count and by RIFF, the super indexes, dmlh; the first RIFF keeps idx1.
// A sample built by a fill gives the file that writing it gives, empty and odd-sized ones
// included, whether the fill works in the output's room or in the spill buffer.
TEST(AviFileLayout, FilledSamplesMatchWrittenOnes) {
    enum class Way { WRITTEN, FILLED_IN_ROOM, FILLED_IN_SPILL };
    const auto run = [](Way way) {
        MemorySinkFactory memory;
        memory.offerRoom = way != Way::FILLED_IN_SPILL;
        AviWriter writer;
        startWriting(writer, memory, "out.avi");
        EXPECT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, 16, 16, 25));
        EXPECT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM16, 2, 25));
        for (std::uint32_t i = 0; i < 6; ++i) {
            const std::vector<std::uint8_t> frame = frameBytes(i * 3, i);
            const std::vector<std::uint8_t> pcm = frameBytes(i * 2 + 1, i + 7);
            if (way == Way::WRITTEN) {
                EXPECT_TRUE(writer.writeVideoFrame(frame, i % 3 == 0));
                EXPECT_TRUE(writer.writeAudioFrame(pcm));
                continue;
            }
            const auto copyOf = [](const std::vector<std::uint8_t>& bytes) {
                return [&bytes](std::span<std::uint8_t> room) noexcept {
                    EXPECT_GE(room.size(), bytes.size());
                    std::copy(bytes.begin(), bytes.end(), room.begin());
                    return static_cast<std::uint32_t>(bytes.size());
                };
            };
            EXPECT_TRUE(writer.writeVideoSample(frame.size() + 5, i % 3 == 0, copyOf(frame)));
            EXPECT_TRUE(writer.writeAudioSample(pcm.size(), copyOf(pcm)));
        }
        EXPECT_TRUE(writer.closeOutput());
        return *memory.find("out.avi");
    };
    const std::vector<std::uint8_t> written = run(Way::WRITTEN);
    EXPECT_TRUE(run(Way::FILLED_IN_ROOM) == written);
    EXPECT_TRUE(run(Way::FILLED_IN_SPILL) == written);

    // A fill that claims more than its room was given breaks the file instead of writing
    // bytes no one built.
    for (const bool room : {true, false}) {
        MemorySinkFactory memory;
        memory.offerRoom = room;
        AviWriter writer;
        startWriting(writer, memory, "broken.avi");
        ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, 16, 16, 25));
        EXPECT_FALSE(writer.writeVideoSample(100, true, [](std::span<std::uint8_t> r) noexcept {
            return static_cast<std::uint32_t>(r.size() + 1);
        }));
        EXPECT_TRUE(writer.outputBroken());
        EXPECT_FALSE(writer.closeOutput());
        EXPECT_EQ(memory.find("broken.avi"), nullptr);
    }
}

TEST(AviFileLayout, OpenDmlIndexesEveryChunkOnce) {
    struct Case {
        const char* name;
        AviFileLimits limits;
    };
    const Case cases[] = {
        {"small RIFFs", {.riffBytes = 64 * 1024, .chunkIndexEntries = 5}},
        {"legacy index cap", {.legacyIndexEntries = 50, .chunkIndexEntries = 64}},
        {"one RIFF", {}},
    };
    const std::vector<Sample> run = mixedRun(240);
    const auto want = expectedIndex(run);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySinkFactory memory;
        AviWriter writer;
        startWriting(writer, memory, "odml.avi", &c.limits);
        ASSERT_TRUE(writeRun(writer, run)) << writer.failureText();
        const AviCheck check = checkAvi(*memory.find("odml.avi"));
        ASSERT_TRUE(check.ok()) << check.error;
        ASSERT_EQ(check.streams.size(), 3U);
        for (std::uint32_t s = 0; s < 3; ++s) {
            const auto got = check.indexOf(s);
            ASSERT_EQ(got.size(), want[s].size()) << "stream " << s;
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(std::make_pair(got[i].size, got[i].key), want[s][i])
                    << "stream " << s << " entry " << i;
            }
        }
        const bool single = c.limits.riffBytes == AviFileLimits{}.riffBytes &&
                            c.limits.legacyIndexEntries == AviFileLimits{}.legacyIndexEntries;
        EXPECT_EQ(check.riffCount == 1, single);
        const auto frames = static_cast<std::uint32_t>(std::max(want[0].size(), want[2].size()));
        EXPECT_EQ(u32At(check.streams[0].strh, avitest::STRH_LENGTH), want[0].size());
        EXPECT_EQ(u32At(check.streams[2].strh, avitest::STRH_LENGTH), want[2].size());
        EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_LENGTH),
                  (run.size() / 2 - (240 + 16) / 17) * 640 / 2);
        if (single) {
            EXPECT_EQ(u32At(check.avih, avitest::AVIH_TOTAL_FRAMES), frames);
            EXPECT_EQ(check.odmlTotalFrames, 0U);
            continue;
        }
        EXPECT_GT(check.riffCount, c.limits.riffBytes < 1000000 ? 5U : 1U);
        EXPECT_EQ(check.odmlTotalFrames, frames);
        // The main header counts the first RIFF only, as idx1 does.
        std::uint32_t firstRiffVideo[3] = {0, 0, 0};
        for (const AviIndexedChunk& e : check.legacyIndex) {
            ++firstRiffVideo[e.stream];
        }
        EXPECT_EQ(u32At(check.avih, avitest::AVIH_TOTAL_FRAMES),
                  std::max(firstRiffVideo[0], firstRiffVideo[2]));
        EXPECT_LT(check.legacyIndex.size(), check.dataChunks.size());
        if (c.limits.legacyIndexEntries == 50) {
            EXPECT_EQ(check.legacyIndex.size(), 50U);
        }
    }
}

// The super index has room for a fixed number of RIFFs; a chunk past them is refused
// before it is written and the file is completed with what it holds, every chunk indexed.
TEST(AviFileLayout, FullSuperIndexKeepsTheFileWhole) {
    MemorySinkFactory memory;
    AviWriter writer;
    const AviFileLimits limits{.legacyIndexEntries = 1, .chunkIndexEntries = 1};
    startWriting(writer, memory, "full.avi", &limits);
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, 16, 16, 25));
    int written = 0;
    while (written < 1000 && writer.writeVideoFrame(frameBytes(10, 0), true)) {
        ++written;
    }
    EXPECT_EQ(written, static_cast<int>(SUPER_INDEX_ENTRIES));  // one RIFF per chunk
    EXPECT_EQ(writer.failureText(), "Recording too long for one AVI file");
    EXPECT_FALSE(writer.outputBroken());
    ASSERT_TRUE(writer.closeOutput()) << writer.failureText();
    const AviCheck check = checkAvi(*memory.find("full.avi"));
    ASSERT_TRUE(check.ok()) << check.error;
    EXPECT_EQ(check.riffCount, SUPER_INDEX_ENTRIES);
    EXPECT_EQ(check.indexOf(0).size(), SUPER_INDEX_ENTRIES);
    EXPECT_EQ(memory.openSinks(), 0);
}

}  // namespace
}  // namespace trunvex
