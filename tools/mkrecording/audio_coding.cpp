#include "mkrecording/audio_coding.h"

#include <algorithm>
#include <cstdlib>

#include "common/bytes.h"

namespace trunvex::recording {

namespace {

constexpr std::size_t ADPCM_HEADER_BYTES = 4;
constexpr std::size_t ALAW_MAX_BYTES = 2048;

void appendLe16(std::vector<std::uint8_t>& out, std::int16_t v) {
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
}

// Picks the code whose decoded value is closest to `target`; on a tie the smaller magnitude,
// which keeps the step small.
std::uint8_t bestCode(const AdpcmState& state, std::int32_t target) {
    std::uint8_t best = 0;
    std::int32_t bestError = -1;
    for (std::uint8_t code = 0; code < 16; ++code) {
        AdpcmState trial = state;
        const std::int32_t error = std::abs(adpcmDecodeCode(trial, code) - target);
        if (bestError < 0 || error < bestError) {
            best = code;
            bestError = error;
        }
    }
    return best;
}

std::uint8_t encodeAdpcmSample(AdpcmState& state, std::int16_t sample) {
    const std::uint8_t code = bestCode(state, sample);
    (void)adpcmDecodeCode(state, code);
    return code;
}

}  // namespace

std::int16_t adpcmDecodeCode(AdpcmState& state, std::uint8_t code) {
    const std::int32_t m = code & 0x7;
    const std::int32_t d = m * state.step;
    std::int32_t value = (code & 0x8) != 0 ? state.predictor - d : state.predictor + d;
    value = std::clamp(value, -32768, 32767);
    // The new step is reduced to 16 bits before the floor is applied: a large step wraps.
    auto step = static_cast<std::int16_t>(
        static_cast<std::uint16_t>((ADPCM_SCALE[static_cast<std::size_t>(m)] * state.step) >> 8));
    if (step < ADPCM_MIN_STEP) {
        step = ADPCM_MIN_STEP;
    }
    state.predictor = static_cast<std::int16_t>(value);
    state.step = step;
    return state.predictor;
}

std::vector<std::uint8_t> encodeAdpcmBlock(std::span<const std::int16_t> samples,
                                           AdpcmState& state) {
    std::vector<std::uint8_t> out;
    appendLe16(out, state.predictor);
    appendLe16(out, state.step);
    const std::size_t count = std::min(samples.size(), 2 * ADPCM_MAX_CODE_BYTES);
    for (std::size_t i = 0; i < count; i += 2) {
        const std::int16_t second = i + 1 < count ? samples[i + 1] : samples[i];
        const std::uint8_t low = encodeAdpcmSample(state, samples[i]);
        const std::uint8_t high = encodeAdpcmSample(state, second);
        out.push_back(static_cast<std::uint8_t>(low | (high << 4)));
    }
    return out;
}

std::uint8_t alawEncode(std::int16_t sample) {
    std::int32_t value = sample >> 3;  // 13-bit linear
    std::uint8_t mask = 0xD5;
    if (value < 0) {
        mask = 0x55;
        value = -value - 1;
    }
    // Segment ends of the 13-bit magnitude.
    static constexpr std::int32_t SEGMENT_END[8] = {0x1F,  0x3F,  0x7F,  0xFF,
                                                    0x1FF, 0x3FF, 0x7FF, 0xFFF};
    std::int32_t segment = 0;
    while (segment < 8 && value > SEGMENT_END[segment]) {
        ++segment;
    }
    if (segment >= 8) {
        return static_cast<std::uint8_t>(0x7F ^ mask);
    }
    const std::int32_t shift = segment < 2 ? 1 : segment;
    const std::int32_t code = (segment << 4) | ((value >> shift) & 0x0F);
    return static_cast<std::uint8_t>(code ^ mask);
}

std::int16_t alawDecode(std::uint8_t code) {
    const std::int32_t a = code ^ 0x55;
    std::int32_t magnitude = (a & 0x0F) << 4;
    const std::int32_t segment = (a & 0x70) >> 4;
    if (segment == 0) {
        magnitude += 8;
    } else {
        magnitude = (magnitude + 0x108) << (segment - 1);
    }
    return static_cast<std::int16_t>((a & 0x80) != 0 ? magnitude : -magnitude);
}

std::vector<std::uint8_t> encodeAudioBlock(std::uint8_t encoding,
                                           std::span<const std::int16_t> samples,
                                           AdpcmState& adpcm) {
    std::vector<std::uint8_t> out;
    switch (encoding) {
        case ENC_ADPCM4:
        case ENC_NONE:
            return encodeAdpcmBlock(samples, adpcm);
        case ENC_ALAW:
            for (const std::int16_t s : samples) {
                out.push_back(alawEncode(s));
            }
            return out;
        case ENC_PCM16:
            for (const std::int16_t s : samples) {
                appendLe16(out, s);
            }
            return out;
        default:
            // Signed 8-bit: the high byte of the 16-bit sample.
            for (const std::int16_t s : samples) {
                out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
            }
            return out;
    }
}

std::vector<std::uint8_t> expectedPcm(std::uint8_t encoding,
                                      std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out;
    switch (encoding) {
        case ENC_ADPCM4: {
            const std::size_t n =
                std::min(payload.size(), ADPCM_HEADER_BYTES + ADPCM_MAX_CODE_BYTES);
            if (n <= ADPCM_HEADER_BYTES) {
                return out;
            }
            AdpcmState state;
            state.predictor = static_cast<std::int16_t>(loadLe16(payload.first<2>()));
            state.step = static_cast<std::int16_t>(loadLe16(payload.subspan(2).first<2>()));
            for (const std::uint8_t b :
                 payload.subspan(ADPCM_HEADER_BYTES, n - ADPCM_HEADER_BYTES)) {
                appendLe16(out, adpcmDecodeCode(state, b & 0x0F));
                appendLe16(out, adpcmDecodeCode(state, static_cast<std::uint8_t>(b >> 4)));
            }
            return out;
        }
        case ENC_ALAW:
            for (const std::uint8_t b : payload.first(std::min(payload.size(), ALAW_MAX_BYTES))) {
                appendLe16(out, alawDecode(b));
            }
            return out;
        case ENC_PCM16:
            out.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(
                                                              payload.size() & ~std::size_t{1}));
            return out;
        case ENC_NONE:
            return out;
        default:
            for (const std::uint8_t b : payload) {
                out.push_back(static_cast<std::uint8_t>(b ^ 0x80));
            }
            return out;
    }
}

}  // namespace trunvex::recording
