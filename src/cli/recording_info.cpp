#include "cli/recording_info.h"

#include <memory>

#include "avi/null_sink.h"
#include "cli/batch.h"
#include "platform/source_file.h"
#include "run/conversion_run.h"

namespace trunvex {
namespace {

class SilentRunUi final : public RunUi {
public:
    void setConvertCaption(std::string_view) override {}
    void showMessage(std::string_view) override {}
    void showProgress(std::uint64_t bytesRead, std::uint64_t) override { bytes = bytesRead; }
    std::uint64_t bytes = 0;
};

const char* encodingName(std::size_t encoding) {
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

void printRecords(const DemuxStats& s, std::FILE* out) {
    auto count = [&](std::uint32_t kind) {
        return static_cast<unsigned long long>(s.records[(kind & 0xFFu) - 0xF0u]);
    };
    std::fprintf(out,
                 "  records: H.264 key %llu, H.264 delta %llu, MPEG-4 key %llu, MPEG-4 delta "
                 "%llu, audio %llu, skip %llu\n",
                 count(REC_H264_KEY), count(REC_H264_DELTA), count(REC_MPEG4_KEY),
                 count(REC_MPEG4_DELTA), count(REC_AUDIO), count(REC_SKIP));
}

void printVideo(const DemuxStats& s, std::FILE* out) {
    if (s.formatCount == 0) {
        std::fprintf(out, "  video: none\n");
    }
    for (std::size_t i = 0; i < s.formatCount; ++i) {
        const DemuxStats::FrameFormat& f = s.formats[i];
        std::fprintf(out, "  video: %s %ux%u, %u fps, %llu key frames\n",
                     f.kind == REC_H264_KEY ? "H.264" : "MPEG-4", f.width, f.height, f.frameRate,
                     static_cast<unsigned long long>(f.keyFrames));
    }
}

void printAudio(const DemuxStats& s, std::FILE* out) {
    bool any = false;
    for (std::size_t e = 0; e < s.audioBlocksByEncoding.size(); ++e) {
        if (s.audioBlocksByEncoding[e] != 0) {
            std::fprintf(out, "  audio: %s (code %zu), %llu blocks\n", encodingName(e), e,
                         static_cast<unsigned long long>(s.audioBlocksByEncoding[e]));
            any = true;
        }
    }
    for (std::size_t r = 1; r < s.audioBlocksByRateCode.size(); ++r) {
        if (s.audioBlocksByRateCode[r] != 0) {
            std::fprintf(out, "  audio rate: %u Hz (code %zu), %llu blocks\n",
                         r == 2 ? 8000u : 16000u, r,
                         static_cast<unsigned long long>(s.audioBlocksByRateCode[r]));
        }
    }
    if (!any) {
        std::fprintf(out, "  audio: none\n");
    }
}

}  // namespace

int describeRecording(const std::string& sourcePath, std::FILE* out, std::FILE* err) {
    auto ctx = std::make_unique<ConversionContext>();
    if (!ctx->allocateBuffers()) {
        std::fprintf(err, "trunvex-cli: out of memory\n");
        return EXIT_OUT_OF_MEMORY;
    }
    DemuxStats stats;
    ctx->stats = &stats;
    NullSinkFactory nowhere;
    SilentRunUi ui;
    const ConvertReport report =
        convertRecording(*ctx, sourcePath, "(no output)", ui, fileSourceOpener(), nowhere);
    if (report.outcome == CONVERT_SOURCE_OPEN_FAILED || report.outcome == CONVERT_READ_FAILED ||
        report.outcome == CONVERT_PATH_EMPTY) {
        std::fprintf(out, "%s\n", std::string(messageFor(report.outcome)).c_str());
        if (!report.systemReason.empty()) {
            std::fprintf(err, "trunvex-cli: %s: %s\n", sourcePath.c_str(),
                         report.systemReason.c_str());
        }
        return exitCodeFor(report.outcome);
    }
    const std::uint64_t passedOver =
        ui.bytes > stats.recordBytes ? ui.bytes - stats.recordBytes : 0;
    std::fprintf(out, "%s\n  size: %llu bytes\n", sourcePath.c_str(),
                 static_cast<unsigned long long>(ui.bytes));
    printRecords(stats, out);
    printVideo(stats, out);
    printAudio(stats, out);
    std::fprintf(out, "  duration: video %.2f s, audio %.2f s\n", stats.videoSeconds,
                 stats.audioSeconds);
    std::fprintf(out,
                 "  passed over: %llu bytes outside records, %llu invalid headers; skipped: "
                 "%llu bytes in skip records\n",
                 static_cast<unsigned long long>(passedOver),
                 static_cast<unsigned long long>(stats.rejectedHeaders),
                 static_cast<unsigned long long>(stats.skippedPayloadBytes));
    if (stats.droppedVideoFrames != 0 || stats.malformedKeyFrames != 0 ||
        stats.unreadableStoredFrames != 0) {
        std::fprintf(out,
                     "  dropped: %llu frames of the other video family, %llu malformed key "
                     "frames, %llu Annex-B frames without a start code\n",
                     static_cast<unsigned long long>(stats.droppedVideoFrames),
                     static_cast<unsigned long long>(stats.malformedKeyFrames),
                     static_cast<unsigned long long>(stats.unreadableStoredFrames));
    }
    return 0;
}

}  // namespace trunvex
