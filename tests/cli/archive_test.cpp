// trunvex-cli over folder trees: which files are taken, where the AVIs land, the report
// against ffprobe's reading of each AVI, resuming a killed batch, shards.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>

#include "cli/cli_support.h"
#include "run/run_messages.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test::runCli;
using test::runCommand;
using test::shellQuote;

std::string quoted(const fs::path& path) {
    return shellQuote(path.string());
}

std::vector<Json> readReport(const fs::path& path) {
    std::vector<Json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(Json::parse(line));  // every line a whole object, also when killed
    }
    return lines;
}

// Every regular file under `root` by relative path, with its bytes.
std::map<std::string, std::vector<std::uint8_t>> treeOf(const fs::path& root) {
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file() && !e.is_symlink()) {
            files[e.path().lexically_relative(root).string()] = test::readFile(e.path());
        }
    }
    return files;
}

std::set<std::string> keysOf(const std::map<std::string, std::vector<std::uint8_t>>& tree) {
    std::set<std::string> keys;
    for (const auto& [name, bytes] : tree) {
        keys.insert(name);
    }
    return keys;
}

std::string sha256sum(const fs::path& file) {
    const test::CommandResult r = runCommand("sha256sum " + quoted(file));
    return r.out.substr(0, 64);
}

// Report lines without what differs from run to run.
std::vector<Json> withoutTimes(std::vector<Json> lines) {
    for (Json& line : lines) {
        line.erase("wall_seconds");
    }
    return lines;
}

class ArchiveTree : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (test::findProgram("ffmpeg").empty() || test::findProgram("ffprobe").empty()) {
            return;
        }
        recordings = test::makeTempDir("archive-recordings");
        test::makeRecording(
            "--video h264 --size 176x144 --seconds 1 --audio adpcm --audio-rate 8000 --junk",
            recordings / "a.264", true);
        test::makeRecording("--video mpeg4 --size 160x120 --seconds 1 --audio alaw",
                            recordings / "b.264", true);
        test::makeRecording(
            "--video h264 --size 176x144 --seconds 2 --audio pcm16 --audio-rate 16000 "
            "--size-change 96x96@1",
            recordings / "c.264", true);
        test::makeRecording("--video h264-annexb --size 96x96 --seconds 1 --audio pcm8",
                            recordings / "d.264", true);
        test::makeRecording("--video h264 --size 64x64 --fps 5 --seconds 0.4 --audio off",
                            recordings / "tiny.264", true);
    }

    void SetUp() override {
        if (recordings.empty()) {
            GTEST_SKIP() << "ffmpeg and ffprobe are needed";
        }
        dir = test::makeTempDir("archive");
    }

    // A recorder's export as people get it: nested folders, names with spaces and Chinese
    // characters, other files beside the recordings, a link back up the tree.
    fs::path makeTree(const fs::path& root) {
        fs::create_directories(root / "day 1");
        fs::create_directories(root / "日本 通道" / "deep" / "er");
        fs::copy_file(recordings / "a.264", root / "day 1" / "ch1.264");
        fs::copy_file(recordings / "b.264", root / "day 1" / "ch2.MP4");
        fs::copy_file(recordings / "c.264", root / "日本 通道" / "摄像头 一.264");
        fs::copy_file(recordings / "d.264", root / "日本 通道" / "deep" / "er" / "ch3.mp4");
        fs::copy_file(recordings / "a.264", root / "clip.h264");
        EXPECT_TRUE(test::writeFile(root / "day 1" / "notes.txt", {'h', 'i', '\n'}));
        std::vector<std::uint8_t> noise(20000);
        std::mt19937 random(7);
        for (std::uint8_t& b : noise) {
            b = static_cast<std::uint8_t>(random());
        }
        EXPECT_TRUE(test::writeFile(root / "broken.264", noise));
        fs::create_directory_symlink("..", root / "day 1" / "loop");
        return root;
    }

    // `count` copies of a tiny recording spread over nested folders.
    fs::path makeManyTree(const fs::path& root, int count) {
        for (int i = 0; i < count; ++i) {
            const fs::path folder =
                root / ("day " + std::to_string(i % 4)) / ("hour " + std::to_string(i % 3));
            fs::create_directories(folder);
            fs::copy_file(recordings / "tiny.264", folder / ("ch" + std::to_string(i) + ".264"));
        }
        return root;
    }

    static inline fs::path recordings;
    fs::path dir;
};

TEST_F(ArchiveTree, ConvertsTheRecordingsOfATreeAndReportsWhatTheAvisHold) {
    const fs::path tree = makeTree(dir / "tree");
    const auto before = treeOf(tree);
    const fs::path out = dir / "out";
    const fs::path report = dir / "report.jsonl";
    const test::CommandResult r = runCli("-r -j 2 --hash " + quoted(tree) + " --output-dir " +
                                         quoted(out) + " --report " + quoted(report));
    EXPECT_EQ(r.exitCode, 3) << r.err;  // the non-recording has no frames
    EXPECT_NE(r.err.find("4 converted, 0 skipped, 1 failed"), std::string::npos) << r.err;

    EXPECT_EQ(keysOf(treeOf(out)),
              (std::set<std::string>{"day 1/ch1.avi", "day 1/ch2.avi", "日本 通道/摄像头 一.avi",
                                     "日本 通道/deep/er/ch3.avi"}));
    EXPECT_TRUE(treeOf(tree) == before);  // nothing written beside the sources

    // One line per source, sorted byte-wise by path.
    const std::vector<Json> lines = readReport(report);
    std::vector<std::string> sources;
    for (const Json& line : lines) {
        sources.push_back(fs::path(line["source"].get<std::string>()).lexically_relative(tree));
    }
    EXPECT_EQ(sources,
              (std::vector<std::string>{"broken.264", "day 1/ch1.264", "day 1/ch2.MP4",
                                        "日本 通道/deep/er/ch3.mp4", "日本 通道/摄像头 一.264"}));
    for (const Json& line : lines) {
        const fs::path source = line["source"].get<std::string>();
        SCOPED_TRACE(source);
        EXPECT_EQ(line["source_bytes"], fs::file_size(source));
        EXPECT_EQ(line["sha256"]["source"], sha256sum(source));
        if (source.filename() == "broken.264") {
            EXPECT_EQ(line["outcome"], "failed");
            EXPECT_EQ(line["exit_status"], 3);
            EXPECT_EQ(line["message"], MSG_NO_FRAMES);
            EXPECT_TRUE(line["avi_bytes"].is_null());
            EXPECT_EQ(line["junk_bytes"], 20000);
            continue;
        }
        const fs::path avi = line["avi"].get<std::string>();
        EXPECT_EQ(avi.parent_path().lexically_relative(out),
                  source.parent_path().lexically_relative(tree));
        EXPECT_EQ(line["outcome"], "converted");
        EXPECT_EQ(line["message"], MSG_SUCCEEDED);
        EXPECT_EQ(line["avi_bytes"], fs::file_size(avi));
        EXPECT_EQ(line["sha256"]["avi"], sha256sum(avi));
        // Each stream as ffprobe reads it from the AVI.
        const auto streams = test::probe(avi);
        std::size_t video = 0;
        for (int s = 0; streams.count("streams.stream." + std::to_string(s) + ".codec_type"); ++s) {
            const std::string key = "streams.stream." + std::to_string(s) + ".";
            if (streams.at(key + "codec_type") == "audio") {
                const Json& audio = line["audio"];
                ASSERT_TRUE(audio.is_object());
                EXPECT_EQ(std::to_string(audio["sample_rate"].get<int>()),
                          streams.at(key + "sample_rate"));
                EXPECT_EQ(std::to_string(audio["bits_per_sample"].get<int>()),
                          streams.at(key + "bits_per_sample"));
                EXPECT_EQ(std::to_string(audio["samples"].get<std::uint64_t>()),
                          streams.at(key + "nb_frames"));
                continue;
            }
            ASSERT_LT(video, line["video"].size());
            const Json& v = line["video"][video++];
            EXPECT_EQ(v["codec"], streams.at(key + "codec_name"));
            EXPECT_EQ(std::to_string(v["width"].get<int>()), streams.at(key + "width"));
            EXPECT_EQ(std::to_string(v["height"].get<int>()), streams.at(key + "height"));
            EXPECT_EQ(std::to_string(v["frame_rate"].get<int>()) + "/1",
                      streams.at(key + "r_frame_rate"));
            // Packets are the frames; the header's length counts the empty samples too.
            const auto frames = v["frames"].get<std::uint64_t>();
            const auto empty = v["empty_samples"].get<std::uint64_t>();
            EXPECT_EQ(std::to_string(frames), streams.at(key + "nb_read_packets"));
            EXPECT_EQ(std::to_string(frames + empty), streams.at(key + "nb_frames"));
        }
        EXPECT_EQ(video, line["video"].size());
        EXPECT_GT(line["duration_seconds"]["video"].get<double>(), 0.3);
    }
    // The size change gives a second stream whose first second is empty samples.
    EXPECT_EQ(lines[4]["video"].size(), 2u);
    EXPECT_EQ(lines[4]["video"][1]["empty_samples"], 25);
    EXPECT_GT(lines[1]["junk_bytes"].get<int>(), 0);
}

// What a run leaves on disk is what its line describes, also when the run stops early: each
// video stream with its own codec, the AVI's bytes and digest, the digest of the whole source.
TEST_F(ArchiveTree, ReportDescribesWhatStaysOnDisk) {
    // Two codecs, one after the other.
    test::makeRecording("--video mpeg4 --size 160x120 --seconds 1 --audio off", dir / "m.264",
                        true);
    ASSERT_EQ(runCommand("cat " + quoted(recordings / "tiny.264") + " " + quoted(dir / "m.264") +
                         " > " + quoted(dir / "mixed.264"))
                  .exitCode,
              0);
    // An eleventh frame size stops the run in the first of several blocks: the ten streams
    // before it stay, complete.
    std::string sizes;
    for (int i = 1; i <= 10; ++i) {
        sizes += " --size-change " + std::to_string(64 + 8 * i) + "x64@" + std::to_string(i / 10.0);
    }
    test::makeRecording("--video h264 --size 64x64 --fps 10 --seconds 1.1 --audio off" + sizes,
                        dir / "eleven.264", true);
    ASSERT_EQ(runCommand("head -c 3000000 /dev/zero >> " + quoted(dir / "eleven.264")).exitCode, 0);
    const struct {
        const char* source;
        int status;
        std::vector<std::string> codecs;
    } cases[] = {
        {"mixed.264", 0, {"h264", "mpeg4"}},
        {"eleven.264", 2, std::vector<std::string>(10, "h264")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        const fs::path source = dir / c.source;
        const fs::path report = dir / (std::string(c.source) + ".jsonl");
        const test::CommandResult r =
            runCli("-q --hash " + quoted(source) + " --report " + quoted(report));
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        const std::vector<Json> lines = readReport(report);
        ASSERT_EQ(lines.size(), 1u);
        const Json& line = lines[0];
        const fs::path avi = line["avi"].get<std::string>();
        ASSERT_TRUE(fs::exists(avi));
        EXPECT_EQ(line["avi_bytes"], fs::file_size(avi));
        EXPECT_EQ(line["sha256"]["avi"], sha256sum(avi));
        EXPECT_EQ(line["sha256"]["source"], sha256sum(source));
        std::vector<std::string> reported;
        for (const Json& v : line["video"]) {
            reported.push_back(v["codec"]);
        }
        EXPECT_EQ(reported, c.codecs);
        const auto streams = test::probe(avi);
        std::vector<std::string> probed;
        for (int s = 0; streams.count("streams.stream." + std::to_string(s) + ".codec_name"); ++s) {
            const std::string key = "streams.stream." + std::to_string(s) + ".";
            if (streams.at(key + "codec_type") == "video") {
                probed.push_back(streams.at(key + "codec_name"));
            }
        }
        EXPECT_EQ(probed, c.codecs);
    }
}

TEST_F(ArchiveTree, ExtensionsChooseTheFilesAndAvisGoBesideByDefault) {
    const struct {
        std::string option;
        std::set<std::string> converted;
    } cases[] = {
        {"",
         {"day 1/ch1.avi", "day 1/ch2.avi", "日本 通道/摄像头 一.avi",
          "日本 通道/deep/er/ch3.avi"}},
        {"--ext h264,.TXT", {"clip.avi"}},  // the text file is no recording
        {"--ext ''",
         {"clip.avi", "day 1/ch1.avi", "day 1/ch2.avi", "日本 通道/摄像头 一.avi",
          "日本 通道/deep/er/ch3.avi"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        const fs::path tree = makeTree(dir / ("tree" + std::to_string(&c - cases)));
        const auto before = keysOf(treeOf(tree));
        runCli("-r -q " + c.option + " " + quoted(tree));
        std::set<std::string> added;
        for (const std::string& name : keysOf(treeOf(tree))) {
            if (!before.count(name)) {
                added.insert(name);
            }
        }
        EXPECT_EQ(added, c.converted);
    }
    // Run again over every file: the AVIs written are not taken as sources.
    const test::CommandResult again =
        runCli("-r --ext '' --skip-existing " + quoted(dir / "tree2"));
    EXPECT_NE(again.err.find("0 converted, 5 skipped, 2 failed"), std::string::npos) << again.err;
}

TEST_F(ArchiveTree, TwoSourcesForOneAviAreRefusedBeforeAnything) {
    fs::create_directories(dir / "one" / "cam");
    fs::create_directories(dir / "two" / "cam");
    fs::copy_file(recordings / "tiny.264", dir / "one" / "cam" / "x.264");
    fs::copy_file(recordings / "tiny.264", dir / "one" / "cam" / "y.264");
    fs::copy_file(recordings / "tiny.264", dir / "two" / "cam" / "y.mp4");
    const struct {
        std::string args;
        std::string first;
        std::string second;
    } cases[] = {
        // Beside their sources, across folders of one tree.
        {"-r " + quoted(dir / "two") + " " + quoted(dir / "two" / "cam" / "y.mp4"), "two/cam/y.mp4",
         "two/cam/y.mp4"},
        // Mirrored under one output folder, across two trees.
        {"-r " + quoted(dir / "one") + " " + quoted(dir / "two") + " --output-dir " +
             quoted(dir / "out"),
         "one/cam/y.264", "two/cam/y.mp4"},
    };
    const test::CommandResult overlap = runCli("-r -q " + cases[0].args);
    EXPECT_EQ(overlap.exitCode, 0) << overlap.err;  // one source named twice: taken once
    fs::remove(dir / "two" / "cam" / "y.avi");
    const test::CommandResult r = runCli("-r -q " + cases[1].args);
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_NE(r.err.find((dir / cases[1].first).string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find((dir / cases[1].second).string()), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(ArchiveTree, AKilledBatchResumesWhereItStopped) {
    constexpr int COUNT = 1500;  // about half a second of work
    const fs::path tree = makeManyTree(dir / "tree", COUNT);
    const fs::path whole = dir / "whole";
    ASSERT_EQ(runCli("-q -r " + quoted(tree) + " --output-dir " + quoted(whole)).exitCode, 0);

    // Stopped as a shutdown would stop it, once some files are done.
    const fs::path out = dir / "out";
    const fs::path report = dir / "first.jsonl";
    const test::CommandResult killed = runCommand(
        shellQuote(test::CLI) + " -q -j 1 -r " + quoted(tree) + " --output-dir " + quoted(out) +
        " --report " + quoted(report) + " & pid=$!; while [ \"$(cat " + quoted(report) +
        " 2>/dev/null | wc -l)\" -lt 10 ]; do sleep 0.005; done; kill -TERM $pid; wait $pid");
    EXPECT_NE(killed.exitCode, 0);
    const std::size_t doneBefore = readReport(report).size();
    ASSERT_LT(doneBefore, static_cast<std::size_t>(COUNT)) << "finished before it was stopped";

    const fs::path second = dir / "second.jsonl";
    const test::CommandResult resumed =
        runCli("-r --skip-existing " + quoted(tree) + " --output-dir " + quoted(out) +
               " --report " + quoted(second));
    EXPECT_EQ(resumed.exitCode, 0) << resumed.err;
    std::size_t skipped = 0;
    std::size_t converted = 0;
    for (const Json& line : readReport(second)) {
        ++(line["outcome"] == "skipped" ? skipped : converted);
    }
    EXPECT_GE(skipped, doneBefore);
    EXPECT_EQ(skipped + converted, static_cast<std::size_t>(COUNT));
    EXPECT_NE(resumed.err.find(std::to_string(converted) + " converted, " +
                               std::to_string(skipped) + " skipped, 0 failed"),
              std::string::npos)
        << resumed.err;
    const auto resumedTree = treeOf(out);
    const auto wholeTree = treeOf(whole);
    EXPECT_EQ(keysOf(resumedTree), keysOf(wholeTree));
    EXPECT_TRUE(resumedTree == wholeTree);
}

TEST_F(ArchiveTree, ShardsConvertEachFileOnceAndTheirReportsJoinToOne) {
    const fs::path tree = makeTree(dir / "tree");
    makeManyTree(tree / "more", 7);
    const std::string told = "-r --hash " + quoted(tree) + " --output-dir " + quoted(dir / "out");
    const std::string common = "-q " + told;
    runCli(common + " --report " + quoted(dir / "single.jsonl"));
    const std::vector<Json> single = withoutTimes(readReport(dir / "single.jsonl"));
    const auto singleTree = treeOf(dir / "out");
    ASSERT_EQ(single.size(), 12u);

    const struct {
        const char* name;
        std::string command;
    } ways[] = {
        {"processes", "for k in 0 1 2; do " + shellQuote(test::CLI) + " " + common +
                          " --shard $k/3 --report " + quoted(dir) + "/shard-$k.jsonl & done; wait"},
        {"GNU parallel", "parallel --will-cite -j 3 " + shellQuote(test::CLI) + " " + common +
                             " --shard {}/3 --report " + quoted(dir) + "/shard-{}.jsonl ::: 0 1 2"},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        if (std::string(way.name) == "GNU parallel" && test::findProgram("parallel").empty()) {
            ADD_FAILURE() << "GNU parallel is not installed";
            continue;
        }
        fs::remove_all(dir / "out");
        (void)runCommand(way.command);
        std::vector<Json> joined;
        for (int k = 0; k < 3; ++k) {
            const std::vector<Json> part =
                readReport(dir / ("shard-" + std::to_string(k) + ".jsonl"));
            EXPECT_EQ(part.size(), 4u);
            joined.insert(joined.end(), part.begin(), part.end());
        }
        EXPECT_EQ(withoutTimes(joined), single);
        EXPECT_TRUE(treeOf(dir / "out") == singleTree);
    }
    // A share of one recording names it, as the whole run would.
    const test::CommandResult one =
        runCli(told + " --shard 1/12 --report " + quoted(dir / "one.jsonl"));
    EXPECT_EQ(one.out,
              single[1]["source"].get<std::string>() + ": " + std::string(MSG_SUCCEEDED) + "\n");
}

// A resume trusts only whole AVIs: one cut short or left empty (as a power cut leaves it) is
// converted again, and says why. The AVIs it keeps are described as they are, with nothing
// made up for what they cannot tell.
TEST_F(ArchiveTree, AResumeRedoesBrokenAvisAndDescribesTheOnesItKeeps) {
    const fs::path tree = makeTree(dir / "tree");
    const fs::path out = dir / "out";
    const std::string common = "-r --hash " + quoted(tree) + " --output-dir " + quoted(out);
    runCli("-q " + common + " --report " + quoted(dir / "first.jsonl"));
    const std::vector<Json> first = readReport(dir / "first.jsonl");
    fs::resize_file(out / "day 1" / "ch1.avi", fs::file_size(out / "day 1" / "ch1.avi") / 2);
    fs::resize_file(out / "日本 通道" / "deep" / "er" / "ch3.avi", 0);

    const test::CommandResult r =
        runCli(common + " --skip-existing --report " + quoted(dir / "second.jsonl"));
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("2 converted, 2 skipped, 1 failed"), std::string::npos) << r.err;
    const std::vector<Json> second = readReport(dir / "second.jsonl");
    ASSERT_EQ(second.size(), first.size());
    for (std::size_t i = 0; i < second.size(); ++i) {
        Json line = second[i];
        Json earlier = first[i];
        SCOPED_TRACE(line["source"].get<std::string>());
        if (line["outcome"] == "converted") {
            EXPECT_TRUE(line["redone_because"].is_string());
            line.erase("redone_because");
            EXPECT_EQ(withoutTimes({line}), withoutTimes({earlier}));
            continue;
        }
        if (line["outcome"] == "failed") {
            continue;  // broken.264, no recording: no AVI either time
        }
        ASSERT_EQ(line["outcome"], "skipped");
        EXPECT_TRUE(line["junk_bytes"].is_null());
        for (const char* key : {"avi_bytes", "sha256", "source_bytes", "video"}) {
            EXPECT_EQ(line[key], earlier[key]) << key;
        }
        if (earlier["audio"].is_object()) {
            earlier["audio"]["source_encoding"] = nullptr;  // the AVI holds PCM only
        }
        EXPECT_EQ(line["audio"], earlier["audio"]);
        for (const char* kind : {"video", "audio"}) {
            const Json& kept = line["duration_seconds"][kind];
            const Json& made = earlier["duration_seconds"][kind];
            ASSERT_TRUE(kept.is_number()) << kind;
            EXPECT_NEAR(kept.get<double>(), made.get<double>(), 0.2) << kind;
        }
    }
}

// --verify writes nothing and says, per source, whether the AVI at its path is byte for byte
// what this version makes of it.
TEST_F(ArchiveTree, VerifyFindsTheAvisTheRecordingsMakeAndTheFirstChangedByte) {
    const fs::path tree = makeTree(dir / "tree");
    const fs::path out = dir / "out";
    const std::string sources = quoted(tree) + " --output-dir " + quoted(out);
    runCli("-q -r " + sources);
    const auto converted = treeOf(out);

    const test::CommandResult all =
        runCli("-r -j 2 --hash --verify " + sources + " --report " + quoted(dir / "v.jsonl"));
    EXPECT_EQ(all.exitCode, 3) << all.err;  // the non-recording gives no AVI, as converting
    EXPECT_NE(all.err.find("4 verified, 0 differ, 1 failed"), std::string::npos) << all.err;
    for (const Json& line : readReport(dir / "v.jsonl")) {
        if (line["outcome"] == "failed") {
            continue;
        }
        EXPECT_EQ(line["outcome"], "verified");
        EXPECT_TRUE(line["differs_at"].is_null());
        EXPECT_EQ(line["sha256"]["avi"], sha256sum(line["avi"].get<std::string>()));
    }
    EXPECT_TRUE(treeOf(out) == converted);

    const fs::path avi = out / "day 1" / "ch1.avi";
    std::vector<std::uint8_t> bytes = test::readFile(avi);
    const std::size_t changed = bytes.size() * 2 / 3;
    bytes[changed] ^= 0x20;
    ASSERT_TRUE(test::writeFile(avi, bytes));
    const fs::path source = tree / "day 1" / "ch1.264";
    const struct {
        const char* name;
        std::string args;
        std::string differsAt;
    } cases[] = {
        {"one byte changed", quoted(source) + " " + quoted(avi), std::to_string(changed)},
        {"no AVI there", quoted(source) + " " + quoted(dir / "none.avi"), "null"},
        {"no output folder",
         "-r " + quoted(tree / "day 1") + " --output-dir " + quoted(dir / "nowhere"), "null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::CommandResult r =
            runCli("--verify " + c.args + " --report " + quoted(dir / "d.jsonl"));
        EXPECT_EQ(r.exitCode, 7) << r.err;
        const Json line = readReport(dir / "d.jsonl").at(0);
        EXPECT_EQ(line["outcome"], "differs");
        EXPECT_EQ(line["differs_at"].dump(), c.differsAt);
    }
    EXPECT_FALSE(fs::exists(dir / "none.avi"));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

// Peak memory of a batch over many small recordings does not grow with their number.
TEST_F(ArchiveTree, MemoryStaysFlatOverTenThousandFiles) {
    if (test::findProgram("time").empty() || !fs::exists("/usr/bin/time")) {
        GTEST_SKIP() << "GNU time is needed";
    }
    std::map<int, long> peakKb;
    for (int count : {1000, 10000}) {
        const fs::path tree = makeManyTree(dir / ("tree" + std::to_string(count)), count);
        const test::CommandResult r = runCommand(
            "/usr/bin/time -f 'peak %M' " + shellQuote(test::CLI) + " -q -r " + quoted(tree) +
            " --output-dir " + quoted(dir / ("out" + std::to_string(count))) + " --report " +
            quoted(dir / ("r" + std::to_string(count) + ".jsonl")) + " > /dev/null");
        EXPECT_EQ(r.exitCode, 0);
        const std::size_t at = r.err.rfind("peak ");
        ASSERT_NE(at, std::string::npos) << r.err;
        peakKb[count] = std::stol(r.err.substr(at + 5));
        std::printf("%d files: peak %ld KiB\n", count, peakKb[count]);
        fs::remove_all(dir / ("tree" + std::to_string(count)));
        fs::remove_all(dir / ("out" + std::to_string(count)));
    }
    // Ten times the files: only the list of their names grows (a few hundred bytes a file, and
    // up to three times that while the list doubles its room), nothing per conversion, where a
    // buffer kept per file would be megabytes.
    EXPECT_LT(peakKb[10000] - peakKb[1000], 9000 * 1024 / 1024);
}

}  // namespace
}  // namespace trunvex
