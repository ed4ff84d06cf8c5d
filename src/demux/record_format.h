#pragma once

#include <cstdint>
#include <span>

#include "common/bytes.h"
#include "common/codes.h"
#include "common/record_rules.h"

namespace trunvex {

// Header of REC_H264_KEY and REC_MPEG4_KEY (12 bytes after the start code).
struct KeyFrameHeader {
    std::uint8_t layout = 0;        // 0: H.264 payloads are NAL lists / bare units
    std::uint8_t rateByte = 0;      // bits 0..4: frames per second
    std::uint8_t widthBlocks = 0;   // width / 8
    std::uint8_t heightBlocks = 0;  // height / 8
    std::uint32_t payloadLength = 0;
};

// Header of REC_AUDIO (4 bytes after the start code).
struct AudioHeader {
    std::uint8_t encoding = 0;
    std::uint8_t rateCode = 0;
    std::uint16_t payloadLength = 0;
};

// True for the six start codes that introduce records; every other 00 00 01 xx is data.
[[nodiscard]] constexpr bool isRecordStartCode(std::uint32_t value) noexcept {
    switch (value) {
        case REC_H264_KEY:
        case REC_H264_DELTA:
        case REC_MPEG4_KEY:
        case REC_MPEG4_DELTA:
        case REC_AUDIO:
        case REC_SKIP:
            return true;
        default:
            return false;
    }
}

// True for the kind bytes (the fourth start-code byte) of the six record kinds.
[[nodiscard]] constexpr bool isRecordKindByte(std::uint8_t b) noexcept {
    return isRecordStartCode(recordKindOf(b));
}

// Bytes of header after the start code: 12 for key frames and skips, 4 for the rest.
[[nodiscard]] constexpr std::uint32_t headerBytesFor(std::uint32_t kind) noexcept {
    return kind == REC_H264_KEY || kind == REC_MPEG4_KEY || kind == REC_SKIP ? LONG_HEADER_BYTES
                                                                             : SHORT_HEADER_BYTES;
}

// Header readers, inline: the start-code search judges headers in its inner loop.
[[nodiscard]] constexpr KeyFrameHeader readKeyFrameHeader(
    std::span<const std::uint8_t, LONG_HEADER_BYTES> header) noexcept {
    return {header[0], header[1], header[2], header[3], loadLe32(header.subspan<8, 4>())};
}

[[nodiscard]] constexpr AudioHeader readAudioHeader(
    std::span<const std::uint8_t, SHORT_HEADER_BYTES> header) noexcept {
    return {header[0], header[1], loadLe16(header.subspan<2, 2>())};
}

// The u32 payload length of a delta-frame header.
[[nodiscard]] constexpr std::uint32_t readDeltaPayloadLength(
    std::span<const std::uint8_t, SHORT_HEADER_BYTES> header) noexcept {
    return loadLe32(header);
}

// Validity rules; every comparison is unsigned.
[[nodiscard]] constexpr bool isValidFramePayloadLength(std::uint32_t length) noexcept {
    return length >= 1 && length <= MAX_FRAME_BYTES;
}
[[nodiscard]] constexpr bool isValidFrameSize(std::uint32_t widthBlocks,
                                              std::uint32_t heightBlocks) noexcept {
    return widthBlocks <= MAX_WIDTH_BLOCKS && heightBlocks <= MAX_HEIGHT_BLOCKS;
}
[[nodiscard]] constexpr bool isValidKeyFrameHeader(const KeyFrameHeader& header) noexcept {
    return isValidFrameSize(header.widthBlocks, header.heightBlocks) &&
           isValidFramePayloadLength(header.payloadLength);
}
// A skip header has a key-frame header's shape; bytes 0 and 1 are not looked at.
[[nodiscard]] constexpr bool isValidSkipHeader(const KeyFrameHeader& header) noexcept {
    return isValidKeyFrameHeader(header);
}
[[nodiscard]] constexpr bool isValidDeltaHeader(std::uint32_t payloadLength,
                                                bool keyFrameSeen) noexcept {
    return keyFrameSeen && isValidFramePayloadLength(payloadLength);
}
[[nodiscard]] constexpr bool isValidAudioHeader(const AudioHeader& header) noexcept {
    return header.rateCode >= 1 && header.rateCode <= MAX_AUDIO_RATE_CODE &&
           header.payloadLength != 0;
}

// Frames per second: bits 0..4 of the rate byte.
[[nodiscard]] constexpr std::uint32_t frameRateOf(std::uint8_t rateByte) noexcept {
    return rateByte & 0x1Fu;
}

}  // namespace trunvex
