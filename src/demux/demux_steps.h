#pragma once

// The demultiplexer's body, written once over the start-code search and the H.264 repacking
// it is given (`Paths`, a type with the static functions findRecordStart, repackNalUnit and
// repackNalListFrame of start_code_search.h and nal_repack.h). The program instantiates it
// over the fast forms in stream_demuxer.cpp; the differential tests instantiate it over
// byte-at-a-time ones and hold the two to the same records and bytes.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "codec/nal_repack.h"
#include "common/codes.h"
#include "demux/conversion_context.h"
#include "demux/record_format.h"
#include "demux/start_code_search.h"

namespace trunvex::demux_steps {

// A `Paths` made of three functions, each named once.
template <auto FindRecordStart, auto RepackNalUnit, auto RepackNalListFrame>
struct PathsOf {
    static constexpr auto findRecordStart = FindRecordStart;
    static constexpr auto repackNalUnit = RepackNalUnit;
    static constexpr auto repackNalListFrame = RepackNalListFrame;
};

// The steps that do not depend on `Paths`, in stream_demuxer.cpp. Each returns false when a
// writer operation fails.
[[nodiscard]] bool writeStoredH264(ConversionContext& ctx, std::span<const std::uint8_t> payload,
                                   bool isKey) noexcept;
[[nodiscard]] bool writeDecodedAudio(ConversionContext& ctx,
                                     std::span<const std::uint8_t> payload) noexcept;
// What accepting a valid header means for the output and the counts.
[[nodiscard]] bool acceptRecord(ConversionContext& ctx, std::uint32_t kind,
                                std::span<const std::uint8_t> header,
                                std::uint32_t payloadLength) noexcept;
// Keeps `bytes` at the start of frameBuffer for the next call; they may lie inside it,
// always after its start.
RunResult holdBytes(ConversionContext& ctx, std::span<const std::uint8_t> bytes) noexcept;

// An H.264 frame stored as a NAL list (key) or one bare unit (delta), rewritten as Annex-B
// straight into the room the writer gives. A key frame whose list does not fit its payload
// keeps its slot as an empty, non-key sample, so later frames keep their times.
template <typename Paths>
bool writeRepackedH264(ConversionContext& ctx, std::span<const std::uint8_t> payload,
                       bool isKey) noexcept {
    const auto repack = [&](std::span<std::uint8_t> room) noexcept -> std::uint32_t {
        const std::uint32_t length =
            isKey ? Paths::repackNalListFrame(payload, room) : Paths::repackNalUnit(payload, room);
        ctx.stats.malformedKeyFrames += isKey && length == 0 ? 1 : 0;
        return length;
    };
    return ctx.writer.writeVideoSample(repackedBytesAtMost(payload.size()), isKey, repack);
}

// Hands a complete payload on as its record kind and the current stream say.
template <typename Paths>
bool dispatchPayload(ConversionContext& ctx, std::span<const std::uint8_t> payload) noexcept {
    const std::uint32_t kind = ctx.startCodeAccumulator;
    const bool isKey = isKeyFrameKind(kind);
    if (kind == REC_AUDIO) {
        return writeDecodedAudio(ctx, payload);
    }
    const VideoKind family = videoKindOf(kind);
    if (family == VIDEO_KIND_NONE) {
        return true;
    }
    if (family != ctx.writer.currentVideoKind()) {
        ++ctx.stats.droppedVideoFrames;
        return true;
    }
    if (ctx.frameRate != 0) {
        ctx.stats.videoSeconds += 1.0 / ctx.frameRate;  // every frame keeps its slot
    }
    if (family == VIDEO_KIND_MPEG4) {
        return ctx.writer.writeVideoFrame(payload, isKey);
    }
    return ctx.payloadLayout == 0 ? writeRepackedH264<Paths>(ctx, payload, isKey)
                                  : writeStoredH264(ctx, payload, isKey);
}

// Takes the record whose start code ends just before window[at], when its header is whole:
// its payload is handed on, or held when the window ends first. Returns false when a writer
// operation failed; `at` is then past the record, or at the window's end once held.
template <typename Paths>
bool takeRecord(ConversionContext& ctx, std::span<const std::uint8_t> window, std::uint32_t& at,
                std::uint32_t payloadLength) noexcept {
    const std::uint32_t kind = ctx.startCodeAccumulator;
    if (!acceptRecord(ctx, kind, window.subspan(at), payloadLength)) {
        return false;
    }
    at += headerBytesFor(kind);
    ctx.payloadRemaining = payloadLength;
    ctx.skipPayload = kind == REC_SKIP;
    const auto present = static_cast<std::uint32_t>(window.size()) - at;
    if (payloadLength > present) {
        holdBytes(ctx, window.subspan(at));
        ctx.payloadRemaining = payloadLength - present;
        at = static_cast<std::uint32_t>(window.size());
        return true;
    }
    if (!ctx.skipPayload && !dispatchPayload<Paths>(ctx, window.subspan(at, payloadLength))) {
        return false;
    }
    ctx.skipPayload = false;
    ctx.payloadRemaining = 0;
    at += payloadLength;
    return true;
}

// Scans the window for records until it runs out; what cannot be judged yet is held.
template <typename Paths>
RunResult scanForRecords(ConversionContext& ctx, std::span<const std::uint8_t> window) noexcept {
    std::uint32_t at = 0;
    for (;;) {
        ctx.startCodeAccumulator = 0xFFFFFFFF;
        if (window.size() - at < CARRY_BYTES) {
            return holdBytes(ctx, window.subspan(at));
        }
        const SearchResult found = Paths::findRecordStart(
            {window.subspan(at), ctx.keyFrameSeen, ctx.stats.rejectedHeaders});
        ctx.startCodeAccumulator = found.accumulator;
        at += found.shifted;
        if (found.shortTail) {
            continue;  // restarts after a rejected header with fewer than 16 bytes: held
        }
        if (at == window.size()) {
            // A code completed by the very last byte lies in these 16 and is found next time.
            return holdBytes(ctx, window.last(CARRY_BYTES));
        }
        const std::uint32_t kind = ctx.startCodeAccumulator;
        if (window.size() - at < headerBytesFor(kind)) {
            return holdBytes(ctx, window.subspan(at - START_CODE_BYTES));
        }
        const std::uint32_t payloadLength =
            validPayloadLength(kind, window.data() + at, ctx.keyFrameSeen);
        if (payloadLength == 0) {
            // The rejected header and its would-be payload are searched like any bytes.
            ++ctx.stats.rejectedHeaders;
        } else if (!takeRecord<Paths>(ctx, window, at, payloadLength)) {
            return RUN_OUTPUT_FAILED;
        } else if (ctx.payloadRemaining > 0) {
            return RUN_OK;
        }
    }
}

// processChunk (stream_demuxer.h) over `Paths`.
template <typename Paths>
RunResult processChunkWith(ConversionContext& ctx, std::span<const std::uint8_t> data) noexcept {
    const auto length = static_cast<std::uint32_t>(data.size());
    std::uint8_t* const held = ctx.frameBuffer.data();
    if (length == 0) {
        return RUN_OK;
    }
    if (ctx.payloadRemaining == 0) {
        if (ctx.heldBytes == 0) {
            return scanForRecords<Paths>(ctx, data);
        }
        std::memcpy(held + ctx.heldBytes, data.data(), length);
        return scanForRecords<Paths>(ctx, {held, ctx.heldBytes + length});
    }
    const std::uint32_t taken = std::min(length, ctx.payloadRemaining);
    std::memcpy(held + ctx.heldBytes, data.data(), taken);
    ctx.heldBytes += taken;
    ctx.payloadRemaining -= taken;
    if (ctx.payloadRemaining > 0) {
        return RUN_OK;
    }
    if (!ctx.skipPayload && !dispatchPayload<Paths>(ctx, {held, ctx.heldBytes})) {
        return RUN_OUTPUT_FAILED;
    }
    ctx.skipPayload = false;
    return scanForRecords<Paths>(ctx, data.subspan(taken));
}

}  // namespace trunvex::demux_steps
