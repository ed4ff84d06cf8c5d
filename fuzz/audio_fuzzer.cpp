// The first byte is the encoding byte, the second sizes the PCM buffer (0: the full
// PCM_BUFFER_BYTES, else that many bytes); the rest is the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/audio_decode.h"
#include "common/codes.h"
#include "common/record_rules.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The most each encoding can yield for `payload` bytes, before the buffer cuts it.
std::size_t expectedBound(std::uint32_t encoding, std::size_t payload) {
    switch (encoding) {
        case trunvex::AUDIO_ENC_ADPCM4: {
            const std::size_t n = std::min<std::size_t>(payload, trunvex::ADPCM_MAX_INPUT_BYTES);
            return n > 4 ? 4 * (n - 4) : 0;
        }
        case trunvex::AUDIO_ENC_ALAW:
            return 2 * std::min<std::size_t>(payload, trunvex::ALAW_MAX_INPUT_BYTES);
        case trunvex::AUDIO_ENC_NONE:
            return 0;
        case trunvex::AUDIO_ENC_PCM16:
            return payload & ~std::size_t{1};
        default:
            return payload;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint32_t encoding = data[0];
    const std::size_t capacity = data[1] == 0 ? trunvex::PCM_BUFFER_BYTES : data[1];
    const std::span<const std::uint8_t> payload(data + 2, size - 2);
    std::vector<std::uint8_t> pcm(capacity);  // exactly sized: a write past it is caught
    const std::int32_t n = trunvex::decodeAudioFrame(payload, encoding, pcm);
    check(n >= 0);
    const auto written = static_cast<std::size_t>(n);
    check(written <= capacity);
    // Only whole samples are cut off; the result is the bound or what fits.
    const std::size_t bound = expectedBound(encoding, payload.size());
    const std::size_t fits =
        trunvex::decodesTo16Bits(encoding) ? capacity & ~std::size_t{1} : capacity;
    check(written == std::min(bound, fits));
    return 0;
}
