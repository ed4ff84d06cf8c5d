#include "avi/avi_writer.h"

#include <gtest/gtest.h>

#include <fstream>

#include "avi_test_support.h"
#include "common/bytes.h"

namespace trunvex {
namespace {

using avitest::frameBytes;
using avitest::u16At;
using avitest::u32At;

constexpr const char* PATH = "out.avi";

struct Expected {
    std::uint32_t size;
    bool key;
};

// What the index of one stream says, as (size, key) pairs in order.
void expectIndex(const AviCheck& check, std::uint32_t stream, const std::vector<Expected>& want) {
    SCOPED_TRACE("stream " + std::to_string(stream));
    const std::vector<AviIndexedChunk> got = check.indexOf(stream);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].size, want[i].size) << "entry " << i;
        EXPECT_EQ(got[i].key, want[i].key) << "entry " << i;
    }
}

class AviWriterTest : public ::testing::Test {
protected:
    AviWriterTest() {
        writer.setOutputPath(PATH);
        writer.setSinkFactory(memory);
        writer.resetOutput();
    }

    // Closes the output and checks the file it left.
    AviCheck finish() {
        EXPECT_TRUE(writer.closeOutput()) << writer.failureText();
        EXPECT_EQ(memory.openSinks(), 0);
        const std::vector<std::uint8_t>* bytes = memory.find(PATH);
        if (bytes == nullptr) {
            ADD_FAILURE() << "nothing committed";
            return {};
        }
        AviCheck check = checkAvi(*bytes);
        EXPECT_TRUE(check.ok()) << check.error;
        return check;
    }

    void video(std::uint32_t width, std::uint32_t height, std::size_t bytes, bool key) {
        if (key) {
            ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, width, height, 25));
        }
        ASSERT_TRUE(writer.writeVideoFrame(frameBytes(bytes, 0), key));
    }

    MemorySinkFactory memory;
    AviWriter writer;
};

// Frame sizes A, B, A: two streams, and one timeline shared by both, so each stream's
// chunks sit at the positions the shared counter gave them, with empty fill chunks before.
TEST_F(AviWriterTest, StreamsBySizeShareOneTimeline) {
    video(352, 288, 100, true);
    video(352, 288, 50, false);
    EXPECT_EQ(writer.currentVideoStream, 0);
    video(176, 144, 80, true);
    EXPECT_EQ(writer.currentVideoStream, 1);
    video(176, 144, 40, false);
    video(352, 288, 90, true);
    EXPECT_EQ(writer.currentVideoStream, 0);
    video(352, 288, 30, false);
    EXPECT_EQ(writer.videoStreamCount, 2);
    EXPECT_EQ(writer.videoFrameCount, 6);
    EXPECT_EQ(writer.framesWritten(), 6);

    const AviCheck check = finish();
    ASSERT_EQ(check.streams.size(), 2U);
    expectIndex(check, 0,
                {{100, true}, {50, false}, {0, false}, {0, false}, {90, true}, {30, false}});
    expectIndex(check, 1, {{0, false}, {0, false}, {80, true}, {40, false}});
    EXPECT_EQ(u32At(check.streams[0].strh, avitest::STRH_LENGTH), 6U);
    EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_LENGTH), 4U);
    EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_START), 0U);
    EXPECT_EQ(u32At(check.avih, avitest::AVIH_TOTAL_FRAMES), 6U);
    EXPECT_EQ(u32At(check.avih, avitest::AVIH_WIDTH), 352U);
    EXPECT_EQ(u32At(check.avih, avitest::AVIH_HEIGHT), 288U);
    EXPECT_EQ(u32At(check.avih, avitest::AVIH_FLAGS), 0x110U);
}

// Audio before the first key frame is dropped with its file; the audio stream is created
// again after the video stream, so video comes first in the file.
TEST_F(AviWriterTest, FirstKeyFrameDiscardsEarlyAudio) {
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_ADPCM4, 1, 0));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(640, 1)));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(640, 2)));
    writer.discardEarlyOutput();
    EXPECT_EQ(writer.aviFile, nullptr);
    EXPECT_EQ(writer.audioStream, nullptr);
    EXPECT_EQ(writer.audioChunkCount, 0);
    EXPECT_EQ(memory.openSinks(), 0);
    EXPECT_EQ(memory.find(PATH), nullptr);

    video(352, 288, 100, true);
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_ADPCM4, 1, 25));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(320, 3)));
    const AviCheck check = finish();
    ASSERT_EQ(check.streams.size(), 2U);
    EXPECT_EQ(u32At(check.streams[0].strh, 0), fourCc("vids"));
    EXPECT_EQ(u32At(check.streams[1].strh, 0), fourCc("auds"));
    expectIndex(check, 1, {{320, true}});
    EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_INITIAL_FRAMES), 18U);
    EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_LENGTH), 160U);  // samples
}

TEST_F(AviWriterTest, AudioLeadIsThreeQuartersOfASecondOfFrames) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {{0, 0}, {25, 18}, {30, 22}, {31, 23}};
    for (const auto& [rate, frames] : cases) {
        SCOPED_TRACE(rate);
        writer.resetOutput();
        ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM8, 2, rate));
        EXPECT_EQ(writer.audioStreamInfo.dwInitialFrames, frames);
        ASSERT_TRUE(writer.writeAudioFrame(frameBytes(8, 0)));
        const AviCheck check = finish();
        ASSERT_EQ(check.streams.size(), 1U);
        EXPECT_EQ(u32At(check.streams[0].strh, avitest::STRH_INITIAL_FRAMES), frames);
        // Audio only: no frame period, no video frames.
        EXPECT_EQ(u32At(check.avih, avitest::AVIH_USEC_PER_FRAME), 0U);
        EXPECT_EQ(u32At(check.avih, avitest::AVIH_TOTAL_FRAMES), 0U);
    }
}

// Bits per sample follow what the decoder produces: 16 only for the four 16-bit encodings.
TEST_F(AviWriterTest, AudioFormatFollowsEncodingAndRate) {
    struct Case {
        std::uint32_t encoding, rateCode;
        std::uint16_t bits;
        std::uint32_t samplesPerSec;
    };
    const Case cases[] = {{7, 2, 8, 8000},    {7, 1, 8, 16000},  {0, 1, 8, 16000},
                          {255, 2, 8, 8000},  {10, 1, 8, 16000}, {15, 1, 8, 16000},
                          {11, 1, 16, 16000}, {12, 2, 16, 8000}, {13, 1, 16, 16000},
                          {14, 9, 16, 16000}};
    for (const Case& c : cases) {
        SCOPED_TRACE("encoding " + std::to_string(c.encoding) + " rate code " +
                     std::to_string(c.rateCode));
        writer.resetOutput();
        ASSERT_TRUE(writer.openAudioStream(c.encoding, c.rateCode, 25));
        const std::uint16_t align = c.bits / 8;
        EXPECT_EQ(writer.audioFormat.wBitsPerSample, c.bits);
        EXPECT_EQ(writer.audioFormat.nBlockAlign, align);
        EXPECT_EQ(writer.audioFormat.nSamplesPerSec, c.samplesPerSec);
        EXPECT_EQ(writer.audioFormat.nAvgBytesPerSec, c.samplesPerSec * align);
        ASSERT_TRUE(writer.writeAudioFrame(frameBytes(1000, 0)));
        const AviCheck check = finish();
        ASSERT_EQ(check.streams.size(), 1U);
        const auto& strf = check.streams[0].strf;
        ASSERT_EQ(strf.size(), WAVEFORMATEX_BYTES);
        EXPECT_EQ(u16At(strf, 0), 1);  // wFormatTag PCM
        EXPECT_EQ(u16At(strf, 2), 1);  // nChannels
        EXPECT_EQ(u32At(strf, 4), c.samplesPerSec);
        EXPECT_EQ(u32At(strf, 8), c.samplesPerSec * align);
        EXPECT_EQ(u16At(strf, 12), align);
        EXPECT_EQ(u16At(strf, 14), c.bits);
        const auto& strh = check.streams[0].strh;
        EXPECT_EQ(u32At(strh, avitest::STRH_SCALE), align);
        EXPECT_EQ(u32At(strh, avitest::STRH_RATE), c.samplesPerSec * align);
        EXPECT_EQ(u32At(strh, avitest::STRH_SAMPLE_SIZE), align);
        EXPECT_EQ(u32At(strh, avitest::STRH_LENGTH), 1000U / align);
        // One second of audio is larger than the chunk, so the given size stands.
        EXPECT_EQ(u32At(strh, avitest::STRH_BUFFER), c.samplesPerSec * align);
    }
}

TEST_F(AviWriterTest, FullSizeFrameDescription) {
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_MPEG4, 720, 576, 25));
    EXPECT_EQ(writer.videoStreamInfos[0].dwSuggestedBufferSize, 624128U);
    EXPECT_EQ(writer.videoStreamInfos[0].fccHandler, fourCc("MPG4"));
    EXPECT_EQ(writer.videoKind, VIDEO_KIND_MPEG4);
    ASSERT_TRUE(writer.writeVideoFrame(frameBytes(1000, 0), true));
    const AviCheck check = finish();
    ASSERT_EQ(check.streams.size(), 1U);
    EXPECT_EQ(u32At(check.streams[0].strf, 20), 622080U);  // biSizeImage
    EXPECT_EQ(u32At(check.streams[0].strf, 16), fourCc("XVID"));
    EXPECT_EQ(u32At(check.streams[0].strh, avitest::STRH_BUFFER), 624128U);
    EXPECT_EQ(u32At(check.avih, avitest::AVIH_BUFFER), 624128U);
}

// The given buffer size can be smaller than a chunk; readers size their buffer from it.
TEST_F(AviWriterTest, BufferSizeCoversLargestChunk) {
    video(8, 8, 5000, true);  // suggested 8 * 8 * 3 / 2 + 2048 = 2144
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM8, 2, 25));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(9000, 0)));  // suggested 8000
    const AviCheck check = finish();
    EXPECT_EQ(u32At(check.streams[0].strh, avitest::STRH_BUFFER), 5000U);
    EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_BUFFER), 9000U);
    EXPECT_EQ(u32At(check.avih, avitest::AVIH_BUFFER), 9000U);
}

TEST_F(AviWriterTest, EmptySamples) {
    video(16, 16, 100, true);
    // An empty video sample is a dropped frame, never a key frame.
    ASSERT_TRUE(writer.writeVideoFrame({}, true));
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM16, 1, 25));
    ASSERT_TRUE(writer.writeAudioFrame({}));
    EXPECT_EQ(writer.audioChunkCount, 1);
    EXPECT_EQ(writer.framesWritten(), 3);
    const AviCheck check = finish();
    expectIndex(check, 0, {{100, true}, {0, false}});
    expectIndex(check, 1, {{0, true}});
}

TEST_F(AviWriterTest, FrameRateZeroIsWrittenAsTwentyFive) {
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, 16, 16, 0));
    EXPECT_EQ(writer.videoStreamInfos[0].dwRate, 0U);
    ASSERT_TRUE(writer.writeVideoFrame(frameBytes(10, 0), true));
    const AviCheck check = finish();
    EXPECT_EQ(u32At(check.streams[0].strh, avitest::STRH_RATE), 25U);
    EXPECT_EQ(u32At(check.avih, avitest::AVIH_USEC_PER_FRAME), 40000U);
}

TEST_F(AviWriterTest, EleventhFrameSizeIsRefused) {
    for (std::uint32_t i = 1; i <= 10; ++i) {
        video(8 * i, 8, 10, true);
    }
    EXPECT_EQ(writer.videoStreamCount, 10);
    EXPECT_FALSE(writer.selectVideoStream(VIDEO_KIND_H264, 8, 16, 25));
    EXPECT_EQ(writer.videoStreamCount, 10);
    EXPECT_EQ(writer.currentVideoStream, 9);
    EXPECT_FALSE(writer.failureText().empty());
    const AviCheck check = finish();
    EXPECT_EQ(check.streams.size(), 10U);
    expectIndex(check, 9,
                {{0, false},
                 {0, false},
                 {0, false},
                 {0, false},
                 {0, false},
                 {0, false},
                 {0, false},
                 {0, false},
                 {0, false},
                 {10, true}});
}

// A later format never replaces the one a stream was created with; the kind of the stream
// stays too, so the caller keeps dropping frames of the other kind.
TEST_F(AviWriterTest, StreamKeepsItsFirstFormat) {
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, 64, 48, 25));
    ASSERT_TRUE(writer.writeVideoFrame(frameBytes(10, 0), true));
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_MPEG4, 64, 48, 25));
    EXPECT_EQ(writer.videoKind, VIDEO_KIND_H264);
    EXPECT_EQ(writer.videoStreamCount, 1);
    ASSERT_TRUE(writer.writeVideoFrame(frameBytes(10, 1), true));
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM16, 1, 25));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(10, 0)));
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM8, 2, 25));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(10, 0)));
    const AviCheck check = finish();
    ASSERT_EQ(check.streams.size(), 2U);
    EXPECT_EQ(u32At(check.streams[0].strf, 16), fourCc("H264"));
    EXPECT_EQ(u16At(check.streams[1].strf, 14), 16);
    EXPECT_EQ(u32At(check.streams[1].strf, 4), 16000U);
}

// Headers repeated before any sample was written describe the one stream anew instead of
// leaving an empty stream behind.
TEST_F(AviWriterTest, HeadersBeforeTheFirstSampleReuseTheStream) {
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_H264, 64, 48, 25));
    ASSERT_TRUE(writer.selectVideoStream(VIDEO_KIND_MPEG4, 32, 16, 30));
    EXPECT_EQ(writer.videoStreamCount, 1);
    EXPECT_EQ(writer.videoKind, VIDEO_KIND_MPEG4);
    ASSERT_TRUE(writer.writeVideoFrame(frameBytes(10, 0), true));
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM16, 1, 25));
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM8, 2, 30));
    ASSERT_TRUE(writer.writeAudioFrame(frameBytes(10, 0)));
    const AviCheck check = finish();
    ASSERT_EQ(check.streams.size(), 2U);
    EXPECT_EQ(u32At(check.streams[0].strf, 4), 32U);
    EXPECT_EQ(u32At(check.streams[0].strf, 16), fourCc("XVID"));
    EXPECT_EQ(u32At(check.streams[0].strh, avitest::STRH_RATE), 30U);
    EXPECT_EQ(u16At(check.streams[1].strf, 14), 8);
    EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_RATE), 8000U);
    EXPECT_EQ(u32At(check.streams[1].strh, avitest::STRH_INITIAL_FRAMES), 22U);
}

TEST_F(AviWriterTest, WritesNeedTheirStream) {
    EXPECT_FALSE(writer.writeVideoFrame(frameBytes(10, 0), true));
    EXPECT_FALSE(writer.writeAudioFrame(frameBytes(10, 0)));
    EXPECT_EQ(writer.framesWritten(), 0);
    EXPECT_TRUE(writer.closeOutput());
    EXPECT_EQ(memory.find(PATH), nullptr);
}

TEST_F(AviWriterTest, ResetAndAbandonDropTheOpenFile) {
    video(16, 16, 10, true);
    writer.resetOutput();
    EXPECT_EQ(memory.openSinks(), 0);
    EXPECT_EQ(writer.videoStreamCount, 0);
    EXPECT_EQ(writer.videoStreams[0], nullptr);
    video(16, 16, 10, true);
    writer.abandonOutput();
    EXPECT_EQ(writer.aviFile, nullptr);
    EXPECT_EQ(memory.openSinks(), 0);
    EXPECT_EQ(memory.find(PATH), nullptr);
}

TEST(AviWriterFiles, UnwritablePathFailsTheOpen) {
    const auto dir = avitest::scratchDir("unwritable");
    struct Case {
        const char* name;
        std::string path;
    };
    std::vector<Case> cases = {{"missing directory", (dir / "no" / "x.avi").string()},
                               {"path is a directory", dir.string()},
                               {"empty path", ""}};
    const auto locked = dir / "locked";
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(
        locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    // Root writes anywhere, and Windows ignores the read-only mark on a folder.
    const bool writable = std::ofstream(locked / "probe").is_open();
    std::filesystem::remove(locked / "probe");
    if (!writable) {
        cases.push_back({"directory not writable", (locked / "x.avi").string()});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AviWriter writer;
        writer.setOutputPath(c.path);
        writer.resetOutput();
        EXPECT_FALSE(writer.selectVideoStream(VIDEO_KIND_H264, 16, 16, 25));
        EXPECT_EQ(writer.aviFile, nullptr);
        EXPECT_FALSE(writer.failureText().empty());
        EXPECT_FALSE(writer.openAudioStream(AUDIO_ENC_PCM8, 2, 25));
        EXPECT_EQ(writer.aviFile, nullptr);
        EXPECT_EQ(writer.audioStream, nullptr);
        EXPECT_EQ(writer.videoStreamCount, 0);
    }
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    EXPECT_TRUE(avitest::hiddenFiles(dir).empty());
    std::filesystem::remove_all(dir);
}

// Writes a small run: two video streams and audio. False as soon as a step fails.
bool writeSmallRun(AviWriter& writer) {
    if (!writer.openAudioStream(AUDIO_ENC_PCM8, 2, 0) ||
        !writer.writeAudioFrame(frameBytes(100, 0))) {
        return false;
    }
    writer.discardEarlyOutput();
    for (std::uint32_t i = 0; i < 40; ++i) {
        const bool key = i % 10 == 0;
        const std::uint32_t width = i < 20 ? 32 : 64;
        if ((key && !writer.selectVideoStream(VIDEO_KIND_H264, width, 16, 25)) ||
            !writer.writeVideoFrame(frameBytes(70000 + i, i), key)) {
            return false;
        }
        if (i == 3 && !writer.openAudioStream(AUDIO_ENC_PCM16, 1, 25)) {
            return false;
        }
        if (i > 3 && !writer.writeAudioFrame(frameBytes(640, i))) {
            return false;
        }
    }
    return writer.closeOutput();
}

// Whatever write, seek or commit fails, the run reports it, the earlier file at the path
// stays as it was and no temporary file is left.
TEST(AviWriterFiles, AnyOutputFailureLeavesThePathAsItWas) {
    const auto dir = avitest::scratchDir("faults");
    const auto path = dir / "out.avi";
    const std::vector<std::uint8_t> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    FaultySinkFactory counting;
    {
        AviWriter writer;
        writer.setSinkFactory(counting);
        writer.setOutputPath(path.string());
        writer.setFileLimits({.riffBytes = 1 << 20});  // OpenDML's seeks and indexes too
        writer.resetOutput();
        ASSERT_TRUE(writeSmallRun(writer)) << writer.failureText();
        ASSERT_TRUE(checkAvi(FileRiffSource(path.string())).ok());
    }
    const std::uint64_t writes = counting.writesSeen;
    const std::uint64_t seeks = counting.seeksSeen;
    ASSERT_GT(writes, 50U);
    ASSERT_GT(seeks, 4U);
    struct Fault {
        std::uint64_t write, seek;
        bool open, commit;
    };
    std::vector<Fault> faults = {{0, 0, true, false}, {0, 0, false, true}};
    for (std::uint64_t n = 1; n <= writes; n += n < 10 ? 1 : 7) {
        faults.push_back({n, 0, false, false});
    }
    faults.push_back({writes, 0, false, false});
    for (std::uint64_t n = 1; n <= seeks; ++n) {
        faults.push_back({0, n, false, false});
    }
    for (const Fault& f : faults) {
        SCOPED_TRACE("write " + std::to_string(f.write) + " seek " + std::to_string(f.seek) +
                     (f.open ? " open" : "") + (f.commit ? " commit" : ""));
        std::filesystem::remove(path);
        { std::ofstream(path, std::ios::binary).write("earlier", 7); }
        FaultySinkFactory faulty;
        faulty.failWriteAt = f.write;
        faulty.failSeekAt = f.seek;
        faulty.failOpen = f.open;
        faulty.failCommit = f.commit;
        AviWriter writer;
        writer.setSinkFactory(faulty);
        writer.setOutputPath(path.string());
        writer.setFileLimits({.riffBytes = 1 << 20});
        writer.resetOutput();
        EXPECT_FALSE(writeSmallRun(writer));
        EXPECT_EQ(writer.failureText(), errorNumberText(ENOSPC));
        writer.abandonOutput();
        EXPECT_EQ(avitest::readAll(path), earlier);
        EXPECT_TRUE(avitest::hiddenFiles(dir).empty());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace trunvex
