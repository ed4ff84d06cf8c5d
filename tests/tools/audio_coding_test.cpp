#include "mkrecording/audio_coding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "codec/audio_decode.h"
#include "common/codes.h"

namespace trunvex::recording {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<std::int16_t> samplesOf(const Bytes& pcm) {
    std::vector<std::int16_t> s(pcm.size() / 2);
    for (std::size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
    }
    return s;
}

std::vector<std::int16_t> sine(std::size_t n, double freq, double rate, double amplitude) {
    std::vector<std::int16_t> s(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * freq * double(i) / rate)));
    }
    return s;
}

TEST(AdpcmModel, DecodesTheReferenceBlocks) {
    struct Case {
        const char* name;
        Bytes block;
        std::vector<std::int16_t> samples;
    };
    const Case cases[] = {
        {"mixed codes",
         {0x00, 0x00, 0x10, 0x00, 0x07, 0x7F, 0x8F, 0x00},  // predictor 0, step 16
         {112, 112, -126, 441, -917, -917, -917, -917}},
        {"rise to the clamp",
         {0x00, 0x00, 0x10, 0x00, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77},
         {112, 378, 1015, 2541, 6195, 14952, 32767, 32767, 32767, 32767, 32767, 32767, 32767,
          32767}},
        {"header only", {0x00, 0x00, 0x10, 0x00}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(samplesOf(expectedPcm(ENC_ADPCM4, c.block)), c.samples);
    }
}

TEST(AdpcmModel, StepWrapsAtSixteenBits) {
    struct Case {
        std::int16_t step;
        std::int16_t next;
    };
    // 20000 * 614 / 256 = 47968 reads as -17568, below the floor; 30000 gives 71953 -> 6417.
    const Case cases[] = {{20000, 16}, {30000, 6417}, {16, 38}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        AdpcmState state{0, c.step};
        (void)adpcmDecodeCode(state, 0x7);
        EXPECT_EQ(state.step, c.next);
    }
}

// The encoder must leave its state where the decoder's ends, block after block, and follow
// the signal closely.
TEST(AdpcmEncoder, DecoderReproducesTheEncodersSignal) {
    const std::vector<std::int16_t> input = sine(8000, 440, 8000, 8000);
    AdpcmState state;
    double errorEnergy = 0;
    double signalEnergy = 0;
    for (std::size_t pos = 0; pos < input.size(); pos += 320) {
        const std::span<const std::int16_t> block(input.data() + pos, 320);
        const Bytes payload = encodeAdpcmBlock(block, state);
        ASSERT_EQ(payload.size(), 164u);
        const std::vector<std::int16_t> decoded = samplesOf(expectedPcm(ENC_ADPCM4, payload));
        ASSERT_EQ(decoded.size(), 320u);
        EXPECT_EQ(decoded.back(), state.predictor) << "encoder state left the decoder's";
        for (std::size_t i = 0; i < decoded.size(); ++i) {
            const double e = double(decoded[i]) - double(block[i]);
            errorEnergy += e * e;
            signalEnergy += double(block[i]) * double(block[i]);
        }
    }
    const double snrDb = 10 * std::log10(signalEnergy / errorEnergy);
    EXPECT_GT(snrDb, 20.0);
}

TEST(AdpcmEncoder, OddCountRepeatsTheLastSampleAndLongInputIsCapped) {
    AdpcmState state;
    const std::vector<std::int16_t> three = {100, 200, 300};
    EXPECT_EQ(encodeAdpcmBlock(three, state).size(), 4u + 2u);
    AdpcmState fresh;
    const std::vector<std::int16_t> many(5000, 10);
    EXPECT_EQ(encodeAdpcmBlock(many, fresh).size(), 4u + ADPCM_MAX_CODE_BYTES);
}

TEST(Alaw, ExpandsTheReferenceCodes) {
    const std::pair<std::uint8_t, std::int16_t> cases[] = {
        {0xD5, 8}, {0x55, -8}, {0xAA, 32256}, {0x2A, -32256}, {0x00, -5504}, {0x80, 5504}};
    for (const auto& [code, value] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(alawDecode(code), value);
    }
}

TEST(Alaw, EncoderInvertsTheDecoderAndQuantisesWithinASegmentStep) {
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        ASSERT_EQ(alawEncode(alawDecode(c)), c) << code;
    }
    for (int x = -32768; x <= 32767; ++x) {
        const auto sample = static_cast<std::int16_t>(x);
        const int error = std::abs(alawDecode(alawEncode(sample)) - x);
        // Segments 0 and 1 quantise in steps of 16 (16-bit scale), segment k >= 1 in 8 << k;
        // the decoder takes the middle of a step, and the top segment saturates at 32256.
        const int magnitude = std::min(std::abs(x), 32255);
        int step = 16;
        while (step < 1024 && magnitude >= step * 32) {
            step *= 2;
        }
        ASSERT_LE(error, std::abs(x) > 32256 ? 32768 - 32256 : step / 2 + 8) << x;
    }
}

// The model must give what the converter's decoder gives, byte for byte, for every encoding,
// including the caps and the odd lengths.
TEST(ExpectedPcm, AgreesWithTheCodec) {
    std::mt19937 rng(11);
    const std::uint8_t encodings[] = {ENC_PCM8, ENC_NONE, ENC_PCM16, ENC_ADPCM4, ENC_ALAW, 0, 200};
    const std::size_t lengths[] = {1, 3, 4, 5, 164, 1027, 1028, 1029, 2000, 2048, 3000, 16001};
    std::vector<std::uint8_t> pcm(PCM_BUFFER_BYTES);
    for (const std::uint8_t encoding : encodings) {
        for (const std::size_t length : lengths) {
            SCOPED_TRACE(std::to_string(encoding) + " / " + std::to_string(length));
            Bytes payload(length);
            for (std::uint8_t& b : payload) {
                b = static_cast<std::uint8_t>(rng());
            }
            const std::int32_t n = decodeAudioFrame(payload, encoding, pcm);
            ASSERT_GE(n, 0);
            EXPECT_EQ(expectedPcm(encoding, payload), Bytes(pcm.begin(), pcm.begin() + n));
        }
    }
}

}  // namespace
}  // namespace trunvex::recording
