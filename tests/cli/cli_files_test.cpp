// trunvex-cli and the files around it: where AVIs go, batches that would overwrite their own
// output, a reader that goes away, interruptions. Needs no ffmpeg: the recordings are copies
// of the repository's sample.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "common/failure_texts.h"
#include "run/run_messages.h"
#include "support/test_support.h"

extern char** environ;

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using test::runCommand;
using test::shellQuote;
using Bytes = std::vector<std::uint8_t>;

const std::string CLI = TRUNVEX_CLI;
const fs::path SAMPLE = TRUNVEX_SAMPLE;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        names.push_back(fs::relative(entry.path(), dir).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Starts trunvex-cli with `args`; its standard output goes to `out`, its standard error to
// `errPath`. Returns the child's id, or -1.
pid_t startCli(const std::vector<std::string>& args, int out, const fs::path& errPath) {
    std::vector<std::string> all = {CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = -1;
    if (posix_spawn(&child, CLI.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        child = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CliFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test::makeTempDir("cli_files");
        sample = test::readFile(SAMPLE);
        ASSERT_FALSE(sample.empty());
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path copySample(const fs::path& relative) {
        fs::create_directories((dir / relative).parent_path());
        EXPECT_TRUE(test::writeFile(dir / relative, sample));
        return dir / relative;
    }
    // trunvex-cli run in `dir` with `args` (already quoted).
    test::CommandResult cli(const std::string& args) {
        return runCommand("cd " + shellQuote(dir.string()) + " && " + shellQuote(CLI) + " -q " +
                          args);
    }
    fs::path dir;
    Bytes sample;
};

// A link planted where a batch puts an AVI it names itself (beside a walked recording,
// under --output-dir, beside a source named on its own) is refused with its reason, the
// batch goes on, and the file the link names stays as it was; a typed AVI path is written
// through a link, as cp writes.
TEST_F(CliFiles, DerivedAvisAreNotWrittenThroughLinks) {
    const Bytes kept = {1, 2, 3};
    const struct {
        const char* args;
        const char* link;
        bool followed;
    } cases[] = {
        {"-r tree", "tree/cam1/rec.avi", false},
        {"-r tree --output-dir out", "out/cam1/rec.avi", false},
        {"tree/cam1/rec.264 tree/cam2/rec.264", "tree/cam1/rec.avi", false},
        {"tree/cam1/rec.264 tree/cam1/rec.avi", "tree/cam1/rec.avi", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        fs::remove_all(dir);
        copySample("tree/cam1/rec.264");
        copySample("tree/cam2/rec.264");
        ASSERT_TRUE(test::writeFile(dir / "victim.conf", kept));
        fs::create_directories((dir / c.link).parent_path());
        fs::create_symlink(dir / "victim.conf", dir / c.link);
        const test::CommandResult r = cli(c.args);
        EXPECT_TRUE(fs::is_symlink(dir / c.link));
        if (c.followed) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_NE(test::readFile(dir / "victim.conf"), kept);
            continue;
        }
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find(LINK_NOT_FOLLOWED_TEXT), std::string::npos) << r.err;
        EXPECT_EQ(test::readFile(dir / "victim.conf"), kept);
        const fs::path other = fs::path(c.link).parent_path().parent_path() / "cam2" / "rec.avi";
        EXPECT_TRUE(fs::is_regular_file(dir / other)) << other;
    }
}

// The AVI goes beside its source, named after it, whatever dots the folders hold.
TEST_F(CliFiles, DefaultAviIsBesideTheSource) {
    copySample("d.x/rec");
    copySample("plain.264");
    copySample("sub.dir/two.dots.mp4");
    const test::CommandResult r = cli("d.x/rec plain.264 sub.dir/two.dots.mp4");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{
                                "d.x", "d.x/rec", "d.x/rec.avi", "plain.264", "plain.avi",
                                "sub.dir", "sub.dir/two.dots.avi", "sub.dir/two.dots.mp4"}));
}

// An AVI path that names the source itself is no AVI that is up to date: the pair is refused
// as without --skip-existing, never reported as skipped.
TEST_F(CliFiles, SkipExistingDoesNotTakeTheSourceForItsAvi) {
    copySample("a.264");
    fs::create_hard_link(dir / "a.264", dir / "hard.264");
    for (const char* args :
         {"--skip-existing -o a.264 a.264", "--skip-existing -o hard.264 a.264"}) {
        SCOPED_TRACE(args);
        const test::CommandResult r = cli(args);
        EXPECT_EQ(r.exitCode, 6);
        EXPECT_EQ(r.err, "trunvex-cli: " + std::string(MSG_SAME_FILE) + "\n");
    }
    EXPECT_TRUE(test::readFile(dir / "a.264") == sample);
}

// A file whose name begins with '-' reads as an option; the usage error says how to name it,
// and named that way it converts.
TEST_F(CliFiles, AFileNamedLikeAnOptionIsShownHowToNameIt) {
    copySample("-rec.264");
    const test::CommandResult r = cli("-rec.264");
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_NE(r.err.find("write ./-rec.264 or put it after '--'"), std::string::npos) << r.err;
    EXPECT_EQ(cli("-- -rec.264").exitCode, 0);
    EXPECT_TRUE(fs::exists(dir / "-rec.avi"));
}

// Every usage error is the program's own line, naming what it did not understand.
TEST_F(CliFiles, UsageErrorsSayWhatWasWrong) {
    copySample("a.264");
    const struct {
        const char* args;
        const char* said;
    } cases[] = {
        {"--bogus", "trunvex-cli: unknown option --bogus\n"},
        {"a.264 --bogus -x", "trunvex-cli: unknown option --bogus\n"},
        {"", "trunvex-cli: no SOURCE given\n"},
        {"-j 0 a.264", "trunvex-cli: --jobs: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const test::CommandResult r = cli(c.args);
        EXPECT_EQ(r.exitCode, 64);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with(c.said)) << r.err;
        EXPECT_TRUE(r.err.ends_with("Try 'trunvex-cli --help' for more information.\n")) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "a.avi"));
}

// A folder named last is where the AVIs go, as with cp; a new name after one recording is its
// AVI; a folder anywhere else is refused with the way to convert it.
TEST_F(CliFiles, LastPathSaysWhereTheAvisGo) {
    copySample("a.264");
    copySample("b.mp4");
    copySample("tree/c.264");
    fs::create_directory(dir / "out");
    EXPECT_EQ(cli("a.264 b.mp4 out").exitCode, 0);
    EXPECT_EQ(cli("a.264 out3").exitCode, 0);
    EXPECT_EQ(cli("a.264 out3").exitCode, 0);  // again: out3 is an AVI by now
    EXPECT_TRUE(test::readFile(dir / "out3") == test::readFile(dir / "out/a.avi"));
    const test::CommandResult folder = cli("tree a.264 out");
    EXPECT_EQ(folder.exitCode, 5);
    EXPECT_NE(folder.err.find("trunvex-cli: tree: Is a directory (-r converts the recordings in "
                              "it)\n"),
              std::string::npos)
        << folder.err;
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"a.264", "b.mp4", "out", "out/a.avi",
                                                      "out/b.avi", "out3", "tree", "tree/c.264"}));
}

// Two sources that would be converted to one AVI are refused before anything is converted;
// a source given twice, in any spelling, is converted once.
TEST_F(CliFiles, SourcesThatShareAnAviAreRefused) {
    copySample("a.264");
    copySample("a.mp4");
    copySample("d/rec.264");
    fs::create_directory_symlink("d", dir / "alias");
    const std::vector<std::string> before = namesIn(dir);
    struct Case {
        const char* args;
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"a.264 a.mp4", "a.264", "a.mp4"},
        {"-j 2 a.264 d/../a.mp4", "a.264", "d/../a.mp4"},
        {"d/rec.264 alias/rec.mp4 a.264", "d/rec.264", "alias/rec.mp4"},
    };
    copySample("d/rec.mp4");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const std::vector<std::string> present = namesIn(dir);
        const test::CommandResult r = cli(c.args);
        EXPECT_EQ(r.exitCode, 64);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.first), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
        EXPECT_EQ(namesIn(dir), present);
    }
    const test::CommandResult twice = cli("a.264 ./a.264 alias/../a.264");
    EXPECT_EQ(twice.exitCode, 0) << twice.err;
    EXPECT_EQ(twice.out, "");  // quiet: nothing but failures
    EXPECT_EQ(twice.err, "");
    EXPECT_TRUE(fs::exists(dir / "a.avi"));
}

// A reader of standard output that goes away does not stop the batch.
TEST_F(CliFiles, ClosedOutputDoesNotStopABatch) {
    std::vector<std::string> args = {"-q", "-j", "2"};
    for (const char* name : {"one.264", "two.264", "three.264"}) {
        args.push_back(copySample(name).string());
    }
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);  // nobody reads: the first message meets a broken pipe
    const pid_t child = startCli(args, pipeEnds[1], dir / "stderr.txt");
    ::close(pipeEnds[1]);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const char* name : {"one.avi", "two.avi", "three.avi"}) {
        EXPECT_TRUE(fs::exists(dir / name)) << name;
    }
}

// Eight conversions, four at a time: every AVI is the one a lone conversion writes, and
// nothing is said on standard error (a thread sanitizer build reports races there).
TEST_F(CliFiles, BatchOfEightAtFourJobsMatchesLoneConversions) {
    copySample("lone.264");
    const test::CommandResult lone = cli("lone.264");
    ASSERT_EQ(lone.exitCode, 0) << lone.err;
    const Bytes expected = test::readFile(dir / "lone.avi");
    std::string args = "-j 4";
    for (int i = 0; i < 8; ++i) {
        args += " cam" + std::to_string(i) + ".264";
        copySample("cam" + std::to_string(i) + ".264");
    }
    const test::CommandResult r = cli(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(test::readFile(dir / ("cam" + std::to_string(i) + ".avi")) == expected) << i;
    }
}

// Started without standard output and error, trunvex-cli must not let the files it opens take
// their numbers: its messages would land in the report (or an AVI).
TEST_F(CliFiles, ClosedStandardStreamsKeepTheReportClean) {
    copySample("a.264");
    copySample("b.264");
    const test::CommandResult r = cli("-j 2 a.264 missing.264 b.264 --report r.jsonl >&- 2>&-");
    EXPECT_EQ(r.exitCode, 5);
    std::istringstream report(readText(dir / "r.jsonl"));
    int lines = 0;
    for (std::string line; std::getline(report, line); ++lines) {
        EXPECT_TRUE(line.starts_with("{\"source\":") && line.ends_with("}")) << line;
    }
    EXPECT_EQ(lines, 3);
    EXPECT_TRUE(fs::exists(dir / "a.avi") && fs::exists(dir / "b.avi"));
}

// The report is emptied when it is opened, before anything is converted: over a source it
// would destroy the recording, over an AVI the AVI would replace it.
TEST_F(CliFiles, ReportNeverTakesThePlaceOfASourceOrAnAvi) {
    copySample("a.264");
    copySample("d/b.264");
    fs::create_hard_link(dir / "a.264", dir / "hard.264");
    fs::create_symlink("a.264", dir / "link.264");
    const char* const cases[] = {
        "a.264 --report a.264",           "a.264 --report hard.264",
        "a.264 --report link.264",        "a.264 --report d/../a.avi",
        "-r d --report d/b.264",          "-r d --output-dir o --report o/b.avi",
        "- x.avi --report x.avi < a.264",
    };
    const std::vector<std::string> before = namesIn(dir);
    for (const char* args : cases) {
        SCOPED_TRACE(args);
        const test::CommandResult r = cli(args);
        EXPECT_EQ(r.exitCode, 64);
        EXPECT_NE(r.err.find("report"), std::string::npos) << r.err;
        EXPECT_EQ(namesIn(dir), before);
        EXPECT_TRUE(test::readFile(dir / "a.264") == sample);
        EXPECT_TRUE(test::readFile(dir / "d/b.264") == sample);
    }
}

// --info writes nothing: standard input needs no AVI path, and two sources whose AVIs would
// clash are both described.
TEST_F(CliFiles, InfoNeedsNoAviPath) {
    copySample("a.264");
    copySample("a.mp4");
    const std::string size = "size: " + std::to_string(sample.size()) + " bytes";
    for (const char* args : {"--info - < a.264", "--info a.264 a.mp4"}) {
        SCOPED_TRACE(args);
        const test::CommandResult r = cli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find(size), std::string::npos) << r.out;
    }
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"a.264", "a.mp4"}));
}

// What can never be a recording is refused at once, with the reason, instead of a run that
// never ends (a device) or waits for someone to type (a terminal).
TEST_F(CliFiles, SourcesThatAreNoRecordingsAreRefusedAtOnce) {
    int terminal = -1;
    int typist = -1;
    ASSERT_EQ(::openpty(&typist, &terminal, nullptr, nullptr, nullptr), 0);
    const struct {
        std::string args;
        std::string said;
    } cases[] = {
        {"/dev/zero z.avi", "/dev/zero: " + std::string(NOT_REGULAR_FILE_TEXT)},
        {"- z.avi <&" + std::to_string(terminal), "-: " + std::string(TERMINAL_SOURCE_TEXT)},
        {"- z.avi <&-", "-: " + std::string(std::strerror(EBADF))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const test::CommandResult r = runCommand(
            "cd " + shellQuote(dir.string()) + " && timeout 20 " + shellQuote(CLI) + " " + c.args);
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "trunvex-cli: " + std::string(MSG_SOURCE_OPEN_FAILED) +
                             "\ntrunvex-cli: " + c.said + "\n");
        EXPECT_FALSE(fs::exists(dir / "z.avi"));
    }
    ::close(terminal);
    ::close(typist);
}

// An output folder that cannot be made is named with its own reason, not the "No such file or
// directory" of the AVI inside it. Permission bits do not stop root: root gets a read-only
// file system instead.
TEST_F(CliFiles, OutputFolderThatCannotBeMadeSaysWhy) {
    copySample("src/rec.264");
    const fs::path locked = dir / "locked";
    fs::create_directory(locked);
    test::UnwritableFolder unwritable(locked);
    if (!unwritable.failure().empty()) {
        GTEST_SKIP() << unwritable.failure();
    }
    const test::CommandResult r = cli("-r src --output-dir locked/out");
    const int writeError = unwritable.writeError();
    unwritable.release();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("trunvex-cli: src/rec.264: " + std::string(MSG_OUTPUT_FAILED) + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("trunvex-cli: locked/out/rec.avi: " +
                         std::string(std::strerror(writeError)) + "\n"),
              std::string::npos)
        << r.err;
}

// Short of memory, a batch of many jobs at once runs fewer at a time or fails its jobs for want
// of memory; the process is never ended by a signal (a thread that could not be started).
// Limits under which the program cannot even start are passed over.
TEST_F(CliFiles, ShortOfMemoryABatchEndsByItself) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under a memory limit";
#endif
    copySample("a.264");
    copySample("b.264");
    copySample("c.264");
    int limitsTried = 0;
    for (int megabytes = 8; megabytes <= 64; megabytes += 4) {
        SCOPED_TRACE(std::to_string(megabytes) + " MB");
        const std::string limited = "cd " + shellQuote(dir.string()) + " && ulimit -v " +
                                    std::to_string(megabytes * 1024) + " && " + shellQuote(CLI);
        if (runCommand(limited + " --version").exitCode != 0) {
            continue;
        }
        ++limitsTried;
        const test::CommandResult r = runCommand(limited + " -q -j 8 a.264 b.264 c.264");
        EXPECT_LT(r.exitCode, 128) << r.err;
        EXPECT_EQ(r.err.find("terminate"), std::string::npos) << r.err;
    }
    EXPECT_GT(limitsTried, 0);
}

// What runs trunvex-cli so that permission bits stop it: root's power to pass them by is
// dropped. Empty when they stop it anyway; nullopt when that cannot be had here.
std::optional<std::string> heldByPermissions(const fs::path& locked) {
    const std::string drop = ::geteuid() == 0 && !test::findProgram("setpriv").empty()
                                 ? "setpriv --bounding-set=-dac_override,-dac_read_search -- "
                                 : "";
    if (runCommand(drop + "ls " + shellQuote(locked.string())).exitCode == 0) {
        return std::nullopt;
    }
    return drop;
}

std::vector<std::string> reportLines(const fs::path& report) {
    std::istringstream in(readText(report));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A line without its timing, which differs from run to run.
std::string untimed(const std::string& line) {
    const std::size_t at = line.find(",\"wall_seconds\":");
    return at == std::string::npos
               ? line
               : line.substr(0, at) + line.substr(line.find_first_of(",}", at + 1));
}

// A folder of the tree that cannot be read is a failed line of its own, in the one shard whose
// share holds its place in the sorted list: the shards' reports joined are the single run's,
// with the failure counted once, and only that shard fails.
TEST_F(CliFiles, UnreadableFolderIsAFailedLineInOneShard) {
    for (const char* name : {"tree/a.264", "tree/b/c.264", "tree/locked/x.264", "tree/z.264"}) {
        copySample(name);
    }
    ::chmod((dir / "tree" / "locked").c_str(), 0);
    const std::optional<std::string> as = heldByPermissions(dir / "tree" / "locked");
    if (!as) {
        ::chmod((dir / "tree" / "locked").c_str(), 0755);
        GTEST_SKIP() << "permission bits do not stop this user";
    }
    const std::string run = "cd " + shellQuote(dir.string()) + " && " + *as + shellQuote(CLI) +
                            " -r tree --output-dir out ";
    const test::CommandResult single = runCommand(run + "--report single.jsonl");
    std::vector<std::string> joined;
    int failedShards = 0;
    for (int k = 0; k < 2; ++k) {
        const std::string report = "shard-" + std::to_string(k) + ".jsonl";
        const test::CommandResult shard =
            runCommand(run + "--shard " + std::to_string(k) + "/2 --report " + report);
        for (const std::string& line : reportLines(dir / report)) {
            joined.push_back(untimed(line));
        }
        if (shard.exitCode != 0) {
            ++failedShards;
            EXPECT_EQ(shard.exitCode, 5);
            EXPECT_NE(shard.err.find("trunvex-cli: tree/locked: " + std::string(strerror(EACCES))),
                      std::string::npos)
                << shard.err;
            EXPECT_NE(shard.err.find(", 1 failed, "), std::string::npos) << shard.err;
        }
    }
    ::chmod((dir / "tree" / "locked").c_str(), 0755);
    EXPECT_EQ(failedShards, 1);
    EXPECT_EQ(single.exitCode, 5);
    EXPECT_NE(single.err.find("3 converted, 0 skipped, 1 failed, " +
                              std::to_string(3 * sample.size()) + " bytes read"),
              std::string::npos)
        << single.err;
    std::vector<std::string> whole;
    for (const std::string& line : reportLines(dir / "single.jsonl")) {
        whole.push_back(untimed(line));
    }
    EXPECT_EQ(joined, whole);
    ASSERT_EQ(whole.size(), 4u);
    EXPECT_TRUE(whole[2].starts_with(
        R"({"source":"tree/locked","source_bytes":null,"outcome":"failed","message":)"
        R"("the folder could not be read","exit_status":5,"reason":"Permission denied","avi":null)"))
        << whole[2];
}

// The summary counts the bytes the runs read, not the size of files they never read.
TEST_F(CliFiles, SummaryCountsTheBytesRead) {
    copySample("a.264");
    copySample("locked.264");
    ::chmod((dir / "locked.264").c_str(), 0);
    const std::optional<std::string> as = heldByPermissions(dir / "locked.264");
    const struct {
        std::string args;
        std::size_t samplesRead;
    } cases[] = {
        {"-o a.264 a.264", 0},         // refused as the same file
        {"--skip-existing a.264", 0},  // skipped (its AVI is made by the row before)
        {"a.264 missing.264", 1},
        {"locked.264 a.264", 1},  // opened by nobody, when permission bits hold
    };
    ASSERT_EQ(cli("a.264").exitCode, 0);
    for (const auto& c : cases) {
        if (c.args.starts_with("locked") && !as) {
            continue;
        }
        SCOPED_TRACE(c.args);
        const test::CommandResult r =
            runCommand("cd " + shellQuote(dir.string()) + " && " + as.value_or("") +
                       shellQuote(CLI) + " --report r.jsonl " + c.args);
        EXPECT_NE(r.err.find(" failed, " + std::to_string(c.samplesRead * sample.size()) +
                             " bytes read in "),
                  std::string::npos)
            << r.err;
    }
    ::chmod((dir / "locked.264").c_str(), 0644);
}

// Small mistakes on the command line are said, never passed over in silence.
TEST_F(CliFiles, SmallMistakesAreSaid) {
    copySample("a.264");
    fs::create_directories(dir / "empty" / "sub");
    copySample("other/notes.txt");
    const struct {
        std::string args;
        int status;
        std::string said;
        std::string made;  // a file the run leaves
    } cases[] = {
        {"--ext 264 a.264", 64, "--ext chooses the recordings in folders: it needs -r", ""},
        {"-r empty", 66, "trunvex-cli: empty: no recording found (--ext 264,mp4)\n", ""},
        {"-r other --ext ''", 0, "", "other/notes.avi"},
        {"-r --ext h264 other", 66, "trunvex-cli: other: no recording found (--ext h264)\n", ""},
        {"--info --report r.jsonl a.264", 64, "--info writes nothing", ""},
        {"--report sub/dir/r.jsonl a.264", 0, "", "sub/dir/r.jsonl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const test::CommandResult r = cli(c.args);
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        if (!c.made.empty()) {
            EXPECT_TRUE(fs::exists(dir / c.made));
        }
    }
    EXPECT_FALSE(fs::exists(dir / "r.jsonl"));
}

// A name holding control characters reaches the terminal quoted, so no escape sequence in it
// acts there; a name that is not UTF-8 is kept in the report, byte for byte.
TEST_F(CliFiles, NamesSurviveTheTerminalAndTheReport) {
    copySample("tree/a\nb.264");
    copySample("tree/\x1b]0;title\a.264");
    copySample("tree/bad\xff.264");
    const test::CommandResult r =
        runCommand("cd " + shellQuote(dir.string()) + " && " + shellQuote(CLI) +
                   " -r tree missing\x1b[2J.264 --report r.jsonl");
    EXPECT_EQ(r.out,
              "'tree/'$'\\033'']0;title'$'\\a''.264': Trunvex succeeded!\n"
              "'tree/a'$'\\n''b.264': Trunvex succeeded!\n"
              "'tree/bad'$'\\377''.264': Trunvex succeeded!\n");
    EXPECT_TRUE(r.err.starts_with(
        "trunvex-cli: 'missing'$'\\033''[2J.264': " + std::string(MSG_SOURCE_OPEN_FAILED) +
        "\ntrunvex-cli: 'missing'$'\\033''[2J.264': " + std::strerror(ENOENT) + "\n"))
        << r.err;
    const std::vector<std::string> lines = reportLines(dir / "r.jsonl");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[1].starts_with(R"({"source":"tree/a\nb.264","source_bytes")")) << lines[1];
    // "tree/bad\xff.264" and "tree/bad\xff.avi" in base64
    EXPECT_TRUE(
        lines[2].starts_with("{\"source\":\"tree/bad\xef\xbf\xbd.264\",\"source_base64\":"
                             "\"dHJlZS9iYWT/LjI2NA==\","))
        << lines[2];
    EXPECT_NE(lines[2].find("\"avi_base64\":\"dHJlZS9iYWT/LmF2aQ==\""), std::string::npos);
    EXPECT_EQ(lines[0].find("source_base64"), std::string::npos);
}

// Interrupted, a batch loses no finished job's line, even one done while an earlier job still
// runs: here a source that never ends (a pipe whose writer stays) before one that converts.
// The worker that converted short.264 opens the next pipe only once it has handed that job's
// line over, so the signal waits for the pipe to show among the program's open files.
TEST_F(CliFiles, InterruptionKeepsTheLinesOfFinishedJobs) {
    copySample("short.264");
    ASSERT_EQ(::mkfifo((dir / "long.264").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "next.264").c_str(), 0644), 0);
    const std::string cli =
        shellQuote(CLI) + " -q -j 2 long.264 short.264 next.264 --report r.jsonl 3>&- 4>&-";
    const test::CommandResult r = runCommand(
        "cd " + shellQuote(dir.string()) + " && exec 3<>long.264 4<>next.264 && { " + cli +
        " & pid=$!; for i in $(seq 3000); do ls -l /proc/$pid/fd | grep -q 'next\\.264$' && "
        "break; sleep 0.01; done; kill -TERM $pid; wait $pid; }");
    EXPECT_EQ(r.exitCode, 128 + SIGTERM) << r.err;
    ASSERT_TRUE(fs::exists(dir / "short.avi"));
    const std::vector<std::string> lines = reportLines(dir / "r.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with(R"({"source":"short.264","source_bytes":)")) << lines[0];
    EXPECT_NE(lines[0].find(R"("outcome":"converted")"), std::string::npos) << lines[0];
}

// The size of the file that `child` writes in `dir` (not `source`), or 0 while there is none.
// An unnamed output shows in /proc as "DIR/#INODE (deleted)".
std::uintmax_t outputBytes(pid_t child, const fs::path& dir, const fs::path& source) {
    std::error_code error;
    const fs::path fds = "/proc/" + std::to_string(child) + "/fd";
    for (const auto& entry : fs::directory_iterator(fds, error)) {
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (error || target == source || !target.string().starts_with(dir.string() + "/")) {
            continue;
        }
        const std::uintmax_t size = fs::file_size(entry.path(), error);
        if (!error) {
            return size;
        }
    }
    return 0;
}

// Interrupted midway through a large recording, trunvex-cli leaves the folder exactly as it
// was, the earlier AVI byte for byte; SIGKILL included, since the output has no name until
// it is complete.
TEST_F(CliFiles, InterruptionLeavesTheFolderAsItWas) {
    const fs::path source = dir / "big.264";
    {
        std::ofstream out(source, std::ios::binary);
        for (std::size_t written = 0; written < (200u << 20); written += sample.size()) {
            out.write(reinterpret_cast<const char*>(sample.data()),
                      static_cast<std::streamsize>(sample.size()));
        }
    }
    const fs::path avi = dir / "big.avi";
    const Bytes earlier(4096, 0xA5);
    ASSERT_TRUE(test::writeFile(avi, earlier));
    const std::vector<std::string> before = namesIn(dir);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(devNull, 0);
    const fs::path errPath = dir.parent_path() / (dir.filename().string() + "-stderr.txt");

    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        const pid_t child = startCli({"-q", source.string()}, devNull, errPath);
        ASSERT_GT(child, 0);
        // Signal it once its output holds a good part of the conversion.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::uintmax_t seen = 0;
        while (seen < (16u << 20) && std::chrono::steady_clock::now() < deadline) {
            seen = outputBytes(child, dir, source);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        ::kill(child, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_GE(seen, 16u << 20) << "the conversion was not caught midway";
        ASSERT_TRUE(WIFSIGNALED(status))
            << "exit status " << WEXITSTATUS(status) << ": " << readText(errPath);
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(namesIn(dir), before);
        EXPECT_TRUE(test::readFile(avi) == earlier);
    }
    ::close(devNull);
    fs::remove(errPath);
    // Nothing stands in the way of the next run.
    EXPECT_EQ(cli(shellQuote(source.string())).exitCode, 0);
    EXPECT_GT(fs::file_size(avi), 100u << 20);
}

}  // namespace
}  // namespace trunvex
