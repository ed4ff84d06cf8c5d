#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace trunvex {

// Checks that bytes form a well-formed AVI file as this program writes them, and lists what
// they hold, for tests and fuzzers (library trunvex_avi_test_support; it allocates freely).

// Random access to the bytes being checked.
class RiffSource {
public:
    virtual ~RiffSource() = default;
    [[nodiscard]] virtual std::uint64_t size() const = 0;
    // False when the range cannot be read in full.
    [[nodiscard]] virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

class MemoryRiffSource final : public RiffSource {
public:
    explicit MemoryRiffSource(std::span<const std::uint8_t> data) : bytes(data) {}
    std::uint64_t size() const override { return bytes.size(); }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

private:
    std::span<const std::uint8_t> bytes;
};

// Reads a file on disk; only chunk headers and indexes are read, so large files are cheap.
class FileRiffSource final : public RiffSource {
public:
    explicit FileRiffSource(const std::string& path);
    ~FileRiffSource() override;
    FileRiffSource(const FileRiffSource&) = delete;
    FileRiffSource& operator=(const FileRiffSource&) = delete;
    [[nodiscard]] bool isOpen() const { return file != nullptr; }
    std::uint64_t size() const override { return length; }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

private:
    std::FILE* file = nullptr;
    std::uint64_t length = 0;
};

struct RiffChunkInfo {
    std::uint32_t id = 0;
    std::uint32_t listType = 0;  // for RIFF and LIST, else 0
    std::uint64_t offset = 0;    // of the chunk header
    std::uint32_t size = 0;      // the size field
    int depth = 0;               // 0 for the RIFF lists
};

// One indexed data chunk, resolved against the chunk it points at.
struct AviIndexedChunk {
    std::uint32_t stream = 0;
    std::uint64_t offset = 0;  // of the chunk header
    std::uint32_t size = 0;    // data bytes
    bool key = false;
};

struct AviStreamHeaders {
    std::vector<std::uint8_t> strh;  // the chunk bodies
    std::vector<std::uint8_t> strf;
    std::vector<std::uint8_t> indx;  // empty without OpenDML
};

struct AviCheck {
    std::string error;  // empty when the file is well-formed
    std::vector<RiffChunkInfo> chunks;
    std::uint32_t riffCount = 0;
    std::vector<std::uint8_t> hdrl;  // the whole hdrl list, header included
    std::vector<std::uint8_t> avih;  // the chunk body
    std::vector<AviStreamHeaders> streams;
    std::uint32_t odmlTotalFrames = 0;           // dmlh, 0 without OpenDML
    std::vector<AviIndexedChunk> legacyIndex;    // idx1, in its order
    std::vector<AviIndexedChunk> standardIndex;  // every ix## entry, stream by stream
    std::vector<AviIndexedChunk> dataChunks;     // ##dc / ##wb in file order (key unknown)
    [[nodiscard]] bool ok() const { return error.empty(); }
    // The index a reader would use: the standard indexes when there are any, else idx1;
    // only the given stream's entries.
    [[nodiscard]] std::vector<AviIndexedChunk> indexOf(std::uint32_t stream) const;
};

// Walks the RIFF tree (sizes, nesting, pads, RIFF types), the headers (avih and one strl per
// stream) and the indexes: every idx1 and ix## entry must name a chunk of its stream with
// its size, and the indexes must cover every data chunk once, in order.
[[nodiscard]] AviCheck checkAvi(const RiffSource& source);
[[nodiscard]] AviCheck checkAvi(std::span<const std::uint8_t> bytes);

// What a reader of the file must find in a stream: a packet per non-empty data chunk and their
// bytes. Readers cut raw PCM into packets of their own size, so only the bytes of audio count.
struct StreamTotals {
    bool audio = false;
    int packets = 0;
    std::uint64_t bytes = 0;
    bool operator==(const StreamTotals& o) const {
        return audio == o.audio && bytes == o.bytes && (audio || packets == o.packets);
    }
};
using StreamTotalsMap = std::map<std::uint32_t, StreamTotals>;  // by stream index
[[nodiscard]] StreamTotalsMap streamTotalsOf(const AviCheck& check);
// "{0v:12/3456B 1a:...}"
[[nodiscard]] std::string describe(const StreamTotalsMap& totals);

}  // namespace trunvex
