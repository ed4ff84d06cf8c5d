#include "mkrecording/h264_units.h"

#include <gtest/gtest.h>

#include <random>

#include "codec/nal_repack.h"
#include "common/codes.h"
#include "mkrecording/mpeg4_frames.h"

namespace trunvex::recording {
namespace {

Bytes toBytes(ByteView v) {
    return {v.begin(), v.end()};
}

TEST(EmulationPrevention, RemovesOnlyEscapesAfterTwoZeros) {
    struct Case {
        const char* name;
        Bytes escaped, bare;
    };
    const Case cases[] = {
        {"escaped start code", {0x65, 0x00, 0x00, 0x03, 0x01}, {0x65, 0x00, 0x00, 0x01}},
        {"escaped 03", {0x65, 0x00, 0x00, 0x03, 0x03}, {0x65, 0x00, 0x00, 0x03}},
        {"escape at the end", {0x65, 0x00, 0x00, 0x03}, {0x65, 0x00, 0x00}},
        {"one zero is no pair", {0x65, 0x00, 0x03, 0x01}, {0x65, 0x00, 0x03, 0x01}},
        {"counting restarts after an escape",
         {0x65, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00},
         {0x65, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(removeEmulationPrevention(c.escaped), c.bare);
    }
}

// The repacking model must agree with the converter's, and undoing it must give back the unit.
TEST(EmulationPrevention, RepackModelAgreesWithCodecAndRoundTrips) {
    std::mt19937 rng(5);
    std::vector<std::uint8_t> codecOut(REPACK_BUFFER_BYTES);
    for (int trial = 0; trial < 500; ++trial) {
        Bytes unit(1 + rng() % 300);
        for (std::uint8_t& b : unit) {
            const auto r = rng() % 8;
            b = r < 5 ? 0 : static_cast<std::uint8_t>(r - 5);  // zeros and small bytes
        }
        Bytes model;
        appendRepackedUnit(unit, model);
        const std::uint32_t n = repackNalUnit(unit, codecOut);
        ASSERT_EQ(model, Bytes(codecOut.begin(), codecOut.begin() + n)) << "trial " << trial;
        ASSERT_EQ(removeEmulationPrevention(ByteView(model).subspan(4)), unit);
    }
}

TEST(NalList, PayloadRoundTrips) {
    for (std::size_t count = 1; count <= MAX_LISTED_NALS + 1; ++count) {
        SCOPED_TRACE(count);
        std::vector<Bytes> units;
        for (std::size_t i = 0; i < count; ++i) {
            units.push_back(Bytes(1 + 7 * i, static_cast<std::uint8_t>(0x60 + i)));
        }
        const Bytes payload = nalListPayload(units);
        EXPECT_EQ(payload[0], count - 1);  // N, little-endian u32
        std::vector<ByteView> parsed;
        ASSERT_TRUE(parseNalListPayload(payload, parsed));
        ASSERT_EQ(parsed.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(toBytes(parsed[i]), units[i]);
        }
    }
}

TEST(NalList, LayoutMatchesTheFormat) {
    // N = 2, lengths 10 and 20: units at offsets 12 and 22, the last one from 42 on.
    const Bytes payload = nalListPayload({Bytes(10, 1), Bytes(20, 2), Bytes(5, 3)});
    ASSERT_EQ(payload.size(), 47u);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 12),
              (Bytes{2, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0}));
    EXPECT_EQ(payload[12], 1);
    EXPECT_EQ(payload[22], 2);
    EXPECT_EQ(payload[42], 3);

    std::vector<ByteView> units;
    EXPECT_FALSE(parseNalListPayload(Bytes{11, 0, 0, 0}, units)) << "N above 10";
    EXPECT_FALSE(parseNalListPayload(Bytes{1, 0, 0, 0, 3, 0, 0, 0, 7, 7}, units))
        << "listed unit past the end";
    ASSERT_TRUE(parseNalListPayload(Bytes{1, 0, 0, 0, 2, 0, 0, 0, 7, 7}, units));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_TRUE(units[1].empty()) << "listed units that fill the payload leave an empty last unit";
    EXPECT_FALSE(parseNalListPayload(Bytes{1, 0, 0}, units)) << "short count";
}

// SPS, PPS and IDR with 4-byte start codes, then two single-slice pictures with 3-byte codes
// and trailing zeros: three access units.
TEST(AccessUnits, SplitsPicturesAndStripsPadding) {
    const Bytes stream = {
        0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x03, 0x01,  // SPS, escaped
        0x00, 0x00, 0x00, 0x01, 0x68, 0xCE,                          // PPS
        0x00, 0x00, 0x01, 0x65, 0x88, 0x84,                          // IDR, first_mb 0
        0x00, 0x00, 0x01, 0x41, 0x9A, 0x02, 0x00, 0x00,              // P slice + padding
        0x00, 0x00, 0x01, 0x41, 0x9B, 0x07,                          // P slice
    };
    const std::vector<AccessUnit> aus = splitAccessUnits(stream);
    ASSERT_EQ(aus.size(), 3u);
    ASSERT_EQ(aus[0].units.size(), 3u);
    EXPECT_TRUE(aus[0].key);
    EXPECT_FALSE(aus[1].key);
    EXPECT_EQ(toBytes(aus[0].units[0]), (Bytes{0x67, 0x42, 0x00, 0x00, 0x03, 0x01}));
    EXPECT_EQ(toBytes(aus[1].units[0]), (Bytes{0x41, 0x9A, 0x02}));
    EXPECT_EQ(aus[0].bytes.size(), 22u);
    // A zero before 00 00 01 is read as the zero_byte of a 4-byte start code.
    EXPECT_EQ(aus[1].bytes.size(), 7u);
    EXPECT_EQ(aus[2].bytes.size(), 7u);
    EXPECT_EQ(nalType(aus[2].units[0]), NAL_SLICE);
}

TEST(AccessUnits, SecondSliceOfAPictureStaysInIt) {
    const Bytes stream = {
        0x00, 0x00, 0x01, 0x65, 0x88, 0x01,  // IDR slice, first_mb_in_slice 0
        0x00, 0x00, 0x01, 0x65, 0x4C, 0x02,  // IDR slice, first_mb_in_slice 1 (bits 010)
        0x00, 0x00, 0x01, 0x41, 0x9A, 0x03,  // next picture
    };
    const std::vector<AccessUnit> aus = splitAccessUnits(stream);
    ASSERT_EQ(aus.size(), 2u);
    EXPECT_EQ(aus[0].units.size(), 2u);
}

TEST(Mpeg4Frames, HeadersTravelWithTheFollowingIntraVop) {
    const Bytes stream = {
        0x00, 0x00, 0x01, 0xB0, 0xF5,        // visual object sequence
        0x00, 0x00, 0x01, 0x20, 0x08, 0x01,  // video object layer
        0x00, 0x00, 0x01, 0xB6, 0x10, 0x20,  // I-VOP (coding type 00)
        0x00, 0x00, 0x01, 0xB6, 0x50, 0x00,  // P-VOP (01)
        0x00, 0x00, 0x01, 0xB3, 0x00,        // group of VOPs
        0x00, 0x00, 0x01, 0xB6, 0x12,        // I-VOP
    };
    const std::vector<Mpeg4Frame> frames = splitMpeg4Frames(stream);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].bytes.size(), 17u);
    EXPECT_TRUE(frames[0].key);
    EXPECT_EQ(frames[1].bytes.size(), 6u);
    EXPECT_FALSE(frames[1].key);
    EXPECT_EQ(frames[2].bytes.size(), 10u);
    EXPECT_TRUE(frames[2].key);
}

}  // namespace
}  // namespace trunvex::recording
