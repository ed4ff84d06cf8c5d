#include "codec/nal_repack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/reference_paths.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Repacker = std::uint32_t (*)(std::span<const std::uint8_t>, std::span<std::uint8_t>) noexcept;

struct Variant {
    const char* name;
    Repacker unit;
    Repacker list;
};
const Variant VARIANTS[] = {
    {"fast", &repackNalUnit, &repackNalListFrame},
    {"reference", &reference::repackNalUnit, &reference::repackNalListFrame},
};

std::size_t worstCase(std::size_t length) {
    return length == 0 ? 0 : 4 + length + (length >= 2 ? (length - 2) / 2 : 0);
}

// Runs `repack` into a buffer of exactly `capacity` bytes, so a write past it is a heap
// overflow the sanitizer build reports.
Bytes run(Repacker repack, const Bytes& input, std::size_t capacity) {
    Bytes out(capacity, 0xAA);
    const std::uint32_t n = repack(input, out);
    EXPECT_LE(n, capacity);
    out.resize(std::min<std::size_t>(n, capacity));
    return out;
}

Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

struct Case {
    const char* name;
    Bytes input;
    Bytes expected;
};

TEST(RepackNalUnit, WritesAnnexBUnits) {
    const Bytes sc = {0x00, 0x00, 0x00, 0x01};
    const Case cases[] = {
        {"one byte unit", {0x65}, concat({sc, {0x65}})},
        {"zero header byte is not escaped",
         {0x00, 0x00, 0x00, 0x01},
         concat({sc, {0x00, 0x00, 0x00, 0x03, 0x01}})},
        {"escape before third and fifth zero and before stored 03",
         {0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00},
         concat({sc,
                 {0x65, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01,  // 3rd, 5th zero
                  0x00, 0x00, 0x03, 0x03,                                // stored 03
                  0x00, 0x00}})},                                        // nothing appended
        {"04 or more after a pair is not escaped",
         {0x67, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02},
         concat({sc, {0x67, 0x00, 0x00, 0x04, 0x00, 0x00, 0x03, 0x02}})},
        {"pair split by a non-zero byte",
         {0x41, 0x00, 0x05, 0x00, 0x01},
         concat({sc, {0x41, 0x00, 0x05, 0x00, 0x01}})},
        {"pair at the end of a long run",
         concat({Bytes(40, 0x7F), {0x00, 0x00, 0x02}, Bytes(20, 0x11)}),
         concat({sc, Bytes(40, 0x7F), {0x00, 0x00, 0x03, 0x02}, Bytes(20, 0x11)})},
        {"empty unit yields nothing", {}, {}},
    };
    for (const Variant& v : VARIANTS) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(v.name) + ": " + c.name);
            EXPECT_EQ(run(v.unit, c.input, 64 + worstCase(c.input.size())), c.expected);
        }
    }
}

TEST(RepackNalUnit, NeedsRoomForTheWorstCase) {
    // An all-zero body reaches the bound exactly: 4 + L + (L - 2) / 2.
    for (const Variant& v : VARIANTS) {
        for (std::size_t length : {1U, 2U, 3U, 4U, 17U, 100U, 1001U}) {
            SCOPED_TRACE(std::string(v.name) + " length " + std::to_string(length));
            const Bytes zeros(length, 0x00);
            EXPECT_EQ(run(v.unit, zeros, worstCase(length)).size(), worstCase(length));
            Bytes out(worstCase(length) - 1, 0xAA);
            EXPECT_EQ(v.unit(zeros, out), 0U);
            EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 0xAA; }));
        }
    }
}

TEST(RepackNalListFrame, WritesEveryUnit) {
    const Bytes sc = {0x00, 0x00, 0x00, 0x01};
    const Case cases[] = {
        {"two listed units and a final one",
         concat({le32(2),
                 le32(3),
                 le32(2),  // N, L1, L2
                 {0x67, 0x42, 0x00},
                 {0x68, 0xCE},                      // listed units
                 {0x65, 0x88, 0x00, 0x00, 0x01}}),  // final unit
         concat({sc,
                 {0x67, 0x42, 0x00},  // no escape across units
                 sc,
                 {0x68, 0xCE},
                 sc,
                 {0x65, 0x88, 0x00, 0x00, 0x03, 0x01}})},
        {"no listed units", concat({le32(0), {0x65, 0x00, 0x00, 0x00, 0x01}}),
         concat({sc, {0x65, 0x00, 0x00, 0x03, 0x00, 0x01}})},
        {"listed unit of length 0 yields nothing",
         concat({le32(2), le32(0), le32(1), {0x09}, {0x65}}), concat({sc, {0x09}, sc, {0x65}})},
        {"listed units fill the payload: the empty final unit yields nothing",
         concat({le32(2), le32(1), le32(2), {0x67}, {0x68, 0xCE}}),
         concat({sc, {0x67}, sc, {0x68, 0xCE}})},
        {"ten listed units",
         concat({le32(10), le32(1), le32(1), le32(1), le32(1), le32(1), le32(1), le32(1), le32(1),
                 le32(1), le32(1), Bytes(11, 0x21)}),
         concat({sc, {0x21}, sc, {0x21}, sc, {0x21}, sc, {0x21}, sc, {0x21}, sc, {0x21},
                 sc, {0x21}, sc, {0x21}, sc, {0x21}, sc, {0x21}, sc, {0x21}})},
        // Malformed lists give nothing; the buffers are exactly sized, so an overread is
        // visible to the sanitizer build.
        {"eleven listed units", concat({le32(11), Bytes(44, 0x00), Bytes(11, 0x21)}), {}},
        {"huge count", concat({le32(0xFFFFFFFF), Bytes(40, 0x01)}), {}},
        {"shorter than the count", {0x00, 0x00, 0x00}, {}},
        {"count alone", le32(0), {}},
        {"table past the end", concat({le32(3), le32(1), le32(1), {0x01, 0x00}}), {}},
        {"lengths past the end", concat({le32(1), le32(6), {0x65, 0x01, 0x02}}), {}},
        {"lengths that would wrap", concat({le32(2), le32(0xFFFFFFFF), le32(2), {1, 2, 3}}), {}},
    };
    for (const Variant& v : VARIANTS) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(v.name) + ": " + c.name);
            EXPECT_EQ(run(v.list, c.input, c.input.size() * 2 + 64), c.expected);
        }
    }
}

TEST(RepackNalListFrame, NeedsRoomForEveryUnitsWorstCase) {
    const Bytes frame = concat({le32(1), le32(4), Bytes(4, 0x00), Bytes(6, 0x00)});
    const std::size_t worst = worstCase(4) + worstCase(6);
    for (const Variant& v : VARIANTS) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(run(v.list, frame, worst).size(), 4U + 5U + 4U + 8U);
        EXPECT_TRUE(run(v.list, frame, worst - 1).empty());
    }
}

// Random bytes where a zero is likely enough that pairs, triples and escapes are common.
Bytes zeroDense(std::mt19937& rng, std::size_t length, unsigned zeroPercent) {
    std::uniform_int_distribution<unsigned> percent(0, 99), small(1, 5), any(1, 255);
    Bytes b(length);
    for (auto& x : b) {
        const unsigned roll = percent(rng);
        x = static_cast<std::uint8_t>(roll < zeroPercent        ? 0
                                      : roll < zeroPercent + 15 ? small(rng)
                                                                : any(rng));
    }
    return b;
}

TEST(HoldsAnnexBUnit, NeedsAStartCodeWithAByteAfterIt) {
    const struct {
        const char* name;
        Bytes frame;
        bool holds;
    } cases[] = {
        {"empty", {}, false},
        {"a start code alone", {0, 0, 1}, false},
        {"a start code and a header byte", {0, 0, 1, 0x65}, true},
        {"a four-byte start code", {0, 0, 0, 1, 0x41}, true},
        {"a start code after other bytes", {7, 7, 7, 0, 0, 1, 9}, true},
        {"a start code ending the frame", {0x65, 0, 0, 1}, false},
        {"one zero before the 01", {0x41, 0, 1, 0, 1, 2}, false},
        {"an 01 at the very start", {1, 0, 0, 2}, false},
        {"a second 01 that is preceded by two zeros", {0, 1, 0, 0, 1, 0}, true},
        {"no 01 at all", Bytes(1000, 0), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(holdsAnnexBUnit(c.frame), c.holds);
    }
}

TEST(RepackNalUnit, FastMatchesReference) {
    std::mt19937 rng(20240611);
    for (unsigned zeroPercent : {0U, 5U, 30U, 60U, 95U}) {
        for (std::size_t length = 0; length <= 400; ++length) {
            const Bytes unit = zeroDense(rng, length, zeroPercent);
            SCOPED_TRACE("zeros " + std::to_string(zeroPercent) + "% length " +
                         std::to_string(length));
            const Bytes expected = run(&reference::repackNalUnit, unit, worstCase(length));
            ASSERT_EQ(run(&repackNalUnit, unit, worstCase(length)), expected);
            if (length != 0) {
                ASSERT_GE(expected.size(), length + 4);
            }
        }
    }
}

TEST(RepackNalListFrame, FastMatchesReference) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        const auto count = std::uniform_int_distribution<std::uint32_t>(0, 10)(rng);
        Bytes frame = le32(count);
        Bytes units;
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto length = std::uniform_int_distribution<std::uint32_t>(0, 60)(rng);
            frame = concat({frame, le32(length)});
            units = concat({units, zeroDense(rng, length, 40)});
        }
        const auto last = std::uniform_int_distribution<std::size_t>(0, 60)(rng);
        frame = concat({frame, units, zeroDense(rng, last, 40)});
        SCOPED_TRACE("round " + std::to_string(round));
        const Bytes expected = run(&reference::repackNalListFrame, frame, 2 * frame.size() + 64);
        ASSERT_EQ(run(&repackNalListFrame, frame, 2 * frame.size() + 64), expected);
        // Empty units yield nothing, so only a frame of empty units yields nothing at all.
        ASSERT_EQ(expected.empty(), units.empty() && last == 0);
    }
}

// Annex-B units of a real H.264 stream, each with its emulation prevention as the encoder
// wrote it; repacking the unescaped form must give the very same bytes back.
class RepackRealStream : public ::testing::Test {
protected:
    // The unit runs to the next 00 00 01; zeros before it belong to a 4-byte start code or
    // are trailing padding, as an Annex-B reader sees them.
    static std::vector<Bytes> splitAnnexB(const Bytes& stream) {
        std::vector<Bytes> found;
        std::size_t start = 0;
        bool inUnit = false;
        for (std::size_t i = 0; i + 3 <= stream.size(); ++i) {
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
                if (inUnit) {
                    found.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(start),
                                       stream.begin() + static_cast<std::ptrdiff_t>(i));
                }
                start = i + 3;
                inUnit = true;
                i += 2;
            }
        }
        if (inUnit) {
            found.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(start), stream.end());
        }
        for (Bytes& unit : found) {
            while (!unit.empty() && unit.back() == 0) {
                unit.pop_back();
            }
        }
        return found;
    }

    static Bytes unescape(const Bytes& unit) {
        Bytes raw;
        int zeros = 0;
        for (const std::uint8_t b : unit) {
            if (zeros >= 2 && b == 0x03) {
                zeros = 0;
                continue;
            }
            raw.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        return raw;
    }

    // Each test encodes its own file: CTest may run the tests of this fixture at once.
    void SetUp() override {
        if (test::findProgram("ffmpeg").empty()) {
            GTEST_SKIP() << "ffmpeg not found";
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const auto path = test::makeTempDir(info->name()) / "clip.h264";
        ASSERT_EQ(
            0, test::runCommand(
                   "ffmpeg -y -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v libx264 "
                   "-f h264 \"" +
                   path.string() + "\"")
                   .exitCode);
        units = splitAnnexB(test::readFile(path));
        ASSERT_GT(units.size(), 10U) << "ffmpeg made no usable H.264 stream";
    }

    std::vector<Bytes> units;
};

TEST_F(RepackRealStream, EachUnitComesBackAsEncoded) {
    std::size_t escaped = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        SCOPED_TRACE("unit " + std::to_string(i));
        const Bytes raw = unescape(units[i]);
        escaped += units[i].size() - raw.size();
        const Bytes expected = concat({{0x00, 0x00, 0x00, 0x01}, units[i]});
        for (const Variant& v : VARIANTS) {
            SCOPED_TRACE(v.name);
            ASSERT_EQ(run(v.unit, raw, worstCase(raw.size())), expected);
        }
    }
    EXPECT_GT(escaped, 0U) << "the stream exercised no emulation prevention";
}

TEST_F(RepackRealStream, KeyFrameListComesBackAsEncoded) {
    // The stream opens with its parameter sets, an SEI and the first IDR slice: list all
    // but the last unit and let the slice be the final one.
    const std::size_t count = std::min<std::size_t>(units.size(), 4);
    Bytes frame = le32(static_cast<std::uint32_t>(count - 1));
    Bytes bodies, expected;
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes raw = unescape(units[i]);
        if (i + 1 < count) {
            frame = concat({frame, le32(static_cast<std::uint32_t>(raw.size()))});
        }
        bodies = concat({bodies, raw});
        expected = concat({expected, {0x00, 0x00, 0x00, 0x01}, units[i]});
    }
    frame = concat({frame, bodies});
    for (const Variant& v : VARIANTS) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(run(v.list, frame, 2 * frame.size()), expected);
    }
}

}  // namespace
}  // namespace trunvex
