#pragma once

// RecordingBuilder appends records of the recorded stream format to an in-memory byte vector:
// start codes 00 00 01 FD/FC/FB/FA/F0/F1, their headers (little-endian), payloads, and the
// damage a real recording carries (junk bytes, headers that break a validity rule). Unit
// tests build their fixtures with it; trunvex-mkrecording builds whole files with it.
//
// The header-only methods take every field as a raw byte or word, so that out-of-range values
// can be written on purpose; the record methods write the header and the payload together and
// take the payload length from the payload.

#include <cstdint>
#include <span>
#include <vector>

#include "common/record_rules.h"

namespace trunvex::recording {

// Start-code kind bytes (the fourth byte of 00 00 01 xx).
inline constexpr std::uint8_t KIND_H264_KEY = 0xFD;
inline constexpr std::uint8_t KIND_H264_DELTA = 0xFC;
inline constexpr std::uint8_t KIND_MPEG4_KEY = 0xFB;
inline constexpr std::uint8_t KIND_MPEG4_DELTA = 0xFA;
inline constexpr std::uint8_t KIND_AUDIO = 0xF0;
inline constexpr std::uint8_t KIND_SKIP = 0xF1;

// Layout byte values of a key-frame header.
inline constexpr std::uint8_t LAYOUT_NAL_LIST = 0;   // H.264 stored as bare NAL units
inline constexpr std::uint8_t LAYOUT_AS_STORED = 1;  // H.264 stored in Annex-B form

// Audio rate codes: the converter's rule names the 8000 Hz one; every other valid code is
// 16000 Hz.
using trunvex::RATE_CODE_8000;
inline constexpr std::uint8_t RATE_CODE_16000 = 1;

// The fields of a key-frame header. Width and height are in pixels and must be multiples of
// 8 below 2048 (the header stores them divided by 8).
struct KeyFrameFields {
    std::uint8_t layout = LAYOUT_NAL_LIST;
    std::uint8_t frameRate = 25;  // the whole byte; the converter keeps bits 0 to 4
    std::uint32_t width = 704;
    std::uint32_t height = 576;
};

// Invalid headers that invalidHeader() writes. Each is a lone start code and header with no
// payload behind it; bytes that follow are searched by the converter as usual. (A delta-frame
// header with a good length is invalid only before the first key frame: write deltaHeader
// there for that case.)
enum InvalidHeader : std::uint32_t {
    INVALID_KEY_WIDTH_91 = 0,  // 00 00 01 FD, width byte 91
    INVALID_KEY_HEIGHT_73,     // 00 00 01 FD, height byte 73
    INVALID_KEY_LENGTH_0,      // 00 00 01 FD, payload length 0
    INVALID_KEY_LENGTH_OVER,   // 00 00 01 FB, payload length 500001
    INVALID_DELTA_LENGTH_0,    // 00 00 01 FC, payload length 0
    INVALID_AUDIO_RATE_0,      // 00 00 01 F0, rate code 0
    INVALID_AUDIO_RATE_10,     // 00 00 01 F0, rate code 10
    INVALID_AUDIO_LENGTH_0,    // 00 00 01 F0, payload length 0
    INVALID_SKIP_WIDTH_91,     // 00 00 01 F1, byte 2 is 91
    INVALID_HEADER_KINDS,      // number of kinds above
};

class RecordingBuilder {
public:
    // 00 00 01 `kind`.
    RecordingBuilder& startCode(std::uint8_t kind);

    // Start code and 12-byte key-frame header with raw fields: layout byte, frame-rate byte,
    // width / 8, height / 8, four zero bytes, u32 payload length.
    RecordingBuilder& keyHeader(std::uint8_t kind, std::uint8_t layout, std::uint8_t frameRate,
                                std::uint8_t widthBlocks, std::uint8_t heightBlocks,
                                std::uint32_t payloadLength);
    // Start code and 4-byte delta-frame header (u32 payload length).
    RecordingBuilder& deltaHeader(std::uint8_t kind, std::uint32_t payloadLength);
    // Start code and 4-byte audio header: encoding, rate code, u16 payload length.
    RecordingBuilder& audioHeader(std::uint8_t encoding, std::uint8_t rateCode,
                                  std::uint16_t payloadLength);
    // Start code and 12-byte skip header: two zero bytes, byte 2, byte 3, four zero bytes,
    // u32 payload length.
    RecordingBuilder& skipHeader(std::uint8_t byte2, std::uint8_t byte3,
                                 std::uint32_t payloadLength);

    // Whole records. `kind` picks the family (KIND_H264_* or KIND_MPEG4_*).
    RecordingBuilder& keyFrame(std::uint8_t kind, const KeyFrameFields& fields,
                               std::span<const std::uint8_t> payload);
    RecordingBuilder& deltaFrame(std::uint8_t kind, std::span<const std::uint8_t> payload);
    // Payloads over 65535 bytes cannot be described by the header; they are cut to 65535.
    RecordingBuilder& audio(std::uint8_t encoding, std::uint8_t rateCode,
                            std::span<const std::uint8_t> payload);
    RecordingBuilder& skip(std::span<const std::uint8_t> payload);

    RecordingBuilder& raw(std::span<const std::uint8_t> bytes);
    RecordingBuilder& fill(std::size_t count, std::uint8_t value);
    // `count` bytes from `seed` with no 00 00 01 and no 01 that only zeros precede, so they
    // form no start code, also not together with the bytes around them.
    RecordingBuilder& junk(std::size_t count, std::uint32_t seed);
    RecordingBuilder& invalidHeader(InvalidHeader which);
    // The 16 bytes of 0xFF that end a fixture: the converter never examines the last bytes of
    // its input, so a record must be followed by at least that many.
    RecordingBuilder& tailFiller() { return fill(16, 0xFF); }

    void reserve(std::size_t bytes) { data.reserve(bytes); }
    [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return data; }
    [[nodiscard]] std::size_t size() const { return data.size(); }
    [[nodiscard]] std::vector<std::uint8_t> take() { return std::move(data); }

private:
    void le16(std::uint16_t v);
    void le32(std::uint32_t v);

    std::vector<std::uint8_t> data;
};

// The smallest recording that converts: one MPEG-4 key frame (64x64, 25 fps) and one 16-bit
// PCM block, then the filler that lets the last record be seen whole.
std::vector<std::uint8_t> keyFrameAndAudio();

}  // namespace trunvex::recording
