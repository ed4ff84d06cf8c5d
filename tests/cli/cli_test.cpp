// trunvex-cli end to end: recordings made from real encoded content by trunvex-mkrecording,
// converted, and read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <regex>

#include "run/run_messages.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using test::runCommand;
using test::shellQuote;

const std::string CLI = TRUNVEX_CLI;
const std::string MAKER = TRUNVEX_MKRECORDING;

struct Expected {
    int videoChunks = 0;
    int audioChunks = 0;
    int videoStreams = 0;
};

// Makes a recording with the generator; its summary line says what a conversion must give.
Expected makeRecording(const std::string& options, const fs::path& out) {
    const fs::path stem = out.parent_path() / out.stem();
    const test::CommandResult r =
        runCommand(shellQuote(MAKER) + " " + options + " --out " + shellQuote(out.string()) +
                   " --annexb-out " + shellQuote(stem.string() + ".video") + " --pcm-out " +
                   shellQuote(stem.string() + ".pcm"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    const std::regex summary(R"((\d+) video and (\d+) audio chunks expected in (\d+) video)");
    EXPECT_TRUE(std::regex_search(r.out, m, summary)) << r.out;
    if (m.empty()) {
        return {};
    }
    return {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
}

std::map<std::string, std::string> probe(const fs::path& avi) {
    const test::CommandResult r = runCommand(
        "ffprobe -v error -count_packets -show_entries "
        "stream=codec_name,codec_type,width,height,sample_rate,bits_per_sample,nb_read_packets "
        "-of flat " +
        shellQuote(avi.string()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return test::parseFlat(r.out);
}

// Every frame ffmpeg decodes from `a` and from `b`, by checksum.
std::string frameChecksums(const std::string& input) {
    const test::CommandResult r = runCommand("ffmpeg -v error " + input + " -f framemd5 -");
    std::string sums;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            sums += line.substr(line.rfind(',') + 1) + "\n";
        }
    }
    return sums;
}

class CliConversion : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::findProgram("ffmpeg").empty() || test::findProgram("ffprobe").empty()) {
            GTEST_SKIP() << "ffmpeg and ffprobe are needed";
        }
        dir = test::makeTempDir("cli");
    }
    fs::path dir;
};

TEST_F(CliConversion, RecordingsConvertToWhatPlayersRead) {
    struct Case {
        const char* name;
        std::string options;
        std::string videoCodec;
        std::string audioCodec;  // empty: no audio stream expected
        std::string sampleRate;
    };
    const Case cases[] = {
        {"h264_nal_lists_adpcm",
         "--video h264 --size 352x288 --seconds 3 --audio adpcm --audio-rate 8000 "
         "--audio-first --junk --skip-records",
         "h264", "pcm_s16le", "8000"},
        {"h264_annexb_pcm16",
         "--video h264-annexb --size 176x144 --seconds 2 --audio pcm16 --audio-rate 16000", "h264",
         "pcm_s16le", "16000"},
        {"mpeg4_alaw", "--video mpeg4 --size 320x240 --seconds 2 --audio alaw --audio-rate 8000",
         "mpeg4", "pcm_s16le", "8000"},
        {"h264_pcm8_truncated",
         "--video h264 --size 176x144 --seconds 2 --audio pcm8 --audio-rate 16000 --truncate 3000",
         "h264", "pcm_u8", "16000"},
        {"h264_size_changes",
         "--video h264 --size 352x288 --seconds 3 --audio adpcm --audio-rate 16000 --size-change "
         "176x144@1 "
         "--size-change 352x288@2",
         "h264", "pcm_s16le", "16000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path rec = dir / (std::string(c.name) + ".264");
        const fs::path avi = dir / (std::string(c.name) + ".avi");
        const Expected expected = makeRecording(c.options, rec);
        const test::CommandResult run =
            runCommand(shellQuote(CLI) + " " + shellQuote(rec.string()));
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, std::string(MSG_SUCCEEDED) + "\n");

        const auto streams = probe(avi);
        int videoPackets = 0;
        for (int s = 0; s < expected.videoStreams; ++s) {
            const std::string key = "streams.stream." + std::to_string(s == 0 ? 0 : s + 1);
            EXPECT_EQ(streams.at(key + ".codec_name"), c.videoCodec);
            videoPackets += std::stoi(streams.at(key + ".nb_read_packets"));
        }
        // Empty fill chunks of the other streams are not packets.
        EXPECT_EQ(videoPackets, expected.videoChunks);
        if (!c.audioCodec.empty()) {
            EXPECT_EQ(streams.at("streams.stream.1.codec_name"), c.audioCodec);
            EXPECT_EQ(streams.at("streams.stream.1.sample_rate"), c.sampleRate);
            EXPECT_EQ(streams.at("streams.stream.1.nb_read_packets"),
                      std::to_string(expected.audioChunks));
        }
        const test::CommandResult decode =
            runCommand("ffmpeg -v error -i " + shellQuote(avi.string()) + " -f null -");
        EXPECT_EQ(decode.exitCode, 0);
        EXPECT_EQ(decode.err, "");

        // Audio bytes exactly as the generator's decoder model says.
        const fs::path pcm = dir / (std::string(c.name) + ".out.pcm");
        EXPECT_EQ(
            runCommand("ffmpeg -v error -y -i " + shellQuote(avi.string()) +
                       " -map 0:a -c copy -f " + (c.audioCodec == "pcm_u8" ? "u8 " : "s16le ") +
                       shellQuote(pcm.string()))
                .exitCode,
            0);
        EXPECT_TRUE(test::readFile(pcm) == test::readFile(dir / (std::string(c.name) + ".pcm")));
        if (expected.videoStreams == 1) {
            // The frames decode to exactly those of the generator's source clip.
            const fs::path video = dir / (std::string(c.name) + ".video");
            const std::string format = c.videoCodec == "h264" ? "h264" : "m4v";
            EXPECT_EQ(frameChecksums("-i " + shellQuote(avi.string()) + " -map 0:v"),
                      frameChecksums("-f " + format + " -i " + shellQuote(video.string())));
        }
    }
}

TEST_F(CliConversion, ExitStatusAndMessagePerOutcome) {
    const fs::path rec = dir / "rec.264";
    makeRecording("--video h264 --size 176x144 --seconds 1 --audio off", rec);
    ASSERT_TRUE(test::writeFile(dir / "junk.264", std::vector<std::uint8_t>(70000, 0x55)));
    fs::create_symlink(rec, dir / "link.avi");
    struct Case {
        std::string args;
        int status;
        std::string_view message;
    };
    const Case cases[] = {
        {shellQuote(rec.string()) + " " + shellQuote((dir / "one.avi").string()), 0, MSG_SUCCEEDED},
        {shellQuote((dir / "junk.264").string()), 3, MSG_NO_FRAMES},
        {"'' x.avi", 4, MSG_PATH_EMPTY},
        {shellQuote((dir / "missing.264").string()), 5, MSG_SOURCE_OPEN_FAILED},
        {shellQuote(rec.string()) + " " + shellQuote((dir / "link.avi").string()), 6,
         MSG_SAME_FILE},
        {shellQuote(rec.string()) + " " + shellQuote((dir / "no" / "dir.avi").string()), 2,
         MSG_OUTPUT_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const test::CommandResult r = runCommand(shellQuote(CLI) + " " + c.args);
        EXPECT_EQ(r.exitCode, c.status);
        EXPECT_EQ(r.out, std::string(c.message) + "\n");
    }
    EXPECT_FALSE(fs::exists(dir / "junk.avi"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.avi"));
}

TEST_F(CliConversion, BatchConvertsEachBesideItself) {
    std::vector<fs::path> sources;
    for (int i = 0; i < 3; ++i) {
        sources.push_back(dir / ("cam" + std::to_string(i) + ".264"));
        makeRecording(
            "--video h264 --size 176x144 --seconds 1 --audio alaw --seed " + std::to_string(i),
            sources.back());
    }
    ASSERT_TRUE(test::writeFile(dir / "empty.264", {}));
    std::string args = "-j 2";
    for (const fs::path& s : sources) {
        args += " " + shellQuote(s.string());
    }
    args += " " + shellQuote((dir / "empty.264").string());
    const test::CommandResult r = runCommand(shellQuote(CLI) + " " + args);
    EXPECT_EQ(r.exitCode, 3);  // the first file that did not convert
    for (const fs::path& s : sources) {
        EXPECT_NE(r.out.find(s.string() + ": " + std::string(MSG_SUCCEEDED)), std::string::npos);
        EXPECT_TRUE(fs::exists(fs::path(s).replace_extension(".avi")));
    }
    EXPECT_NE(r.out.find("empty.264: " + std::string(MSG_NO_FRAMES)), std::string::npos);
}

TEST_F(CliConversion, InfoDescribesWithoutWriting) {
    const fs::path rec = dir / "info.264";
    makeRecording("--video mpeg4 --size 320x240 --seconds 2 --audio pcm16 --junk", rec);
    const test::CommandResult r =
        runCommand(shellQuote(CLI) + " --info " + shellQuote(rec.string()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const char* text : {"MPEG-4 320x240, 25 fps", "16-bit PCM (code 12)",
                             "duration: video 2.00 s", "invalid headers"}) {
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    }
    EXPECT_FALSE(fs::exists(dir / "info.avi"));
    const test::CommandResult version = runCommand(shellQuote(CLI) + " --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("trunvex-cli 1.0"), std::string::npos);
}

}  // namespace
}  // namespace trunvex
