// The command line's own pieces: the status line, the speed behind the time left, shards,
// extension lists, what each named path is, the walk of a folder tree, file digests, names as
// shown and reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "cli/name_text.h"
#include "cli/path_roles.h"
#include "cli/progress_bar.h"
#include "cli/sha256.h"
#include "cli/shard.h"
#include "cli/source_tree.h"

namespace trunvex {
namespace {

TEST(ProgressLine, FitsEveryWidthAndShowsOnlyWhatIsKnown) {
    ProgressState known;
    known.bytesDone = 420'000'000;
    known.bytesTotal = 1'200'000'000;
    known.bytesPerSecond = 45'600'000;
    known.speedKnown = true;
    ProgressState batch = known;
    batch.filesDone = 123;
    batch.filesTotal = 10'000;
    ProgressState pipe = known;
    pipe.bytesTotal = 0;
    ProgressState starting = known;
    starting.speedKnown = false;

    struct Case {
        const char* name;
        const ProgressState& state;
        bool sizeKnown;
    };
    const Case cases[] = {{"file", known, true},
                          {"batch", batch, true},
                          {"pipe", pipe, false},
                          {"starting", starting, true}};
    for (const Case& c : cases) {
        for (int columns : {0, 200, 80, 40, 30, 20, 10, 2, 1}) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(columns));
            const std::string line = formatProgressLine(c.state, columns);
            const std::size_t room = columns == 0 ? 79 : static_cast<std::size_t>(columns - 1);
            EXPECT_LE(line.size(), std::max<std::size_t>(room, 1)) << line;
            if (!c.sizeKnown) {
                EXPECT_EQ(line.find('%'), std::string::npos) << line;
                EXPECT_EQ(line.find("left"), std::string::npos) << line;
                EXPECT_EQ(line.find('['), std::string::npos) << line;
            }
            if (!c.state.speedKnown) {
                EXPECT_EQ(line.find("left"), std::string::npos) << line;
            }
        }
    }
    // Wide enough, everything known shows; narrower, the bar shrinks but stays.
    const std::string wide = formatProgressLine(batch, 120);
    for (const char* part : {"123/10000 files", "35%", "420.0 MB / 1.20 GB", "45.6 MB/s",
                             "0:17 left", "[##########"}) {
        EXPECT_NE(wide.find(part), std::string::npos) << part << " in " << wide;
    }
    const std::string narrow = formatProgressLine(known, 40);
    EXPECT_EQ(narrow.front(), '[');
    EXPECT_LT(narrow.find(']'), wide.find(']'));
    EXPECT_NE(narrow.find("left"), std::string::npos) << narrow;
}

// A run's drawings at one width: the figures change, the line and its bar do not move.
TEST(ProgressLine, KeepsOneWidthFromFrameToFrame) {
    const std::uint64_t total = 7'300'000'000;
    const struct {
        std::uint64_t done;
        double speed;  // 0: not measured yet
    } frames[] = {{0, 0},
                  {9'000'000, 0},
                  {95'000'000, 8e6},
                  {999'960'000, 9.5e7},
                  {4'000'000'000, 1.2e8},
                  {total, 3e5}};
    for (const std::size_t files : {1u, 12u}) {
        for (const std::uint64_t size : {total, std::uint64_t{0}}) {
            for (int columns : {40, 52, 80, 120}) {
                SCOPED_TRACE(std::to_string(columns) + " columns, " + std::to_string(files) +
                             " files" + (size == 0 ? ", size unknown" : ""));
                std::size_t length = 0;
                std::size_t barEnd = 0;
                for (const auto& f : frames) {
                    ProgressState state;
                    state.bytesDone = f.done;
                    state.bytesTotal = size;
                    state.filesDone = files > 1 ? f.done * files / total : 0;
                    state.filesTotal = files;
                    state.bytesPerSecond = f.speed;
                    state.speedKnown = f.speed > 0;
                    const std::string line = formatProgressLine(state, columns);
                    if (length == 0) {
                        length = line.size();
                        barEnd = line.find(']');
                    }
                    EXPECT_EQ(line.size(), length) << line;
                    EXPECT_EQ(line.find(']'), barEnd) << line;
                }
            }
        }
    }
}

// Reports of a source read at a steady speed: each chunk counted when it has been read.
struct Feed {
    double firstChunkSeconds;  // how long the first report takes
    double bytesPerSecond;
    double chunkSeconds;  // between two reports after the first
};

TEST(SpeedEstimator, FirstEstimateIsCloseAndStaysClose) {
    constexpr std::uint64_t CHUNK = 65536;
    const Feed feeds[] = {
        {0.0001, 20e6, 0.1},  // the first chunk came from the cache
        {0.5, 20e6, 0.1},     // a slow start (a disk spinning up)
        {0.0001, 5e6, 0.013},
    };
    for (const Feed& f : feeds) {
        SCOPED_TRACE(f.bytesPerSecond);
        SpeedEstimator estimator;
        double t = f.firstChunkSeconds;
        std::uint64_t done = CHUNK;
        estimator.sample(t, done);
        bool seen = false;
        while (t < 30) {
            t += f.chunkSeconds;
            done += static_cast<std::uint64_t>(f.bytesPerSecond * f.chunkSeconds);
            estimator.sample(t, done);
            if (estimator.ready()) {
                // Within a quarter of the true speed from the first estimate on.
                EXPECT_NEAR(estimator.bytesPerSecond(), f.bytesPerSecond, f.bytesPerSecond / 4);
                seen = true;
            } else {
                EXPECT_LT(t, 1.5);
            }
        }
        EXPECT_TRUE(seen);
    }
}

TEST(SpeedEstimator, BurstsAreSmoothed) {
    // A chunk every 0.1 s but read in bursts: 10 MB at once every second, 10 MB/s overall.
    SpeedEstimator estimator;
    std::uint64_t done = 0;
    for (int tick = 1; tick <= 300; ++tick) {
        if (tick % 10 == 0) {
            done += 10'000'000;
        }
        estimator.sample(tick * 0.1, done);
        if (estimator.ready() && tick > 50) {
            EXPECT_GT(estimator.bytesPerSecond(), 5e6);
            EXPECT_LT(estimator.bytesPerSecond(), 20e6);
        }
    }
}

TEST(Shard, ParsesOnlyAValidShare) {
    struct Case {
        const char* text;
        bool valid;
        std::size_t index;
        std::size_t count;
    };
    const Case cases[] = {{"0/3", true, 0, 3},   {"2/3", true, 2, 3},  {"0/1", true, 0, 1},
                          {"3/3", false, 0, 0},  {"1/0", false, 0, 0}, {"-1/3", false, 0, 0},
                          {"1", false, 0, 0},    {"1/", false, 0, 0},  {"/3", false, 0, 0},
                          {"1/3x", false, 0, 0}, {" 1/3", false, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<Shard> shard = parseShard(c.text);
        ASSERT_EQ(shard.has_value(), c.valid);
        if (c.valid) {
            EXPECT_EQ(shard->index, c.index);
            EXPECT_EQ(shard->count, c.count);
        }
    }
}

TEST(Shard, SharesCoverTheListOnceAndAreBalanced) {
    for (std::size_t total : {0u, 1u, 2u, 7u, 10u, 1000u, 10001u}) {
        for (std::size_t count : {1u, 2u, 3u, 7u, 16u}) {
            SCOPED_TRACE(std::to_string(total) + " in " + std::to_string(count));
            std::size_t expectedBegin = 0;
            std::size_t smallest = total;
            std::size_t largest = 0;
            for (std::size_t k = 0; k < count; ++k) {
                const ShardRange r = shareOf(total, {k, count});
                EXPECT_EQ(r.begin, expectedBegin);
                expectedBegin = r.end;
                smallest = std::min(smallest, r.end - r.begin);
                largest = std::max(largest, r.end - r.begin);
            }
            EXPECT_EQ(expectedBegin, total);
            EXPECT_LE(largest - smallest, 1u);
        }
    }
    EXPECT_EQ(takeShare(std::vector<int>{1, 2, 3, 4, 5}, {1, 2}), (std::vector<int>{3, 4, 5}));
}

TEST(ExtensionList, ReadsWhatPeopleWrite) {
    EXPECT_EQ(parseExtensionList("264,mp4"), (std::vector<std::string>{"264", "mp4"}));
    EXPECT_EQ(parseExtensionList(".264, .MP4 ,h264"),
              (std::vector<std::string>{"264", "mp4", "h264"}));
    EXPECT_TRUE(parseExtensionList("").empty());
    EXPECT_TRUE(parseExtensionList(" , ").empty());
}

namespace fs = std::filesystem;

// A fresh folder for the running test.
fs::path scratchFolder() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::absolute(fs::path("scratch") / test->test_suite_name() / test->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

fs::path fromUtf8(std::string_view text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// With '/' for every separator, as Linux spells it.
std::string slashed(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Which named path is the AVI, which the folder the AVIs go to, as cp reads SOURCE DEST and
// SOURCE... DIR; an existing file that is no AVI is never taken for one.
TEST(PathRoles, LastPathIsTheAviOrTheFolderOnlyWhereThatIsSafe) {
    const fs::path dir = scratchFolder();
    writeText(dir / "rec.264", "x");
    writeText(dir / "other.dat", "recorded");
    writeText(dir / "old", std::string("RIFF\4\0\0\0AVI LIST", 16));
    fs::create_directory(dir / "out");
    const auto at = [&](const char* name) { return utf8(dir / name); };
    const std::string rec = at("rec.264");
    const std::vector<std::string> recordingNames = {"264", "mp4"};
    struct Case {
        std::vector<std::string> paths;
        bool recursive;
        std::vector<std::string> sources;
        std::string avi;     // "": none
        std::string folder;  // "": none
    };
    const Case cases[] = {
        {{rec, at("x.AVI")}, false, {rec}, at("x.AVI"), ""},
        {{rec, at("out3")}, false, {rec}, at("out3"), ""},                // a new name
        {{rec, at("old")}, false, {rec}, at("old"), ""},                  // an AVI already
        {{rec, at("other.dat")}, false, {rec, at("other.dat")}, "", ""},  // never written over
        {{rec, at("missing.mp4")}, false, {rec, at("missing.mp4")}, "", ""},
        {{"-", at("other.dat")}, false, {"-"}, at("other.dat"), ""},
        {{rec, at("out")}, false, {rec}, "", at("out")},
        {{rec, at("b.264"), at("new") + "/"}, false, {rec, at("b.264")}, "", at("new") + "/"},
        {{at("out"), rec}, false, {at("out"), rec}, "", ""},  // a folder first is a source
        {{at("out")}, false, {at("out")}, "", ""},
        {{rec, at("out")}, true, {rec, at("out")}, "", ""},  // -r: every folder is walked
        {{rec, at("out3")}, true, {rec, at("out3")}, "", ""},
        {{rec, at("a.264"), at("out3")}, false, {rec, at("a.264"), at("out3")}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.paths.back() + (c.recursive ? " with -r" : ""));
        const PathRoles roles = rolesOfPaths(c.paths, c.recursive, recordingNames);
        EXPECT_EQ(roles.sources, c.sources);
        EXPECT_EQ(roles.avi.value_or(""), c.avi);
        EXPECT_EQ(roles.destinationFolder, c.folder);
    }
}

// The walk and the AVI paths it plans take names in any script, and list the files in one
// order on every system: byte-wise by the UTF-8 path, a separator counting as '/' (so
// "sub/x" comes before "sub0" on Windows too).
TEST(SourceTree, WalksNamesInAnyScriptInTheSameOrderEverywhere) {
    const fs::path dir = scratchFolder();
    const fs::path tree = dir / fromUtf8("树 tree");
    const std::vector<std::string> recordings = {"Sub Ωμέγα/监控 камера.MP4", "a b.264",
                                                 "sub-1.264", "sub/x.264", "sub0.264"};
    for (const std::string& name : recordings) {
        writeText(tree / fromUtf8(name), name);
    }
    writeText(tree / "notes.txt", "not a recording");
    writeText(tree / "old.avi", "an earlier AVI");
    const fs::path named = dir / fromUtf8("录像 named.264");
    writeText(named, "named");

    SourceSelection selection;
    selection.recursive = true;
    selection.outputDir = utf8(dir / fromUtf8("出口 out"));
    std::vector<BatchJob> jobs;
    ASSERT_TRUE(collectJobs({utf8(tree), utf8(named)}, selection, jobs, stderr));

    ASSERT_EQ(jobs.size(), recordings.size() + 1);
    const std::string out = slashed(selection.outputDir);
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        SCOPED_TRACE(recordings[i]);
        EXPECT_EQ(slashed(jobs[i].source), slashed(utf8(tree)) + "/" + recordings[i]);
        const std::string stem = recordings[i].substr(0, recordings[i].rfind('.'));
        EXPECT_EQ(slashed(jobs[i].avi), out + "/" + stem + ".avi");
        EXPECT_EQ(jobs[i].sourceBytes, recordings[i].size());
    }
    EXPECT_EQ(jobs.back().source, utf8(named));
    EXPECT_EQ(slashed(jobs.back().avi), out + "/录像 named.avi");
    EXPECT_EQ(jobs.back().sourceBytes, 5u);
    EXPECT_EQ(sourceFileBytes(utf8(named)), 5u);
}

// A tree whose paths pass the 260 characters of Windows' old limit is walked to its bottom,
// not taken for an empty folder or a missing one.
TEST(SourceTree, WalksPathsPastTheOldLengthLimit) {
    std::vector<fs::path> folders = {fs::absolute("deep tree")};
    for (int i = 0; i < 3; ++i) {
        folders.push_back(folders.back() / std::string(100, 'd'));
    }
    const fs::path file = folders.back() / "rec.264";
    // remove_all() stops at such paths too (the runtime's own walk): the tree goes step by
    // step, before (what a run that stopped half-way left) and after.
    const auto removeTree = [&] {
        std::error_code ignored;
        fs::remove(file, ignored);
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
            fs::remove(*folder, ignored);
        }
    };
    removeTree();
    writeText(file, "rec");

    for (const fs::path& start : {folders.front(), folders.back()}) {
        SourceSelection selection;
        selection.recursive = true;
        std::vector<BatchJob> jobs;
        EXPECT_TRUE(collectJobs({utf8(start)}, selection, jobs, stderr));
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(jobs[0].source, utf8(file));
        EXPECT_EQ(jobs[0].sourceBytes, 3u);
    }
    removeTree();
    EXPECT_FALSE(fs::exists(folders.front()));
}

// Two AVI paths the file system takes for one file are one AVI, and so are two spellings of
// one source: on Windows, which ignores case, "A.avi" is "a.avi".
TEST(SourceTree, SpellingsOfOnePlaceAreOnePlace) {
    const fs::path dir = scratchFolder();
    writeText(dir / "case.264", "x");
    const bool ignoresCase = fs::exists(dir / "CASE.264");
    const std::string d = utf8(dir) + "/";

    std::vector<BatchJob> jobs = {{d + "a.264", d + "sub/../A.avi", 1, {}},
                                  {d + "b.264", d + "a.avi", 1, {}}};
    std::string failure;
    EXPECT_EQ(refuseSharedAvis(jobs, failure), !ignoresCase) << failure;

    jobs = {{d + "case.264", d + "1.avi", 1, {}}, {d + "./CASE.264", d + "2.avi", 1, {}}};
    EXPECT_TRUE(refuseSharedAvis(jobs, failure)) << failure;
    EXPECT_EQ(jobs.size(), ignoresCase ? 1u : 2u);
}

// Names reach a terminal quoted as GNU ls quotes them for a shell once they hold anything a
// terminal could act on; any other name is shown as it is.
TEST(ShownName, QuotesOnlyWhatATerminalWouldActOn) {
    const struct {
        std::string name;
        std::string shown;
        bool utf8;
    } cases[] = {
        {"cam 1/rec.264", "cam 1/rec.264", true},
        {"录像 Ωμέγα.264", "录像 Ωμέγα.264", true},
        {"it's.264", "it's.264", true},
        {"a\nb.264", "'a'$'\\n''b.264'", true},
        {"\x1b[31mred\a", "$'\\033''[31mred'$'\\a'", true},
        {"it's\t.264", "'it'\\''s'$'\\t''.264'", true},
        {"del\x7f", "'del'$'\\177'", true},
        {"c1 \xc2\x9b"
         "2J",
         "'c1 '$'\\302\\233''2J'", true},                        // U+009B, a CSI
        {"bad\xff\xfe.264", "'bad'$'\\377\\376''.264'", false},  // not UTF-8
        {"over\xc0\xaf", "'over'$'\\300\\257'", false},          // an overlong '/'
        {"half\xe5\xbd", "'half'$'\\345\\275'", false},          // a cut sequence
        {"sur\xed\xa0\x80", "'sur'$'\\355\\240\\200'", false},   // a surrogate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(shownName(c.name), c.shown);
        EXPECT_EQ(isValidUtf8(c.name), c.utf8);
    }
}

TEST(Base64, EncodesTheStandardVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00", 3), "//4A"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(base64Of(bytes), text) << text;
    }
}

TEST(Sha256, OfAWholeFileAtAnyPath) {
    const fs::path file = scratchFolder() / fromUtf8("摘要 Ωμέγα.bin");
    // Bytes a text-mode read would change.
    writeText(file, std::string("R\x1A"
                                "e\r\nc\n\r\0\xFF\x1A\x1A",
                                12));
    std::string failure;
    EXPECT_EQ(sha256OfFile(utf8(file), failure),
              "ca748321cf3f36989ade6bde6a12e12c22e6f99536a8bd2c3e83c57e8f69ca38");
    EXPECT_EQ(failure, "");
    EXPECT_EQ(sha256OfFile(utf8(file) + ".missing", failure), "");
    EXPECT_NE(failure, "");
}

}  // namespace
}  // namespace trunvex
