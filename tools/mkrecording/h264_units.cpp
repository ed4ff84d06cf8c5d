#include "mkrecording/h264_units.h"

#include <cstddef>

#include "common/bytes.h"
#include "common/codes.h"

namespace trunvex::recording {

namespace {

bool isVcl(std::uint8_t type) {
    return type >= NAL_SLICE && type <= NAL_IDR;
}

// first_mb_in_slice is the first ue(v) after the header byte; it is 0 exactly when its first
// bit is 1. An escape byte cannot sit there: it needs two zeros in front.
bool startsPicture(ByteView unit) {
    return unit.size() > 1 && (unit[1] & 0x80) != 0;
}

bool startsNewAccessUnit(ByteView unit, bool haveSlice) {
    if (!haveSlice) {
        return false;
    }
    const std::uint8_t type = nalType(unit);
    if (type == NAL_AUD || type == NAL_SPS || type == NAL_PPS || type == NAL_SEI) {
        return true;
    }
    return isVcl(type) && startsPicture(unit);
}

void appendLe32(Bytes& out, std::uint32_t v) {
    std::uint8_t b[4];
    storeLe32(std::span<std::uint8_t, 4>(b), v);
    out.insert(out.end(), b, b + 4);
}

}  // namespace

std::uint8_t nalType(ByteView unit) {
    return unit.empty() ? 0 : static_cast<std::uint8_t>(unit[0] & 0x1F);
}

std::vector<ByteView> splitAnnexB(ByteView stream) {
    std::vector<ByteView> units;
    const std::size_t n = stream.size();
    std::size_t unitStart = 0;
    bool inUnit = false;
    std::size_t i = 0;
    while (i + 3 <= n) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (inUnit) {
                std::size_t end = i;
                while (end > unitStart && stream[end - 1] == 0) {
                    --end;  // zero_byte of a 4-byte start code, or trailing_zero_8bits
                }
                units.push_back(stream.subspan(unitStart, end - unitStart));
            }
            i += 3;
            unitStart = i;
            inUnit = true;
            continue;
        }
        ++i;
    }
    if (inUnit) {
        std::size_t end = n;
        while (end > unitStart && stream[end - 1] == 0) {
            --end;
        }
        units.push_back(stream.subspan(unitStart, end - unitStart));
    }
    return units;
}

std::vector<AccessUnit> splitAccessUnits(ByteView stream) {
    std::vector<AccessUnit> aus;
    const std::vector<ByteView> units = splitAnnexB(stream);
    const std::uint8_t* const base = stream.data();
    // An access unit's bytes run from the start code of its first unit to the start code of
    // the next access unit's first unit.
    auto startCodeOf = [&](ByteView unit) {
        std::size_t pos = static_cast<std::size_t>(unit.data() - base) - 3;
        if (pos > 0 && base[pos - 1] == 0) {
            --pos;
        }
        return pos;
    };
    std::vector<std::size_t> starts;
    bool haveSlice = false;
    for (const ByteView unit : units) {
        if (aus.empty() || startsNewAccessUnit(unit, haveSlice)) {
            aus.emplace_back();
            starts.push_back(startCodeOf(unit));
            haveSlice = false;
        }
        aus.back().units.push_back(unit);
        haveSlice = haveSlice || isVcl(nalType(unit));
        aus.back().key = aus.back().key || nalType(unit) == NAL_IDR;
    }
    for (std::size_t k = 0; k < aus.size(); ++k) {
        const std::size_t end = k + 1 < aus.size() ? starts[k + 1] : stream.size();
        aus[k].bytes = stream.subspan(starts[k], end - starts[k]);
    }
    return aus;
}

Bytes removeEmulationPrevention(ByteView escaped) {
    Bytes out;
    out.reserve(escaped.size());
    int zeros = 0;
    for (const std::uint8_t b : escaped) {
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

void appendRepackedUnit(ByteView bare, Bytes& out) {
    if (bare.empty()) {
        return;
    }
    out.insert(out.end(), {0x00, 0x00, 0x00, 0x01, bare[0]});
    int zeros = 0;
    for (const std::uint8_t b : bare.subspan(1)) {
        if (zeros == 2 && b <= 0x03) {
            out.push_back(0x03);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
}

Bytes nalListPayload(const std::vector<Bytes>& bareUnits) {
    Bytes out;
    if (bareUnits.empty()) {
        return out;
    }
    const auto listed = static_cast<std::uint32_t>(bareUnits.size() - 1);
    appendLe32(out, listed);
    for (std::uint32_t i = 0; i < listed; ++i) {
        appendLe32(out, static_cast<std::uint32_t>(bareUnits[i].size()));
    }
    for (const Bytes& unit : bareUnits) {
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

bool parseNalListPayload(ByteView payload, std::vector<ByteView>& units) {
    units.clear();
    if (payload.size() < 4) {
        return false;
    }
    const std::uint32_t count = loadLe32(payload.first<4>());
    if (count > MAX_LISTED_NALS || payload.size() - 4 < 4 * std::size_t{count}) {
        return false;
    }
    std::size_t pos = 4 + 4 * std::size_t{count};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t length = loadLe32(payload.subspan(4 + 4 * std::size_t{i}).first<4>());
        if (payload.size() - pos < length) {
            return false;
        }
        units.push_back(payload.subspan(pos, length));
        pos += length;
    }
    units.push_back(payload.subspan(pos));  // empty when the listed units fill the payload
    return true;
}

}  // namespace trunvex::recording
