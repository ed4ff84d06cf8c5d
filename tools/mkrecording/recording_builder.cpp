#include "mkrecording/recording_builder.h"

#include <algorithm>
#include <random>

#include "common/bytes.h"

namespace trunvex::recording {

namespace {

std::uint8_t blocks(std::uint32_t pixels) {
    return static_cast<std::uint8_t>(pixels / 8);
}

}  // namespace

void RecordingBuilder::le16(std::uint16_t v) {
    std::uint8_t b[2];
    storeLe16(std::span<std::uint8_t, 2>(b), v);
    data.insert(data.end(), b, b + 2);
}

void RecordingBuilder::le32(std::uint32_t v) {
    std::uint8_t b[4];
    storeLe32(std::span<std::uint8_t, 4>(b), v);
    data.insert(data.end(), b, b + 4);
}

RecordingBuilder& RecordingBuilder::startCode(std::uint8_t kind) {
    data.insert(data.end(), {0x00, 0x00, 0x01, kind});
    return *this;
}

RecordingBuilder& RecordingBuilder::keyHeader(std::uint8_t kind, std::uint8_t layout,
                                              std::uint8_t frameRate, std::uint8_t widthBlocks,
                                              std::uint8_t heightBlocks,
                                              std::uint32_t payloadLength) {
    startCode(kind);
    data.insert(data.end(), {layout, frameRate, widthBlocks, heightBlocks, 0, 0, 0, 0});
    le32(payloadLength);
    return *this;
}

RecordingBuilder& RecordingBuilder::deltaHeader(std::uint8_t kind, std::uint32_t payloadLength) {
    startCode(kind);
    le32(payloadLength);
    return *this;
}

RecordingBuilder& RecordingBuilder::audioHeader(std::uint8_t encoding, std::uint8_t rateCode,
                                                std::uint16_t payloadLength) {
    startCode(KIND_AUDIO);
    data.insert(data.end(), {encoding, rateCode});
    le16(payloadLength);
    return *this;
}

RecordingBuilder& RecordingBuilder::skipHeader(std::uint8_t byte2, std::uint8_t byte3,
                                               std::uint32_t payloadLength) {
    startCode(KIND_SKIP);
    data.insert(data.end(), {0, 0, byte2, byte3, 0, 0, 0, 0});
    le32(payloadLength);
    return *this;
}

RecordingBuilder& RecordingBuilder::keyFrame(std::uint8_t kind, const KeyFrameFields& fields,
                                             std::span<const std::uint8_t> payload) {
    keyHeader(kind, fields.layout, fields.frameRate, blocks(fields.width), blocks(fields.height),
              static_cast<std::uint32_t>(payload.size()));
    return raw(payload);
}

RecordingBuilder& RecordingBuilder::deltaFrame(std::uint8_t kind,
                                               std::span<const std::uint8_t> payload) {
    deltaHeader(kind, static_cast<std::uint32_t>(payload.size()));
    return raw(payload);
}

RecordingBuilder& RecordingBuilder::audio(std::uint8_t encoding, std::uint8_t rateCode,
                                          std::span<const std::uint8_t> payload) {
    const std::span<const std::uint8_t> kept =
        payload.first(std::min<std::size_t>(payload.size(), 65535));
    audioHeader(encoding, rateCode, static_cast<std::uint16_t>(kept.size()));
    return raw(kept);
}

RecordingBuilder& RecordingBuilder::skip(std::span<const std::uint8_t> payload) {
    skipHeader(0, 0, static_cast<std::uint32_t>(payload.size()));
    return raw(payload);
}

RecordingBuilder& RecordingBuilder::raw(std::span<const std::uint8_t> bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
}

RecordingBuilder& RecordingBuilder::fill(std::size_t count, std::uint8_t value) {
    data.insert(data.end(), count, value);
    return *this;
}

RecordingBuilder& RecordingBuilder::junk(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    // A byte that would complete 00 00 01 is replaced, counting as if two zeros came before
    // the junk: no start code can then begin inside it or straddle either of its ends (what
    // follows it is a record, which brings its own 00 00 01).
    std::uint32_t zeros = 2;
    for (std::size_t i = 0; i < count; ++i) {
        auto b = static_cast<std::uint8_t>(rng() & 0xFF);
        if (zeros >= 2 && b == 0x01) {
            b = 0x02;
        }
        data.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return *this;
}

RecordingBuilder& RecordingBuilder::invalidHeader(InvalidHeader which) {
    switch (which) {
        case INVALID_KEY_WIDTH_91:
            return keyHeader(KIND_H264_KEY, 0, 25, 91, 72, 4096);
        case INVALID_KEY_HEIGHT_73:
            return keyHeader(KIND_H264_KEY, 0, 25, 90, 73, 4096);
        case INVALID_KEY_LENGTH_0:
            return keyHeader(KIND_H264_KEY, 0, 25, 88, 72, 0);
        case INVALID_KEY_LENGTH_OVER:
            return keyHeader(KIND_MPEG4_KEY, 0, 25, 88, 72, 500001);
        case INVALID_DELTA_LENGTH_0:
            return deltaHeader(KIND_H264_DELTA, 0);
        case INVALID_AUDIO_RATE_0:
            return audioHeader(13, 0, 164);
        case INVALID_AUDIO_RATE_10:
            return audioHeader(13, 10, 164);
        case INVALID_AUDIO_LENGTH_0:
            return audioHeader(13, 2, 0);
        case INVALID_SKIP_WIDTH_91:
            return skipHeader(91, 0, 64);
        case INVALID_HEADER_KINDS:
            break;
    }
    return *this;
}

std::vector<std::uint8_t> keyFrameAndAudio() {
    return RecordingBuilder()
        .keyFrame(KIND_MPEG4_KEY, {0, 25, 64, 64}, std::vector<std::uint8_t>{1, 2, 3})
        .audio(AUDIO_ENC_PCM16, 1, std::vector<std::uint8_t>{4, 4})
        .tailFiller()
        .take();
}

}  // namespace trunvex::recording
