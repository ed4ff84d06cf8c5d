#include "run/conversion_run.h"

#include <algorithm>
#include <array>

#include "demux/stream_demuxer.h"
#include "platform/file_sink.h"
#include "platform/source_file.h"
#include "run/run_messages.h"

namespace trunvex {
namespace {

// The per-run reset: the read buffer cleared, the writer's and the demultiplexer's fields
// at their starting values.
void resetForRun(ConversionContext& ctx, const std::string& aviPath, SinkFactory& sinks) {
    std::fill_n(ctx.readBuffer.data(), READ_BLOCK_BYTES, std::uint8_t{0});
    ctx.writer.resetOutput();
    ctx.writer.setOutputPath(aviPath);
    ctx.writer.setSinkFactory(sinks);
    ctx.resetDemuxer();
}

struct ReadLoopResult {
    RunResult result = RUN_OK;
    std::string reason;
};

// Reads the source in blocks and hands each on to processChunk in chunks of
// READ_CHUNK_BYTES, exactly as reads of that size would have come, until the end of the
// file, a failed read or a chunk's failed output. After a short block, one more read tells
// the end of the file from a failure: a failure drops the short chunk it cut, as a failed
// read of that chunk would have.
ReadLoopResult feedSource(ConversionContext& ctx, SourceReader& source, RunUi& ui,
                          std::uint64_t& bytesRead) {
    const std::span<std::uint8_t> block = ctx.readBuffer.view();
    const std::uint64_t total = source.size();
    const auto feed = [&](std::span<const std::uint8_t> chunk) {
        bytesRead += chunk.size();
        const RunResult result = processChunk(ctx, chunk);
        ui.showProgress(bytesRead, total);
        return result;
    };
    for (;;) {
        const std::int64_t n = source.read(block);
        if (n < 0) {
            return {RUN_READ_FAILED, source.errorText()};
        }
        const auto count = static_cast<std::size_t>(n);
        std::size_t at = 0;
        for (; count - at >= READ_CHUNK_BYTES; at += READ_CHUNK_BYTES) {
            const RunResult result = feed(block.subspan(at, READ_CHUNK_BYTES));
            if (result != RUN_OK) {
                return {result, ctx.writer.failureText()};
            }
        }
        if (count == block.size()) {
            continue;
        }
        std::array<std::uint8_t, 1> probe{};
        if (source.read(probe) < 0) {
            return {RUN_READ_FAILED, source.errorText()};
        }
        const RunResult result = feed(block.subspan(at, count - at));
        if (result != RUN_OK) {
            return {result, ctx.writer.failureText()};
        }
        return {};
    }
}

// The whole source through the demultiplexer, and the summary of what it made.
ReadLoopResult convertSource(ConversionContext& ctx, SourceReader& source, RunUi& ui,
                             RunSummary& summary) {
    std::uint64_t bytesRead = 0;
    ReadLoopResult loop = feedSource(ctx, source, ui, bytesRead);
    summary = summarizeRun(ctx.writer, ctx.stats, bytesRead);
    return loop;
}

// Every outcome releases the output. A run that wrote samples leaves a complete AVI, unless
// the output itself failed to write; a run that wrote nothing leaves the path as it was.
ConvertOutcome releaseOutput(AviWriter& writer, RunResult result, OnReadFailure onReadFailure,
                             ConvertReport& report) {
    const bool dropped =
        result == RUN_READ_FAILED && onReadFailure == OnReadFailure::KEEP_EARLIER_FILE;
    if (writer.framesWritten() == 0 || writer.outputBroken() || dropped) {
        writer.abandonOutput();
        return static_cast<ConvertOutcome>(result);
    }
    if (!writer.closeOutput()) {
        report.systemReason = writer.failureText();
        return CONVERT_OUTPUT_FAILED;
    }
    report.aviKept = true;
    return static_cast<ConvertOutcome>(result);
}

}  // namespace

std::string_view messageFor(ConvertOutcome outcome) noexcept {
    switch (outcome) {
        case CONVERT_OK:
            return MSG_SUCCEEDED;
        case CONVERT_READ_FAILED:
            return MSG_READ_FAILED;
        case CONVERT_OUTPUT_FAILED:
            return MSG_OUTPUT_FAILED;
        case CONVERT_NO_FRAMES:
            return MSG_NO_FRAMES;
        case CONVERT_PATH_EMPTY:
            return MSG_PATH_EMPTY;
        case CONVERT_SOURCE_OPEN_FAILED:
            return MSG_SOURCE_OPEN_FAILED;
        case CONVERT_SAME_FILE:
            return MSG_SAME_FILE;
    }
    return MSG_OUTPUT_FAILED;
}

ConvertReport convertRecording(ConversionContext& ctx, const std::string& sourcePath,
                               const std::string& aviPath, RunUi& ui) {
    return convertRecording(ctx, sourcePath, aviPath, ui, fileSourceOpener(), fileSinkFactory());
}

ConvertReport convertRecording(ConversionContext& ctx, const std::string& sourcePath,
                               const std::string& aviPath, RunUi& ui, SourceOpener& sources,
                               SinkFactory& sinks, OnReadFailure onReadFailure) {
    ConvertReport report;
    auto finish = [&](ConvertOutcome outcome) {
        report.outcome = outcome;
        ui.showMessage(messageFor(outcome));
        return report;
    };
    if (sourcePath.empty() || aviPath.empty()) {
        return finish(CONVERT_PATH_EMPTY);
    }
    std::unique_ptr<SourceReader> source = sources.open(sourcePath, report.systemReason);
    if (!source) {
        return finish(CONVERT_SOURCE_OPEN_FAILED);
    }
    // Replacing the source with its own conversion would destroy the recording.
    if (source->isSameFileAs(aviPath)) {
        return finish(CONVERT_SAME_FILE);
    }
    // A device or a directory at the AVI path is refused before anything is read.
    if (!sinks.checkPath(aviPath, report.systemReason)) {
        return finish(CONVERT_OUTPUT_FAILED);
    }

    ui.setConvertCaption(CAPTION_WAIT);
    resetForRun(ctx, aviPath, sinks);
    ReadLoopResult loop = convertSource(ctx, *source, ui, report.summary);
    ui.setConvertCaption(CAPTION_CONVERT);
    source.reset();

    if (loop.result == RUN_OK && ctx.writer.framesWritten() == 0) {
        loop.result = RUN_NO_FRAMES;
    }
    report.systemReason = std::move(loop.reason);
    return finish(releaseOutput(ctx.writer, loop.result, onReadFailure, report));
}

}  // namespace trunvex
