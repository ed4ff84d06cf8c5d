// Faults at the real file layers: reads that fail, writes that fail, AVI paths that cannot
// be created. Whatever happens, the run never reports success for an incomplete file, never
// leaves a broken or temporary file behind and never touches the source.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "faults/fault_support.h"
#include "mkrecording/recording_builder.h"
#include "platform/file_sink.h"
#include "platform/source_file.h"
#include "run/run_messages.h"
#include "support/reference_paths.h"
#include "support/test_sinks.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::namesIn;
using test::snapshotOf;

const Bytes OLD_AVI = {'R', 'I', 'F', 'F', 'o', 'l', 'd'};

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ctx.allocateBuffers());
        dir = test::makeTempDir("faults");
        source = dir / "rec.264";
        avi = dir / "out.avi";
    }

    // Writes the source and remembers how it looked.
    void useSource(const Bytes& bytes) {
        ASSERT_TRUE(test::writeFile(source, bytes));
        sourceBefore = snapshotOf(source);
    }

    ConvertReport run(SourceOpener& sources, SinkFactory& sinks) {
        return convertRecording(ctx, source.string(), avi.string(), ui, sources, sinks);
    }

    // The source is read, never written, whatever the outcome.
    void expectSourceUntouched() { EXPECT_TRUE(snapshotOf(source) == sourceBefore); }

    // Only the source and, when given, the file at the AVI path: no temporary file is left.
    void expectOnlySourceAnd(bool aviThere) {
        std::vector<std::string> expected = {"rec.264"};
        if (aviThere) {
            expected.insert(expected.begin(), "out.avi");
        }
        EXPECT_EQ(namesIn(dir), expected);
    }

    // ffprobe, the independent reader, finds exactly what the file holds: exits cleanly,
    // complains of nothing and reads every packet written. Returns what was written.
    StreamTotalsMap expectProbeReadsWhatWasWritten(const AviCheck& check,
                                                   bool skipDecoderMessages = false) {
        const StreamTotalsMap written = streamTotalsOf(check);
        const test::ProbeResult probe = test::probeAvi(avi, skipDecoderMessages);
        EXPECT_EQ(probe.exitCode, 0);
        EXPECT_EQ(probe.errors, "");
        EXPECT_TRUE(probe.totals == written)
            << describe(probe.totals) << " read, " << describe(written) << " written";
        return written;
    }

    ConversionContext ctx;
    test::SilentUi ui;
    fs::path dir, source, avi;
    test::FileSnapshot sourceBefore;
};

TEST_F(FaultTest, FailedReadKeepsAPlayableAviOfWhatCameBefore) {
    const Bytes& rec = test::encodedRecording(4.0);
    if (rec.empty() || test::findProgram("ffprobe").empty()) {
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    }
    useSource(rec);
    const int chunks = static_cast<int>(rec.size() / READ_CHUNK_BYTES) + 1;
    ASSERT_GE(chunks, 8);
    RecordProperty("chunks", chunks);
    int lastPackets = 0;
    // A read fails in the middle of each chunk in turn, then never.
    for (int failIn = 1; failIn <= chunks + 1; ++failIn) {
        SCOPED_TRACE("chunk " + std::to_string(failIn) + " of " + std::to_string(chunks) +
                     " fails");
        ASSERT_TRUE(test::writeFile(avi, OLD_AVI));
        test::FaultySourceOpener sources(fileSourceOpener());
        const std::uint64_t failAt =
            std::uint64_t{READ_CHUNK_BYTES} * static_cast<std::uint64_t>(failIn - 1) + 1000;
        if (failAt < rec.size()) {
            sources.failAtByte = failAt;
        }
        const ConvertReport report = run(sources, fileSinkFactory());
        expectSourceUntouched();
        if (failAt >= rec.size()) {
            EXPECT_EQ(report.outcome, CONVERT_OK);
            EXPECT_EQ(ui.message, MSG_SUCCEEDED);
        } else {
            EXPECT_EQ(report.outcome, CONVERT_READ_FAILED);
            EXPECT_EQ(ui.message, MSG_READ_FAILED);
            EXPECT_EQ(report.systemReason, std::strerror(EIO));
        }
        expectOnlySourceAnd(true);
        if (failIn == 1) {
            // Nothing was converted: the earlier file stays as it was.
            EXPECT_EQ(test::readFile(avi), OLD_AVI);
            continue;
        }
        const AviCheck check = checkAvi(FileRiffSource(avi.string()));
        ASSERT_TRUE(check.ok()) << check.error;
        const StreamTotalsMap expected = expectProbeReadsWhatWasWritten(check);
        int total = 0;
        for (const auto& [stream, t] : expected) {
            total += t.packets;
        }
        // Each chunk read before the failure adds what it completed.
        EXPECT_GE(total, lastPackets);
        EXPECT_GT(total, 0);
        lastPackets = total;
    }
}

// An eleventh frame size fails the run but not the file: the ten streams written so far
// replace the earlier AVI as a complete file.
// H.264 frames as NAL lists and bare units from a few bytes to several hundred kilobytes,
// dense with zero pairs or free of them, between audio blocks of every encoding.
Bytes everyKindOfSample() {
    std::mt19937 random(31);
    const auto noise = [&](std::size_t size, unsigned zeroPercent) {
        Bytes b(size);
        for (std::uint8_t& v : b) {
            v = random() % 100 < zeroPercent ? 0 : static_cast<std::uint8_t>(random());
        }
        return b;
    };
    recording::RecordingBuilder b;
    const std::uint8_t encodings[] = {AUDIO_ENC_ADPCM4, AUDIO_ENC_ALAW, AUDIO_ENC_PCM16,
                                      AUDIO_ENC_PCM8, AUDIO_ENC_NONE};
    for (int gop = 0; gop < 6; ++gop) {
        Bytes key = {2, 0, 0, 0, 9, 0, 0, 0, 4, 0, 0, 0};
        const Bytes units = noise(13 + 40000 * static_cast<std::size_t>(gop), 30);
        key.insert(key.end(), units.begin(), units.end());
        b.keyFrame(recording::KIND_H264_KEY, {0, 25, 352, 288}, key);
        for (int f = 0; f < 20; ++f) {
            const std::size_t size = 1 + (random() % 4 == 0 ? random() % 300000 : random() % 9000);
            b.deltaFrame(recording::KIND_H264_DELTA, noise(size, f % 3 == 0 ? 40 : 1));
            const std::uint8_t encoding = encodings[static_cast<std::size_t>(f) % 5];
            b.audio(encoding, recording::RATE_CODE_8000, noise(1 + random() % 3000, 5));
        }
    }
    return b.tailFiller().take();
}

// Whatever way a sample takes into a file (escaped or decoded in the sink's buffer, copied,
// written past the buffer, by the old way where a chunk may start the next RIFF), the file
// holds the bytes of the literal reference path, byte for byte.
TEST_F(FaultTest, FilesHoldTheReferenceBytes) {
    std::vector<Bytes> recordings = {everyKindOfSample(), test::syntheticRecording(30, 70000)};
    if (!test::encodedRecording(4.0).empty()) {
        recordings.push_back(test::encodedRecording(4.0));
    }
    AviFileLimits smallRiffs;
    smallRiffs.riffBytes = 400000;
    smallRiffs.legacyIndexEntries = 50;
    smallRiffs.chunkIndexEntries = 16;
    for (const AviFileLimits& limits : {AviFileLimits{}, smallRiffs}) {
        ctx.writer.setFileLimits(limits);
        for (std::size_t i = 0; i < recordings.size(); ++i) {
            SCOPED_TRACE("recording " + std::to_string(i) + ", RIFFs of " +
                         std::to_string(limits.riffBytes));
            useSource(recordings[i]);
            MemorySinkFactory memory;
            ASSERT_EQ(reference::convertRecording(ctx, recordings[i], avi.string(), memory),
                      RUN_OK);
            ASSERT_EQ(run(fileSourceOpener(), fileSinkFactory()).outcome, CONVERT_OK);
            const Bytes* reference = memory.find(avi.string());
            ASSERT_NE(reference, nullptr);
            EXPECT_TRUE(test::readFile(avi) == *reference);
        }
    }
}

TEST_F(FaultTest, EleventhFrameSizeLeavesACompleteAviOfTheTenStreams) {
    recording::RecordingBuilder builder;
    for (std::uint32_t k = 0; k < 11; ++k) {
        builder.keyFrame(recording::KIND_MPEG4_KEY, {0, 25, 64 + 8 * k, 64}, Bytes(100, 0x42));
        builder.audio(AUDIO_ENC_PCM16, recording::RATE_CODE_8000, Bytes(640, 0x10));
    }
    useSource(builder.tailFiller().take());
    ASSERT_TRUE(test::writeFile(avi, OLD_AVI));
    const ConvertReport report = run(fileSourceOpener(), fileSinkFactory());
    EXPECT_EQ(report.outcome, CONVERT_OUTPUT_FAILED);
    EXPECT_EQ(ui.message, MSG_OUTPUT_FAILED);
    expectOnlySourceAnd(true);
    expectSourceUntouched();
    const AviCheck check = checkAvi(FileRiffSource(avi.string()));
    ASSERT_TRUE(check.ok()) << check.error;
    EXPECT_EQ(check.streams.size(), 11u);  // ten video streams and the audio stream
    if (test::findProgram("ffprobe").empty()) {
        GTEST_SKIP() << "ffprobe not installed";
    }
    // The frames are noise, which the MPEG-4 decoder rightly complains about.
    expectProbeReadsWhatWasWritten(check, true);
}

// A frame stored as Annex-B that holds no start code, as the first packet of a stream, once
// made ffmpeg refuse the whole file ("No start code is found"). It now keeps its slot empty.
TEST_F(FaultTest, StoredFrameWithoutStartCodeDoesNotSpoilTheFile) {
    if (test::findProgram("ffprobe").empty()) {
        GTEST_SKIP() << "ffprobe not installed";
    }
    recording::RecordingBuilder builder;
    builder.keyFrame(recording::KIND_H264_KEY, {1, 25, 64, 64}, Bytes(4, 0x42));
    builder.audio(AUDIO_ENC_PCM16, recording::RATE_CODE_8000, Bytes(640, 0x10));
    builder.keyFrame(recording::KIND_H264_KEY, {1, 25, 64, 64}, Bytes(300, 0x42));
    builder.audio(AUDIO_ENC_PCM16, recording::RATE_CODE_8000, Bytes(640, 0x10));
    useSource(builder.tailFiller().take());
    ASSERT_EQ(run(fileSourceOpener(), fileSinkFactory()).outcome, CONVERT_OK);
    const AviCheck check = checkAvi(FileRiffSource(avi.string()));
    ASSERT_TRUE(check.ok()) << check.error;
    expectProbeReadsWhatWasWritten(check, true);
}

TEST_F(FaultTest, FailedWriteLeavesNothingAndIsNeverSuccess) {
    useSource(test::syntheticRecording(24, 30000));
    FaultySinkFactory counting(fileSinkFactory());
    ASSERT_EQ(run(fileSourceOpener(), counting).outcome, CONVERT_OK);
    const std::uint64_t writes = counting.writesSeen;
    const std::uint64_t seeks = counting.seeksSeen;
    ASSERT_GT(writes, 24u);
    RecordProperty("writes", std::to_string(writes));
    RecordProperty("seeks", std::to_string(seeks));
    fs::remove(avi);

    struct Fault {
        const char* name;
        std::uint64_t count;
        void (*arm)(FaultySinkFactory&, std::uint64_t);
    };
    const Fault faults[] = {
        {"write", writes, [](FaultySinkFactory& f, std::uint64_t n) { f.failWriteAt = n; }},
        {"seek", seeks, [](FaultySinkFactory& f, std::uint64_t n) { f.failSeekAt = n; }},
        {"commit", 1, [](FaultySinkFactory& f, std::uint64_t) { f.failCommit = true; }},
    };
    for (const Fault& fault : faults) {
        for (std::uint64_t n = 1; n <= fault.count; ++n) {
            SCOPED_TRACE(std::string(fault.name) + " " + std::to_string(n) + " fails");
            // Every other run finds an earlier file at the AVI path, which must survive.
            const bool earlier = n % 2 == 0;
            if (earlier) {
                ASSERT_TRUE(test::writeFile(avi, OLD_AVI));
            }
            FaultySinkFactory failing(fileSinkFactory());
            failing.errorNumber = n % 3 == 0 ? EIO : ENOSPC;
            fault.arm(failing, n);
            const ConvertReport report = run(fileSourceOpener(), failing);
            EXPECT_EQ(report.outcome, CONVERT_OUTPUT_FAILED);
            EXPECT_EQ(ui.message, MSG_OUTPUT_FAILED);
            EXPECT_EQ(report.systemReason, std::strerror(failing.errorNumber));
            expectOnlySourceAnd(earlier);
            if (earlier) {
                EXPECT_EQ(test::readFile(avi), OLD_AVI);
                fs::remove(avi);
            }
            expectSourceUntouched();
        }
    }
    // The same context converts cleanly after all that.
    EXPECT_EQ(run(fileSourceOpener(), fileSinkFactory()).outcome, CONVERT_OK);
    EXPECT_TRUE(checkAvi(FileRiffSource(avi.string())).ok());
}

TEST_F(FaultTest, AviPathThatCannotBeCreated) {
    useSource(test::syntheticRecording(2, 1000));
    fs::create_directory(dir / "taken.avi");
    struct Case {
        const char* name;
        fs::path avi;
    };
    const Case cases[] = {
        {"missing directory", dir / "missing" / "out.avi"},
        {"names a directory", dir / "taken.avi"},
        {"ends in a slash", fs::path(dir.string() + "/taken.avi/")},
        {"ends in a dot", dir / "taken.avi" / "."},
        {"below a regular file", dir / "rec.264" / "out.avi"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ConvertReport report = convertRecording(ctx, source.string(), c.avi.string(), ui,
                                                      fileSourceOpener(), fileSinkFactory());
        EXPECT_EQ(report.outcome, CONVERT_OUTPUT_FAILED);
        EXPECT_EQ(ui.message, MSG_OUTPUT_FAILED);
        EXPECT_FALSE(report.systemReason.empty());
        EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"rec.264", "taken.avi"}));
        EXPECT_TRUE(fs::is_empty(dir / "taken.avi"));
        expectSourceUntouched();
    }
}

// What stands at the AVI path: a device, a FIFO or a directory is refused before the source
// is read, and stays as it was; a link is written through to its target and stays a link.
TEST_F(FaultTest, SpecialFilesAndLinksAtTheAviPath) {
    useSource(test::syntheticRecording(2, 1000));
    ASSERT_EQ(::mkfifo((dir / "fifo.avi").c_str(), 0644), 0);
    fs::create_directory(dir / "folder.avi");
    // A copy of /dev/null's node (1, 3), where the test may make one.
    const bool device = ::mknod((dir / "null.avi").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    std::vector<std::string> refused = {"fifo.avi", "folder.avi"};
    if (device) {
        refused.emplace_back("null.avi");
    }
    const std::vector<std::string> before = namesIn(dir);
    for (const std::string& name : refused) {
        SCOPED_TRACE(name);
        test::FaultySourceOpener counting(fileSourceOpener());
        const ConvertReport report = convertRecording(ctx, source.string(), (dir / name).string(),
                                                      ui, counting, fileSinkFactory());
        EXPECT_EQ(report.outcome, CONVERT_OUTPUT_FAILED);
        EXPECT_EQ(ui.message, MSG_OUTPUT_FAILED);
        EXPECT_FALSE(report.systemReason.empty());
        EXPECT_EQ(counting.readsSeen, 0);
        EXPECT_EQ(namesIn(dir), before);
    }
    EXPECT_TRUE(fs::is_fifo(dir / "fifo.avi"));
    EXPECT_TRUE(fs::is_empty(dir / "folder.avi"));
    EXPECT_TRUE(!device || fs::is_character_file(dir / "null.avi"));

    fs::create_directory(dir / "kept");
    ASSERT_TRUE(test::writeFile(dir / "kept" / "real.avi", OLD_AVI));
    fs::create_symlink("kept/real.avi", dir / "link.avi");
    ASSERT_EQ(convertRecording(ctx, source.string(), (dir / "link.avi").string(), ui,
                               fileSourceOpener(), fileSinkFactory())
                  .outcome,
              CONVERT_OK);
    EXPECT_TRUE(fs::is_symlink(dir / "link.avi"));
    EXPECT_TRUE(checkAvi(FileRiffSource((dir / "kept" / "real.avi").string())).ok());
    EXPECT_EQ(namesIn(dir / "kept"), std::vector<std::string>{"real.avi"});
    expectSourceUntouched();
    if (!device) {
        GTEST_SKIP() << "cannot make a device node here; FIFO, directory and link were checked";
    }
}

// Permission bits do not stop root, so root gets a read-only file system instead.
TEST_F(FaultTest, AviPathInADirectoryThatCannotBeWritten) {
    useSource(test::syntheticRecording(2, 1000));
    const fs::path locked = dir / "locked";
    fs::create_directory(locked);
    ASSERT_TRUE(test::writeFile(locked / "out.avi", OLD_AVI));
    test::UnwritableFolder unwritable(locked);
    if (!unwritable.failure().empty()) {
        GTEST_SKIP() << unwritable.failure();
    }
    // Under the read-only mount the directory is empty; without it the earlier file is there.
    const std::vector<std::string> before = namesIn(locked);
    const test::FileSnapshot aviBefore = snapshotOf(locked / "out.avi");
    const ConvertReport report =
        convertRecording(ctx, source.string(), (locked / "out.avi").string(), ui,
                         fileSourceOpener(), fileSinkFactory());
    EXPECT_EQ(report.outcome, CONVERT_OUTPUT_FAILED);
    EXPECT_EQ(ui.message, MSG_OUTPUT_FAILED);
    EXPECT_EQ(report.systemReason, std::strerror(unwritable.writeError()));
    EXPECT_EQ(namesIn(locked), before);
    EXPECT_TRUE(snapshotOf(locked / "out.avi") == aviBefore);
    EXPECT_TRUE(unwritable.release());
    EXPECT_EQ(test::readFile(locked / "out.avi"), OLD_AVI);
    expectSourceUntouched();
}

}  // namespace
}  // namespace trunvex
