#include "cli/recording_info.h"

#include <cstdarg>
#include <memory>

#include "avi/null_sink.h"
#include "cli/batch.h"
#include "cli/complaint.h"
#include "cli/name_text.h"
#include "common/record_rules.h"
#include "run/conversion_run.h"

namespace trunvex {
namespace {

class SilentRunUi final : public RunUi {
public:
    void setConvertCaption(std::string_view) override {}
    void showMessage(std::string_view) override {}
    void showProgress(std::uint64_t bytesRead, std::uint64_t) override {
        before = bytes;
        bytes = bytesRead;
    }
    std::uint64_t before = 0;  // where the last piece handed on began
    std::uint64_t bytes = 0;
};

// The lines of one description, each after the same lead.
class InfoPrinter {
public:
    // Without a lead ("SOURCE: "), lines are indented under a title line.
    InfoPrinter(std::FILE* stream, const std::string& lead)
        : out(stream), prefix(lead.empty() ? "  " : lead) {}
    [[gnu::format(printf, 2, 3)]] void line(const char* format, ...) const {
        std::fputs(prefix.c_str(), out);
        va_list args;
        va_start(args, format);
        std::vfprintf(out, format, args);
        va_end(args);
        std::fputc('\n', out);
    }

private:
    std::FILE* out;
    std::string prefix;
};

}  // namespace

const char* audioEncodingName(std::size_t encoding) {
    switch (encoding) {
        case AUDIO_ENC_PCM8:
            return "8-bit PCM";
        case AUDIO_ENC_NONE:
            return "none (not decoded)";
        case AUDIO_ENC_PCM16:
            return "16-bit PCM";
        case AUDIO_ENC_ADPCM4:
            return "4-bit ADPCM";
        case AUDIO_ENC_ALAW:
            return "A-law";
        default:
            return "8-bit PCM (unlisted code)";
    }
}

namespace {

void printRecords(const DemuxStats& s, const InfoPrinter& out) {
    auto count = [&](std::uint32_t kind) {
        return static_cast<unsigned long long>(s.records[recordKindIndex(kind)]);
    };
    out.line(
        "records: H.264 key %llu, H.264 delta %llu, MPEG-4 key %llu, MPEG-4 delta "
        "%llu, audio %llu, skip %llu",
        count(REC_H264_KEY), count(REC_H264_DELTA), count(REC_MPEG4_KEY), count(REC_MPEG4_DELTA),
        count(REC_AUDIO), count(REC_SKIP));
}

void printVideo(const DemuxStats& s, const InfoPrinter& out) {
    if (s.formatCount == 0) {
        out.line("video: none");
    }
    for (std::size_t i = 0; i < s.formatCount; ++i) {
        const DemuxStats::FrameFormat& f = s.formats[i];
        out.line("video: %s %ux%u, %u fps, %llu key frames",
                 videoKindOf(f.kind) == VIDEO_KIND_H264 ? "H.264" : "MPEG-4", f.width, f.height,
                 f.frameRate, static_cast<unsigned long long>(f.keyFrames));
    }
}

void printAudio(const DemuxStats& s, const InfoPrinter& out) {
    bool any = false;
    for (std::size_t e = 0; e < s.audioBlocksByEncoding.size(); ++e) {
        if (s.audioBlocksByEncoding[e] != 0) {
            out.line("audio: %s (code %llu), %llu blocks", audioEncodingName(e),
                     static_cast<unsigned long long>(e),
                     static_cast<unsigned long long>(s.audioBlocksByEncoding[e]));
            any = true;
        }
    }
    for (std::size_t r = 1; r < s.audioBlocksByRateCode.size(); ++r) {
        if (s.audioBlocksByRateCode[r] != 0) {
            out.line("audio rate: %u Hz (code %llu), %llu blocks",
                     audioSampleRateOf(static_cast<std::uint32_t>(r)),
                     static_cast<unsigned long long>(r),
                     static_cast<unsigned long long>(s.audioBlocksByRateCode[r]));
        }
    }
    if (!any) {
        out.line("audio: none");
    }
}

}  // namespace

int describeRecording(const std::string& sourcePath, bool nameEveryLine, SourceOpener& sources,
                      std::FILE* out, std::FILE* err) {
    const std::string lead = nameEveryLine ? shownName(sourcePath) + ": " : std::string();
    auto ctx = std::make_unique<ConversionContext>();
    if (!ctx->allocateBuffers()) {
        complain(err, OUT_OF_MEMORY_TEXT);
        return EXIT_OUT_OF_MEMORY;
    }
    NullSinkFactory nowhere;
    SilentRunUi ui;
    const ConvertReport report =
        convertRecording(*ctx, sourcePath, "(no output)", ui, sources, nowhere);
    const DemuxStats& stats = ctx->stats;
    if (report.outcome == CONVERT_SOURCE_OPEN_FAILED || report.outcome == CONVERT_READ_FAILED ||
        report.outcome == CONVERT_PATH_EMPTY) {
        complainOfFailure(err, nameEveryLine ? std::string_view(sourcePath) : std::string_view(),
                          messageFor(report.outcome), sourcePath, report.systemReason);
        return exitCodeFor(report.outcome);
    }
    // A run that could not take the whole recording (an eleventh frame size, more than one
    // AVI file holds) stopped inside the last piece read: only what came before it counts.
    const bool stopped = report.outcome == CONVERT_OUTPUT_FAILED;
    const std::uint64_t described = stopped ? ui.before : ui.bytes;
    const std::uint64_t passedOver =
        described > stats.recordBytes ? described - stats.recordBytes : 0;
    if (!nameEveryLine) {
        std::fprintf(out, "%s\n", shownName(sourcePath).c_str());
    }
    const InfoPrinter print(out, lead);
    print.line("size: %llu bytes", static_cast<unsigned long long>(ui.bytes));
    printRecords(stats, print);
    printVideo(stats, print);
    printAudio(stats, print);
    print.line("duration: video %.2f s, audio %.2f s", stats.videoSeconds, stats.audioSeconds);
    print.line(
        "passed over: %llu bytes outside records, %llu invalid headers; skipped: %llu bytes in "
        "skip records",
        static_cast<unsigned long long>(passedOver),
        static_cast<unsigned long long>(stats.rejectedHeaders),
        static_cast<unsigned long long>(stats.skippedPayloadBytes));
    if (stats.droppedVideoFrames != 0 || stats.malformedKeyFrames != 0 ||
        stats.unreadableStoredFrames != 0) {
        print.line(
            "dropped: %llu frames of the other video family, %llu malformed key frames, %llu "
            "Annex-B frames without a start code",
            static_cast<unsigned long long>(stats.droppedVideoFrames),
            static_cast<unsigned long long>(stats.malformedKeyFrames),
            static_cast<unsigned long long>(stats.unreadableStoredFrames));
    }
    if (stopped) {
        print.line("stopped: %s, between bytes %llu and %llu; the rest is not described",
                   report.systemReason.c_str(), static_cast<unsigned long long>(ui.before),
                   static_cast<unsigned long long>(ui.bytes));
    }
    std::fflush(out);
    if (stopped) {
        complain(err, sourcePath, report.systemReason);
    }
    return stopped ? exitCodeFor(report.outcome) : 0;
}

int describeRecordings(const std::vector<BatchJob>& jobs, bool nameSources, SourceOpener& sources,
                       std::FILE* out, std::FILE* err) {
    int status = 0;
    for (const BatchJob& job : jobs) {
        if (!job.unreadableFolder.empty()) {
            complain(err, shownName(job.source), job.unreadableFolder);
        }
        const int s = !job.unreadableFolder.empty()
                          ? exitCodeFor(CONVERT_SOURCE_OPEN_FAILED)
                          : describeRecording(job.source, nameSources, sources, out, err);
        if (status == 0) {
            status = s;
        }
    }
    return status;
}

}  // namespace trunvex
