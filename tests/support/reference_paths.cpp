#include "support/reference_paths.h"

#include <algorithm>

#include "codec/nal_repack.h"
#include "demux/demux_steps.h"
#include "demux/record_format.h"

namespace trunvex::reference {

SearchResult findRecordStart(const SearchWindow& window) noexcept {
    std::uint32_t acc = 0xFFFFFFFF;
    std::uint32_t i = 0;
    while (i < window.bytes.size() && !isRecordStartCode(acc)) {
        acc = (acc << 8) | window.bytes[i];
        ++i;
    }
    return {i, acc, false};
}

std::uint32_t repackNalUnit(std::span<const std::uint8_t> unit,
                            std::span<std::uint8_t> out) noexcept {
    if (unit.empty() || !fitsRepackedBytes(repackedUnitBytesAtMost(unit.size()), out.size())) {
        return 0;
    }
    constexpr std::uint8_t START_CODE[] = {0x00, 0x00, 0x00, 0x01};
    constexpr std::uint8_t EMULATION_PREVENTION = 0x03;
    std::size_t o = 0;
    for (const std::uint8_t b : START_CODE) {
        out[o++] = b;
    }
    out[o++] = unit[0];
    std::uint32_t zeros = 0;
    for (std::size_t i = 1; i < unit.size(); ++i) {
        const std::uint8_t b = unit[i];
        if (zeros == 2 && b <= EMULATION_PREVENTION) {
            out[o++] = EMULATION_PREVENTION;
            zeros = 0;
        }
        out[o++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return static_cast<std::uint32_t>(o);
}

std::uint32_t repackNalListFrame(std::span<const std::uint8_t> payload,
                                 std::span<std::uint8_t> out) noexcept {
    return repackNalListFrameWith(payload, out, &repackNalUnit);
}

using ReferencePaths = demux_steps::PathsOf<&reference::findRecordStart, &reference::repackNalUnit,
                                            &reference::repackNalListFrame>;

RunResult processChunk(ConversionContext& ctx, std::span<const std::uint8_t> data) noexcept {
    return demux_steps::processChunkWith<ReferencePaths>(ctx, data);
}

RunResult convertRecording(ConversionContext& ctx, std::span<const std::uint8_t> recording,
                           const std::string& aviPath, SinkFactory& sinks) {
    ctx.writer.resetOutput();
    ctx.writer.setOutputPath(aviPath);
    ctx.writer.setSinkFactory(sinks);
    ctx.resetDemuxer();
    for (std::size_t at = 0; at < recording.size(); at += READ_CHUNK_BYTES) {
        const std::size_t n = std::min<std::size_t>(READ_CHUNK_BYTES, recording.size() - at);
        if (processChunk(ctx, recording.subspan(at, n)) != RUN_OK) {
            ctx.writer.abandonOutput();
            return RUN_OUTPUT_FAILED;
        }
    }
    if (ctx.writer.framesWritten() == 0) {
        ctx.writer.abandonOutput();
        return RUN_NO_FRAMES;
    }
    return ctx.writer.closeOutput() ? RUN_OK : RUN_OUTPUT_FAILED;
}

}  // namespace trunvex::reference
