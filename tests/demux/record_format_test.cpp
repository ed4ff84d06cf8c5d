#include "demux/record_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace trunvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

KeyFrameHeader keyHeader(std::uint8_t width, std::uint8_t height, std::uint32_t length) {
    KeyFrameHeader h;
    h.widthBlocks = width;
    h.heightBlocks = height;
    h.payloadLength = length;
    return h;
}

TEST(RecordFormat, ReadsHeadersLittleEndian) {
    const Bytes key = {0x00, 0x19, 0x58, 0x48, 0, 0, 0, 0, 0x00, 0x10, 0x00, 0x00};
    const KeyFrameHeader k = readKeyFrameHeader(std::span<const std::uint8_t, 12>(key.data(), 12));
    EXPECT_EQ(k.layout, 0);
    EXPECT_EQ(frameRateOf(k.rateByte), 25u);
    EXPECT_EQ(k.widthBlocks * 8u, 704u);
    EXPECT_EQ(k.heightBlocks * 8u, 576u);
    EXPECT_EQ(k.payloadLength, 4096u);
    EXPECT_TRUE(isValidKeyFrameHeader(k));

    const Bytes audio = {0x0D, 0x02, 0x04, 0x04};
    const AudioHeader a = readAudioHeader(std::span<const std::uint8_t, 4>(audio.data(), 4));
    EXPECT_EQ(a.encoding, AUDIO_ENC_ADPCM4);
    EXPECT_EQ(audioSampleRateOf(a.rateCode), 8000u);
    EXPECT_EQ(a.payloadLength, 1028u);
    EXPECT_TRUE(isValidAudioHeader(a));

    const Bytes delta = {0x20, 0xA1, 0x07, 0x00};
    EXPECT_EQ(readDeltaPayloadLength(std::span<const std::uint8_t, 4>(delta.data(), 4)), 500000u);
}

TEST(RecordFormat, ValidityLimits) {
    struct Case {
        const char* name;
        bool valid;
        bool expected;
    };
    const auto audio = [](std::uint8_t rate, std::uint16_t length) {
        return isValidAudioHeader(AudioHeader{7, rate, length});
    };
    const Case cases[] = {
        {"720 x 576", isValidKeyFrameHeader(keyHeader(90, 72, 1)), true},
        {"width byte 91", isValidKeyFrameHeader(keyHeader(91, 72, 1)), false},
        {"height byte 73", isValidKeyFrameHeader(keyHeader(90, 73, 1)), false},
        {"0 x 0", isValidKeyFrameHeader(keyHeader(0, 0, 1)), true},
        {"key length 500000", isValidKeyFrameHeader(keyHeader(1, 1, 500000)), true},
        {"key length 500001", isValidKeyFrameHeader(keyHeader(1, 1, 500001)), false},
        {"key length 0", isValidKeyFrameHeader(keyHeader(1, 1, 0)), false},
        {"skip byte 2 of 91", isValidSkipHeader(keyHeader(91, 1, 1)), false},
        {"skip length 500000", isValidSkipHeader(keyHeader(90, 72, 500000)), true},
        {"delta after a key frame", isValidDeltaHeader(500000, true), true},
        {"delta before any key frame", isValidDeltaHeader(1, false), false},
        {"delta length 0", isValidDeltaHeader(0, true), false},
        {"delta length 500001", isValidDeltaHeader(500001, true), false},
        {"audio rate code 1", audio(1, 1), true},
        {"audio rate code 9", audio(9, 65535), true},
        {"audio rate code 0", audio(0, 1), false},
        {"audio rate code 10", audio(10, 1), false},
        {"audio length 0", audio(2, 0), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.valid, c.expected);
    }
}

TEST(RecordFormat, StartCodesAndRates) {
    for (std::uint32_t b = 0; b < 256; ++b) {
        const bool record = b == 0xF0 || b == 0xF1 || (b >= 0xFA && b <= 0xFD);
        EXPECT_EQ(isRecordStartCode(0x100u | b), record) << b;
    }
    EXPECT_FALSE(isRecordStartCode(0x00000165));
    EXPECT_EQ(frameRateOf(0x3F), 31u);
    EXPECT_EQ(frameRateOf(0xE0), 0u);
    for (std::uint32_t code = 1; code <= 9; ++code) {
        EXPECT_EQ(audioSampleRateOf(code), code == 2 ? 8000u : 16000u);
    }
}

}  // namespace
}  // namespace trunvex
