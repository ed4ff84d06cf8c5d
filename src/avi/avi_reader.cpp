#include "avi/avi_reader.h"

#include <algorithm>
#include <array>
#include <span>

#include "avi/avi_layout.h"
#include "avi/avi_structs.h"
#include "common/bytes.h"

namespace trunvex {
namespace {

using namespace avi_layout;
using Bytes = std::span<const std::uint8_t>;

// The writer's header list fits its 96 KiB reserve; a larger one is not read into memory.
constexpr std::uint32_t MAX_HDRL_BYTES = 1U << 20;
// hdrl, JUNK, movi and idx1 are all the first RIFF holds; a few more are tolerated.
constexpr int MAX_TOP_CHUNKS = 64;
constexpr int MAX_RIFFS = 4096;
constexpr std::uint32_t SUPER_ENTRY_BYTES = 16;

constexpr const char* NOT_AVI = "it is not a whole AVI file";
constexpr const char* SIZES_DO_NOT_ADD_UP = "its RIFF sizes do not add up to the file's size";
constexpr const char* HEADERS_BROKEN = "its header list does not parse";
constexpr const char* NO_MOVI = "it has no movi list";
constexpr const char* NO_INDEX = "it has no index";
constexpr const char* INDEX_OUTSIDE = "its index points outside the file";

std::uint32_t le32(Bytes b, std::size_t at) noexcept {
    return loadLe32(b.subspan(at).first<4>());
}

std::uint16_t le16(Bytes b, std::size_t at) noexcept {
    return loadLe16(b.subspan(at).first<2>());
}

std::uint64_t le64(Bytes b, std::size_t at) noexcept {
    return le32(b, at) | (std::uint64_t{le32(b, at + 4)} << 32);
}

std::uint64_t padded(std::uint32_t size) noexcept {
    return std::uint64_t{size} + (size & 1U);
}

// What a stream list says, in the shapes the writer describes streams with: only the fields
// a description needs are read.
struct StreamHeaders {
    AVISTREAMINFO info;      // from strh
    BITMAPINFOHEADER video;  // from strf, for a video stream
    WAVEFORMATEX audio;      // from strf, for an audio stream
    bool formatSeen = false;
    bool hasSuperIndex = false;
    std::uint32_t superEntries = 0;
    bool superIndexInside = true;
};

struct Layout {
    std::uint64_t hdrlAt = 0;
    std::uint32_t hdrlSize = 0;
    std::uint64_t moviAt = 0;
    std::uint32_t moviSize = 0;
    std::uint64_t idx1At = 0;
    std::uint32_t idx1Size = 0;
    bool hasIdx1 = false;
    int riffs = 1;
    std::uint32_t streamsDeclared = 0;
    std::vector<StreamHeaders> streams;
};

// Why the file cannot be read, or `fallback` when it simply ends too soon.
std::string readFault(const StoredBytes& file, const char* fallback) {
    const std::string reason = file.errorText();
    return reason.empty() ? std::string(fallback) : "it cannot be read: " + reason;
}

// The first RIFF's chunks: where hdrl, movi and idx1 lie.
std::string walkFirstRiff(StoredBytes& file, std::uint64_t riffEnd, Layout& layout) {
    std::uint64_t at = 12;
    for (int n = 0; at < riffEnd; ++n) {
        std::array<std::uint8_t, 12> head{};
        if (n == MAX_TOP_CHUNKS || at + 8 > riffEnd || !file.readAt(at, head)) {
            return n == MAX_TOP_CHUNKS ? NOT_AVI : readFault(file, SIZES_DO_NOT_ADD_UP);
        }
        const std::uint32_t id = le32(head, 0);
        const std::uint32_t size = le32(head, 4);
        const std::uint32_t type = id == FOURCC_LIST && size >= 4 ? le32(head, 8) : 0;
        if (type == FOURCC_HDRL) {
            layout.hdrlAt = at;
            layout.hdrlSize = size;
        } else if (type == FOURCC_MOVI) {
            layout.moviAt = at;
            layout.moviSize = size;
        } else if (id == FOURCC_IDX1) {
            layout.idx1At = at;
            layout.idx1Size = size;
            layout.hasIdx1 = true;
        }
        at += 8 + padded(size);
    }
    return at == riffEnd ? std::string() : std::string(SIZES_DO_NOT_ADD_UP);
}

// Every part after the first is an AVIX RIFF, and the last one ends where the file ends.
std::string walkFurtherRiffs(StoredBytes& file, std::uint64_t at, Layout& layout) {
    const std::uint64_t fileSize = file.size();
    while (at < fileSize) {
        std::array<std::uint8_t, 12> head{};
        if (layout.riffs == MAX_RIFFS || !file.readAt(at, head)) {
            return readFault(file, SIZES_DO_NOT_ADD_UP);
        }
        if (le32(head, 0) != FOURCC_RIFF || le32(head, 8) != FOURCC_AVIX) {
            return SIZES_DO_NOT_ADD_UP;
        }
        at += 8 + padded(le32(head, 4));
        ++layout.riffs;
    }
    return at == fileSize ? std::string() : std::string(SIZES_DO_NOT_ADD_UP);
}

void readStreamHeader(Bytes body, StreamHeaders& s) {
    s.info.fccType = le32(body, 0);
    s.info.dwScale = le32(body, 20);
    s.info.dwRate = le32(body, 24);
    s.info.dwLength = le32(body, 32);
    s.info.rcFrame.right = le16(body, 52);
    s.info.rcFrame.bottom = le16(body, 54);
}

void readStreamFormat(Bytes body, StreamHeaders& s) {
    if (s.info.fccType == FOURCC_VIDS && body.size() >= 20) {
        s.video.biCompression = le32(body, 16);
        s.formatSeen = true;
    } else if (s.info.fccType == FOURCC_AUDS && body.size() >= 16) {
        s.audio.nSamplesPerSec = le32(body, 4);
        s.audio.wBitsPerSample = le16(body, 14);
        s.formatSeen = true;
    }
}

void readSuperIndex(Bytes body, std::uint64_t fileSize, StreamHeaders& s) {
    if (body.size() < 24) {
        return;
    }
    s.hasSuperIndex = true;
    s.superEntries = le32(body, 4);
    if (s.superEntries > (body.size() - 24) / SUPER_ENTRY_BYTES) {
        s.superIndexInside = false;
        return;
    }
    for (std::uint32_t e = 0; e < s.superEntries; ++e) {
        const std::size_t at = 24 + std::size_t{e} * SUPER_ENTRY_BYTES;
        const std::uint64_t offset = le64(body, at);
        if (offset > fileSize || le32(body, at + 8) > fileSize - offset) {
            s.superIndexInside = false;
        }
    }
}

// Calls `each(id, body)` for the chunks of a list's body; false when one runs past its end.
template <typename Each>
bool forEachChunk(Bytes list, Each&& each) {
    std::size_t at = 0;
    while (at < list.size()) {
        if (list.size() - at < 8 || le32(list, at + 4) > list.size() - at - 8) {
            return false;
        }
        const std::uint32_t size = le32(list, at + 4);
        if (!each(le32(list, at), list.subspan(at + 8, size))) {
            return false;
        }
        at += 8 + std::min<std::size_t>(padded(size), list.size() - at - 8);
    }
    return true;
}

bool parseStreamList(Bytes strl, std::uint64_t fileSize, Layout& layout) {
    StreamHeaders s;
    bool headerSeen = false;
    const bool parsed = forEachChunk(strl, [&](std::uint32_t id, Bytes body) {
        if (id == FOURCC_STRH) {
            if (body.size() < STRH_BYTES) {
                return false;
            }
            readStreamHeader(body, s);
            headerSeen = true;
        } else if (id == FOURCC_STRF && headerSeen) {
            readStreamFormat(body, s);
        } else if (id == FOURCC_INDX) {
            readSuperIndex(body, fileSize, s);
        }
        return true;
    });
    if (!parsed || !headerSeen || !s.formatSeen) {
        return false;
    }
    layout.streams.push_back(s);
    return true;
}

bool parseHeaderList(Bytes hdrl, std::uint64_t fileSize, Layout& layout) {
    bool mainHeaderSeen = false;
    const bool parsed = forEachChunk(hdrl, [&](std::uint32_t id, Bytes body) {
        if (id == FOURCC_AVIH) {
            if (body.size() < AVIH_BYTES) {
                return false;
            }
            layout.streamsDeclared = le32(body, 24);
            mainHeaderSeen = true;
        } else if (id == FOURCC_LIST && body.size() >= 4 && le32(body, 0) == FOURCC_STRL) {
            return parseStreamList(body.subspan(4), fileSize, layout);
        }
        return true;
    });
    return parsed && mainHeaderSeen && layout.streamsDeclared == layout.streams.size();
}

std::string readHeaderList(StoredBytes& file, Layout& layout) {
    if (layout.hdrlSize < 4 || layout.hdrlSize > MAX_HDRL_BYTES) {
        return HEADERS_BROKEN;
    }
    std::vector<std::uint8_t> hdrl(layout.hdrlSize - 4);
    if (!file.readAt(layout.hdrlAt + 12, hdrl)) {
        return readFault(file, HEADERS_BROKEN);
    }
    return parseHeaderList(hdrl, file.size(), layout) ? std::string() : HEADERS_BROKEN;
}

// The legacy index's last entry must name a chunk inside the movi list.
std::string checkLegacyIndex(StoredBytes& file, const Layout& layout) {
    if (layout.idx1Size % LEGACY_ENTRY_BYTES != 0) {
        return INDEX_OUTSIDE;
    }
    if (layout.idx1Size == 0) {
        return std::string();
    }
    std::array<std::uint8_t, LEGACY_ENTRY_BYTES> last{};
    if (!file.readAt(layout.idx1At + 8 + layout.idx1Size - LEGACY_ENTRY_BYTES, last)) {
        return readFault(file, INDEX_OUTSIDE);
    }
    const std::uint64_t moviCode = layout.moviAt + 8;
    const std::uint64_t chunkEnd = moviCode + std::uint64_t{le32(last, 8)} + 8 + le32(last, 12);
    return chunkEnd <= moviCode + layout.moviSize ? std::string() : INDEX_OUTSIDE;
}

// An OpenDML file is indexed by each stream's super index: every entry must lie inside the
// file.
std::string checkSuperIndexes(const Layout& layout) {
    bool anyEntries = false;
    for (const StreamHeaders& s : layout.streams) {
        if (!s.hasSuperIndex) {
            return NO_INDEX;
        }
        if (!s.superIndexInside) {
            return INDEX_OUTSIDE;
        }
        anyEntries = anyEntries || s.superEntries > 0;
    }
    return anyEntries || layout.streams.empty() ? std::string() : NO_INDEX;
}

std::string checkIndexes(StoredBytes& file, const Layout& layout) {
    if (layout.hasIdx1) {
        const std::string legacy = checkLegacyIndex(file, layout);
        if (!legacy.empty() || layout.riffs == 1) {
            return legacy;
        }
    } else if (layout.riffs == 1) {
        return NO_INDEX;
    }
    return checkSuperIndexes(layout);
}

std::string videoCodec(std::uint32_t compression) {
    if (compression == fourCc("H264")) {
        return "h264";
    }
    if (compression == fourCc("XVID")) {
        return "mpeg4";
    }
    std::string code;
    for (int shift = 0; shift < 32; shift += 8) {
        code += static_cast<char>((compression >> shift) & 0xFFU);
    }
    return code;
}

// The stream number of a chunk id such as '01dc'; -1 when the id has no two digits.
int streamNumber(std::uint32_t id) noexcept {
    const auto tens = static_cast<int>(id & 0xFFU) - '0';
    const auto ones = static_cast<int>((id >> 8) & 0xFFU) - '0';
    return tens >= 0 && tens <= 9 && ones >= 0 && ones <= 9 ? tens * 10 + ones : -1;
}

struct SampleCounts {
    std::uint64_t frames = 0;
    std::uint64_t empty = 0;
};

// Frames and empty samples by stream, from the index of a file of one RIFF, which holds all
// its entries (at most a few MiB, read at once); none for an OpenDML file, whose index is
// spread over it.
std::vector<SampleCounts> countSamples(StoredBytes& file, const Layout& layout) {
    std::vector<std::uint8_t> entries;
    if (layout.riffs != 1 || !layout.hasIdx1) {
        return {};
    }
    entries.resize(layout.idx1Size);
    if (!file.readAt(layout.idx1At + 8, entries)) {
        return {};
    }
    std::vector<SampleCounts> counts(layout.streams.size());
    for (std::size_t at = 0; at + LEGACY_ENTRY_BYTES <= entries.size(); at += LEGACY_ENTRY_BYTES) {
        const int stream = streamNumber(le32(entries, at));
        if (stream >= 0 && static_cast<std::size_t>(stream) < counts.size()) {
            SampleCounts& c = counts[static_cast<std::size_t>(stream)];
            ++(le32(entries, at + 12) == 0 ? c.empty : c.frames);
        }
    }
    return counts;
}

AviDescription describe(StoredBytes& file, const Layout& layout) {
    AviDescription d;
    const std::vector<SampleCounts> counts = countSamples(file, layout);
    for (std::size_t n = 0; n < layout.streams.size(); ++n) {
        const AVISTREAMINFO& s = layout.streams[n].info;
        const std::uint32_t scale = std::max<std::uint32_t>(s.dwScale, 1);
        const double seconds = s.dwRate == 0 ? 0.0 : double(s.dwLength) * scale / s.dwRate;
        if (s.fccType == FOURCC_VIDS) {
            AviDescription::Video& v = d.video.emplace_back();
            v = {videoCodec(layout.streams[n].video.biCompression),
                 static_cast<std::uint32_t>(s.rcFrame.right),
                 static_cast<std::uint32_t>(s.rcFrame.bottom),
                 (s.dwRate + scale / 2) / scale,
                 s.dwLength,
                 std::nullopt,
                 std::nullopt};
            if (!counts.empty()) {
                v.frames = counts[n].frames;
                v.emptySamples = counts[n].empty;
            }
            d.videoSeconds = std::max(d.videoSeconds, seconds);
        } else if (s.fccType == FOURCC_AUDS && !d.audio) {
            const WAVEFORMATEX& a = layout.streams[n].audio;
            d.audio = AviDescription::Audio{a.nSamplesPerSec, a.wBitsPerSample, s.dwLength};
            d.audioSeconds = seconds;
        }
    }
    return d;
}

std::string checkStructure(StoredBytes& file, Layout& layout) {
    std::array<std::uint8_t, 12> head{};
    if (!file.readAt(0, head)) {
        return readFault(file, NOT_AVI);
    }
    if (le32(head, 0) != FOURCC_RIFF || le32(head, 8) != FOURCC_AVI) {
        return NOT_AVI;
    }
    const std::uint64_t riffEnd = 8 + padded(le32(head, 4));
    if (riffEnd > file.size()) {
        return SIZES_DO_NOT_ADD_UP;
    }
    std::string fault = walkFirstRiff(file, riffEnd, layout);
    if (fault.empty()) {
        fault = walkFurtherRiffs(file, riffEnd, layout);
    }
    if (fault.empty() && layout.hdrlSize == 0) {
        fault = HEADERS_BROKEN;
    }
    if (fault.empty()) {
        fault = readHeaderList(file, layout);
    }
    if (fault.empty() && layout.moviSize < 4) {
        fault = NO_MOVI;
    }
    return fault.empty() ? checkIndexes(file, layout) : fault;
}

}  // namespace

AviStructure readAviStructure(StoredBytes& file) {
    AviStructure result;
    Layout layout;
    result.fault = checkStructure(file, layout);
    if (result.whole()) {
        result.description = describe(file, layout);
    }
    return result;
}

}  // namespace trunvex
