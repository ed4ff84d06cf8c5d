#pragma once

// H.264 helpers for building recordings: cutting an Annex-B byte stream into NAL units and
// access units, undoing and redoing emulation prevention, and the NAL-list payload layout of
// key-frame records. Everything returns owned vectors or views into the caller's stream; none
// of it is meant for the converter's hot path.

#include <cstdint>
#include <span>
#include <vector>

namespace trunvex::recording {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::uint8_t NAL_SLICE = 1;
inline constexpr std::uint8_t NAL_IDR = 5;
inline constexpr std::uint8_t NAL_SEI = 6;
inline constexpr std::uint8_t NAL_SPS = 7;
inline constexpr std::uint8_t NAL_PPS = 8;
inline constexpr std::uint8_t NAL_AUD = 9;
inline constexpr std::uint8_t NAL_END_OF_SEQUENCE = 10;
inline constexpr std::uint8_t NAL_END_OF_STREAM = 11;
inline constexpr std::uint8_t NAL_FILLER = 12;

// nal_unit_type of a unit (header byte first); 0 for an empty view.
[[nodiscard]] std::uint8_t nalType(ByteView unit);

// The NAL units of an Annex-B stream, still escaped, each without its start code and without
// the zero bytes that pad before the next start code. Bytes before the first start code are
// ignored.
[[nodiscard]] std::vector<ByteView> splitAnnexB(ByteView stream);

// One coded picture: its units (escaped views into the stream) and the stream bytes it spans,
// start codes included, exactly as the encoder wrote them.
struct AccessUnit {
    std::vector<ByteView> units;
    ByteView bytes;
    bool key = false;  // holds an IDR slice
};

// Groups the units of an Annex-B stream into access units. A new unit begins at an AUD, SPS,
// PPS or SEI that follows a slice, and at a slice whose first_mb_in_slice is 0 once the
// current unit already has a slice.
[[nodiscard]] std::vector<AccessUnit> splitAccessUnits(ByteView stream);

// Drops every 03 that follows two zero bytes: the stored, bare form of an escaped unit.
[[nodiscard]] Bytes removeEmulationPrevention(ByteView escaped);

// The converter's repacking of one bare unit: 00 00 00 01, the header byte as it is, then the
// body with an 03 inserted wherever two zeros are followed by a byte of 03 or less. Nothing is
// appended after the last byte. An empty unit yields nothing.
void appendRepackedUnit(ByteView bare, Bytes& out);

// A key-frame payload in the NAL-list layout: u32 N, N u32 lengths, then the units back to
// back; the last unit is not listed. Requires 1 to MAX_LISTED_NALS + 1 units (not checked
// beyond an empty result for none).
[[nodiscard]] Bytes nalListPayload(const std::vector<Bytes>& bareUnits);

// Reads a NAL-list payload back into its units (views into `payload`; the last one is empty
// when the listed units fill the payload). False when the count exceeds MAX_LISTED_NALS or
// the table or the listed units run past the payload.
[[nodiscard]] bool parseNalListPayload(ByteView payload, std::vector<ByteView>& units);

}  // namespace trunvex::recording
