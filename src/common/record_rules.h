#pragma once

#include <cstddef>
#include <cstdint>

#include "common/codes.h"

namespace trunvex {

// What a record's kind and an audio header's codes mean, for every subsystem that reads them:
// the demultiplexer, the AVI writer and the recording's description.

[[nodiscard]] constexpr bool isKeyFrameKind(std::uint32_t kind) noexcept {
    return kind == REC_H264_KEY || kind == REC_MPEG4_KEY;
}

[[nodiscard]] constexpr bool isDeltaFrameKind(std::uint32_t kind) noexcept {
    return kind == REC_H264_DELTA || kind == REC_MPEG4_DELTA;
}

// The video family of a frame kind, key or delta; VIDEO_KIND_NONE for the other kinds.
[[nodiscard]] constexpr VideoKind videoKindOf(std::uint32_t kind) noexcept {
    if (kind == REC_H264_KEY || kind == REC_H264_DELTA) {
        return VIDEO_KIND_H264;
    }
    if (kind == REC_MPEG4_KEY || kind == REC_MPEG4_DELTA) {
        return VIDEO_KIND_MPEG4;
    }
    return VIDEO_KIND_NONE;
}

// A kind and the last byte of its start code, the one that tells the kinds apart.
[[nodiscard]] constexpr std::uint32_t recordKindOf(std::uint8_t kindByte) noexcept {
    return 0x00000100u | kindByte;
}
[[nodiscard]] constexpr std::uint8_t kindByteOf(std::uint32_t kind) noexcept {
    return static_cast<std::uint8_t>(kind & 0xFFu);
}

// Counters by record kind are indexed by the kind byte minus 0xF0.
inline constexpr std::size_t RECORD_KIND_SLOTS = 16;
[[nodiscard]] constexpr std::size_t recordKindIndex(std::uint32_t kind) noexcept {
    return kindByteOf(kind) - 0xF0u;
}

// Rate code 2 is 8000 samples per second; every other valid code is 16000.
inline constexpr std::uint32_t RATE_CODE_8000 = 2;
[[nodiscard]] constexpr std::uint32_t audioSampleRateOf(std::uint32_t rateCode) noexcept {
    return rateCode == RATE_CODE_8000 ? 8000u : 16000u;
}

// The encodings whose samples decode to 16 bits; every other value decodes as 8-bit PCM, so
// declaring 16 bits for it would make players read pairs of samples as one.
[[nodiscard]] constexpr bool decodesTo16Bits(std::uint32_t encoding) noexcept {
    return encoding >= AUDIO_ENC_NONE && encoding <= AUDIO_ENC_ALAW;
}
[[nodiscard]] constexpr std::uint32_t decodedBitsPerSample(std::uint32_t encoding) noexcept {
    return decodesTo16Bits(encoding) ? 16u : 8u;
}

}  // namespace trunvex
