#include "support/riff_walker.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "avi/avi_layout.h"
#include "common/bytes.h"

namespace trunvex {

using namespace avi_layout;

bool MemoryRiffSource::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset > bytes.size() || bytes.size() - offset < out.size()) {
        return false;
    }
    std::memcpy(out.data(), bytes.data() + offset, out.size());
    return true;
}

FileRiffSource::FileRiffSource(const std::string& path) : file(std::fopen(path.c_str(), "rb")) {
    if (file != nullptr && std::fseek(file, 0, SEEK_END) == 0) {
        length = static_cast<std::uint64_t>(ftello(file));
    }
}

FileRiffSource::~FileRiffSource() {
    if (file != nullptr) {
        std::fclose(file);
    }
}

bool FileRiffSource::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (file == nullptr || offset > length || length - offset < out.size()) {
        return false;
    }
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(out.data(), 1, out.size(), file) == out.size();
}

std::vector<AviIndexedChunk> AviCheck::indexOf(std::uint32_t stream) const {
    std::vector<AviIndexedChunk> found;
    for (const AviIndexedChunk& c : standardIndex.empty() ? legacyIndex : standardIndex) {
        if (c.stream == stream) {
            found.push_back(c);
        }
    }
    return found;
}

namespace {

inline constexpr int MAX_DEPTH = 8;

std::uint64_t loadLe64(std::span<const std::uint8_t, 8> b) {
    return loadLe32(b.first<4>()) | (std::uint64_t{loadLe32(b.last<4>())} << 32);
}
inline constexpr std::uint32_t MAX_HEADER_CHUNK = 1U << 20;
// A standard index covers what its RIFF holds: up to a million or so entries of 8 bytes.
inline constexpr std::uint32_t MAX_INDEX_CHUNK = 1U << 25;

std::string hex(std::uint64_t v) {
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%llx", static_cast<unsigned long long>(v));
    return text.data();
}

std::string codeText(std::uint32_t id) {
    std::string s(4, '?');
    for (std::size_t i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((id >> (8 * i)) & 0xFF);
        s[i] = (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

bool isDigit(std::uint32_t c) {
    return c >= '0' && c <= '9';
}

// The stream number of '##xx' or 'ix##', or -1.
int streamOf(std::uint32_t id, bool indexChunk) {
    const std::uint32_t a = indexChunk ? (id >> 16) & 0xFF : id & 0xFF;
    const std::uint32_t b = indexChunk ? id >> 24 : (id >> 8) & 0xFF;
    if (!isDigit(a) || !isDigit(b)) {
        return -1;
    }
    return static_cast<int>((a - '0') * 10 + (b - '0'));
}

bool isIndexChunk(std::uint32_t id) {
    return (id & 0xFFFF) == ('i' | ('x' << 8)) && streamOf(id, true) >= 0;
}

class Walker {
public:
    Walker(const RiffSource& s, AviCheck& r) : source(s), result(r) {}

    bool run() {
        return walk(0, source.size(), 0) && headers() && legacyIndex() && standardIndexes();
    }

private:
    bool fail(const std::string& why) {
        if (result.error.empty()) {
            result.error = why;
        }
        return false;
    }

    bool readBytes(std::uint64_t at, std::uint32_t n, std::vector<std::uint8_t>& out,
                   std::uint32_t most = MAX_HEADER_CHUNK) {
        if (n > most) {
            return fail("header chunk too large at " + hex(at));
        }
        out.resize(n);
        return source.read(at, out) || fail("cannot read " + hex(at));
    }

    bool walk(std::uint64_t begin, std::uint64_t end, int depth) {
        if (depth > MAX_DEPTH) {
            return fail("lists nested too deep at " + hex(begin));
        }
        std::uint64_t pos = begin;
        while (pos < end) {
            std::array<std::uint8_t, 12> head{};
            if (end - pos < 8 || !source.read(pos, std::span(head).first(8))) {
                return fail("truncated chunk header at " + hex(pos));
            }
            RiffChunkInfo info{loadLe32(std::span(head).subspan<0, 4>()), 0, pos,
                               loadLe32(std::span(head).subspan<4, 4>()), depth};
            if (info.size > end - pos - 8) {
                return fail(codeText(info.id) + " at " + hex(pos) + " overruns its parent");
            }
            const bool list = info.id == FOURCC_RIFF || info.id == FOURCC_LIST;
            if (depth == 0 && info.id != FOURCC_RIFF) {
                return fail("top-level chunk is not RIFF at " + hex(pos));
            }
            if (list) {
                if (info.size < 4 || !source.read(pos + 8, std::span(head).subspan(8, 4))) {
                    return fail("list without type at " + hex(pos));
                }
                info.listType = loadLe32(std::span(head).subspan<8, 4>());
            }
            if (!noteChunk(info)) {
                return false;
            }
            if (list && !walk(pos + 12, pos + 8 + info.size, depth + 1)) {
                return false;
            }
            const std::uint64_t next = pos + 8 + info.size + (info.size & 1U);
            if (next > end) {
                return fail("pad byte missing after " + codeText(info.id) + " at " + hex(pos));
            }
            pos = next;
        }
        return true;
    }

    bool noteChunk(const RiffChunkInfo& info) {
        result.chunks.push_back(info);
        if (info.depth == 0) {
            const std::uint32_t expected = result.riffCount == 0 ? FOURCC_AVI : FOURCC_AVIX;
            if (info.listType != expected) {
                return fail("RIFF " + std::to_string(result.riffCount) + " has type " +
                            codeText(info.listType));
            }
            ++result.riffCount;
        }
        if (info.depth == 1) {
            lastListIsMovi = info.id == FOURCC_LIST && info.listType == FOURCC_MOVI;
        }
        if (lastListIsMovi && info.depth == 1) {
            moviBases.push_back(info.offset + 8);
        }
        if (info.depth == 2 && parentIsMovi() && info.id != FOURCC_JUNK && !isIndexChunk(info.id)) {
            const int stream = streamOf(info.id, false);
            if (stream < 0) {
                return fail("unknown chunk " + codeText(info.id) + " in movi at " +
                            hex(info.offset));
            }
            result.dataChunks.push_back(
                {static_cast<std::uint32_t>(stream), info.offset, info.size, false});
            riffOfData.push_back(result.riffCount - 1);
        }
        return true;
    }

    // The last list at depth 1 is the parent of the chunks at depth 2 that follow it.
    bool parentIsMovi() const { return lastListIsMovi; }

    const RiffChunkInfo* chunkAt(std::uint64_t offset) const {
        const auto it = std::lower_bound(
            result.chunks.begin(), result.chunks.end(), offset,
            [](const RiffChunkInfo& c, std::uint64_t at) { return c.offset < at; });
        return it != result.chunks.end() && it->offset == offset ? &*it : nullptr;
    }

    bool headers();
    bool streamList(std::size_t at);
    bool legacyIndex();
    bool standardIndexes();
    bool resolve(std::uint64_t header, std::uint32_t stream, std::uint32_t size, bool key,
                 std::vector<AviIndexedChunk>& into);

    const RiffSource& source;
    AviCheck& result;
    std::vector<std::uint64_t> moviBases;  // the 'movi' code of each RIFF's list
    bool lastListIsMovi = false;
    std::vector<std::uint32_t> riffOfData;
};

bool Walker::headers() {
    const auto& c = result.chunks;
    if (c.size() < 3 || c[1].id != FOURCC_LIST || c[1].listType != FOURCC_HDRL) {
        return fail("the first RIFF does not begin with hdrl");
    }
    if (!readBytes(c[1].offset, c[1].size + 8, result.hdrl)) {
        return false;
    }
    if (c[2].id != FOURCC_AVIH || c[2].size != AVIH_BYTES ||
        !readBytes(c[2].offset + 8, AVIH_BYTES, result.avih)) {
        return fail("hdrl does not begin with a 56-byte avih");
    }
    for (std::size_t i = 3; i < c.size() && c[i].depth >= 2; ++i) {
        if (c[i].depth == 2 && c[i].id == FOURCC_LIST && c[i].listType == FOURCC_STRL &&
            !streamList(i)) {
            return false;
        }
        if (c[i].depth == 3 && c[i].id == FOURCC_DMLH) {
            std::vector<std::uint8_t> dmlh;
            if (c[i].size < 4 || !readBytes(c[i].offset + 8, 4, dmlh)) {
                return fail("short dmlh");
            }
            result.odmlTotalFrames = loadLe32(std::span<const std::uint8_t>(dmlh).first<4>());
        }
    }
    const std::uint32_t declared =
        loadLe32(std::span<const std::uint8_t>(result.avih).subspan<24, 4>());
    if (declared != result.streams.size()) {
        return fail("avih declares " + std::to_string(declared) + " streams, hdrl has " +
                    std::to_string(result.streams.size()));
    }
    for (const AviIndexedChunk& d : result.dataChunks) {
        if (d.stream >= result.streams.size()) {
            return fail("data chunk of stream " + std::to_string(d.stream) + " at " +
                        hex(d.offset));
        }
    }
    if (moviBases.size() != result.riffCount) {
        return fail("a RIFF without one movi list");
    }
    return true;
}

bool Walker::streamList(std::size_t at) {
    const auto& c = result.chunks;
    AviStreamHeaders stream;
    for (std::size_t i = at + 1; i < c.size() && c[i].depth > c[at].depth; ++i) {
        const std::uint64_t body = c[i].offset + 8;
        const bool read = c[i].id == FOURCC_STRH   ? readBytes(body, c[i].size, stream.strh)
                          : c[i].id == FOURCC_STRF ? readBytes(body, c[i].size, stream.strf)
                          : c[i].id == FOURCC_INDX ? readBytes(body, c[i].size, stream.indx)
                                                   : true;
        if (!read) {
            return false;
        }
    }
    if (stream.strh.size() != STRH_BYTES || stream.strf.empty()) {
        return fail("strl " + std::to_string(result.streams.size()) + " lacks strh or strf");
    }
    result.streams.push_back(std::move(stream));
    return true;
}

bool Walker::resolve(std::uint64_t header, std::uint32_t stream, std::uint32_t size, bool key,
                     std::vector<AviIndexedChunk>& into) {
    const RiffChunkInfo* chunk = chunkAt(header);
    if (chunk == nullptr || chunk->depth != 2 ||
        streamOf(chunk->id, false) != static_cast<int>(stream) || isIndexChunk(chunk->id)) {
        return fail("index entry of stream " + std::to_string(stream) + " names no chunk at " +
                    hex(header));
    }
    if (chunk->size != size) {
        return fail("index size " + std::to_string(size) + " for chunk of " +
                    std::to_string(chunk->size) + " at " + hex(header));
    }
    into.push_back({stream, header, size, key});
    return true;
}

bool Walker::legacyIndex() {
    const auto& c = result.chunks;
    const auto idx1 = std::find_if(c.begin(), c.end(), [](const RiffChunkInfo& x) {
        return x.depth == 1 && x.id == FOURCC_IDX1;
    });
    if (idx1 == c.end()) {
        return fail("no idx1");
    }
    if (idx1->size % LEGACY_ENTRY_BYTES != 0) {
        return fail("idx1 size is not a multiple of 16");
    }
    std::vector<std::uint8_t> entries(idx1->size);
    if (!source.read(idx1->offset + 8, entries)) {
        return fail("cannot read idx1");
    }
    const std::span<const std::uint8_t> all(entries);
    for (std::size_t at = 0; at < all.size(); at += LEGACY_ENTRY_BYTES) {
        const auto e = all.subspan(at).first<LEGACY_ENTRY_BYTES>();
        const int stream = streamOf(loadLe32(e.subspan<0, 4>()), false);
        if (stream < 0 ||
            !resolve(moviBases[0] + loadLe32(e.subspan<8, 4>()), static_cast<std::uint32_t>(stream),
                     loadLe32(e.subspan<12, 4>()),
                     (loadLe32(e.subspan<4, 4>()) & AVIIF_KEYFRAME) != 0, result.legacyIndex)) {
            return fail("bad idx1 entry " + std::to_string(at / LEGACY_ENTRY_BYTES));
        }
    }
    std::size_t firstRiffData = 0;
    while (firstRiffData < riffOfData.size() && riffOfData[firstRiffData] == 0) {
        ++firstRiffData;
    }
    if (result.legacyIndex.size() != firstRiffData) {
        return fail("idx1 has " + std::to_string(result.legacyIndex.size()) + " entries for " +
                    std::to_string(firstRiffData) + " chunks");
    }
    for (std::size_t i = 0; i < firstRiffData; ++i) {
        if (result.legacyIndex[i].offset != result.dataChunks[i].offset) {
            return fail("idx1 entry " + std::to_string(i) + " out of file order");
        }
    }
    return true;
}

bool Walker::standardIndexes() {
    std::size_t referenced = 0;
    for (std::uint32_t s = 0; s < result.streams.size(); ++s) {
        const std::span<const std::uint8_t> indx(result.streams[s].indx);
        if (indx.empty()) {
            if (result.riffCount > 1) {
                return fail("stream " + std::to_string(s) + " has no indx in a multi-RIFF file");
            }
            continue;
        }
        if (indx.size() < 24 || loadLe16(indx.first<2>()) != 4 || indx[3] != INDEX_OF_INDEXES) {
            return fail("bad indx header of stream " + std::to_string(s));
        }
        const std::uint32_t used = loadLe32(indx.subspan<4, 4>());
        if (used > (indx.size() - 24) / 16) {
            return fail("indx of stream " + std::to_string(s) + " overflows");
        }
        const std::size_t before = result.standardIndex.size();
        for (std::uint32_t e = 0; e < used; ++e) {
            const auto entry = indx.subspan(24 + 16 * std::size_t{e}).first<16>();
            const std::uint64_t at = loadLe64(entry.first<8>());
            const RiffChunkInfo* ix = chunkAt(at);
            if (ix == nullptr || !isIndexChunk(ix->id) ||
                streamOf(ix->id, true) != static_cast<int>(s) ||
                ix->size + 8 != loadLe32(entry.subspan<8, 4>())) {
                return fail("indx entry " + std::to_string(e) + " of stream " + std::to_string(s) +
                            " names no ix chunk");
            }
            std::vector<std::uint8_t> body;
            if (ix->size < 24 || !readBytes(at + 8, ix->size, body, MAX_INDEX_CHUNK)) {
                return fail("short ix chunk at " + hex(at));
            }
            const std::span<const std::uint8_t> b(body);
            const std::uint32_t n = loadLe32(b.subspan<4, 4>());
            if (loadLe16(b.first<2>()) != 2 || b[3] != INDEX_OF_CHUNKS || n > (b.size() - 24) / 8) {
                return fail("bad ix header at " + hex(at));
            }
            const std::uint64_t base = loadLe64(b.subspan<12, 8>());
            for (std::uint32_t k = 0; k < n; ++k) {
                const auto x = b.subspan(24 + 8 * std::size_t{k}).first<8>();
                const std::uint32_t size = loadLe32(x.last<4>());
                if (!resolve(base + loadLe32(x.first<4>()) - 8, s, size & ~NON_KEY_SIZE_BIT,
                             (size & NON_KEY_SIZE_BIT) == 0, result.standardIndex)) {
                    return false;
                }
            }
            ++referenced;
        }
        std::size_t k = before;
        for (const AviIndexedChunk& d : result.dataChunks) {
            if (d.stream != s) {
                continue;
            }
            if (k == result.standardIndex.size() || result.standardIndex[k].offset != d.offset) {
                return fail("ix entries of stream " + std::to_string(s) +
                            " do not cover its chunks in order");
            }
            ++k;
        }
        if (k != result.standardIndex.size()) {
            return fail("ix entries of stream " + std::to_string(s) + " beyond its chunks");
        }
    }
    const auto ixChunks = static_cast<std::size_t>(
        std::count_if(result.chunks.begin(), result.chunks.end(),
                      [](const RiffChunkInfo& x) { return x.depth == 2 && isIndexChunk(x.id); }));
    if (ixChunks != referenced) {
        return fail(std::to_string(ixChunks - referenced) + " ix chunks not in any indx");
    }
    return true;
}

}  // namespace

AviCheck checkAvi(const RiffSource& source) {
    AviCheck result;
    Walker walker(source, result);
    static_cast<void>(walker.run());
    return result;
}

AviCheck checkAvi(std::span<const std::uint8_t> bytes) {
    return checkAvi(MemoryRiffSource(bytes));
}

StreamTotalsMap streamTotalsOf(const AviCheck& check) {
    StreamTotalsMap totals;
    for (std::uint32_t s = 0; s < check.streams.size(); ++s) {
        const std::vector<std::uint8_t>& strh = check.streams[s].strh;
        totals[s].audio = strh.size() >= 4 && std::memcmp(strh.data(), "auds", 4) == 0;
    }
    for (const AviIndexedChunk& chunk : check.dataChunks) {
        if (chunk.size > 0) {
            ++totals[chunk.stream].packets;
            totals[chunk.stream].bytes += chunk.size;
        }
    }
    return totals;
}

std::string describe(const StreamTotalsMap& totals) {
    std::string text;
    for (const auto& [stream, t] : totals) {
        text += (text.empty() ? "" : " ") + std::to_string(stream) + (t.audio ? "a:" : "v:") +
                std::to_string(t.packets) + "/" + std::to_string(t.bytes) + "B";
    }
    return "{" + text + "}";
}

}  // namespace trunvex
