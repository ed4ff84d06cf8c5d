#include "mkrecording/recording_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace trunvex::recording {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(RecordingBuilder, WritesHeadersByteForByte) {
    struct Case {
        const char* name;
        Bytes built;
        Bytes expected;
    };
    const Bytes payload4096(4096, 0xAB);
    const Bytes payload1028(1028, 0x11);
    const Case cases[] = {
        {"key frame 704x576 at 25 fps",
         RecordingBuilder().keyFrame(KIND_H264_KEY, {0, 25, 704, 576}, payload4096).take(),
         {0x00, 0x00, 0x01, 0xFD,    // start code
          0x00,                      // layout byte: NAL list
          0x19,                      // 25 frames per second
          0x58, 0x48,                // 88 and 72 blocks of 8 pixels
          0x00, 0x00, 0x00, 0x00,    // not interpreted
          0x00, 0x10, 0x00, 0x00}},  // payload length 4096
        {"ADPCM audio at 8000 Hz",
         RecordingBuilder().audio(13, RATE_CODE_8000, payload1028).take(),
         {0x00, 0x00, 0x01, 0xF0,  // start code
          0x0D, 0x02,              // encoding 13, rate code 2
          0x04, 0x04}},            // payload length 1028
        {"MPEG-4 delta",
         RecordingBuilder().deltaFrame(KIND_MPEG4_DELTA, Bytes(300, 0)).take(),
         {0x00, 0x00, 0x01, 0xFA, 0x2C, 0x01, 0x00, 0x00}},
        {"skip",
         RecordingBuilder().skipHeader(90, 72, 500000).take(),
         {0x00, 0x00, 0x01, 0xF1, 0x00, 0x00, 0x5A, 0x48, 0x00, 0x00, 0x00, 0x00,  //
          0x20, 0xA1, 0x07, 0x00}},
        {"raw key header keeps out-of-range fields",
         RecordingBuilder().keyHeader(KIND_MPEG4_KEY, 1, 0xE0, 91, 73, 0).take(),
         {0x00, 0x00, 0x01, 0xFB, 0x01, 0xE0, 0x5B, 0x49, 0x00, 0x00, 0x00, 0x00,  //
          0x00, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(c.built.size(), c.expected.size());
        EXPECT_EQ(Bytes(c.built.begin(),
                        c.built.begin() + static_cast<std::ptrdiff_t>(c.expected.size())),
                  c.expected);
    }
}

TEST(RecordingBuilder, AudioPayloadIsCutToWhatTheHeaderCanDescribe) {
    const Bytes big(70000, 0x22);
    const Bytes rec = RecordingBuilder().audio(12, 1, big).take();
    ASSERT_EQ(rec.size(), 8u + 65535u);
    EXPECT_EQ(rec[6], 0xFF);
    EXPECT_EQ(rec[7], 0xFF);
}

// Each invalid header breaks exactly the rule its name says, and nothing else looks like a
// start code in it.
TEST(RecordingBuilder, InvalidHeadersBreakTheirRule) {
    struct Case {
        InvalidHeader which;
        std::size_t offset;  // of the field that breaks the rule
        Bytes field;
    };
    const Case cases[] = {
        {INVALID_KEY_WIDTH_91, 6, {91}},
        {INVALID_KEY_HEIGHT_73, 7, {73}},
        {INVALID_KEY_LENGTH_0, 12, {0, 0, 0, 0}},
        {INVALID_KEY_LENGTH_OVER, 12, {0x21, 0xA1, 0x07, 0x00}},  // 500001
        {INVALID_DELTA_LENGTH_0, 4, {0, 0, 0, 0}},
        {INVALID_AUDIO_RATE_0, 5, {0}},
        {INVALID_AUDIO_RATE_10, 5, {10}},
        {INVALID_AUDIO_LENGTH_0, 6, {0, 0}},
        {INVALID_SKIP_WIDTH_91, 6, {91}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.which));
        const Bytes rec = RecordingBuilder().invalidHeader(c.which).take();
        ASSERT_GE(rec.size(), c.offset + c.field.size());
        EXPECT_EQ(Bytes(rec.begin() + static_cast<std::ptrdiff_t>(c.offset),
                        rec.begin() + static_cast<std::ptrdiff_t>(c.offset + c.field.size())),
                  c.field);
        for (std::size_t i = 1; i + 2 < rec.size(); ++i) {
            EXPECT_FALSE(rec[i] == 0 && rec[i + 1] == 0 && rec[i + 2] == 1) << "at " << i;
        }
    }
}

TEST(RecordingBuilder, JunkNeverHoldsAStartCodePrefix) {
    for (std::uint32_t seed = 0; seed < 200; ++seed) {
        // Zero-heavy junk is where a 00 00 01 would most likely slip in.
        const Bytes junk = RecordingBuilder().fill(2, 0).junk(4000, seed).take();
        for (std::size_t i = 0; i + 2 < junk.size(); ++i) {
            ASSERT_FALSE(junk[i] == 0 && junk[i + 1] == 0 && junk[i + 2] == 1)
                << "seed " << seed << " at " << i;
        }
    }
    EXPECT_EQ(RecordingBuilder().junk(100, 7).bytes(), RecordingBuilder().junk(100, 7).bytes());
}

}  // namespace
}  // namespace trunvex::recording
