#include "demux/stream_demuxer.h"

#include <cstring>

#include "codec/audio_decode.h"
#include "codec/nal_repack.h"
#include "demux/demux_steps.h"
#include "demux/record_format.h"
#include "demux/start_code_search.h"

namespace trunvex {
namespace {

// The program's search and repacking: the vector search that passes over invalid headers,
// and the repacking that copies the stretches between escapes.
using FastPaths = demux_steps::PathsOf<&trunvex::findRecordStart, &trunvex::repackNalUnit,
                                       &trunvex::repackNalListFrame>;

void noteFrameFormat(DemuxStats& stats, std::uint32_t kind, std::uint32_t width,
                     std::uint32_t height, std::uint32_t frameRate) noexcept {
    for (std::size_t i = 0; i < stats.formatCount; ++i) {
        DemuxStats::FrameFormat& f = stats.formats[i];
        if (f.kind == kind && f.width == width && f.height == height && f.frameRate == frameRate) {
            ++f.keyFrames;
            return;
        }
    }
    if (stats.formatCount < DemuxStats::MAX_FORMATS) {
        stats.formats[stats.formatCount++] = {kind, width, height, frameRate, 1};
    }
}

// Carries out what accepting a valid header means for the output. False when the writer
// could not open its file or stream.
bool acceptHeader(ConversionContext& ctx, std::uint32_t kind,
                  std::span<const std::uint8_t> header) noexcept {
    if (isKeyFrameKind(kind)) {
        if (!ctx.keyFrameSeen) {
            ctx.writer.discardEarlyOutput();
            ctx.keyFrameSeen = true;
        }
        const KeyFrameHeader h = readKeyFrameHeader(header.first<LONG_HEADER_BYTES>());
        ctx.payloadLayout = h.layout;
        ctx.frameRate = frameRateOf(h.rateByte);
        const std::uint32_t width = h.widthBlocks * 8u;
        const std::uint32_t height = h.heightBlocks * 8u;
        noteFrameFormat(ctx.stats, kind, width, height, ctx.frameRate);
        return ctx.writer.selectVideoStream(videoKindOf(kind), width, height, ctx.frameRate);
    }
    if (kind == REC_AUDIO) {
        ctx.audioEncoding = header[0];
        ctx.audioRateCode = header[1];
        ++ctx.stats.audioBlocksByEncoding[ctx.audioEncoding];
        ++ctx.stats.audioBlocksByRateCode[ctx.audioRateCode];
        return ctx.writer.openAudioStream(ctx.audioEncoding, ctx.audioRateCode, ctx.frameRate);
    }
    return true;
}

// A frame no reader could decode keeps its slot as an empty, non-key sample, so later frames
// keep their times; `counter` tells the recording's description why.
bool keepSlotEmpty(ConversionContext& ctx, std::uint64_t DemuxStats::*counter) noexcept {
    ++(ctx.stats.*counter);
    return ctx.writer.writeVideoFrame({}, false);
}

}  // namespace

namespace demux_steps {

// An H.264 frame stored in Annex-B form is written as it is. One without a single start code
// is not H.264 to any reader, and as a stream's first packet it makes common readers refuse
// the whole file.
bool writeStoredH264(ConversionContext& ctx, std::span<const std::uint8_t> payload,
                     bool isKey) noexcept {
    if (!holdsAnnexBUnit(payload)) {
        return keepSlotEmpty(ctx, &DemuxStats::unreadableStoredFrames);
    }
    return ctx.writer.writeVideoFrame(payload, isKey);
}

// The samples are decoded straight into the room the writer gives, which holds every
// payload whole.
bool writeDecodedAudio(ConversionContext& ctx, std::span<const std::uint8_t> payload) noexcept {
    std::uint32_t bytes = 0;
    const auto decode = [&](std::span<std::uint8_t> room) noexcept -> std::uint32_t {
        const std::int32_t decoded = decodeAudioFrame(payload, ctx.audioEncoding, room);
        bytes = static_cast<std::uint32_t>(decoded > 0 ? decoded : 0);
        return bytes;
    };
    const bool written =
        ctx.writer.writeAudioSample(decodedAudioBytesAtMost(payload.size()), decode);
    const double samples = decodesTo16Bits(ctx.audioEncoding) ? bytes / 2.0 : bytes;
    ctx.stats.audioSeconds += samples / audioSampleRateOf(ctx.audioRateCode);
    return written;
}

bool acceptRecord(ConversionContext& ctx, std::uint32_t kind, std::span<const std::uint8_t> header,
                  std::uint32_t payloadLength) noexcept {
    if (!acceptHeader(ctx, kind, header)) {
        return false;
    }
    ++ctx.stats.records[recordKindIndex(kind)];
    ctx.stats.recordBytes += START_CODE_BYTES + headerBytesFor(kind) + payloadLength;
    if (kind == REC_SKIP) {
        ctx.stats.skippedPayloadBytes += payloadLength;
    }
    return true;
}

RunResult holdBytes(ConversionContext& ctx, std::span<const std::uint8_t> bytes) noexcept {
    std::memmove(ctx.frameBuffer.data(), bytes.data(), bytes.size());
    ctx.heldBytes = static_cast<std::uint32_t>(bytes.size());
    ctx.payloadRemaining = 0;
    return RUN_OK;
}

}  // namespace demux_steps

RunResult processChunk(ConversionContext& ctx, std::span<const std::uint8_t> data) noexcept {
    return demux_steps::processChunkWith<FastPaths>(ctx, data);
}

}  // namespace trunvex
