#include "codec/audio_decode.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>

#include "common/bytes.h"
#include "common/codes.h"

namespace trunvex {
namespace {

constexpr std::size_t ADPCM_HEADER_BYTES = 4;
constexpr std::int32_t MIN_ADPCM_STEP = 16;

// Step multipliers in units of 1/256, indexed by the code's magnitude alone.
constexpr std::array<std::int32_t, 8> ADPCM_STEP_SCALE = {230, 230, 230, 230, 307, 409, 512, 614};

// G.711 A-law to linear: the 13-bit magnitude is rebuilt from segment and mantissa with a
// half-step bias, then scaled by 8 so the loudest code reaches 32256.
constexpr std::int16_t alawToLinear(std::uint8_t code) noexcept {
    const std::uint32_t a = code ^ 0x55U;
    const std::uint32_t segment = (a >> 4) & 0x07U;
    std::uint32_t magnitude = ((a & 0x0FU) << 4) + (segment == 0 ? 8U : 0x108U);
    if (segment > 1) {
        magnitude <<= segment - 1;
    }
    const auto value = static_cast<std::int32_t>(magnitude);
    return static_cast<std::int16_t>((a & 0x80U) != 0 ? value : -value);
}

// Each entry is already in output byte order, so expanding a byte is one 2-byte copy.
constexpr std::array<std::array<std::uint8_t, 2>, 256> ALAW_TABLE = [] {
    std::array<std::array<std::uint8_t, 2>, 256> table{};
    for (std::uint32_t code = 0; code < 256; ++code) {
        const auto sample =
            static_cast<std::uint16_t>(alawToLinear(static_cast<std::uint8_t>(code)));
        table[code] = {static_cast<std::uint8_t>(sample), static_cast<std::uint8_t>(sample >> 8)};
    }
    return table;
}();

static_assert(alawToLinear(0xD5) == 8 && alawToLinear(0x55) == -8);
static_assert(alawToLinear(0xAA) == 32256 && alawToLinear(0x2A) == -32256);
static_assert(alawToLinear(0x00) == -5504 && alawToLinear(0x80) == 5504);

struct AdpcmState {
    std::int32_t predictor;
    std::int32_t step;
};

// Decodes one 4-bit code, returning the clamped sample. The step is kept to 16 bits with
// wrap-around on purpose: recordings were made with that arithmetic, so a large step that
// wraps below the floor restarts at 16.
inline std::int16_t decodeNibble(std::uint32_t code, AdpcmState& state) noexcept {
    const std::uint32_t magnitude = code & 0x07U;
    const std::int32_t diff = static_cast<std::int32_t>(magnitude) * state.step;
    const std::int32_t raw = (code & 0x08U) != 0 ? state.predictor - diff : state.predictor + diff;
    const std::int32_t sample = std::clamp<std::int32_t>(
        raw, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max());
    const auto next = static_cast<std::int16_t>((ADPCM_STEP_SCALE[magnitude] * state.step) >> 8);
    state.predictor = sample;
    state.step = std::max<std::int32_t>(next, MIN_ADPCM_STEP);
    return static_cast<std::int16_t>(sample);
}

inline void storeSample(std::uint8_t* o, std::int16_t sample) noexcept {
    const auto bits = static_cast<std::uint16_t>(sample);
    o[0] = static_cast<std::uint8_t>(bits);
    o[1] = static_cast<std::uint8_t>(bits >> 8);
}

// Eight samples a step as one word: the flip is per byte, so byte order does not matter.
void flipSignBits(const std::uint8_t* in, std::size_t n, std::uint8_t* o) noexcept {
    constexpr std::uint64_t SIGN_BITS = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; n - i >= sizeof(std::uint64_t); i += sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        std::memcpy(&word, in + i, sizeof word);
        word ^= SIGN_BITS;
        std::memcpy(o + i, &word, sizeof word);
    }
    for (; i < n; ++i) {
        o[i] = static_cast<std::uint8_t>(in[i] ^ 0x80U);
    }
}

// Results are signed 32-bit; no span the caller can hand in is allowed to wrap them.
constexpr std::size_t MAX_RESULT_BYTES = std::numeric_limits<std::int32_t>::max() & ~std::size_t{1};

}  // namespace

std::uint32_t decodeAdpcm4(std::span<const std::uint8_t> block,
                           std::span<std::uint8_t> out) noexcept {
    if (block.size() <= ADPCM_HEADER_BYTES) {
        return 0;
    }
    AdpcmState state{static_cast<std::int16_t>(loadLe16(block.first<2>())),
                     static_cast<std::int16_t>(loadLe16(block.subspan(2).first<2>()))};
    // Whole samples only: a code byte whose second sample would not fit stops after the first.
    const std::size_t samples =
        std::min({(block.size() - ADPCM_HEADER_BYTES) * 2, out.size() / 2, MAX_RESULT_BYTES / 2});
    const std::uint8_t* in = block.data() + ADPCM_HEADER_BYTES;
    std::uint8_t* o = out.data();
    for (std::size_t i = 0; i + 1 < samples; i += 2) {
        const std::uint32_t codes = *in++;
        storeSample(o, decodeNibble(codes & 0x0FU, state));
        storeSample(o + 2, decodeNibble(codes >> 4, state));
        o += 4;
    }
    if (samples % 2 != 0) {
        storeSample(o, decodeNibble(*in & 0x0FU, state));
    }
    return static_cast<std::uint32_t>(samples * 2);
}

std::uint32_t expandAlaw(std::span<const std::uint8_t> alaw, std::span<std::uint8_t> out) noexcept {
    const std::size_t count = std::min({alaw.size(), out.size() / 2, MAX_RESULT_BYTES / 2});
    const std::uint8_t* in = alaw.data();
    std::uint8_t* o = out.data();
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(o + 2 * i, ALAW_TABLE[in[i]].data(), 2);
    }
    return static_cast<std::uint32_t>(count * 2);
}

std::int32_t decodeAudioFrame(std::span<const std::uint8_t> payload, std::uint32_t encoding,
                              std::span<std::uint8_t> pcm) noexcept {
    switch (encoding) {
        case AUDIO_ENC_ADPCM4:
            return static_cast<std::int32_t>(decodeAdpcm4(
                payload.first(std::min<std::size_t>(payload.size(), ADPCM_MAX_INPUT_BYTES)), pcm));
        case AUDIO_ENC_ALAW:
            return static_cast<std::int32_t>(expandAlaw(
                payload.first(std::min<std::size_t>(payload.size(), ALAW_MAX_INPUT_BYTES)), pcm));
        case AUDIO_ENC_NONE:
            return 0;
        case AUDIO_ENC_PCM16: {
            // Whole samples only: an odd trailing byte is not half a sample to pass on.
            const std::size_t n =
                std::min({payload.size(), pcm.size(), MAX_RESULT_BYTES}) & ~std::size_t{1};
            if (n != 0) {
                std::memcpy(pcm.data(), payload.data(), n);
            }
            return static_cast<std::int32_t>(n);
        }
        default: {
            // Signed 8-bit samples become unsigned ones centred on 128.
            const std::size_t n = std::min({payload.size(), pcm.size(), MAX_RESULT_BYTES});
            flipSignBits(payload.data(), n, pcm.data());
            return static_cast<std::int32_t>(n);
        }
    }
}

}  // namespace trunvex
