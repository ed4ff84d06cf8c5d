// Real consumers read the files back: ffprobe and ffmpeg (stream table, packets, key flags,
// decoding) and mediainfo. Each test skips when its tool is missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "avi/avi_writer.h"
#include "avi_test_support.h"
#include "platform/file_sink.h"

namespace trunvex {
namespace {

using avitest::quote;
using avitest::run;

// A writer whose output goes to real files, as the program's does.
struct FileAviWriter : AviWriter {
    FileAviWriter() noexcept { setSinkFactory(fileSinkFactory()); }
};

struct Packet {
    int stream = 0;
    long long dts = 0;
    std::uint32_t size = 0;
    bool key = false;
};

std::vector<Packet> probePackets(const std::string& path, const std::string& extra = "") {
    const avitest::Command probe =
        run("ffprobe -v error " + extra +
            " -show_entries packet=stream_index,dts,size,flags -of csv=p=0 " + quote(path));
    std::vector<Packet> packets;
    std::istringstream lines(probe.out);
    std::string line;
    while (std::getline(lines, line)) {
        Packet p;
        char flags[8] = {};
        if (std::sscanf(line.c_str(), "%d,%lld,%u,%7s", &p.stream, &p.dts, &p.size, flags) == 4) {
            p.key = flags[0] == 'K';
            packets.push_back(p);
        }
    }
    return packets;
}

// The stream table as "codec width height rate sample_rate" per stream.
std::vector<std::string> probeStreams(const std::string& path) {
    const avitest::Command probe = run(
        "ffprobe -v error -show_entries "
        "stream=codec_name,codec_tag_string,width,height,r_frame_rate,sample_rate,bits_per_sample"
        " -of csv=p=0 " +
        quote(path));
    std::vector<std::string> streams;
    std::istringstream lines(probe.out);
    std::string line;
    while (std::getline(lines, line)) {
        streams.push_back(line);
    }
    return streams;
}

// The decoded frames' hashes, in order, without timestamps.
std::vector<std::string> frameHashes(const std::string& input) {
    const avitest::Command decode =
        run("ffmpeg -v error -i " + quote(input) + " -map 0:v:0 -f framemd5 - 2>&1");
    std::vector<std::string> hashes;
    std::istringstream lines(decode.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') {
            hashes.push_back(line.substr(line.rfind(',') + 1));
        }
    }
    return hashes;
}

class ConsumerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!avitest::haveTool("ffprobe") || !avitest::haveTool("ffmpeg")) {
            GTEST_SKIP() << "ffmpeg or ffprobe not installed";
        }
        dir = avitest::scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        h264 = avitest::encodeClip(dir, true, 36, 176, 144);
        ASSERT_EQ(h264.frames.size(), 36U);
        writer.setOutputPath(out());
        writer.resetOutput();
    }
    void TearDown() override {
        if (!dir.empty() && !HasFailure()) {
            std::filesystem::remove_all(dir);
        }
    }
    std::string out() const { return (dir / "out.avi").string(); }

    void writeClipFrames(const avitest::Clip& clip, VideoKind kind, std::uint32_t width,
                         std::uint32_t height, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (clip.keys[i]) {
                ASSERT_TRUE(writer.selectVideoStream(kind, width, height, 25));
            }
            ASSERT_TRUE(writer.writeVideoFrame(clip.frames[i], clip.keys[i]));
        }
    }

    std::filesystem::path dir;
    avitest::Clip h264;
    FileAviWriter writer;
};

// Two video streams of different kinds and sizes with 8-bit audio between them: the table,
// the packets and their key flags are what was written; the second video stream's first
// packet carries the shared position at which it was written.
TEST_F(ConsumerTest, ProbeSeesStreamsPacketsAndKeys) {
    const avitest::Clip mpeg4 = avitest::encodeClip(dir, false, 12, 128, 96);
    ASSERT_EQ(mpeg4.frames.size(), 12U);
    writeClipFrames(h264, VIDEO_KIND_H264, 176, 144, 0, 12);
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM8, 2, 25));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(writer.writeAudioFrame(avitest::frameBytes(i == 4 ? 0 : 320, 9)));
    }
    writeClipFrames(mpeg4, VIDEO_KIND_MPEG4, 128, 96, 0, 12);
    writeClipFrames(h264, VIDEO_KIND_H264, 176, 144, 12, 24);
    ASSERT_TRUE(writer.closeOutput()) << writer.failureText();

    EXPECT_EQ(probeStreams(out()), (std::vector<std::string>{
                                       "h264,H264,176,144,25/1",
                                       "pcm_u8,[1][0][0][0],8000,8,0/0",
                                       "mpeg4,XVID,128,96,25/1",
                                   }));
    const std::vector<Packet> packets = probePackets(out());
    std::vector<Packet> per[3];
    for (const Packet& p : packets) {
        ASSERT_LT(p.stream, 3);
        per[p.stream].push_back(p);
    }
    ASSERT_EQ(per[0].size(), 24U);
    ASSERT_EQ(per[1].size(), 9U);  // the empty audio chunk is no packet
    ASSERT_EQ(per[2].size(), 12U);
    for (std::size_t i = 0; i < 24; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(per[0][i].key, h264.keys[i]);
        EXPECT_EQ(per[0][i].size, h264.frames[i].size());
        EXPECT_EQ(per[0][i].dts, static_cast<long long>(i < 12 ? i : i + 12));
    }
    for (std::size_t i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(per[2][i].key, mpeg4.keys[i]);
        EXPECT_EQ(per[2][i].size, mpeg4.frames[i].size());
        EXPECT_EQ(per[2][i].dts, static_cast<long long>(12 + i));
    }
    EXPECT_EQ(per[1].back().dts, 8 * 320);  // audio time counts samples, not chunks
    EXPECT_EQ(run("ffmpeg -v error -i " + quote(out()) + " -f null - 2>&1").out, "");
    // The same with the index ignored: the chunks themselves carry the timeline.
    EXPECT_EQ(probePackets(out(), "-fflags +ignidx").size(), packets.size());
}

// An H.264 clip cut into frames and written with 16-bit audio decodes to the same pictures
// as the clip itself; also with the OpenDML layout forced by a small RIFF limit.
TEST_F(ConsumerTest, DecodesLikeTheEncodedClip) {
    const std::vector<std::string> want = frameHashes(h264.path.string());
    ASSERT_EQ(want.size(), 36U);
    for (const std::uint64_t riffBytes : {std::uint64_t{1} << 30, std::uint64_t{8192}}) {
        SCOPED_TRACE(riffBytes);
        writer.setFileLimits({.riffBytes = riffBytes, .chunkIndexEntries = 7});
        writer.resetOutput();
        for (std::size_t i = 0; i < h264.frames.size(); ++i) {
            writeClipFrames(h264, VIDEO_KIND_H264, 176, 144, i, i + 1);
            if (i == 0) {
                ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_PCM16, 1, 25));
            }
            ASSERT_TRUE(writer.writeAudioFrame(avitest::frameBytes(1280, 0)));
        }
        ASSERT_TRUE(writer.closeOutput()) << writer.failureText();
        const AviCheck check = checkAvi(FileRiffSource(out()));
        ASSERT_TRUE(check.ok()) << check.error;
        EXPECT_EQ(check.riffCount > 1, riffBytes < 100000);
        EXPECT_EQ(run("ffmpeg -v error -i " + quote(out()) + " -f null - 2>&1").out, "");
        EXPECT_EQ(frameHashes(out()), want);
        EXPECT_EQ(probeStreams(out())[1], "pcm_s16le,[1][0][0][0],16000,16,0/0");
        EXPECT_EQ(probePackets(out()).size(), 72U);
    }
}

TEST_F(ConsumerTest, MediaInfoReadsTheStreams) {
    if (!avitest::haveTool("mediainfo")) {
        GTEST_SKIP() << "mediainfo not installed";
    }
    writeClipFrames(h264, VIDEO_KIND_H264, 176, 144, 0, 36);
    ASSERT_TRUE(writer.openAudioStream(AUDIO_ENC_ALAW, 2, 25));
    for (int i = 0; i < 72; ++i) {
        ASSERT_TRUE(writer.writeAudioFrame(avitest::frameBytes(320, 0)));
    }
    ASSERT_TRUE(writer.closeOutput());
    const avitest::Command info =
        run("mediainfo --Inform='Video;%Format%,%Width%,%Height%,%FrameRate%,%FrameCount%' " +
            quote(out()) +
            " && mediainfo --Inform='Audio;%Format%,%SamplingRate%,%BitDepth%,%Channel(s)%' " +
            quote(out()));
    EXPECT_EQ(info.out, "AVC,176,144,25.000,36\nPCM,8000,16,1\n");
}

// Past 4 GiB: the OpenDML layout keeps every packet reachable and the end seekable, and
// the writer's memory stays small. The write runs in a child process so its peak resident
// size can be measured alone.
TEST(AviLarge, PastFourGiBStaysReadableAndSeekable) {
    if (!avitest::haveTool("ffprobe")) {
        GTEST_SKIP() << "ffprobe not installed";
    }
    const auto dir = avitest::scratchDir("large");
    const avitest::Clip clip = avitest::encodeClip(dir, true, 1, 176, 144);
    ASSERT_EQ(clip.frames.size(), 1U);
    // A real key frame padded with trailing zero bytes, which the H.264 syntax allows.
    std::vector<std::uint8_t> frame = clip.frames[0];
    frame.resize(400000, 0);
    constexpr int FRAMES = 10800;  // 432 s at 25 frames per second: 4.33 GB
    const std::string path = (dir / "large.avi").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileAviWriter writer;
        writer.setOutputPath(path);
        writer.resetOutput();
        const std::vector<std::uint8_t> audio = avitest::frameBytes(1280, 3);
        bool ok = writer.selectVideoStream(VIDEO_KIND_H264, 176, 144, 25) &&
                  writer.openAudioStream(AUDIO_ENC_PCM16, 1, 25);
        for (int i = 0; ok && i < FRAMES; ++i) {
            ok = writer.writeVideoFrame(frame, true) && writer.writeAudioFrame(audio);
        }
        ok = ok && writer.closeOutput();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const long peakKiB = usage.ru_maxrss;
    std::printf("peak resident size of the 4 GiB write: %ld KiB\n", peakKiB);
    ::testing::Test::RecordProperty("peak_rss_kib", std::to_string(peakKiB));
    EXPECT_LT(peakKiB, 64 * 1024);
    EXPECT_GT(std::filesystem::file_size(path), std::uint64_t{1} << 32);

    const AviCheck check = checkAvi(FileRiffSource(path));
    ASSERT_TRUE(check.ok()) << check.error;
    EXPECT_GE(check.riffCount, 5U);
    EXPECT_EQ(check.indexOf(0).size(), static_cast<std::size_t>(FRAMES));
    EXPECT_EQ(check.odmlTotalFrames, static_cast<std::uint32_t>(FRAMES));

    const std::vector<Packet> packets = probePackets(path);
    std::size_t video = 0;
    std::size_t audio = 0;
    for (const Packet& p : packets) {
        if (p.stream == 0) {
            EXPECT_EQ(p.dts, static_cast<long long>(video));
            EXPECT_TRUE(p.key);
            ++video;
        } else {
            ++audio;
        }
    }
    EXPECT_EQ(video, static_cast<std::size_t>(FRAMES));
    EXPECT_EQ(audio, static_cast<std::size_t>(FRAMES));
    // Seeking to the last second lands there, in the last RIFF.
    const avitest::Command seek =
        run("ffprobe -v error -select_streams v -read_intervals 431%+#3 -show_entries "
            "packet=dts -of csv=p=0 " +
            quote(path));
    EXPECT_EQ(seek.out, "10775\n10776\n10777\n");
    std::filesystem::remove_all(dir);
}

// A hundred hours at 25 frames a second in one stream, past what 512 standard index blocks
// of 16,384 chunks hold: one-byte frames keep the file small. Every frame is indexed and
// read back, by the checker and by ffprobe.
TEST(AviLarge, HundredHoursOfFramesAreAllIndexed) {
    if (!avitest::haveTool("ffprobe")) {
        GTEST_SKIP() << "ffprobe not installed";
    }
    const auto dir = avitest::scratchDir("long");
    constexpr int FRAMES = 9000000;
    const std::string path = (dir / "long.avi").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileAviWriter writer;
        writer.setOutputPath(path);
        writer.resetOutput();
        const std::vector<std::uint8_t> frame = avitest::frameBytes(1, 7);
        bool ok = writer.selectVideoStream(VIDEO_KIND_H264, 64, 64, 25);
        for (int i = 0; ok && i < FRAMES; ++i) {
            ok = writer.writeVideoFrame(frame, i % 250 == 0);
        }
        ok = ok && writer.closeOutput();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::printf("peak resident size of the 100-hour write: %ld KiB\n", usage.ru_maxrss);
    EXPECT_LT(usage.ru_maxrss, 64 * 1024);

    {
        const AviCheck check = checkAvi(FileRiffSource(path));
        ASSERT_TRUE(check.ok()) << check.error;
        EXPECT_EQ(check.indexOf(0).size(), static_cast<std::size_t>(FRAMES));
        EXPECT_EQ(check.odmlTotalFrames, static_cast<std::uint32_t>(FRAMES));
    }
    const avitest::Command count =
        run("ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " +
            quote(path));
    EXPECT_EQ(count.out, std::to_string(FRAMES) + "\n");
    const avitest::Command seek =
        run("ffprobe -v error -read_intervals 359990%+#2 -show_entries packet=dts -of csv=p=0 " +
            quote(path));
    EXPECT_EQ(seek.out, "8999750\n8999751\n");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace trunvex
