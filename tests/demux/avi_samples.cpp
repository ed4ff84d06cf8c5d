#include "avi_samples.h"

#include <cstring>
#include <map>

#include "avi/avi_layout.h"

namespace trunvex::testing {
namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
                                      (static_cast<std::uint32_t>(b[at + 3]) << 24));
}

bool idAt(const std::vector<std::uint8_t>& b, std::size_t at, const char* id) {
    return at + 4 <= b.size() && std::memcmp(b.data() + at, id, 4) == 0;
}

}  // namespace

std::vector<AviSample> listSamples(const std::vector<std::uint8_t>& avi) {
    std::vector<AviSample> samples;
    if (avi.size() < 12 || !idAt(avi, 0, "RIFF")) {
        return samples;
    }
    std::size_t moviStart = 0;
    std::size_t moviEnd = 0;
    std::size_t idx1 = 0;
    for (std::size_t at = 12; at + 8 <= avi.size();) {
        const std::uint32_t size = le32(avi, at + 4);
        if (idAt(avi, at, "LIST") && idAt(avi, at + 8, "movi")) {
            moviStart = at + 8;
            moviEnd = at + 8 + size;
        } else if (idAt(avi, at, "idx1")) {
            idx1 = at;
        }
        at += 8 + size + (size & 1u);
    }
    if (moviStart == 0 || moviEnd > avi.size()) {
        return samples;
    }
    std::map<std::size_t, std::size_t> sampleAtOffset;
    for (std::size_t at = moviStart + 4; at + 8 <= moviEnd;) {
        const std::uint32_t size = le32(avi, at + 4);
        const std::string id(reinterpret_cast<const char*>(avi.data() + at), 4);
        if (id[2] == 'd' || id[2] == 'w') {
            samples.push_back({id,
                               {avi.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                avi.begin() + static_cast<std::ptrdiff_t>(at + 8 + size)},
                               false});
            sampleAtOffset[at - moviStart] = samples.size() - 1;
        }
        at += 8 + size + (size & 1u);
    }
    if (idx1 != 0) {
        const std::uint32_t entries = le32(avi, idx1 + 4) / 16;
        for (std::uint32_t e = 0; e < entries; ++e) {
            const std::size_t entry = idx1 + 8 + 16 * std::size_t{e};
            const auto found = sampleAtOffset.find(le32(avi, entry + 8));
            if (found != sampleAtOffset.end()) {
                samples[found->second].key =
                    (le32(avi, entry + 4) & avi_layout::AVIIF_KEYFRAME) != 0;
            }
        }
    }
    return samples;
}

std::vector<AviSample> samplesOf(const std::vector<AviSample>& all, int stream) {
    const char digits[3] = {static_cast<char>('0' + stream / 10),
                            static_cast<char>('0' + stream % 10), 0};
    std::vector<AviSample> out;
    for (const AviSample& s : all) {
        if (s.id.compare(0, 2, digits) == 0) {
            out.push_back(s);
        }
    }
    return out;
}

}  // namespace trunvex::testing
