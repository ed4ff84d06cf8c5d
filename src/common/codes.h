#pragma once

#include <cstdint>

namespace trunvex {

// Record kinds, named after the start codes 00 00 01 xx read as big-endian numbers.
enum RecordKind : std::uint32_t {
    REC_H264_KEY = 0x000001FD,
    REC_H264_DELTA = 0x000001FC,
    REC_MPEG4_KEY = 0x000001FB,
    REC_MPEG4_DELTA = 0x000001FA,
    REC_AUDIO = 0x000001F0,
    REC_SKIP = 0x000001F1,
};

// Kind of the most recently created video stream.
enum VideoKind : std::int32_t {
    VIDEO_KIND_NONE = 0,
    VIDEO_KIND_MPEG4 = 1,
    VIDEO_KIND_H264 = 2,
};

// The first byte of an audio header. Every value not named here decodes as 8-bit PCM.
enum AudioEncoding : std::uint32_t {
    AUDIO_ENC_PCM8 = 7,
    AUDIO_ENC_NONE = 11,
    AUDIO_ENC_PCM16 = 12,
    AUDIO_ENC_ADPCM4 = 13,
    AUDIO_ENC_ALAW = 14,
};

// Outcome of one conversion run; processChunk returns only RUN_OK or RUN_OUTPUT_FAILED.
enum RunResult : std::int32_t {
    RUN_OK = 0,
    RUN_READ_FAILED = 1,
    RUN_OUTPUT_FAILED = 2,
    RUN_NO_FRAMES = 3,
};

// Sizes of the recorded stream format.
inline constexpr std::uint32_t READ_CHUNK_BYTES = 65536;
// The source is read in blocks of this many bytes, handed on in chunks of READ_CHUNK_BYTES:
// fewer system calls, the same chunks.
inline constexpr std::uint32_t READ_BLOCK_BYTES = 16 * READ_CHUNK_BYTES;
inline constexpr std::uint32_t MAX_FRAME_BYTES = 500000;
inline constexpr std::uint32_t MAX_AUDIO_PAYLOAD_BYTES = 65535;
inline constexpr std::uint32_t MAX_WIDTH_BLOCKS = 90;
inline constexpr std::uint32_t MAX_HEIGHT_BLOCKS = 72;
inline constexpr std::uint32_t MAX_AUDIO_RATE_CODE = 9;
inline constexpr std::uint32_t MAX_LISTED_NALS = 10;
inline constexpr std::uint32_t START_CODE_BYTES = 4;
inline constexpr std::uint32_t LONG_HEADER_BYTES = 12;
inline constexpr std::uint32_t SHORT_HEADER_BYTES = 4;
// A start code with the longest header: what a scan may carry into the next chunk.
inline constexpr std::uint32_t CARRY_BYTES = START_CODE_BYTES + LONG_HEADER_BYTES;

// Audio decoder caps: a 4-byte ADPCM block header with at most 1024 code bytes, and A-law.
inline constexpr std::uint32_t ADPCM_MAX_INPUT_BYTES = 1028;
inline constexpr std::uint32_t ALAW_MAX_INPUT_BYTES = 2048;

// The repacked form of a frame grows: a bare unit of L bytes gains a 4-byte start code and
// at most one escape byte per two body bytes after its header, floor((L - 2) / 2). A bare
// delta frame of MAX_FRAME_BYTES is the worst case; a NAL list spends 4 + 4N bytes on its
// count and table, which pays for its N + 1 start codes.
inline constexpr std::uint32_t REPACK_BUFFER_BYTES =
    MAX_FRAME_BYTES + 4 + (MAX_FRAME_BYTES - 2) / 2;

// Large enough for any 8- or 16-bit payload, so such payloads are decoded whole.
inline constexpr std::uint32_t PCM_BUFFER_BYTES = 65536;

// The frame buffer holds a whole payload, or the carried bytes followed by a full chunk.
inline constexpr std::uint32_t FRAME_BUFFER_BYTES = MAX_FRAME_BYTES > CARRY_BYTES + READ_CHUNK_BYTES
                                                        ? MAX_FRAME_BYTES
                                                        : CARRY_BYTES + READ_CHUNK_BYTES;

}  // namespace trunvex
