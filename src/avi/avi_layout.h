#pragma once

#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace trunvex::avi_layout {

// Codes and sizes of the AVI and OpenDML layout, shared by the file writer and the checker.
inline constexpr std::uint32_t FOURCC_RIFF = fourCc("RIFF");
inline constexpr std::uint32_t FOURCC_LIST = fourCc("LIST");
inline constexpr std::uint32_t FOURCC_JUNK = fourCc("JUNK");
inline constexpr std::uint32_t FOURCC_AVI = fourCc("AVI ");
inline constexpr std::uint32_t FOURCC_AVIX = fourCc("AVIX");
inline constexpr std::uint32_t FOURCC_HDRL = fourCc("hdrl");
inline constexpr std::uint32_t FOURCC_AVIH = fourCc("avih");
inline constexpr std::uint32_t FOURCC_STRL = fourCc("strl");
inline constexpr std::uint32_t FOURCC_STRH = fourCc("strh");
inline constexpr std::uint32_t FOURCC_STRF = fourCc("strf");
inline constexpr std::uint32_t FOURCC_INDX = fourCc("indx");
inline constexpr std::uint32_t FOURCC_ODML = fourCc("odml");
inline constexpr std::uint32_t FOURCC_DMLH = fourCc("dmlh");
inline constexpr std::uint32_t FOURCC_MOVI = fourCc("movi");
inline constexpr std::uint32_t FOURCC_IDX1 = fourCc("idx1");
inline constexpr std::uint32_t FOURCC_VIDS = fourCc("vids");
inline constexpr std::uint32_t FOURCC_AUDS = fourCc("auds");

inline constexpr std::uint32_t AVIIF_KEYFRAME = 0x10;  // a key frame: idx1 flags, AviFile::write
inline constexpr std::uint32_t AVIF_HASINDEX = 0x10;
inline constexpr std::uint32_t AVIF_ISINTERLEAVED = 0x100;
inline constexpr std::uint32_t NON_KEY_SIZE_BIT = 0x80000000;  // in a standard index entry
inline constexpr std::uint8_t INDEX_OF_INDEXES = 0;
inline constexpr std::uint8_t INDEX_OF_CHUNKS = 1;
inline constexpr std::uint32_t LEGACY_ENTRY_BYTES = 16;
inline constexpr std::uint32_t CHUNK_HEAD_BYTES = 8;  // chunk id and size
inline constexpr std::uint32_t LIST_HEAD_BYTES = 12;  // 'RIFF' or 'LIST', size, list type
inline constexpr std::uint32_t AVIH_BYTES = 56;
inline constexpr std::uint32_t STRH_BYTES = 56;
inline constexpr std::uint32_t DMLH_BYTES = 248;
// Index offsets are 32-bit from the movi list of their RIFF.
inline constexpr std::uint64_t MAX_RIFF_BYTES = std::uint64_t{1} << 30;
// A chunk's size must leave the non-key bit of a standard index entry free.
inline constexpr std::uint64_t MAX_CHUNK_BYTES = NON_KEY_SIZE_BIT - 1;
inline constexpr std::uint32_t DEFAULT_FRAME_RATE = 25;

// Every chunk starts so: its code, then the size of its body (an odd body's pad byte not
// counted).
inline void storeChunkHead(std::span<std::uint8_t, CHUNK_HEAD_BYTES> out, std::uint32_t id,
                           std::uint32_t size) noexcept {
    storeLe32(out.first<4>(), id);
    storeLe32(out.last<4>(), size);
}

// A RIFF or LIST chunk, whose body starts with the list's type (counted in `size`).
inline void storeListHead(std::span<std::uint8_t, LIST_HEAD_BYTES> out, std::uint32_t id,
                          std::uint32_t size, std::uint32_t type) noexcept {
    storeChunkHead(out.first<CHUNK_HEAD_BYTES>(), id, size);
    storeLe32(out.last<4>(), type);
}

// '00dc', '01wb', ...: two decimal digits of the stream number and a two-letter kind.
constexpr std::uint32_t chunkIdFor(std::uint32_t number, const char (&kind)[3]) noexcept {
    return (static_cast<std::uint32_t>('0' + number / 10 % 10)) |
           (static_cast<std::uint32_t>('0' + number % 10) << 8) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(kind[0])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(kind[1])) << 24);
}

// 'ix00', 'ix01', ...: the standard index chunk of a stream.
constexpr std::uint32_t indexIdFor(std::uint32_t number) noexcept {
    return static_cast<std::uint32_t>('i') | (static_cast<std::uint32_t>('x') << 8) |
           (static_cast<std::uint32_t>('0' + number / 10 % 10) << 16) |
           (static_cast<std::uint32_t>('0' + number % 10) << 24);
}

}  // namespace trunvex::avi_layout
