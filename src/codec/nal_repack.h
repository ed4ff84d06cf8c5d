#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace trunvex {

// Writes one stored NAL unit (header byte first, no start code, no emulation prevention) in
// Annex-B form at the start of `out`: 00 00 00 01, the header byte unchanged, then the body
// with an 03 inserted wherever two zeros are followed by a byte of 03 or less. Returns the
// bytes written; an empty unit yields nothing. Returns 0 and writes nothing when `out` cannot
// hold the worst case for this unit (REPACK_BUFFER_BYTES always can for valid payloads).
[[nodiscard]] std::uint32_t repackNalUnit(std::span<const std::uint8_t> unit,
                                          std::span<std::uint8_t> out) noexcept;

// Writes a key frame stored as a NAL list (u32 count N <= 10, N u32 lengths, the listed units,
// then a last unit that takes the rest of the payload) as the Annex-B units back to back.
// Returns the bytes written, or 0 when the list is malformed: N above MAX_LISTED_NALS, or a
// count, table or listed lengths that run past the payload. A last unit with no byte left is
// empty and yields nothing, like a listed unit of length 0. No byte outside `payload` is read.
[[nodiscard]] std::uint32_t repackNalListFrame(std::span<const std::uint8_t> payload,
                                               std::span<std::uint8_t> out) noexcept;

// Room enough for either repacking of a payload of `payloadBytes`, as a bare unit or as a
// NAL list: a unit gains a start code and one escape per two bytes; a list's count and table
// pay for the start codes of its units.
[[nodiscard]] constexpr std::size_t repackedBytesAtMost(std::size_t payloadBytes) noexcept {
    return payloadBytes + payloadBytes / 2 + 4;
}

// True when `frame` holds a start code (00 00 01) with at least one byte after it: the least
// an Annex-B reader needs to find a unit. Readers that look for the stream's parameter sets
// in the first packets refuse the whole file when one of those packets has none.
[[nodiscard]] bool holdsAnnexBUnit(std::span<const std::uint8_t> frame) noexcept;

// The most one stored unit of `length` bytes can grow to: start code, header byte, and one
// escape per two body bytes after the first pair. Wide, so no unit length can wrap it.
[[nodiscard]] constexpr std::uint64_t repackedUnitBytesAtMost(std::uint64_t length) noexcept {
    return length == 0 ? 0 : 4 + length + (length >= 2 ? (length - 2) / 2 : 0);
}
// A unit is repacked only when that worst case fits both `out` and the 32-bit result.
[[nodiscard]] bool fitsRepackedBytes(std::uint64_t worst, std::size_t outSize) noexcept;

// repackNalListFrame with another repacking of each unit: the list is read and checked the
// same way (the byte-at-a-time form that tests hold the fast one to goes through here).
using UnitRepacker = std::uint32_t (*)(std::span<const std::uint8_t> unit,
                                       std::span<std::uint8_t> out) noexcept;
[[nodiscard]] std::uint32_t repackNalListFrameWith(std::span<const std::uint8_t> payload,
                                                   std::span<std::uint8_t> out,
                                                   UnitRepacker repackUnit) noexcept;

}  // namespace trunvex
