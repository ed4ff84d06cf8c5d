#include "run/run_summary.h"

#include "demux/conversion_context.h"

namespace trunvex {
namespace {

std::uint32_t commonestEncoding(const DemuxStats& stats) noexcept {
    std::size_t best = 0;
    for (std::size_t e = 1; e < stats.audioBlocksByEncoding.size(); ++e) {
        if (stats.audioBlocksByEncoding[e] > stats.audioBlocksByEncoding[best]) {
            best = e;
        }
    }
    return static_cast<std::uint32_t>(best);
}

void summarizeVideo(RunSummary& summary, const AviWriter& writer) noexcept {
    const AviOutputStats& counts = writer.outputStats();
    for (std::int32_t i = 0; i < writer.videoStreamCount && i < MAX_VIDEO_STREAMS; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const AVISTREAMINFO& info = writer.videoStreamInfos[slot];
        summary.video[slot] = {counts.video[slot].kind,
                               static_cast<std::uint32_t>(info.rcFrame.right),
                               static_cast<std::uint32_t>(info.rcFrame.bottom),
                               info.dwRate,
                               counts.video[slot].frames,
                               counts.video[slot].emptySamples};
        summary.videoStreams = slot + 1;
    }
}

void summarizeAudio(RunSummary& summary, const AviWriter& writer,
                    const DemuxStats& stats) noexcept {
    const WAVEFORMATEX& format = writer.audioFormat;
    if (writer.audioChunkCount <= 0 || format.nBlockAlign == 0) {
        return;
    }
    summary.hasAudio = true;
    summary.audio = {commonestEncoding(stats), format.nSamplesPerSec, format.wBitsPerSample,
                     writer.outputStats().audioBytes / format.nBlockAlign};
}

}  // namespace

RunSummary summarizeRun(const AviWriter& writer, const DemuxStats& stats,
                        std::uint64_t bytesRead) noexcept {
    RunSummary summary;
    summarizeVideo(summary, writer);
    summarizeAudio(summary, writer, stats);
    summary.bytesRead = bytesRead;
    summary.junkBytes = bytesRead > stats.recordBytes ? bytesRead - stats.recordBytes : 0;
    summary.videoSeconds = stats.videoSeconds;
    summary.audioSeconds = stats.audioSeconds;
    return summary;
}

}  // namespace trunvex
