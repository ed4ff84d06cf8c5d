#include "run/conversion_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "mkrecording/recording_builder.h"
#include "platform/file_sink.h"
#include "platform/source_reader.h"
#include "run/run_messages.h"
#include "support/test_sinks.h"

namespace trunvex {
namespace {

using recording::RecordingBuilder;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// Records what the run showed, in order.
class RecordingUi final : public RunUi {
public:
    void setConvertCaption(std::string_view caption) override { events.emplace_back(caption); }
    void showMessage(std::string_view text) override {
        events.push_back("message: " + std::string(text));
    }
    void showProgress(std::uint64_t bytesRead, std::uint64_t) override {
        progress.push_back(bytesRead);
    }
    std::vector<std::string> events;
    std::vector<std::uint64_t> progress;  // after every chunk
};

// A recording in memory whose reads are counted and can fail.
class MemorySourceOpener final : public SourceOpener {
public:
    explicit MemorySourceOpener(Bytes content) : bytes(std::move(content)) {}

    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override {
        if (path == "missing") {
            failure = "No such file or directory";
            return nullptr;
        }
        return std::make_unique<Reader>(*this);
    }

    Bytes bytes;
    int failAtRead = 0;  // 0: never
    // A read fails at this offset: the bytes before it arrive, the next read returns -1.
    std::size_t failAtByte = SIZE_MAX;
    std::vector<std::int64_t> reads;

private:
    class Reader final : public SourceReader {
    public:
        explicit Reader(MemorySourceOpener& from) : owner(from) {}
        std::int64_t read(std::span<std::uint8_t> into) noexcept override {
            if (static_cast<int>(owner.reads.size()) + 1 == owner.failAtRead ||
                at == owner.failAtByte) {
                owner.reads.push_back(-1);
                return -1;
            }
            const std::size_t end = std::min(owner.bytes.size(), owner.failAtByte);
            const std::size_t n = std::min(into.size(), end - at);
            std::copy_n(owner.bytes.begin() + static_cast<std::ptrdiff_t>(at), n, into.begin());
            at += n;
            owner.reads.push_back(static_cast<std::int64_t>(n));
            return static_cast<std::int64_t>(n);
        }
        std::uint64_t size() const noexcept override { return owner.bytes.size(); }
        bool isSameFileAs(const std::string& path) const noexcept override {
            return path == "self";
        }
        std::string errorText() const override { return "Input/output error"; }

    private:
        MemorySourceOpener& owner;
        std::size_t at = 0;
    };
};

class ConversionRunTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ctx.allocateBuffers()); }

    ConvertOutcome run(MemorySourceOpener& source, SinkFactory& output,
                       const std::string& sourcePath = "rec.264",
                       const std::string& aviPath = "out.avi") {
        return convertRecording(ctx, sourcePath, aviPath, ui, source, output).outcome;
    }

    std::string lastMessage() const { return ui.events.empty() ? "" : ui.events.back(); }

    ConversionContext ctx;
    RecordingUi ui;
    MemorySinkFactory sinks;
};

TEST_F(ConversionRunTest, RefusalsBeforeTheRunTouchNothing) {
    struct Case {
        const char* source;
        const char* avi;
        ConvertOutcome outcome;
        std::string_view message;
    };
    const Case cases[] = {
        {"", "out.avi", CONVERT_PATH_EMPTY, MSG_PATH_EMPTY},
        {"rec.264", "", CONVERT_PATH_EMPTY, MSG_PATH_EMPTY},
        {"missing", "out.avi", CONVERT_SOURCE_OPEN_FAILED, MSG_SOURCE_OPEN_FAILED},
        {"rec.264", "self", CONVERT_SAME_FILE, MSG_SAME_FILE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source + std::string(" -> ") + c.avi);
        MemorySourceOpener source(recording::keyFrameAndAudio());
        ui.events.clear();
        EXPECT_EQ(run(source, sinks, c.source, c.avi), c.outcome);
        // One message and no caption change; the source was never read.
        EXPECT_EQ(ui.events, std::vector<std::string>{"message: " + std::string(c.message)});
        EXPECT_TRUE(source.reads.empty());
        EXPECT_TRUE(sinks.files.empty());
    }
}

// The source is read in blocks, and processChunk sees chunks of READ_CHUNK_BYTES, as reads of
// that size would give: a short block is the end, or a failure that drops the chunk it cuts.
TEST_F(ConversionRunTest, ReadsBlocksAndHandsOnChunks) {
    constexpr std::size_t CHUNK = READ_CHUNK_BYTES;
    constexpr std::size_t BLOCK = READ_BLOCK_BYTES;
    struct Case {
        std::size_t size;
        std::size_t failAtByte;
        std::vector<std::int64_t> reads;
        std::size_t wholeChunks;  // then the last, short chunk unless the read failed
        ConvertOutcome outcome;
    };
    const Case cases[] = {
        {0, SIZE_MAX, {0, 0}, 0, CONVERT_NO_FRAMES},
        {CHUNK - 1, SIZE_MAX, {CHUNK - 1, 0}, 0, CONVERT_NO_FRAMES},
        {CHUNK + 1, SIZE_MAX, {CHUNK + 1, 0}, 1, CONVERT_NO_FRAMES},
        {BLOCK, SIZE_MAX, {BLOCK, 0, 0}, 16, CONVERT_NO_FRAMES},
        {BLOCK + 5, SIZE_MAX, {BLOCK, 5, 0}, 16, CONVERT_NO_FRAMES},
        {3 * CHUNK + 100, 2 * CHUNK + 50, {2 * CHUNK + 50, -1}, 2, CONVERT_READ_FAILED},
        {BLOCK + CHUNK, BLOCK, {BLOCK, -1}, 16, CONVERT_READ_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        MemorySourceOpener source(Bytes(c.size, 0x55));
        source.failAtByte = c.failAtByte;
        ui.progress.clear();
        EXPECT_EQ(run(source, sinks), c.outcome);
        EXPECT_EQ(source.reads, c.reads);
        std::vector<std::uint64_t> chunkEnds;
        for (std::size_t i = 1; i <= c.wholeChunks; ++i) {
            chunkEnds.push_back(i * CHUNK);
        }
        if (c.outcome != CONVERT_READ_FAILED) {
            chunkEnds.push_back(c.size);
        }
        EXPECT_EQ(ui.progress, chunkEnds);
    }
}

TEST_F(ConversionRunTest, SuccessShowsTheWaitCaptionThenOneMessage) {
    MemorySourceOpener source(recording::keyFrameAndAudio());
    EXPECT_EQ(run(source, sinks), CONVERT_OK);
    const std::vector<std::string> expected = {std::string(CAPTION_WAIT),
                                               std::string(CAPTION_CONVERT),
                                               "message: " + std::string(MSG_SUCCEEDED)};
    EXPECT_EQ(ui.events, expected);
    EXPECT_NE(sinks.find("out.avi"), nullptr);
    EXPECT_EQ(sinks.openSinks(), 0);
}

TEST_F(ConversionRunTest, OutputThatCannotBeOpenedStopsTheReads) {
    // The first record that needs the file lies in the third block.
    Bytes rec(2 * READ_BLOCK_BYTES + 100, 0x55);
    const Bytes tail = recording::keyFrameAndAudio();
    rec.insert(rec.end(), tail.begin(), tail.end());
    rec.resize(5 * READ_BLOCK_BYTES, 0x55);
    MemorySourceOpener source(rec);
    FaultySinkFactory failing(sinks);
    failing.failOpen = true;
    EXPECT_EQ(run(source, failing), CONVERT_OUTPUT_FAILED);
    EXPECT_EQ(source.reads.size(), 3u);
    EXPECT_EQ(lastMessage(), "message: " + std::string(MSG_OUTPUT_FAILED));
    EXPECT_TRUE(sinks.files.empty());
}

TEST_F(ConversionRunTest, FailedReadKeepsWhatWasWrittenAsACompleteFile) {
    Bytes rec = recording::keyFrameAndAudio();
    rec.resize(3 * 65536, 0x55);
    MemorySourceOpener source(rec);
    source.failAtRead = 2;
    const ConvertReport report = convertRecording(ctx, "rec.264", "out.avi", ui, source, sinks);
    EXPECT_EQ(report.outcome, CONVERT_READ_FAILED);
    EXPECT_EQ(report.systemReason, "Input/output error");
    EXPECT_EQ(lastMessage(), "message: " + std::string(MSG_READ_FAILED));
    EXPECT_NE(sinks.find("out.avi"), nullptr);
    EXPECT_EQ(sinks.openSinks(), 0);
}

TEST_F(ConversionRunTest, FailedWriteLeavesNothingAndIsNeverSuccess) {
    const Bytes rec = recording::keyFrameAndAudio();
    for (std::uint64_t failAt = 1;; ++failAt) {
        SCOPED_TRACE(failAt);
        MemorySourceOpener source(rec);
        MemorySinkFactory memory;
        FaultySinkFactory failing(memory);
        failing.failWriteAt = failAt;
        const ConvertOutcome outcome = run(source, failing);
        if (failing.writesSeen < failAt) {
            EXPECT_EQ(outcome, CONVERT_OK);  // every write has been failed once
            break;
        }
        EXPECT_EQ(outcome, CONVERT_OUTPUT_FAILED);
        EXPECT_TRUE(memory.files.empty());
        EXPECT_EQ(memory.openSinks(), 0);
    }
}

TEST_F(ConversionRunTest, EleventhFrameSizeKeepsTheTenStreamsWritten) {
    RecordingBuilder rec;
    for (std::uint32_t size = 1; size <= 11; ++size) {
        rec.keyFrame(recording::KIND_MPEG4_KEY, {0, 25, size * 8, 8}, Bytes{1});
    }
    MemorySourceOpener source(rec.tailFiller().take());
    const ConvertReport report = convertRecording(ctx, "rec.264", "out.avi", ui, source, sinks);
    EXPECT_EQ(report.outcome, CONVERT_OUTPUT_FAILED);
    EXPECT_FALSE(report.systemReason.empty());
    ASSERT_NE(sinks.find("out.avi"), nullptr);
    EXPECT_EQ(ctx.writer.videoStreamCount, 10);
}

TEST_F(ConversionRunTest, NoFramesLeavesAnEarlierFileUntouched) {
    sinks.files["out.avi"] = Bytes{'o', 'l', 'd'};
    MemorySourceOpener source(Bytes(1000, 0x55));
    EXPECT_EQ(run(source, sinks), CONVERT_NO_FRAMES);
    EXPECT_EQ(sinks.files["out.avi"], (Bytes{'o', 'l', 'd'}));
}

TEST_F(ConversionRunTest, SecondRunStartsAfresh) {
    MemorySourceOpener first(recording::keyFrameAndAudio());
    first.failAtRead = 2;
    Bytes longer = recording::keyFrameAndAudio();
    longer.resize(70000, 0x55);
    first.bytes = longer;
    EXPECT_EQ(run(first, sinks), CONVERT_READ_FAILED);
    MemorySourceOpener second(recording::keyFrameAndAudio());
    const ConvertReport report = convertRecording(ctx, "rec.264", "second.avi", ui, second, sinks);
    EXPECT_EQ(report.outcome, CONVERT_OK);
    EXPECT_EQ(ctx.writer.videoStreamCount, 1);
    EXPECT_EQ(ctx.writer.videoFrameCount, 1);
    EXPECT_EQ(ctx.writer.audioChunkCount, 1);
    // The summary is this run's alone: the counts of the run before are gone.
    const RunSummary& s = report.summary;
    ASSERT_EQ(s.videoStreams, 1u);
    EXPECT_EQ(s.video[0].kind, VIDEO_KIND_MPEG4);
    EXPECT_EQ(s.video[0].width, 64u);
    EXPECT_EQ(s.video[0].frameRate, 25u);
    EXPECT_EQ(s.video[0].frames, 1u);
    ASSERT_TRUE(s.hasAudio);
    EXPECT_EQ(s.audio.sourceEncoding, AUDIO_ENC_PCM16);
    EXPECT_EQ(s.audio.samples, 1u);
    EXPECT_EQ(s.bytesRead, second.bytes.size());
    EXPECT_EQ(s.junkBytes, 16u);  // the filler behind the last record
    EXPECT_DOUBLE_EQ(s.videoSeconds, 1.0 / 25);
}

// The real files: a link or another spelling of the source is still the source.
TEST(FileSources, SameFileThroughAnotherPathIsRefused) {
    const fs::path dir = fs::absolute("same-file-scratch");
    fs::remove_all(dir);
    fs::create_directories(dir / "sub");
    const fs::path source = dir / "rec.264";
    const Bytes rec = recording::keyFrameAndAudio();
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char*>(rec.data()), static_cast<std::streamsize>(rec.size()));
    fs::create_hard_link(source, dir / "link.avi");
    ConversionContext ctx;
    ASSERT_TRUE(ctx.allocateBuffers());
    RecordingUi ui;
    for (const fs::path& avi : {source, dir / "link.avi", dir / "sub" / ".." / "rec.264"}) {
        SCOPED_TRACE(avi);
        EXPECT_EQ(convertRecording(ctx, source.string(), avi.string(), ui).outcome,
                  CONVERT_SAME_FILE);
        EXPECT_EQ(fs::file_size(source), rec.size());
    }
    EXPECT_EQ(convertRecording(ctx, source.string(), (dir / "out.avi").string(), ui).outcome,
              CONVERT_OK);
    EXPECT_GT(fs::file_size(dir / "out.avi"), 0u);
    EXPECT_EQ(convertRecording(ctx, dir.string(), (dir / "x.avi").string(), ui).outcome,
              CONVERT_SOURCE_OPEN_FAILED);
    fs::remove_all(dir);
}

#ifndef _WIN32
// Where an unnamed output file could not be named at the end (no /proc, and a kernel that
// links a descriptor only for privileged processes), a named one is taken from the start.
TEST(FileSources, ConvertsWhereUnnamedFilesCannotBeLinked) {
    const fs::path dir = fs::absolute("unlinkable-scratch");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path source = dir / "rec.264";
    const Bytes rec = recording::keyFrameAndAudio();
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char*>(rec.data()), static_cast<std::streamsize>(rec.size()));
    ConversionContext ctx;
    ASSERT_TRUE(ctx.allocateBuffers());
    RecordingUi ui;
    refuseLinkingUnnamedFilesForTests(true);
    const ConvertReport report =
        convertRecording(ctx, source.string(), (dir / "rec.avi").string(), ui);
    refuseLinkingUnnamedFilesForTests(false);
    ASSERT_EQ(report.outcome, CONVERT_OK) << report.systemReason;
    EXPECT_GT(fs::file_size(dir / "rec.avi"), rec.size());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    fs::remove_all(dir);
}
#endif

}  // namespace
}  // namespace trunvex
