#pragma once

// Encoders for the audio encodings of the recorded stream format, and a model of the decoder
// that says which PCM bytes the converter must produce for each block. The model is written
// from the format's rules, independently of src/codec, so that tests can hold the converter's
// decodeAudioFrame against it.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace trunvex::recording {

// Audio encoding bytes.
inline constexpr std::uint8_t ENC_PCM8 = 7;
inline constexpr std::uint8_t ENC_NONE = 11;
inline constexpr std::uint8_t ENC_PCM16 = 12;
inline constexpr std::uint8_t ENC_ADPCM4 = 13;
inline constexpr std::uint8_t ENC_ALAW = 14;

// Step multipliers in units of 1/256, by code magnitude.
inline constexpr std::array<std::int32_t, 8> ADPCM_SCALE = {230, 230, 230, 230, 307, 409, 512, 614};
// The smallest step the decoder keeps after a code; also the first block's initial step.
inline constexpr std::int16_t ADPCM_MIN_STEP = 16;
// Code bytes in one block at most: the decoder ignores anything past 4 + 1024 bytes.
inline constexpr std::size_t ADPCM_MAX_CODE_BYTES = 1024;

// The decoder's state between two codes.
struct AdpcmState {
    std::int16_t predictor = 0;
    std::int16_t step = ADPCM_MIN_STEP;
};

// Decodes one 4-bit code (bit 3 sign, bits 0-2 magnitude), advancing `state`; returns the
// sample, which is also the new predictor.
std::int16_t adpcmDecodeCode(AdpcmState& state, std::uint8_t code);

// Encodes samples as one ADPCM block: i16 predictor and i16 step from `state`, then two codes
// per byte, low nibble first. Each code is the one whose decoded value lies closest to the
// sample, so `state` ends as the decoder's will. An odd count repeats the last sample; at most
// 2 * ADPCM_MAX_CODE_BYTES samples are taken.
[[nodiscard]] std::vector<std::uint8_t> encodeAdpcmBlock(std::span<const std::int16_t> samples,
                                                         AdpcmState& state);

// G.711 A-law for 16-bit samples (the 13-bit linear value shifted left by 3).
[[nodiscard]] std::uint8_t alawEncode(std::int16_t sample);
[[nodiscard]] std::int16_t alawDecode(std::uint8_t code);

// The payload of one audio block for `encoding` (one of the ENC_* values). ENC_NONE carries
// the ADPCM form, which the converter does not decode. `adpcm` carries the encoder's state
// from block to block.
[[nodiscard]] std::vector<std::uint8_t> encodeAudioBlock(std::uint8_t encoding,
                                                         std::span<const std::int16_t> samples,
                                                         AdpcmState& adpcm);

// The PCM bytes the converter must write for a payload, by the same rules as its decoder:
// ADPCM (first 1028 bytes, nothing below 5), A-law (first 2048 bytes), PCM16 (whole samples),
// NONE (nothing), any other encoding 8-bit with the top bit flipped.
[[nodiscard]] std::vector<std::uint8_t> expectedPcm(std::uint8_t encoding,
                                                    std::span<const std::uint8_t> payload);

}  // namespace trunvex::recording
