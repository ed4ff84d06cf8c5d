#include "mkrecording/recording_maker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "common/bytes.h"
#include "mkrecording/recording_builder.h"
#include "support/test_support.h"

namespace trunvex::recording {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Counts the records of a recording without damage by walking it from header to header; it
// must end in the 16-byte filler.
std::map<std::uint8_t, int> walkRecords(const Bytes& rec) {
    std::map<std::uint8_t, int> kinds;
    std::size_t pos = 0;
    while (rec.size() - pos > 16) {
        EXPECT_TRUE(rec[pos] == 0 && rec[pos + 1] == 0 && rec[pos + 2] == 1) << "at " << pos;
        const std::uint8_t kind = rec[pos + 3];
        const std::span<const std::uint8_t> h(rec.data() + pos + 4, rec.size() - pos - 4);
        std::size_t header = 4;
        std::size_t length = 0;
        if (kind == KIND_H264_KEY || kind == KIND_MPEG4_KEY || kind == KIND_SKIP) {
            header = 12;
            length = loadLe32(h.subspan(8).first<4>());
        } else if (kind == KIND_AUDIO) {
            length = loadLe16(h.subspan(2).first<2>());
        } else {
            length = loadLe32(h.first<4>());
        }
        ++kinds[kind];
        pos += 4 + header + length;
        if (pos > rec.size()) {
            ADD_FAILURE() << "record runs past the end";
            return kinds;
        }
    }
    EXPECT_EQ(Bytes(rec.begin() + static_cast<std::ptrdiff_t>(pos), rec.end()), Bytes(16, 0xFF));
    return kinds;
}

std::vector<std::int16_t> tone(std::size_t n) {
    std::vector<std::int16_t> s(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<std::int16_t>(std::lround(6000 * std::sin(0.3 * double(i))));
    }
    return s;
}

// A GOP whose delta frame has two slices cannot use bare units: it is stored as written, with
// layout byte 1, and the next GOP goes back to NAL lists. SEI in a delta frame is dropped.
TEST(AssembleRecording, GopThatDoesNotFitNalListsIsStoredAsWritten) {
    const Bytes gop1 = {
        0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x03, 0x01,  // SPS, escaped
        0x00, 0x00, 0x00, 0x01, 0x68, 0xCE,                          // PPS
        0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84,                    // IDR
        0x00, 0x00, 0x00, 0x01, 0x41, 0x9A, 0x01,                    // P, first_mb 0
        0x00, 0x00, 0x00, 0x01, 0x41, 0x4C, 0x02,                    // P, first_mb 1
    };
    const Bytes gop2 = {
        0x00, 0x00, 0x00, 0x01, 0x67, 0x42,                          // SPS
        0x00, 0x00, 0x00, 0x01, 0x68, 0xCE,                          // PPS
        0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x00, 0x00, 0x03, 0x02,  // IDR, escaped
        0x00, 0x00, 0x00, 0x01, 0x06, 0x05, 0x01,                    // SEI
        0x00, 0x00, 0x00, 0x01, 0x41, 0x9B, 0x03,                    // P
    };
    MediaInput media;
    media.segments.push_back({352, 288, gop1});
    media.segments.back().stream.insert(media.segments.back().stream.end(), gop2.begin(),
                                        gop2.end());
    RecordingOptions options;
    options.fps = 2;  // two frames per second keeps the audio out of the way
    options.audio = AUDIO_OFF;
    Recording rec;
    std::string error;
    ASSERT_TRUE(assembleRecording(options, media, rec, error)) << error;
    EXPECT_EQ(rec.layoutAsStoredGops, 1u);
    EXPECT_EQ(walkRecords(rec.bytes)[KIND_H264_KEY], 2);
    EXPECT_EQ(rec.bytes[4], LAYOUT_AS_STORED);

    const Bytes repacked = {
        0x00, 0x00, 0x00, 0x01, 0x67, 0x42,                          // SPS
        0x00, 0x00, 0x00, 0x01, 0x68, 0xCE,                          // PPS
        0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x00, 0x00, 0x03, 0x02,  // IDR
        0x00, 0x00, 0x00, 0x01, 0x41, 0x9B, 0x03,                    // P, without the SEI
    };
    Bytes expected = gop1;
    expected.insert(expected.end(), repacked.begin(), repacked.end());
    EXPECT_EQ(rec.videoAll, expected);
    ASSERT_EQ(rec.videoFrames.size(), 4u);
    EXPECT_EQ(rec.videoFrames[1].bytes, 14u);  // both slices of the stored delta frame
}

TEST(RecordingOptions, OutsideTheFormatAreRefused) {
    struct Case {
        const char* name;
        void (*spoil)(RecordingOptions&);
    };
    const Case cases[] = {
        {"width not a multiple of 8", [](RecordingOptions& o) { o.width = 350; }},
        {"wider than 720", [](RecordingOptions& o) { o.width = 728; }},
        {"taller than 576", [](RecordingOptions& o) { o.height = 584; }},
        {"32 fps", [](RecordingOptions& o) { o.fps = 32; }},
        {"44100 Hz", [](RecordingOptions& o) { o.audioRate = 44100; }},
        {"size change to 0x0",
         [](RecordingOptions& o) {
             o.sizeChanges.push_back({0, 0, 1});
         }},
        {"129 ms audio blocks", [](RecordingOptions& o) { o.audioBlockMs = 129; }},
    };
    std::string defaultsError;
    ASSERT_TRUE(checkOptions(RecordingOptions{}, defaultsError)) << defaultsError;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingOptions o;
        c.spoil(o);
        std::string error;
        EXPECT_FALSE(checkOptions(o, error));
        EXPECT_FALSE(error.empty());
    }
}

class RecordingMakerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ffmpeg = test::findProgram("ffmpeg");
        if (ffmpeg.empty()) {
            GTEST_SKIP() << "ffmpeg is not installed";
        }
        options.width = 352;
        options.height = 288;
        options.seconds = 2;
        options.bitrate = "300k";
        options.gop = 25;
        options.ffmpeg = ffmpeg;
    }

    // Two seconds of H.264 (or MPEG-4) and of a tone, made once per test.
    MediaInput media(VideoCodec codec) {
        VideoRequest request{codec, 352, 288, 25, 50, "300k", 25};
        MediaInput m;
        m.segments.push_back({352, 288, {}});
        std::string error;
        EXPECT_TRUE(encodeVideo(ffmpeg, request, m.segments[0].stream, error)) << error;
        m.samples = tone(16000 + 3 * 320);
        return m;
    }

    // ffmpeg's per-frame checksums of an elementary stream.
    std::string frameChecksums(const Bytes& stream, const char* format) {
        const auto dir = test::makeTempDir("recording_maker");
        EXPECT_TRUE(test::writeFile(dir / "video.es", stream));
        const auto r = test::runCommand(ffmpeg + " -v error -f " + format + " -i " +
                                        test::shellQuote((dir / "video.es").string()) +
                                        " -f framemd5 - | grep -v '^#'");
        std::filesystem::remove_all(dir);
        return r.out;
    }

    std::string ffmpeg;
    RecordingOptions options;
};

TEST_F(RecordingMakerTest, H264VideoDecodesLikeTheEncodersStream) {
    const MediaInput m = media(CODEC_H264);
    Recording rec;
    std::string error;
    ASSERT_TRUE(assembleRecording(options, m, rec, error)) << error;

    std::map<std::uint8_t, int> kinds = walkRecords(rec.bytes);
    EXPECT_EQ(kinds[KIND_H264_KEY], 2);
    EXPECT_EQ(kinds[KIND_H264_DELTA], 48);
    EXPECT_EQ(kinds[KIND_AUDIO], 53);
    EXPECT_EQ(rec.layoutAsStoredGops, 0u);
    ASSERT_EQ(rec.videoFrames.size(), 50u);
    EXPECT_TRUE(rec.videoFrames[0].key);
    EXPECT_FALSE(rec.videoFrames[1].key);
    EXPECT_EQ(rec.videoAll, streamVideo(rec, 0));
    // The repacked form differs from the encoder's bytes (4-byte start codes, no SEI in delta
    // frames) but must decode to the same pictures.
    const std::string expected = frameChecksums(m.segments[0].stream, "h264");
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 50);
    EXPECT_EQ(frameChecksums(rec.videoAll, "h264"), expected);
}

TEST_F(RecordingMakerTest, StoredLayoutAndMpeg4KeepTheEncodersBytes) {
    for (const VideoMode mode : {VIDEO_H264_ANNEXB, VIDEO_MPEG4}) {
        SCOPED_TRACE(mode);
        options.video = mode;
        const MediaInput m = media(mode == VIDEO_MPEG4 ? CODEC_MPEG4 : CODEC_H264);
        Recording rec;
        std::string error;
        ASSERT_TRUE(assembleRecording(options, m, rec, error)) << error;
        EXPECT_EQ(rec.videoAll, m.segments[0].stream);
        EXPECT_EQ(rec.videoFrames.size(), 50u);
        EXPECT_EQ(rec.keyRecords, 2u);
    }
}

// Junk, invalid headers and skip records change the file, never what a conversion must give.
TEST_F(RecordingMakerTest, DamageLeavesTheExpectedOutputAlone) {
    const MediaInput m = media(CODEC_H264);
    Recording clean;
    std::string error;
    ASSERT_TRUE(assembleRecording(options, m, clean, error)) << error;
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        RecordingOptions damaged = options;
        damaged.junk = true;
        damaged.skipRecords = true;
        damaged.seed = seed;
        Recording rec;
        ASSERT_TRUE(assembleRecording(damaged, m, rec, error)) << error;
        EXPECT_GT(rec.invalidHeaders, 1u);
        EXPECT_GT(rec.skipRecords, 0u);
        EXPECT_GT(rec.bytes.size(), clean.bytes.size());
        EXPECT_EQ(rec.videoAll, clean.videoAll);
        EXPECT_EQ(rec.pcm, clean.pcm);
        EXPECT_EQ(rec.audioChunks, clean.audioChunks);
    }
}

TEST_F(RecordingMakerTest, EarlyAudioAndTruncatedTailAreNotExpected) {
    options.audioFirst = true;
    const MediaInput m = media(CODEC_H264);
    Recording full;
    std::string error;
    ASSERT_TRUE(assembleRecording(options, m, full, error)) << error;
    // Three blocks before the first key frame are dropped with the discarded file.
    EXPECT_EQ(full.audioRecords, full.audioChunks.size() + 3);
    EXPECT_EQ(full.bytes[3], KIND_AUDIO);

    options.truncateBytes = 5000;
    Recording cut;
    ASSERT_TRUE(assembleRecording(options, m, cut, error)) << error;
    EXPECT_EQ(cut.bytes.size(), full.bytes.size() - 16 - 5000);
    EXPECT_LT(cut.videoFrames.size(), full.videoFrames.size());
    EXPECT_EQ(Bytes(full.videoAll.begin(),
                    full.videoAll.begin() + static_cast<std::ptrdiff_t>(cut.videoAll.size())),
              cut.videoAll);
    EXPECT_EQ(
        Bytes(full.pcm.begin(), full.pcm.begin() + static_cast<std::ptrdiff_t>(cut.pcm.size())),
        cut.pcm);
}

TEST_F(RecordingMakerTest, ProgramWritesOneVideoFilePerFrameSize) {
    const std::string ffprobe = test::findProgram("ffprobe");
    if (ffprobe.empty()) {
        GTEST_SKIP() << "ffprobe is not installed";
    }
    const auto dir = test::makeTempDir("mkrecording");
    const auto path = [&](const char* name) { return test::shellQuote((dir / name).string()); };
    const auto r = test::runCommand(
        std::string(TRUNVEX_MKRECORDING) + " --size 352x288 --size-change 176x144@1 --seconds 2" +
        " --bitrate 200k --audio alaw --audio-rate 16000 --junk --ffmpeg " +
        test::shellQuote(ffmpeg) + " --out " + path("rec.264") + " --annexb-out " +
        path("video.h264") + " --pcm-out " + path("audio.pcm"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // One second of 16 kHz A-law decodes to 16-bit samples; 2 s in all, 40 ms blocks.
    EXPECT_EQ(std::filesystem::file_size(dir / "audio.pcm"), 2u * 32000u);
    const char* streams[] = {"video.s0.h264", "video.s1.h264"};
    const char* widths[] = {"352", "176"};
    for (int k = 0; k < 2; ++k) {
        const auto probe =
            test::runCommand(ffprobe + " -v error -count_frames -show_entries " +
                             "stream=codec_name,width,nb_read_frames -of flat " + path(streams[k]));
        const auto keys = test::parseFlat(probe.out);
        EXPECT_EQ(keys.at("streams.stream.0.codec_name"), "h264");
        EXPECT_EQ(keys.at("streams.stream.0.width"), widths[k]);
        EXPECT_EQ(keys.at("streams.stream.0.nb_read_frames"), "25");
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace trunvex::recording
