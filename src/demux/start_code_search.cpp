#include "demux/start_code_search.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "demux/record_format.h"

namespace trunvex {
namespace {

// The accumulator's value after shifting all n bytes in from 0xFFFFFFFF.
std::uint32_t accumulatorAfter(const std::uint8_t* p, std::uint32_t n) noexcept {
    std::uint32_t acc = 0xFFFFFFFF;
    for (std::uint32_t i = n > 4 ? n - 4 : 0; i < n; ++i) {
        acc = (acc << 8) | p[i];
    }
    return acc;
}

#if defined(__SSE2__)
// Unsigned byte comparisons, lane by lane.
__m128i lessOrEqual(__m128i a, __m128i b) {
    return _mm_cmpeq_epi8(_mm_min_epu8(a, b), a);
}
__m128i lessThan(__m128i a, __m128i b) {
    return _mm_andnot_si128(_mm_cmpeq_epi8(a, b), lessOrEqual(a, b));
}
__m128i bytes(int v) {
    return _mm_set1_epi8(static_cast<char>(v));
}

// Lanes whose little-endian u32 (bytes b0..b3) lies in 1 .. MAX_FRAME_BYTES (0x0007A120).
__m128i frameLengthValid(__m128i b0, __m128i b1, __m128i b2, __m128i b3) {
    static_assert(MAX_FRAME_BYTES == 0x0007A120);
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_cmpeq_epi8(b3, zero);
    const __m128i nonZero =
        _mm_xor_si128(_mm_cmpeq_epi8(_mm_or_si128(_mm_or_si128(b0, b1), b2), zero), bytes(0xFF));
    const __m128i low =
        _mm_or_si128(lessThan(b1, bytes(0xA1)),
                     _mm_and_si128(_mm_cmpeq_epi8(b1, bytes(0xA1)), lessOrEqual(b0, bytes(0x20))));
    const __m128i upToMax = _mm_or_si128(lessThan(b2, bytes(0x07)),
                                         _mm_and_si128(_mm_cmpeq_epi8(b2, bytes(0x07)), low));
    return _mm_and_si128(_mm_and_si128(top, nonZero), upToMax);
}

struct HeaderMasks {
    std::uint32_t valid = 0;     // lanes whose start code has a valid header
    std::uint32_t rejected = 0;  // lanes whose start code has an invalid one
};

// The validity rules for the 16 start codes whose 01 bytes could stand at block[0 .. 15], all
// lanes at once: the kind byte of lane i is kinds[i], its header starts at block[i + 2]. Every
// header byte read lies within block[2 .. 28].
HeaderMasks judgeHeaders(const std::uint8_t* block, __m128i kinds, bool keyFrameSeen) {
    __m128i h[12];
    for (int k = 0; k < 12; ++k) {
        h[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 2 + k));
    }
    const auto is = [&](std::uint32_t kind) {
        return _mm_cmpeq_epi8(kinds, bytes(kindByteOf(kind)));
    };
    const __m128i isLong =
        _mm_or_si128(_mm_or_si128(is(REC_H264_KEY), is(REC_MPEG4_KEY)), is(REC_SKIP));
    const __m128i isDelta = _mm_or_si128(is(REC_H264_DELTA), is(REC_MPEG4_DELTA));
    const __m128i isAudio = is(REC_AUDIO);
    const __m128i longValid =
        _mm_and_si128(_mm_and_si128(lessOrEqual(h[2], bytes(MAX_WIDTH_BLOCKS)),
                                    lessOrEqual(h[3], bytes(MAX_HEIGHT_BLOCKS))),
                      frameLengthValid(h[8], h[9], h[10], h[11]));
    const __m128i deltaValid =
        keyFrameSeen ? frameLengthValid(h[0], h[1], h[2], h[3]) : _mm_setzero_si128();
    const __m128i audioLengthZero = _mm_cmpeq_epi8(_mm_or_si128(h[2], h[3]), _mm_setzero_si128());
    const __m128i audioValid = _mm_andnot_si128(
        audioLengthZero, lessOrEqual(_mm_sub_epi8(h[1], bytes(1)), bytes(MAX_AUDIO_RATE_CODE - 1)));
    const __m128i valid = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(isLong, longValid), _mm_and_si128(isDelta, deltaValid)),
        _mm_and_si128(isAudio, audioValid));
    const __m128i record = _mm_or_si128(_mm_or_si128(isLong, isDelta), isAudio);
    return {static_cast<std::uint32_t>(_mm_movemask_epi8(valid)),
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_andnot_si128(valid, record)))};
}
#endif

enum class Candidate { PASS_OVER, STOP, SHORT_TAIL };

// A record start code 00 00 01 Fx whose 01 byte is at p[j] (2 <= j, j + 2 < n): whether the
// byte-at-a-time scan would stop at it, or reject its header and search on from just after
// it (it cannot form part of a later code: its 01 and Fx bytes are not zeros).
Candidate judgeCandidate(const SearchWindow& s, std::uint32_t j) noexcept {
    const auto n = static_cast<std::uint32_t>(s.bytes.size());
    const std::uint32_t kind = recordKindOf(s.bytes[j + 1]);
    const std::uint32_t after = j + 2;
    if (n - after < headerBytesFor(kind) ||
        validPayloadLength(kind, s.bytes.data() + after, s.keyFrameSeen) != 0) {
        return Candidate::STOP;
    }
    ++s.rejectedHeaders;
    return n - after < CARRY_BYTES ? Candidate::SHORT_TAIL : Candidate::PASS_OVER;
}

bool isRecordStartAt(const std::uint8_t* p, std::uint32_t j) noexcept {
    return p[j] == 0x01 && p[j - 1] == 0x00 && p[j - 2] == 0x00 && isRecordKindByte(p[j + 1]);
}

#if defined(__SSE2__)
// Tests 16 positions a block from j = 2 on, each block reading p[j - 2] .. p[j + 16], while
// every code it can find has its whole header and at least CARRY_BYTES after it: such a code
// is judged on its header alone, without branches, so input made of nothing but invalid
// headers costs no more than a mispredicted branch per 16 bytes. Returns the position of the
// first valid code's 01 byte, or where the blocks stopped (j, > every code found).
std::uint32_t searchBlocks(const SearchWindow& s, bool& found) noexcept {
    const std::uint8_t* const p = s.bytes.data();
    const auto n = static_cast<std::uint32_t>(s.bytes.size());
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const __m128i highNibble = _mm_set1_epi8(static_cast<char>(0xF0));
    std::uint64_t rejected = 0;
    std::uint32_t j = 2;
    found = false;
    for (; j + 2 * CARRY_BYTES + 1 <= n; j += 16) {
        const __m128i atJ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j));
        const __m128i before1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j - 1));
        const __m128i before2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j - 2));
        const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j + 1));
        __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(atJ, one), _mm_cmpeq_epi8(before1, zero));
        hit = _mm_and_si128(hit, _mm_cmpeq_epi8(before2, zero));
        hit = _mm_and_si128(hit, _mm_cmpeq_epi8(_mm_and_si128(after, highNibble), highNibble));
        if (_mm_movemask_epi8(hit) == 0) {
            continue;
        }
        const HeaderMasks headers = judgeHeaders(p + j, after, s.keyFrameSeen);
        const auto codes = static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
        const std::uint32_t valid = codes & headers.valid;
        const std::uint32_t passed = codes & headers.rejected;
        if (valid == 0) {
            rejected += static_cast<std::uint32_t>(__builtin_popcount(passed));
            continue;
        }
        const auto lane = static_cast<std::uint32_t>(__builtin_ctz(valid));
        rejected += static_cast<std::uint32_t>(__builtin_popcount(passed & ((1u << lane) - 1)));
        found = true;
        j += lane;
        break;
    }
    s.rejectedHeaders += rejected;
    return j;
}
#else
// Without vector instructions every position goes through the byte-by-byte tail.
std::uint32_t searchBlocks(const SearchWindow&, bool& found) noexcept {
    found = false;
    return 2;
}
#endif

}  // namespace

SearchResult findRecordStart(const SearchWindow& s) noexcept {
    const std::uint8_t* const p = s.bytes.data();
    const auto n = static_cast<std::uint32_t>(s.bytes.size());
    bool found = false;
    std::uint32_t j = searchBlocks(s, found);
    if (found) {
        return {j + 2, recordKindOf(p[j + 1]), false};
    }
    for (const std::uint32_t lastJ = n - 3; j <= lastJ; ++j) {  // n >= CARRY_BYTES here
        if (!isRecordStartAt(p, j)) {
            continue;
        }
        const Candidate c = judgeCandidate(s, j);
        if (c != Candidate::PASS_OVER) {
            return {j + 2, recordKindOf(p[j + 1]), c == Candidate::SHORT_TAIL};
        }
    }
    return {n, accumulatorAfter(p, n), false};
}

std::uint32_t validPayloadLength(std::uint32_t kind, const std::uint8_t* header,
                                 bool keyFrameSeen) noexcept {
    if (kind == REC_AUDIO) {
        const AudioHeader h = readAudioHeader(std::span<const std::uint8_t, 4>(header, 4));
        return isValidAudioHeader(h) ? h.payloadLength : 0;
    }
    if (isDeltaFrameKind(kind)) {
        const std::uint32_t length =
            readDeltaPayloadLength(std::span<const std::uint8_t, 4>(header, 4));
        return isValidDeltaHeader(length, keyFrameSeen) ? length : 0;
    }
    const KeyFrameHeader h = readKeyFrameHeader(std::span<const std::uint8_t, 12>(header, 12));
    return isValidKeyFrameHeader(h) ? h.payloadLength : 0;
}

}  // namespace trunvex
