#include "demux/stream_demuxer.h"

#include <cstring>

#include "codec/audio_decode.h"
#include "codec/nal_repack.h"
#include "demux/record_format.h"
#include "demux/start_code_search.h"

#ifdef TRUNVEX_DEMUX_REFERENCE
#include "support/reference_paths.h"
#endif

namespace trunvex {
namespace {

// The start-code search and H.264 repacking this demultiplexer runs, and whether samples are
// converted straight into the output's buffer. The program's build takes the fast forms. The
// differential tests build this file again (library trunvex_reference_paths in tests/support)
// with TRUNVEX_DEMUX_REFERENCE, over the literal byte-at-a-time forms and the plain buffers,
// and hold the two to the same records and bytes; the program carries neither the reference
// code nor a switch for it.
namespace paths {
#ifdef TRUNVEX_DEMUX_REFERENCE
using reference::findRecordStart;
using reference::repackNalListFrame;
using reference::repackNalUnit;
constexpr bool CONVERT_IN_PLACE = false;
#else
using trunvex::findRecordStart;
using trunvex::repackNalListFrame;
using trunvex::repackNalUnit;
constexpr bool CONVERT_IN_PLACE = true;
#endif
}  // namespace paths

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

bool writeVideo(ConversionContext& ctx, std::span<const std::uint8_t> frame, bool isKey) noexcept {
    if (ctx.stats != nullptr && ctx.frameRate != 0) {
        ctx.stats->videoSeconds += 1.0 / ctx.frameRate;
    }
    return ctx.writer.writeVideoFrame(frame, isKey);
}

// A frame no reader could decode keeps its slot as an empty, non-key sample, so later frames
// keep their times; `counter` tells the recording's description why.
bool keepSlotEmpty(ConversionContext& ctx, std::uint64_t DemuxStats::*counter) noexcept {
    if (ctx.stats != nullptr) {
        ++(ctx.stats->*counter);
    }
    return writeVideo(ctx, {}, false);
}

std::uint32_t repackFast(std::span<const std::uint8_t> payload, bool isKey,
                         std::span<std::uint8_t> out) noexcept {
    return isKey ? repackNalListFrame(payload, out) : repackNalUnit(payload, out);
}

// The fast path rewrites the frame straight into the output's buffer, where its chunk will
// lie; a frame that the repacking refuses keeps its slot as an empty chunk there.
bool repackIntoOutput(ConversionContext& ctx, std::span<const std::uint8_t> payload, bool isKey,
                      bool& handled) noexcept {
    const std::span<std::uint8_t> room =
        ctx.writer.beginVideoFrame(repackedBytesAtMost(payload.size()));
    handled = !room.empty();
    if (!handled) {
        return true;
    }
    const std::uint32_t length = repackFast(payload, isKey, room);
    const bool empty = isKey && length == 0;
    if (ctx.stats != nullptr) {
        if (empty) {
            ++ctx.stats->malformedKeyFrames;
        }
        if (ctx.frameRate != 0) {
            ctx.stats->videoSeconds += 1.0 / ctx.frameRate;
        }
    }
    return ctx.writer.finishVideoFrame(length, isKey && !empty);
}

// An H.264 frame stored as a NAL list (key) or one bare unit (delta), rewritten as Annex-B.
bool writeRepackedH264(ConversionContext& ctx, std::span<const std::uint8_t> payload,
                       bool isKey) noexcept {
    if (paths::CONVERT_IN_PLACE) {
        bool handled = false;
        const bool written = repackIntoOutput(ctx, payload, isKey, handled);
        if (handled) {
            return written;
        }
    }
    const std::span<std::uint8_t> out = ctx.repackBuffer.view();
    ctx.repackedLength =
        isKey ? paths::repackNalListFrame(payload, out) : paths::repackNalUnit(payload, out);
    if (isKey && ctx.repackedLength == 0) {
        return keepSlotEmpty(ctx, &DemuxStats::malformedKeyFrames);
    }
    return writeVideo(ctx, out.first(ctx.repackedLength), isKey);
}

// An H.264 frame stored in Annex-B form is written as it is. One without a single start code
// is not H.264 to any reader, and as a stream's first packet it makes common readers refuse
// the whole file.
bool writeStoredH264(ConversionContext& ctx, std::span<const std::uint8_t> payload,
                     bool isKey) noexcept {
    if (!holdsAnnexBUnit(payload)) {
        return keepSlotEmpty(ctx, &DemuxStats::unreadableStoredFrames);
    }
    return writeVideo(ctx, payload, isKey);
}

// The samples are decoded straight into the output's buffer where it offers room, into
// pcmBuffer otherwise (and on the reference path); both hold every payload whole.
bool writeDecodedAudio(ConversionContext& ctx, std::span<const std::uint8_t> payload) noexcept {
    std::span<std::uint8_t> room;
    if (paths::CONVERT_IN_PLACE) {
        room = ctx.writer.beginAudioFrame(decodedAudioBytesAtMost(payload.size()));
    }
    const bool inPlace = !room.empty();
    const std::span<std::uint8_t> pcm = inPlace ? room : ctx.pcmBuffer.view();
    const std::int32_t decoded = decodeAudioFrame(payload, ctx.audioEncoding, pcm);
    const auto bytes = static_cast<std::uint32_t>(decoded > 0 ? decoded : 0);
    if (ctx.stats != nullptr) {
        const double samples = decodesTo16Bits(ctx.audioEncoding) ? bytes / 2.0 : bytes;
        ctx.stats->audioSeconds += samples / audioSampleRateOf(ctx.audioRateCode);
    }
    return inPlace ? ctx.writer.finishAudioFrame(bytes)
                   : ctx.writer.writeAudioFrame(pcm.first(bytes));
}

// Hands a complete payload on as its record kind and the current state say.
bool dispatchPayload(ConversionContext& ctx, std::span<const std::uint8_t> payload) noexcept {
    const std::uint32_t kind = ctx.startCodeAccumulator;
    const VideoKind current = ctx.writer.currentVideoKind();
    switch (kind) {
        case REC_H264_KEY:
        case REC_H264_DELTA:
            if (current != VIDEO_KIND_H264) {
                break;
            }
            if (ctx.payloadLayout == 0) {
                return writeRepackedH264(ctx, payload, isKeyFrameKind(kind));
            }
            return writeStoredH264(ctx, payload, isKeyFrameKind(kind));
        case REC_MPEG4_KEY:
        case REC_MPEG4_DELTA:
            if (current != VIDEO_KIND_MPEG4) {
                break;
            }
            return writeVideo(ctx, payload, isKeyFrameKind(kind));
        case REC_AUDIO:
            return writeDecodedAudio(ctx, payload);
        default:
            return true;
    }
    if (ctx.stats != nullptr) {
        ++ctx.stats->droppedVideoFrames;
    }
    return true;
}

// Carries out what accepting a valid header means for the output. False when the writer
// could not open its file or stream.
bool acceptHeader(ConversionContext& ctx, std::uint32_t kind, const std::uint8_t* header) noexcept {
    if (isKeyFrameKind(kind)) {
        if (!ctx.keyFrameSeen) {
            ctx.writer.discardEarlyOutput();
            ctx.keyFrameSeen = true;
        }
        const KeyFrameHeader h = readKeyFrameHeader(std::span<const std::uint8_t, 12>(header, 12));
        ctx.payloadLayout = h.layout;
        ctx.frameRate = frameRateOf(h.rateByte);
        const std::uint32_t width = h.widthBlocks * 8u;
        const std::uint32_t height = h.heightBlocks * 8u;
        if (ctx.stats != nullptr) {
            noteFrameFormat(*ctx.stats, kind, width, height, ctx.frameRate);
        }
        return ctx.writer.selectVideoStream(videoKindOf(kind), width, height, ctx.frameRate);
    }
    if (kind == REC_AUDIO) {
        ctx.audioEncoding = header[0];
        ctx.audioRateCode = header[1];
        if (ctx.stats != nullptr) {
            ++ctx.stats->audioBlocksByEncoding[ctx.audioEncoding];
            ++ctx.stats->audioBlocksByRateCode[ctx.audioRateCode];
        }
        return ctx.writer.openAudioStream(ctx.audioEncoding, ctx.audioRateCode, ctx.frameRate);
    }
    return true;
}

// Keeps the last `count` bytes before `end` at the start of frameBuffer for the next call.
// The source may lie inside frameBuffer, always after the destination.
RunResult holdBytes(ConversionContext& ctx, const std::uint8_t* from,
                    std::uint32_t count) noexcept {
    std::memmove(ctx.frameBuffer.data(), from, count);
    ctx.heldBytes = count;
    ctx.payloadRemaining = 0;
    return RUN_OK;
}

// Scans ctx.scanAvailable bytes at ctx.scanPosition for records until the buffer runs out.
RunResult scanForRecords(ConversionContext& ctx) noexcept {
    for (;;) {
        ctx.startCodeAccumulator = 0xFFFFFFFF;
        if (ctx.scanAvailable < CARRY_BYTES) {
            return holdBytes(ctx, ctx.scanPosition, ctx.scanAvailable);
        }
        const SearchResult found = paths::findRecordStart(
            {ctx.scanPosition, ctx.scanAvailable, ctx.keyFrameSeen, ctx.stats});
        ctx.startCodeAccumulator = found.accumulator;
        ctx.scanPosition += found.shifted;
        ctx.scanAvailable -= found.shifted;
        if (found.shortTail) {
            continue;  // restarts after a rejected header with fewer than 16 bytes: held
        }
        if (ctx.scanAvailable == 0) {
            // A code completed by the very last byte lies in these 16 and is found next time.
            return holdBytes(ctx, ctx.scanPosition - CARRY_BYTES, CARRY_BYTES);
        }
        const std::uint32_t kind = ctx.startCodeAccumulator;
        const std::uint32_t headerBytes = headerBytesFor(kind);
        if (ctx.scanAvailable < headerBytes) {
            return holdBytes(ctx, ctx.scanPosition - START_CODE_BYTES,
                             START_CODE_BYTES + ctx.scanAvailable);
        }
        const std::uint32_t payloadLength =
            validPayloadLength(kind, ctx.scanPosition, ctx.keyFrameSeen);
        if (payloadLength == 0) {
            // The rejected header and its would-be payload are searched like any bytes.
            if (ctx.stats != nullptr) {
                ++ctx.stats->rejectedHeaders;
            }
            continue;
        }
        if (!acceptHeader(ctx, kind, ctx.scanPosition)) {
            return RUN_OUTPUT_FAILED;
        }
        if (ctx.stats != nullptr) {
            ++ctx.stats->records[recordKindIndex(kind)];
            ctx.stats->recordBytes += START_CODE_BYTES + headerBytes + payloadLength;
            if (kind == REC_SKIP) {
                ctx.stats->skippedPayloadBytes += payloadLength;
            }
        }
        ctx.scanPosition += headerBytes;
        ctx.scanAvailable -= headerBytes;
        ctx.payloadRemaining = payloadLength;
        ctx.skipPayload = kind == REC_SKIP;
        if (ctx.payloadRemaining > ctx.scanAvailable) {
            const std::uint32_t present = ctx.scanAvailable;
            holdBytes(ctx, ctx.scanPosition, present);
            ctx.payloadRemaining = payloadLength - present;
            return RUN_OK;
        }
        if (!ctx.skipPayload &&
            !dispatchPayload(ctx, std::span<const std::uint8_t>(ctx.scanPosition, payloadLength))) {
            return RUN_OUTPUT_FAILED;
        }
        ctx.skipPayload = false;
        ctx.scanPosition += payloadLength;
        ctx.scanAvailable -= payloadLength;
        ctx.payloadRemaining = 0;
    }
}

}  // namespace

#ifdef TRUNVEX_DEMUX_REFERENCE
namespace reference {
#endif

RunResult processChunk(ConversionContext& ctx, std::span<const std::uint8_t> data) noexcept {
    const auto length = static_cast<std::uint32_t>(data.size());
    if (length == 0) {
        return RUN_OK;
    }
    std::uint8_t* const held = ctx.frameBuffer.data();
    if (ctx.payloadRemaining > 0) {
        if (length < ctx.payloadRemaining) {
            std::memcpy(held + ctx.heldBytes, data.data(), length);
            ctx.heldBytes += length;
            ctx.payloadRemaining -= length;
            return RUN_OK;
        }
        const std::uint32_t taken = ctx.payloadRemaining;
        std::memcpy(held + ctx.heldBytes, data.data(), taken);
        const std::span<const std::uint8_t> payload(held, ctx.heldBytes + taken);
        if (!ctx.skipPayload && !dispatchPayload(ctx, payload)) {
            return RUN_OUTPUT_FAILED;
        }
        ctx.skipPayload = false;
        ctx.payloadRemaining = 0;
        ctx.scanPosition = data.data() + taken;
        ctx.scanAvailable = length - taken;
    } else if (ctx.heldBytes > 0) {
        std::memcpy(held + ctx.heldBytes, data.data(), length);
        ctx.scanPosition = held;
        ctx.scanAvailable = ctx.heldBytes + length;
    } else {
        ctx.scanPosition = data.data();
        ctx.scanAvailable = length;
    }
    return scanForRecords(ctx);
}

#ifdef TRUNVEX_DEMUX_REFERENCE
}  // namespace reference
#endif

}  // namespace trunvex
