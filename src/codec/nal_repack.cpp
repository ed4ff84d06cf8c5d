#include "codec/nal_repack.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>

#include "common/bytes.h"
#include "common/codes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trunvex {
namespace {

constexpr std::array<std::uint8_t, 4> START_CODE = {0x00, 0x00, 0x00, 0x01};
constexpr std::uint8_t EMULATION_PREVENTION = 0x03;

std::uint8_t* writeStartCode(std::uint8_t* o) noexcept {
    std::memcpy(o, START_CODE.data(), START_CODE.size());
    return o + START_CODE.size();
}

// One step of the escape state machine: `zeros` counts the zeros written since the last
// non-zero byte or inserted escape, and never exceeds 2.
inline std::uint8_t* escapeByte(std::uint8_t b, std::uint32_t& zeros, std::uint8_t* o) noexcept {
    if (zeros == 2 && b <= EMULATION_PREVENTION) {
        *o++ = EMULATION_PREVENTION;
        zeros = 0;
    }
    *o++ = b;
    zeros = b == 0 ? zeros + 1 : 0;
    return o;
}

#if defined(__SSE2__)
// One bit per byte of the block that is zero.
inline std::uint64_t zeroMask(__m128i block) noexcept {
    return static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_setzero_si128())));
}
#endif

// Copies input to output up to the first pair of zero bytes, and returns how many bytes were
// consumed. Only valid with a zero count of 0: then no byte before that pair can be escaped.
// May store up to 64 bytes past the consumed run; the caller's worst-case check leaves room,
// and the bytes that follow the run overwrite them.
std::size_t copyUntilZeroPair(const std::uint8_t* in, std::size_t size, std::uint8_t* o) noexcept {
    std::size_t pos = 0;
#if defined(__SSE2__)
    // 64 bytes a step: one bit per byte that is zero, and a pair where a zero's successor is
    // zero too. The step reads one byte past its block to see a pair across the edge.
    while (size - pos >= 65) {
        const auto* src = reinterpret_cast<const __m128i*>(in + pos);
        auto* dst = reinterpret_cast<__m128i*>(o + pos);
        const __m128i b0 = _mm_loadu_si128(src);
        const __m128i b1 = _mm_loadu_si128(src + 1);
        const __m128i b2 = _mm_loadu_si128(src + 2);
        const __m128i b3 = _mm_loadu_si128(src + 3);
        _mm_storeu_si128(dst, b0);
        _mm_storeu_si128(dst + 1, b1);
        _mm_storeu_si128(dst + 2, b2);
        _mm_storeu_si128(dst + 3, b3);
        const std::uint64_t zeros =
            zeroMask(b0) | (zeroMask(b1) << 16) | (zeroMask(b2) << 32) | (zeroMask(b3) << 48);
        const std::uint64_t edge = static_cast<std::uint64_t>(in[pos + 64] == 0) << 63;
        const std::uint64_t pairs = zeros & ((zeros >> 1) | edge);
        if (pairs != 0) {
            return pos + static_cast<std::size_t>(__builtin_ctzll(pairs));
        }
        pos += 64;
    }
#endif
    while (pos < size) {
        const void* hit = std::memchr(in + pos, 0, size - pos);
        const std::size_t zeroAt =
            hit == nullptr ? size
                           : static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - in);
        const bool pair = zeroAt + 1 < size && in[zeroAt + 1] == 0;
        const std::size_t end = pair ? zeroAt : (zeroAt < size ? zeroAt + 1 : size);
        std::memcpy(o + pos, in + pos, end - pos);
        pos = end;
        if (pair) {
            break;
        }
    }
    return pos;
}

// Fills the table from a NAL list and returns the number of listed units, or -1 when the list
// is malformed. `lastOffset` receives where the final unit starts. Listed units that fill the
// payload leave the final unit empty, which yields nothing: recorders write whole key frames
// that way, and dropping the frame would lose the start of its group of pictures.
int readNalList(std::span<const std::uint8_t> payload,
                std::array<std::uint32_t, MAX_LISTED_NALS>& lengths,
                std::size_t& lastOffset) noexcept {
    if (payload.size() < 4) {
        return -1;
    }
    const std::uint32_t count = loadLe32(payload.first<4>());
    if (count > MAX_LISTED_NALS) {
        return -1;
    }
    std::size_t pos = 4;
    if (payload.size() - pos < std::size_t{4} * count) {
        return -1;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        lengths[i] = loadLe32(payload.subspan(pos).first<4>());
        pos += 4;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (payload.size() - pos < lengths[i]) {
            return -1;
        }
        pos += lengths[i];
    }
    lastOffset = pos;
    return static_cast<int>(count);
}

}  // namespace

bool fitsRepackedBytes(std::uint64_t worst, std::size_t outSize) noexcept {
    return worst <= outSize && worst <= std::numeric_limits<std::uint32_t>::max();
}

std::uint32_t repackNalListFrameWith(std::span<const std::uint8_t> payload,
                                     std::span<std::uint8_t> out,
                                     UnitRepacker repackUnit) noexcept {
    std::array<std::uint32_t, MAX_LISTED_NALS> lengths{};
    std::size_t lastOffset = 0;
    const int count = readNalList(payload, lengths, lastOffset);
    if (count < 0) {
        return 0;
    }
    std::uint64_t worst = repackedUnitBytesAtMost(payload.size() - lastOffset);
    for (int i = 0; i < count; ++i) {
        worst += repackedUnitBytesAtMost(lengths[static_cast<std::size_t>(i)]);
    }
    if (!fitsRepackedBytes(worst, out.size())) {
        return 0;
    }
    std::size_t pos = 4 + 4 * static_cast<std::size_t>(count);
    std::uint32_t total = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t length = lengths[static_cast<std::size_t>(i)];
        total += repackUnit(payload.subspan(pos, length), out.subspan(total));
        pos += length;
    }
    total += repackUnit(payload.subspan(pos), out.subspan(total));
    return total;
}

std::uint32_t repackNalUnit(std::span<const std::uint8_t> unit,
                            std::span<std::uint8_t> out) noexcept {
    if (unit.empty() || !fitsRepackedBytes(repackedUnitBytesAtMost(unit.size()), out.size())) {
        return 0;
    }
    std::uint8_t* const outStart = out.data();
    std::uint8_t* o = writeStartCode(outStart);
    *o++ = unit[0];
    const std::uint8_t* in = unit.data() + 1;
    const std::size_t size = unit.size() - 1;
    std::size_t pos = 0;
    std::uint32_t zeros = 0;
    while (pos < size) {
        if (zeros == 0) {
            const std::size_t run = copyUntilZeroPair(in + pos, size - pos, o);
            pos += run;
            o += run;
            if (pos == size) {
                break;
            }
        }
        o = escapeByte(in[pos++], zeros, o);
    }
    return static_cast<std::uint32_t>(o - outStart);
}

std::uint32_t repackNalListFrame(std::span<const std::uint8_t> payload,
                                 std::span<std::uint8_t> out) noexcept {
    return repackNalListFrameWith(payload, out, &repackNalUnit);
}

bool holdsAnnexBUnit(std::span<const std::uint8_t> frame) noexcept {
    // Look for the 01 of a start code, from where it may first be, then check the two zeros.
    for (std::size_t at = 2; at + 1 < frame.size();) {
        const void* one = std::memchr(frame.data() + at, 1, frame.size() - 1 - at);
        if (one == nullptr) {
            return false;
        }
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(one) - frame.data());
        if (frame[at - 1] == 0 && frame[at - 2] == 0) {
            return true;
        }
        ++at;
    }
    return false;
}

}  // namespace trunvex
