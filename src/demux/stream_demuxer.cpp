#include "demux/stream_demuxer.h"

#include <cstring>

#if defined(__SSE2__) && !defined(TRUNVEX_PORTABLE_SCAN)
#include <emmintrin.h>
#endif

#include "codec/audio_decode.h"
#include "codec/nal_repack.h"
#include "demux/record_format.h"

namespace trunvex {
namespace {

// Where a start-code search stopped: `shifted` bytes went through the accumulator, which
// then held `accumulator`. A code counts only when at least one byte follows it. The fast
// search also passes over codes whose headers it can see are invalid; `shortTail` says it
// stopped at such a restart with fewer than CARRY_BYTES left, which are to be held.
struct SearchResult {
    std::uint32_t shifted = 0;
    std::uint32_t accumulator = 0xFFFFFFFF;
    bool shortTail = false;
};

// The literal search: every byte shifted through a 32-bit accumulator, which is compared
// with the six codes before each shift.
SearchResult searchByteAtATime(const std::uint8_t* p, std::uint32_t n) noexcept {
    std::uint32_t acc = 0xFFFFFFFF;
    std::uint32_t i = 0;
    while (i < n && !isRecordStartCode(acc)) {
        acc = (acc << 8) | p[i];
        ++i;
    }
    return {i, acc, false};
}

// The accumulator's value after shifting all n bytes in from 0xFFFFFFFF.
std::uint32_t accumulatorAfter(const std::uint8_t* p, std::uint32_t n) noexcept {
    std::uint32_t acc = 0xFFFFFFFF;
    for (std::uint32_t i = n > 4 ? n - 4 : 0; i < n; ++i) {
        acc = (acc << 8) | p[i];
    }
    return acc;
}

// The payload length of a valid header of `kind` at `header`, or 0 when the header breaks a
// rule of its kind. The whole header must be readable.
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

#if defined(__SSE2__) && !defined(TRUNVEX_PORTABLE_SCAN)
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
    const auto is = [&](int kind) { return _mm_cmpeq_epi8(kinds, bytes(kind)); };
    const __m128i isLong = _mm_or_si128(_mm_or_si128(is(0xFD), is(0xFB)), is(0xF1));
    const __m128i isDelta = _mm_or_si128(is(0xFC), is(0xFA));
    const __m128i isAudio = is(0xF0);
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

// The fast search's view of what it passes over.
struct FastSearch {
    const std::uint8_t* p;
    std::uint32_t n;
    bool keyFrameSeen;
    DemuxStats* stats;
};

enum class Candidate { PASS_OVER, STOP, SHORT_TAIL };

// A record start code 00 00 01 Fx whose 01 byte is at p[j] (2 <= j, j + 2 < n): whether the
// byte-at-a-time scan would stop at it, or reject its header and search on from just after
// it (it cannot form part of a later code: its 01 and Fx bytes are not zeros).
Candidate judgeCandidate(const FastSearch& s, std::uint32_t j) noexcept {
    const std::uint32_t kind = 0x00000100u | s.p[j + 1];
    const std::uint32_t after = j + 2;
    if (s.n - after < headerBytesFor(kind) ||
        validPayloadLength(kind, s.p + after, s.keyFrameSeen) != 0) {
        return Candidate::STOP;
    }
    if (s.stats != nullptr) {
        ++s.stats->rejectedHeaders;
    }
    return s.n - after < CARRY_BYTES ? Candidate::SHORT_TAIL : Candidate::PASS_OVER;
}

bool isRecordStartAt(const std::uint8_t* p, std::uint32_t j) noexcept {
    return p[j] == 0x01 && p[j - 1] == 0x00 && p[j - 2] == 0x00 && isRecordKindByte(p[j + 1]);
}

// Finds where the byte-at-a-time scan, restarted after every rejected header, would stop,
// without shifting every byte: the first 00 00 01 Fx at j - 2 .. j + 1 with a byte after it
// (j + 2 < n) whose header is cut off or valid.
SearchResult searchFast(const FastSearch& s) noexcept {
    const std::uint8_t* const p = s.p;
    const std::uint32_t n = s.n;
    const std::uint32_t lastJ = n - 3;  // n >= CARRY_BYTES here
    auto judged = [&](std::uint32_t j, bool& done) {
        const Candidate c = judgeCandidate(s, j);
        done = c != Candidate::PASS_OVER;
        return SearchResult{j + 2, 0x00000100u | p[j + 1], c == Candidate::SHORT_TAIL};
    };
    std::uint32_t j = 2;
#if defined(__SSE2__) && !defined(TRUNVEX_PORTABLE_SCAN)
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const __m128i highNibble = _mm_set1_epi8(static_cast<char>(0xF0));
    std::uint64_t rejected = 0;
    // Each block tests j .. j + 15 and reads p[j - 2] .. p[j + 16]. Every code it finds has
    // its whole header and at least CARRY_BYTES after it, so a code is judged on its header
    // alone, without branches: input made of nothing but invalid headers costs no more than
    // a mispredicted branch per 16 bytes.
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
        const auto found = static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
        const std::uint32_t valid = found & headers.valid;
        const std::uint32_t passed = found & headers.rejected;
        if (valid == 0) {
            rejected += static_cast<std::uint32_t>(__builtin_popcount(passed));
            continue;
        }
        const auto lane = static_cast<std::uint32_t>(__builtin_ctz(valid));
        rejected += static_cast<std::uint32_t>(__builtin_popcount(passed & ((1u << lane) - 1)));
        if (s.stats != nullptr) {
            s.stats->rejectedHeaders += rejected;
        }
        return {j + lane + 2, 0x00000100u | p[j + lane + 1], false};
    }
    if (s.stats != nullptr) {
        s.stats->rejectedHeaders += rejected;
    }
#else
    while (j <= lastJ) {
        const void* found = std::memchr(p + j, 0x01, lastJ - j + 1);
        if (found == nullptr) {
            j = lastJ + 1;
            break;
        }
        j = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(found) - p);
        if (isRecordStartAt(p, j)) {
            bool done = false;
            const SearchResult r = judged(j, done);
            if (done) {
                return r;
            }
        }
        ++j;
    }
#endif
    for (; j <= lastJ; ++j) {
        if (isRecordStartAt(p, j)) {
            bool done = false;
            const SearchResult r = judged(j, done);
            if (done) {
                return r;
            }
        }
    }
    return {n, accumulatorAfter(p, n), false};
}

std::uint32_t kindIndex(std::uint32_t kind) noexcept {
    return (kind & 0xFFu) - 0xF0u;
}

void noteFrameFormat(DemuxStats& stats, std::uint32_t kind, std::uint32_t width,
                     std::uint32_t height, std::uint32_t frameRate) noexcept {
    for (std::size_t i = 0; i < stats.formatCount; ++i) {
        DemuxStats::FrameFormat& f = stats.formats[i];
        if (f.kind == kind && f.width == width && f.height == height && f.frameRate == frameRate) {
            ++f.keyFrames;
            return;
        }
    }
    if (stats.formatCount < DemuxStats::MAX_FORMATS) {
        stats.formats[stats.formatCount++] = {kind, width, height, frameRate, 1};
    }
}

bool writeVideo(ConversionContext& ctx, std::span<const std::uint8_t> frame, bool isKey) noexcept {
    if (ctx.stats != nullptr && ctx.frameRate != 0) {
        ctx.stats->videoSeconds += 1.0 / ctx.frameRate;
    }
    return ctx.writer.writeVideoFrame(frame, isKey);
}

// A frame no reader could decode keeps its slot as an empty, non-key sample, so later frames
// keep their times; `counter` tells the recording's description why.
bool keepSlotEmpty(ConversionContext& ctx, std::uint64_t DemuxStats::*counter) noexcept {
    if (ctx.stats != nullptr) {
        ++(ctx.stats->*counter);
    }
    return writeVideo(ctx, {}, false);
}

std::uint32_t repackFast(std::span<const std::uint8_t> payload, bool isKey,
                         std::span<std::uint8_t> out) noexcept {
    return isKey ? repackNalListFrame(payload, out) : repackNalUnit(payload, out);
}

// The fast path rewrites the frame straight into the output's buffer, where its chunk will
// lie; a frame that the repacking refuses keeps its slot as an empty chunk there.
bool repackIntoOutput(ConversionContext& ctx, std::span<const std::uint8_t> payload, bool isKey,
                      bool& handled) noexcept {
    const std::span<std::uint8_t> room =
        ctx.writer.beginVideoFrame(repackedBytesAtMost(payload.size()));
    handled = !room.empty();
    if (!handled) {
        return true;
    }
    const std::uint32_t length = repackFast(payload, isKey, room);
    const bool empty = isKey && length == 0;
    if (ctx.stats != nullptr) {
        if (empty) {
            ++ctx.stats->malformedKeyFrames;
        }
        if (ctx.frameRate != 0) {
            ctx.stats->videoSeconds += 1.0 / ctx.frameRate;
        }
    }
    return ctx.writer.finishVideoFrame(length, isKey && !empty);
}

// An H.264 frame stored as a NAL list (key) or one bare unit (delta), rewritten as Annex-B.
bool writeRepackedH264(ConversionContext& ctx, std::span<const std::uint8_t> payload,
                       bool isKey) noexcept {
    if (!ctx.useReferencePaths) {
        bool handled = false;
        const bool written = repackIntoOutput(ctx, payload, isKey, handled);
        if (handled) {
            return written;
        }
    }
    const std::span<std::uint8_t> out = ctx.repackBuffer.view();
    if (isKey) {
        ctx.repackedLength = ctx.useReferencePaths ? repackNalListFrameReference(payload, out)
                                                   : repackNalListFrame(payload, out);
    } else {
        ctx.repackedLength = ctx.useReferencePaths ? repackNalUnitReference(payload, out)
                                                   : repackNalUnit(payload, out);
    }
    if (isKey && ctx.repackedLength == 0) {
        return keepSlotEmpty(ctx, &DemuxStats::malformedKeyFrames);
    }
    return writeVideo(ctx, out.first(ctx.repackedLength), isKey);
}

// An H.264 frame stored in Annex-B form is written as it is. One without a single start code
// is not H.264 to any reader, and as a stream's first packet it makes common readers refuse
// the whole file.
bool writeStoredH264(ConversionContext& ctx, std::span<const std::uint8_t> payload,
                     bool isKey) noexcept {
    if (!holdsAnnexBUnit(payload)) {
        return keepSlotEmpty(ctx, &DemuxStats::unreadableStoredFrames);
    }
    return writeVideo(ctx, payload, isKey);
}

// The samples are decoded straight into the output's buffer where it offers room, into
// pcmBuffer otherwise (and on the reference path); both hold every payload whole.
bool writeDecodedAudio(ConversionContext& ctx, std::span<const std::uint8_t> payload) noexcept {
    std::span<std::uint8_t> room;
    if (!ctx.useReferencePaths) {
        room = ctx.writer.beginAudioFrame(decodedAudioBytesAtMost(payload.size()));
    }
    const bool inPlace = !room.empty();
    const std::span<std::uint8_t> pcm = inPlace ? room : ctx.pcmBuffer.view();
    const std::int32_t decoded = decodeAudioFrame(payload, ctx.audioEncoding, pcm);
    const auto bytes = static_cast<std::uint32_t>(decoded > 0 ? decoded : 0);
    if (ctx.stats != nullptr) {
        const bool wide =
            ctx.audioEncoding >= AUDIO_ENC_NONE && ctx.audioEncoding <= AUDIO_ENC_ALAW;
        const double samples = wide ? bytes / 2.0 : bytes;
        ctx.stats->audioSeconds += samples / audioSampleRateOf(ctx.audioRateCode);
    }
    return inPlace ? ctx.writer.finishAudioFrame(bytes)
                   : ctx.writer.writeAudioFrame(pcm.first(bytes));
}

// Hands a complete payload on as its record kind and the current state say.
bool dispatchPayload(ConversionContext& ctx, std::span<const std::uint8_t> payload) noexcept {
    const std::uint32_t kind = ctx.startCodeAccumulator;
    const VideoKind current = ctx.writer.currentVideoKind();
    switch (kind) {
        case REC_H264_KEY:
        case REC_H264_DELTA:
            if (current != VIDEO_KIND_H264) {
                break;
            }
            if (ctx.payloadLayout == 0) {
                return writeRepackedH264(ctx, payload, kind == REC_H264_KEY);
            }
            return writeStoredH264(ctx, payload, kind == REC_H264_KEY);
        case REC_MPEG4_KEY:
        case REC_MPEG4_DELTA:
            if (current != VIDEO_KIND_MPEG4) {
                break;
            }
            return writeVideo(ctx, payload, kind == REC_MPEG4_KEY);
        case REC_AUDIO:
            return writeDecodedAudio(ctx, payload);
        default:
            return true;
    }
    if (ctx.stats != nullptr) {
        ++ctx.stats->droppedVideoFrames;
    }
    return true;
}

// Carries out what accepting a valid header means for the output. False when the writer
// could not open its file or stream.
bool acceptHeader(ConversionContext& ctx, std::uint32_t kind, const std::uint8_t* header) noexcept {
    if (isKeyFrameKind(kind)) {
        if (!ctx.keyFrameSeen) {
            ctx.writer.discardEarlyOutput();
            ctx.keyFrameSeen = true;
        }
        const KeyFrameHeader h = readKeyFrameHeader(std::span<const std::uint8_t, 12>(header, 12));
        ctx.payloadLayout = h.layout;
        ctx.frameRate = frameRateOf(h.rateByte);
        const std::uint32_t width = h.widthBlocks * 8u;
        const std::uint32_t height = h.heightBlocks * 8u;
        if (ctx.stats != nullptr) {
            noteFrameFormat(*ctx.stats, kind, width, height, ctx.frameRate);
        }
        const VideoKind videoKind = kind == REC_H264_KEY ? VIDEO_KIND_H264 : VIDEO_KIND_MPEG4;
        return ctx.writer.selectVideoStream(videoKind, width, height, ctx.frameRate);
    }
    if (kind == REC_AUDIO) {
        ctx.audioEncoding = header[0];
        ctx.audioRateCode = header[1];
        if (ctx.stats != nullptr) {
            ++ctx.stats->audioBlocksByEncoding[ctx.audioEncoding];
            ++ctx.stats->audioBlocksByRateCode[ctx.audioRateCode];
        }
        return ctx.writer.openAudioStream(ctx.audioEncoding, ctx.audioRateCode, ctx.frameRate);
    }
    return true;
}

// Keeps the last `count` bytes before `end` at the start of frameBuffer for the next call.
// The source may lie inside frameBuffer, always after the destination.
RunResult holdBytes(ConversionContext& ctx, const std::uint8_t* from,
                    std::uint32_t count) noexcept {
    std::memmove(ctx.frameBuffer.data(), from, count);
    ctx.heldBytes = count;
    ctx.payloadRemaining = 0;
    return RUN_OK;
}

// Scans ctx.scanAvailable bytes at ctx.scanPosition for records until the buffer runs out.
RunResult scanForRecords(ConversionContext& ctx) noexcept {
    for (;;) {
        ctx.startCodeAccumulator = 0xFFFFFFFF;
        if (ctx.scanAvailable < CARRY_BYTES) {
            return holdBytes(ctx, ctx.scanPosition, ctx.scanAvailable);
        }
        const SearchResult found =
            ctx.useReferencePaths
                ? searchByteAtATime(ctx.scanPosition, ctx.scanAvailable)
                : searchFast({ctx.scanPosition, ctx.scanAvailable, ctx.keyFrameSeen, ctx.stats});
        ctx.startCodeAccumulator = found.accumulator;
        ctx.scanPosition += found.shifted;
        ctx.scanAvailable -= found.shifted;
        if (found.shortTail) {
            continue;  // restarts after a rejected header with fewer than 16 bytes: held
        }
        if (ctx.scanAvailable == 0) {
            // A code completed by the very last byte lies in these 16 and is found next time.
            return holdBytes(ctx, ctx.scanPosition - CARRY_BYTES, CARRY_BYTES);
        }
        const std::uint32_t kind = ctx.startCodeAccumulator;
        const std::uint32_t headerBytes = headerBytesFor(kind);
        if (ctx.scanAvailable < headerBytes) {
            return holdBytes(ctx, ctx.scanPosition - START_CODE_BYTES,
                             START_CODE_BYTES + ctx.scanAvailable);
        }
        const std::uint32_t payloadLength =
            validPayloadLength(kind, ctx.scanPosition, ctx.keyFrameSeen);
        if (payloadLength == 0) {
            // The rejected header and its would-be payload are searched like any bytes.
            if (ctx.stats != nullptr) {
                ++ctx.stats->rejectedHeaders;
            }
            continue;
        }
        if (!acceptHeader(ctx, kind, ctx.scanPosition)) {
            return RUN_OUTPUT_FAILED;
        }
        if (ctx.stats != nullptr) {
            ++ctx.stats->records[kindIndex(kind)];
            ctx.stats->recordBytes += START_CODE_BYTES + headerBytes + payloadLength;
            if (kind == REC_SKIP) {
                ctx.stats->skippedPayloadBytes += payloadLength;
            }
        }
        ctx.scanPosition += headerBytes;
        ctx.scanAvailable -= headerBytes;
        ctx.payloadRemaining = payloadLength;
        ctx.skipPayload = kind == REC_SKIP;
        if (ctx.payloadRemaining > ctx.scanAvailable) {
            const std::uint32_t present = ctx.scanAvailable;
            holdBytes(ctx, ctx.scanPosition, present);
            ctx.payloadRemaining = payloadLength - present;
            return RUN_OK;
        }
        if (!ctx.skipPayload &&
            !dispatchPayload(ctx, std::span<const std::uint8_t>(ctx.scanPosition, payloadLength))) {
            return RUN_OUTPUT_FAILED;
        }
        ctx.skipPayload = false;
        ctx.scanPosition += payloadLength;
        ctx.scanAvailable -= payloadLength;
        ctx.payloadRemaining = 0;
    }
}

}  // namespace

RunResult processChunk(ConversionContext& ctx, std::span<const std::uint8_t> data) noexcept {
    const auto length = static_cast<std::uint32_t>(data.size());
    if (length == 0) {
        return RUN_OK;
    }
    std::uint8_t* const held = ctx.frameBuffer.data();
    if (ctx.payloadRemaining > 0) {
        if (length < ctx.payloadRemaining) {
            std::memcpy(held + ctx.heldBytes, data.data(), length);
            ctx.heldBytes += length;
            ctx.payloadRemaining -= length;
            return RUN_OK;
        }
        const std::uint32_t taken = ctx.payloadRemaining;
        std::memcpy(held + ctx.heldBytes, data.data(), taken);
        const std::span<const std::uint8_t> payload(held, ctx.heldBytes + taken);
        if (!ctx.skipPayload && !dispatchPayload(ctx, payload)) {
            return RUN_OUTPUT_FAILED;
        }
        ctx.skipPayload = false;
        ctx.payloadRemaining = 0;
        ctx.scanPosition = data.data() + taken;
        ctx.scanAvailable = length - taken;
    } else if (ctx.heldBytes > 0) {
        std::memcpy(held + ctx.heldBytes, data.data(), length);
        ctx.scanPosition = held;
        ctx.scanAvailable = ctx.heldBytes + length;
    } else {
        ctx.scanPosition = data.data();
        ctx.scanAvailable = length;
    }
    return scanForRecords(ctx);
}

}  // namespace trunvex
