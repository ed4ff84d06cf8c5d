#include "codec/audio_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/codes.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<std::int16_t> samplesOf(const Bytes& pcm, std::size_t bytes) {
    std::vector<std::int16_t> s;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        s.push_back(static_cast<std::int16_t>(pcm[i] | (pcm[i + 1] << 8)));
    }
    return s;
}

Bytes adpcmBlock(std::int16_t predictor, std::int16_t step, const Bytes& codes) {
    const auto p = static_cast<std::uint16_t>(predictor);
    const auto s = static_cast<std::uint16_t>(step);
    Bytes b(4 + codes.size());
    b[0] = static_cast<std::uint8_t>(p);
    b[1] = static_cast<std::uint8_t>(p >> 8);
    b[2] = static_cast<std::uint8_t>(s);
    b[3] = static_cast<std::uint8_t>(s >> 8);
    std::copy(codes.begin(), codes.end(), b.begin() + 4);
    return b;
}

struct DecodeCase {
    const char* name;
    std::uint32_t encoding;
    Bytes payload;
    std::vector<std::int16_t> samples;
};

TEST(DecodeAudioFrame, DecodesSixteenBitEncodings) {
    const DecodeCase cases[] = {
        {"adpcm signs and steps",
         AUDIO_ENC_ADPCM4,
         adpcmBlock(0, 16, {0x07, 0x7F, 0x8F, 0x00}),
         {112, 112, -126, 441, -917, -917, -917, -917}},
        {"adpcm clamps at the top",
         AUDIO_ENC_ADPCM4,
         adpcmBlock(0, 16, Bytes(7, 0x77)),
         {112, 378, 1015, 2541, 6195, 14952, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
          32767}},
        {"adpcm clamps at the bottom",
         AUDIO_ENC_ADPCM4,
         adpcmBlock(-32000, 2000, {0xFF}),
         {-32768, -32768}},
        {"adpcm step used as stored, even negative",
         AUDIO_ENC_ADPCM4,
         adpcmBlock(100, -10, {0x01}),
         {90, 90}},
        {"adpcm header alone", AUDIO_ENC_ADPCM4, adpcmBlock(5, 16, {}), {}},
        {"adpcm shorter than its header", AUDIO_ENC_ADPCM4, {0x01, 0x02, 0x03}, {}},
        {"alaw",
         AUDIO_ENC_ALAW,
         {0xD5, 0x55, 0xAA, 0x2A, 0x00, 0x80},
         {8, -8, 32256, -32256, -5504, 5504}},
        {"pcm16 copied", AUDIO_ENC_PCM16, {0x01, 0x80, 0xFF, 0x7F, 0x00, 0x00}, {-32767, 32767, 0}},
        {"pcm16 odd length keeps whole samples", AUDIO_ENC_PCM16, {0x34, 0x12, 0x99}, {0x1234}},
        {"none", AUDIO_ENC_NONE, {1, 2, 3, 4}, {}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes pcm(PCM_BUFFER_BYTES, 0xEE);
        const std::int32_t n = decodeAudioFrame(c.payload, c.encoding, pcm);
        ASSERT_EQ(n, static_cast<std::int32_t>(2 * c.samples.size()));
        EXPECT_EQ(samplesOf(pcm, static_cast<std::size_t>(n)), c.samples);
        EXPECT_EQ(pcm[static_cast<std::size_t>(n)], 0xEE) << "wrote past its result";
    }
}

TEST(DecodeAdpcm4, StepWrapsAtSixteenBits) {
    struct StepCase {
        std::int16_t step;
        std::int16_t next;  // the step the following code sees, read back through m = 1
    };
    // 20000 * 614 >> 8 = 47968 reads as -17568, below the floor; 30000 gives 71953 -> 6417.
    for (const StepCase c : {StepCase{20000, 16}, StepCase{30000, 6417}}) {
        SCOPED_TRACE(c.step);
        Bytes pcm(8);
        ASSERT_EQ(decodeAdpcm4(adpcmBlock(0, c.step, {0x1F}), pcm), 4U);
        const auto s = samplesOf(pcm, 4);
        EXPECT_EQ(s[1] - s[0], c.next);
    }
}

TEST(DecodeAdpcm4, StepsFollowTheScaleTable) {
    // With m = 1 after each code, the difference between samples reads back the step.
    // From a step of 16: m = 0..3 fall under the floor, 4..7 scale by 307, 409, 512, 614.
    const Bytes codes = {0x10, 0x13, 0x14, 0x15, 0x16, 0x17, 0x1F};
    const std::int32_t expectedSteps[] = {16, 16, 19, 25, 32, 38, 38};
    for (std::size_t i = 0; i < codes.size(); ++i) {
        SCOPED_TRACE(i);
        Bytes pcm(4);
        ASSERT_EQ(decodeAdpcm4(adpcmBlock(0, 16, {codes[i]}), pcm), 4U);
        const auto s = samplesOf(pcm, 4);
        EXPECT_EQ(s[1] - s[0], expectedSteps[i]);
    }
}

TEST(DecodeAudioFrame, CapsAndCuts) {
    struct CapCase {
        const char* name;
        std::uint32_t encoding;
        std::size_t payloadBytes, pcmBytes;
        std::int32_t result;
    };
    const CapCase cases[] = {
        {"adpcm uses 1028 bytes", AUDIO_ENC_ADPCM4, 2000, PCM_BUFFER_BYTES, 4096},
        {"alaw uses 2048 bytes", AUDIO_ENC_ALAW, 3000, PCM_BUFFER_BYTES, 4096},
        {"pcm8 largest payload", AUDIO_ENC_PCM8, MAX_AUDIO_PAYLOAD_BYTES, PCM_BUFFER_BYTES, 65535},
        {"pcm16 largest payload", AUDIO_ENC_PCM16, MAX_AUDIO_PAYLOAD_BYTES, PCM_BUFFER_BYTES,
         65534},
        {"adpcm cut to whole samples", AUDIO_ENC_ADPCM4, 1028, 15, 14},
        {"alaw cut to whole samples", AUDIO_ENC_ALAW, 100, 7, 6},
        {"pcm16 cut to whole samples", AUDIO_ENC_PCM16, 100, 9, 8},
        {"pcm8 cut", 200, 100, 9, 9},
    };
    for (const CapCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes payload(c.payloadBytes, 0x5A);
        // Exactly sized, so the sanitizer build sees any write past the buffer.
        Bytes pcm(c.pcmBytes);
        EXPECT_EQ(decodeAudioFrame(payload, c.encoding, pcm), c.result);
    }
}

TEST(DecodeAudioFrame, EightBitSignedBecomesUnsigned) {
    const Bytes payload = {0x00, 0x7F, 0x80, 0xFF};
    const Bytes expected = {0x80, 0xFF, 0x00, 0x7F};
    for (std::uint32_t encoding : {7U, 0U, 9U, 200U, 15U, 0xFFFFFFFFU}) {
        SCOPED_TRACE(encoding);
        Bytes pcm(16, 0xEE);
        ASSERT_EQ(decodeAudioFrame(payload, encoding, pcm), 4);
        EXPECT_EQ(Bytes(pcm.begin(), pcm.begin() + 4), expected);
    }
}

TEST(DecodeAudioFrame, EightBitLongPayloadFlipsEveryByte) {
    // Long enough for the word-at-a-time path, with a tail that is not a whole word.
    Bytes payload(3 * 256 + 5);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 7);
    }
    Bytes pcm(payload.size());
    ASSERT_EQ(decodeAudioFrame(payload, AUDIO_ENC_PCM8, pcm),
              static_cast<std::int32_t>(payload.size()));
    for (std::size_t i = 0; i < payload.size(); ++i) {
        ASSERT_EQ(pcm[i], payload[i] ^ 0x80) << "byte " << i;
    }
}

TEST(ExpandAlaw, MatchesAnIndependentDecoder) {
    if (test::findProgram("ffmpeg").empty()) {
        GTEST_SKIP() << "ffmpeg not found";
    }
    Bytes codes(256);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        codes[i] = static_cast<std::uint8_t>(i);
    }
    const auto dir = test::makeTempDir("alaw");
    const auto in = dir / "alaw_codes.raw";
    const auto out = dir / "alaw_codes.s16le";
    ASSERT_TRUE(test::writeFile(in, codes));
    ASSERT_EQ(0, test::runCommand("ffmpeg -y -v error -f alaw -ar 8000 -ac 1 -i \"" + in.string() +
                                  "\" -f s16le \"" + out.string() + "\"")
                     .exitCode);
    const Bytes reference = test::readFile(out);
    ASSERT_EQ(reference.size(), 512U);
    Bytes ours(512);
    ASSERT_EQ(expandAlaw(codes, ours), 512U);
    for (std::size_t code = 0; code < 256; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        EXPECT_EQ(samplesOf(ours, 512)[code], samplesOf(reference, 512)[code]);
    }
}

}  // namespace
}  // namespace trunvex
