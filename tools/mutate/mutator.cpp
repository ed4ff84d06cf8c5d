#include "mutate/mutator.h"

#include <array>
#include <random>

namespace trunvex::mutate {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Lengths at and around every limit a header length meets: 0, the 16 bytes never examined,
// the read chunk, the frame buffer (500000), and the ends of the 32-bit range.
constexpr std::array<std::uint32_t, 20> EXTREME_U32 = {
    0,      1,      2,      3,      15,         16,         17,         65535,      65536, 65537,
    499999, 500000, 500001, 999999, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 4,     12};
// Audio lengths around the decoders' input limits and the 16-bit end.
constexpr std::array<std::uint16_t, 16> EXTREME_U16 = {
    0, 1, 2, 3, 1027, 1028, 1029, 2047, 2048, 2049, 16000, 32767, 32768, 65534, 65535, 4};
// Header byte values around the width, height, rate-code and encoding limits.
constexpr std::array<std::uint8_t, 20> EXTREME_U8 = {0,  1,  2,  7,  9,  10, 11, 12,  13,  14,
                                                     15, 31, 32, 72, 73, 90, 91, 127, 128, 255};

class Mutator {
public:
    Mutator(Bytes data, std::uint64_t seed) : bytes(std::move(data)), random(seed) {}

    Mutant run() {
        const int operations = 1 + static_cast<int>(below(4));
        for (int i = 0; i < operations; ++i) {
            applyOne();
        }
        return {std::move(bytes), std::move(description)};
    }

private:
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : random() % n; }

    // A position in [0, size]; a quarter of them land next to a read-chunk boundary, where
    // the demultiplexer carries bytes from one chunk to the next.
    std::size_t position() {
        if (bytes.size() > 65536 && below(4) == 0) {
            const std::size_t boundary = 65536 * (1 + below(bytes.size() / 65536));
            const std::size_t near = boundary - 20 + below(40);
            return near <= bytes.size() ? near : bytes.size();
        }
        return below(bytes.size() + 1);
    }

    // The offsets of every 00 00 01 Fx in the file.
    std::vector<std::size_t> startCodes() const {
        std::vector<std::size_t> found;
        for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
            if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 &&
                (bytes[i + 3] & 0xF0) == 0xF0) {
                found.push_back(i);
            }
        }
        return found;
    }

    void note(const std::string& text) { description += (description.empty() ? "" : "; ") + text; }

    void put(std::size_t at, std::uint64_t value, int width) {
        for (int b = 0; b < width && at + static_cast<std::size_t>(b) < bytes.size(); ++b) {
            bytes[at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(value >> (8 * b));
        }
    }

    Bytes randomBytes(std::size_t n) {
        Bytes out(n);
        for (std::uint8_t& b : out) {
            b = static_cast<std::uint8_t>(random());
        }
        return out;
    }

    void applyOne() {
        switch (below(10)) {
            case 0:
                return flipBits();
            case 1:
                return truncate();
            case 2:
                return insertSpan();
            case 3:
                return deleteSpan();
            case 4:
                return duplicateRegion();
            case 5:
            case 6:
                return extremeLength();
            case 7:
                return headerField();
            case 8:
                return spliceStartCode();
            default:
                return retypeStartCode();
        }
    }

    void flipBits() {
        const std::uint64_t flips = 1 + below(16);
        for (std::uint64_t i = 0; i < flips && !bytes.empty(); ++i) {
            bytes[below(bytes.size())] ^= static_cast<std::uint8_t>(1u << below(8));
        }
        note("flip " + std::to_string(flips) + " bits");
    }

    void truncate() {
        const std::size_t keep = below(4) == 0 ? bytes.size() - below(64) : position();
        bytes.resize(std::min(keep, bytes.size()));
        note("truncate to " + std::to_string(bytes.size()));
    }

    void insertSpan() {
        const std::size_t at = position();
        const std::size_t n = 1 + below(below(2) == 0 ? 16 : 70000);
        const Bytes span = below(2) == 0 ? randomBytes(n) : Bytes(n, below(2) == 0 ? 0x00 : 0xFF);
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), span.begin(), span.end());
        note("insert " + std::to_string(n) + " @" + std::to_string(at));
    }

    void deleteSpan() {
        const std::size_t at = position();
        const std::size_t n =
            std::min<std::size_t>(1 + below(below(2) == 0 ? 16 : 70000), bytes.size() - at);
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        note("delete " + std::to_string(n) + " @" + std::to_string(at));
    }

    void duplicateRegion() {
        const std::size_t from = position();
        const std::size_t n = std::min<std::size_t>(1 + below(200000), bytes.size() - from);
        const Bytes region(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                           bytes.begin() + static_cast<std::ptrdiff_t>(from + n));
        const std::size_t to = position();
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(to), region.begin(), region.end());
        note("duplicate " + std::to_string(n) + " @" + std::to_string(from) + " to @" +
             std::to_string(to));
    }

    // The length field of a real header, set to a limit value (or a random one).
    void extremeLength() {
        const std::vector<std::size_t> codes = startCodes();
        if (codes.empty()) {
            return spliceStartCode();
        }
        const std::size_t at = codes[below(codes.size())];
        const std::uint8_t kind = bytes[at + 3];
        if (kind == 0xF0) {
            const std::uint16_t value = below(5) == 0 ? static_cast<std::uint16_t>(random())
                                                      : EXTREME_U16[below(EXTREME_U16.size())];
            put(at + 6, value, 2);
            note("audio length " + std::to_string(value) + " @" + std::to_string(at));
            return;
        }
        const std::uint32_t value = below(5) == 0 ? static_cast<std::uint32_t>(random())
                                                  : EXTREME_U32[below(EXTREME_U32.size())];
        const bool shortHeader = kind == 0xFC || kind == 0xFA;
        put(at + (shortHeader ? 4 : 12), value, 4);
        note("length " + std::to_string(value) + " @" + std::to_string(at));
    }

    // One byte of a real header (layout, rate, width, height, encoding, rate code, the zero
    // bytes) set to a limit value.
    void headerField() {
        const std::vector<std::size_t> codes = startCodes();
        if (codes.empty()) {
            return flipBits();
        }
        const std::size_t at = codes[below(codes.size())] + 4 + below(8);
        const std::uint8_t value = EXTREME_U8[below(EXTREME_U8.size())];
        put(at, value, 1);
        note("header byte @" + std::to_string(at) + " = " + std::to_string(value));
    }

    // A start code and header where none was: random, or plausible with an extreme length,
    // or a real header copied from elsewhere in the file.
    void spliceStartCode() {
        const std::size_t at = position();
        Bytes header = {0, 0, 1, static_cast<std::uint8_t>(0xF0 | below(16))};
        const std::vector<std::size_t> codes =
            below(3) == 0 ? startCodes() : std::vector<std::size_t>{};
        if (!codes.empty()) {
            const std::size_t from = codes[below(codes.size())];
            header.assign(
                bytes.begin() + static_cast<std::ptrdiff_t>(from),
                bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from + 16, bytes.size())));
        } else if (below(2) == 0) {
            const Bytes tail = randomBytes(below(2) == 0 ? 4 : 12);
            header.insert(header.end(), tail.begin(), tail.end());
        } else {
            const std::uint8_t kinds[] = {0xFD, 0xFB, 0xFC, 0xFA, 0xF0, 0xF1};
            header[3] = kinds[below(6)];
            const std::uint32_t length = EXTREME_U32[below(EXTREME_U32.size())];
            if (header[3] == 0xF0) {
                header.insert(header.end(), {EXTREME_U8[below(EXTREME_U8.size())],
                                             static_cast<std::uint8_t>(below(11)), 0, 0});
                header[6] = static_cast<std::uint8_t>(length);
                header[7] = static_cast<std::uint8_t>(length >> 8);
            } else if (header[3] == 0xFC || header[3] == 0xFA) {
                header.insert(header.end(), 4, 0);
                for (int b = 0; b < 4; ++b) {
                    header[4 + static_cast<std::size_t>(b)] =
                        static_cast<std::uint8_t>(length >> (8 * b));
                }
            } else {
                header.insert(header.end(),
                              {static_cast<std::uint8_t>(below(3)), 25,
                               static_cast<std::uint8_t>(1 + below(90)),
                               static_cast<std::uint8_t>(1 + below(72)), 0, 0, 0, 0, 0, 0, 0, 0});
                for (int b = 0; b < 4; ++b) {
                    header[12 + static_cast<std::size_t>(b)] =
                        static_cast<std::uint8_t>(length >> (8 * b));
                }
            }
        }
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), header.begin(), header.end());
        note("splice " + std::to_string(header.size()) + "-byte header " +
             std::to_string(header[3]) + " @" + std::to_string(at));
    }

    // A real start code turned into another kind, so its header is read with the wrong shape.
    void retypeStartCode() {
        const std::vector<std::size_t> codes = startCodes();
        if (codes.empty()) {
            return spliceStartCode();
        }
        const std::size_t at = codes[below(codes.size())];
        bytes[at + 3] = static_cast<std::uint8_t>(0xF0 | below(16));
        note("retype @" + std::to_string(at) + " to " + std::to_string(bytes[at + 3]));
    }

    Bytes bytes;
    std::mt19937_64 random;
    std::string description;
};

}  // namespace

Mutant mutateRecording(const std::vector<std::uint8_t>& base, std::uint64_t seed) {
    return Mutator(base, seed).run();
}

}  // namespace trunvex::mutate
