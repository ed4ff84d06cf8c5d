// trunvex-cli end to end: recordings made from real encoded content by trunvex-mkrecording,
// converted, and read back by ffprobe and ffmpeg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "cli/cli_support.h"
#include "cli/source_tree.h"
#include "platform/source_reader.h"
#include "run/run_messages.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using test::runCommand;
using test::shellQuote;

using test::CLI;
using test::makeRecording;
using test::probe;

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
        const test::Expected expected = makeRecording(c.options, rec);
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
        // An AVI path given empty is an empty path, not the default one.
        {"-o '' " + shellQuote(rec.string()), 4, MSG_PATH_EMPTY},
        {"--output= " + shellQuote(rec.string()), 4, MSG_PATH_EMPTY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const test::CommandResult r = runCommand(shellQuote(CLI) + " " + c.args);
        EXPECT_EQ(r.exitCode, c.status);
        // A success on standard output; a failure, with its reason, on standard error alone.
        const std::string said = std::string(c.message) + "\n";
        if (c.status == 0) {
            EXPECT_EQ(r.out, said);
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_TRUE(r.err.starts_with("trunvex-cli: " + said)) << r.err;
        }
    }
    EXPECT_FALSE(fs::exists(dir / "junk.avi"));
    EXPECT_FALSE(fs::exists(dir / "rec.avi"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.avi"));
}

TEST_F(CliConversion, SourceThatCannotBeOpenedSaysWhy) {
    fs::create_directory(dir / "folder.264");
    const struct {
        fs::path source;
        std::string reason;
    } cases[] = {{dir / "missing.264", "No such file or directory"},
                 {dir / "folder.264", "Is a directory (-r converts the recordings in it)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        const test::CommandResult r = test::runCli(shellQuote(c.source.string()));
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "trunvex-cli: " + std::string(MSG_SOURCE_OPEN_FAILED) +
                             "\ntrunvex-cli: " + c.source.string() + ": " + c.reason + "\n");
    }
}

// With every descriptor in use the reason is the system's own too. Run in this process: the
// program itself could not even load its libraries with so low a limit.
TEST(SourceOpener, RunningOutOfDescriptorsSaysSo) {
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
        held.push_back(fd);
    }
    std::string failure;
    const bool opened = commandLineSourceOpener().open(TRUNVEX_SAMPLE, failure) != nullptr;
    for (int fd : held) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(opened);
    EXPECT_EQ(failure, "Too many open files");
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
    EXPECT_NE(r.err.find("empty.264: " + std::string(MSG_NO_FRAMES)), std::string::npos);
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
    // Over several sources every line says which one it is about, a failure's included.
    const test::CommandResult several = test::runCli("--info " + shellQuote(rec.string()) + " " +
                                                     shellQuote((dir / "missing.264").string()));
    EXPECT_EQ(several.exitCode, 5);
    std::istringstream lines(several.out);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(line.starts_with(rec.string() + ": ")) << line;
    }
    EXPECT_GE(count, 7);
    EXPECT_TRUE(several.err.starts_with("trunvex-cli: " + (dir / "missing.264").string() + ": " +
                                        std::string(MSG_SOURCE_OPEN_FAILED) + "\n"))
        << several.err;
    const test::CommandResult version = runCommand(shellQuote(CLI) + " --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("trunvex-cli 1.0"), std::string::npos);
}

TEST_F(CliConversion, BatchPrintsInTheOrderGiven) {
    // The first source takes longest, so with several at once it finishes last.
    const fs::path big = dir / "big.264";
    makeRecording("--video h264 --size 352x288 --seconds 4 --audio pcm16", big, true);
    const fs::path small = dir / "small.264";
    makeRecording("--video h264 --size 96x96 --seconds 1 --audio off", small, true);
    std::string args = "-j 4 " + shellQuote(big.string());
    std::string expected = big.string() + ": " + std::string(MSG_SUCCEEDED) + "\n";
    const std::string missing = (dir / "missing.264").string();
    for (int i = 0; i < 6; ++i) {
        const fs::path copy = dir / ("small" + std::to_string(i) + ".264");
        fs::copy_file(small, copy);
        args += " " + shellQuote(i == 3 ? missing : copy.string());
        if (i != 3) {
            expected += copy.string() + ": " + std::string(MSG_SUCCEEDED) + "\n";
        }
    }
    for (int run = 0; run < 3; ++run) {
        const test::CommandResult r = test::runCli(args);
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "trunvex-cli: " + missing + ": " + std::string(MSG_SOURCE_OPEN_FAILED) +
                             "\ntrunvex-cli: " + missing + ": No such file or directory\n");
    }
}

TEST_F(CliConversion, StandardInputIsASource) {
    const fs::path rec = dir / "stdin.264";
    makeRecording("--video h264 --size 176x144 --seconds 1 --audio adpcm", rec, true);
    ASSERT_EQ(test::runCli(shellQuote(rec.string())).exitCode, 0);
    const std::vector<std::uint8_t> fromFile = test::readFile(dir / "stdin.avi");
    const std::string quotedRec = shellQuote(rec.string());
    const struct {
        std::string command;
        fs::path avi;
    } ways[] = {
        {"cat " + quotedRec + " | " + shellQuote(CLI) + " - " +
             shellQuote((dir / "piped.avi").string()),
         dir / "piped.avi"},
        {shellQuote(CLI) + " -o " + shellQuote((dir / "redirected.avi").string()) + " - < " +
             quotedRec,
         dir / "redirected.avi"},
        // After '-' the AVI path is taken whatever its name.
        {"cat " + quotedRec + " | " + shellQuote(CLI) + " - " +
             shellQuote((dir / "recording_out").string()),
         dir / "recording_out"},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.command);
        const test::CommandResult r = runCommand(way.command);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, std::string(MSG_SUCCEEDED) + "\n");
        EXPECT_TRUE(test::readFile(way.avi) == fromFile);
    }
    // Without an AVI path there is nowhere to write; redirected from the AVI path itself, the
    // recording would be destroyed.
    const test::CommandResult bare = runCommand(shellQuote(CLI) + " - < " + quotedRec);
    EXPECT_EQ(bare.exitCode, 64);
    EXPECT_NE(bare.err.find("standard input"), std::string::npos) << bare.err;
    const test::CommandResult same =
        runCommand(shellQuote(CLI) + " -o " + quotedRec + " - < " + quotedRec);
    EXPECT_EQ(same.exitCode, 6);
    EXPECT_EQ(test::readFile(rec).size(), fs::file_size(rec));
}

// Runs `command` with its standard error (and output) on a pseudo-terminal `columns` wide;
// everything it wrote there.
std::string onTerminal(const std::string& command, unsigned short columns) {
    struct winsize size {};
    size.ws_col = columns;
    size.ws_row = 24;
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string text;
    if (child < 0) {
        return text;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // EIO once the child has closed its side
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(terminal);
    int status = 0;
    ::waitpid(child, &status, 0);
    return text;
}

// The status lines drawn: the pieces between carriage returns, escapes removed.
std::vector<std::string> drawnLines(std::string text) {
    for (std::size_t at; (at = text.find("\033[K")) != std::string::npos;) {
        text.erase(at, 3);
    }
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) {
                lines.push_back(line);
            }
            line.clear();
        } else {
            line += c;
        }
    }
    return lines;
}

TEST_F(CliConversion, ProgressBarFitsANarrowTerminal) {
    std::string sources;
    for (int i = 0; i < 3; ++i) {
        const fs::path rec = dir / ("bar" + std::to_string(i) + ".264");
        makeRecording(
            "--video h264 --size 176x144 --seconds 2 --audio pcm16 --seed " + std::to_string(i),
            rec, true);
        sources += " " + shellQuote(rec.string());
    }
    auto firstDrawn = [](const std::string& text) {
        const std::vector<std::string> lines = drawnLines(text);
        return lines.empty() ? std::string() : lines.front();
    };
    const std::string batch =
        firstDrawn(onTerminal(shellQuote(CLI) + " -j 1" + sources + " > /dev/null", 40));
    EXPECT_NE(batch.find("/3 files"), std::string::npos) << batch;
    EXPECT_NE(batch.find(" MB / "), std::string::npos) << batch;
    EXPECT_NE(batch.find('['), std::string::npos) << batch;
    const std::string piped =
        firstDrawn(onTerminal("cat" + sources + " | " + shellQuote(CLI) + " - " +
                                  shellQuote((dir / "p.avi").string()) + " > /dev/null",
                              40));
    EXPECT_NE(piped.find("MB"), std::string::npos) << piped;
    EXPECT_EQ(piped.find('%'), std::string::npos) << piped;
    EXPECT_EQ(piped.find("left"), std::string::npos) << piped;
    for (const std::string& line :
         drawnLines(onTerminal(shellQuote(CLI) + " -j 2" + sources + " > /dev/null", 40))) {
        if (!line.starts_with("trunvex-cli: ")) {  // the closing summary is no status line
            EXPECT_LT(line.size(), 40u) << line;
        }
    }
}

}  // namespace
}  // namespace trunvex
