#include "demux/record_format.h"

#include "common/bytes.h"

namespace trunvex {

KeyFrameHeader readKeyFrameHeader(
    std::span<const std::uint8_t, LONG_HEADER_BYTES> header) noexcept {
    KeyFrameHeader h;
    h.layout = header[0];
    h.rateByte = header[1];
    h.widthBlocks = header[2];
    h.heightBlocks = header[3];
    h.payloadLength = loadLe32(header.subspan<8, 4>());
    return h;
}

AudioHeader readAudioHeader(std::span<const std::uint8_t, SHORT_HEADER_BYTES> header) noexcept {
    AudioHeader h;
    h.encoding = header[0];
    h.rateCode = header[1];
    h.payloadLength = loadLe16(header.subspan<2, 2>());
    return h;
}

std::uint32_t readDeltaPayloadLength(
    std::span<const std::uint8_t, SHORT_HEADER_BYTES> header) noexcept {
    return loadLe32(header);
}

bool isValidKeyFrameHeader(const KeyFrameHeader& header) noexcept {
    return isValidFrameSize(header.widthBlocks, header.heightBlocks) &&
           isValidFramePayloadLength(header.payloadLength);
}

bool isValidSkipHeader(const KeyFrameHeader& header) noexcept {
    return isValidKeyFrameHeader(header);
}

bool isValidDeltaHeader(std::uint32_t payloadLength, bool keyFrameSeen) noexcept {
    return keyFrameSeen && isValidFramePayloadLength(payloadLength);
}

bool isValidAudioHeader(const AudioHeader& header) noexcept {
    return header.rateCode >= 1 && header.rateCode <= MAX_AUDIO_RATE_CODE &&
           header.payloadLength != 0;
}

}  // namespace trunvex
