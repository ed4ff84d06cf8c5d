#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace trunvex {

// Decodes one audio payload, coded as `encoding` says, to PCM at the start of `pcm`, and
// returns the bytes written (0 allowed: AUDIO_ENC_NONE, a too-short ADPCM block):
//   AUDIO_ENC_ADPCM4  the first min(length, 1028) bytes as one block; 4 * (n - 4) bytes of
//                     16-bit samples; 0 for payloads under 5 bytes
//   AUDIO_ENC_ALAW    the first min(length, 2048) bytes, 16-bit samples, 2 bytes each
//   AUDIO_ENC_PCM16   the payload copied, its length rounded down to whole samples
//   AUDIO_ENC_NONE    nothing
//   anything else     8-bit signed to unsigned, one byte per byte
// Never writes past `pcm`: output that would not fit is cut at its end (PCM_BUFFER_BYTES
// holds every payload the format admits).
[[nodiscard]] std::int32_t decodeAudioFrame(std::span<const std::uint8_t> payload,
                                            std::uint32_t encoding,
                                            std::span<std::uint8_t> pcm) noexcept;

// Room enough for decodeAudioFrame() to decode a payload of `payloadBytes` whole, whatever
// its encoding: a decoded block is at most 4096 bytes, PCM at most the payload.
[[nodiscard]] constexpr std::size_t decodedAudioBytesAtMost(std::size_t payloadBytes) noexcept {
    constexpr std::size_t LARGEST_BLOCK = 4096;
    return payloadBytes > LARGEST_BLOCK ? payloadBytes : LARGEST_BLOCK;
}

// One 4-bit ADPCM block (i16 predictor, i16 step, then code bytes, low nibble first) to
// 16-bit little-endian samples. Returns the bytes written: 4 * (block.size() - 4), 0 for a
// block of 4 bytes or fewer.
[[nodiscard]] std::uint32_t decodeAdpcm4(std::span<const std::uint8_t> block,
                                         std::span<std::uint8_t> out) noexcept;

// G.711 A-law bytes to 16-bit little-endian samples (the 13-bit value shifted left by 3).
// Returns the bytes written, twice the count.
[[nodiscard]] std::uint32_t expandAlaw(std::span<const std::uint8_t> alaw,
                                       std::span<std::uint8_t> out) noexcept;

}  // namespace trunvex
