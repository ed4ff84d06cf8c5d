#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "avi/avi_structs.h"
#include "avi/sample_fill.h"
#include "common/byte_sink.h"

namespace trunvex {

// Ten video streams and one audio stream: chunk ids 00 to 10.
inline constexpr std::int32_t MAX_AVI_STREAMS = 11;
// Super index entries reserved per stream: one per RIFF, as each RIFF holds one standard
// index per stream. 512 RIFFs of at most a million chunks or 1 GiB each, so a file holds
// 512 GiB or over 500 million chunks: three weeks at 25 frames a second with ten frame
// sizes, whose every stream takes a chunk at every frame.
inline constexpr std::uint32_t SUPER_INDEX_ENTRIES = 512;
// The headers are written last into this region at the start of the file; the worst case
// (11 streams with their super indexes, odml) needs 92 192 bytes.
inline constexpr std::uint32_t HEADER_RESERVE_BYTES = 96 * 1024;

// Where a file switches to further RIFFs (OpenDML) and how much index it holds in memory.
struct AviFileLimits {
    // A chunk that would take its RIFF past this many bytes starts the next RIFF (at most
    // 1 GiB, so that index offsets stay 32-bit).
    std::uint64_t riffBytes = std::uint64_t{1} << 30;
    // Legacy index entries (16 bytes each) kept for the first RIFF; reaching this closes the
    // first RIFF early.
    std::uint32_t legacyIndexEntries = 256 * 1024;
    // Chunks (of all streams) a later RIFF holds; reaching this starts the next one. Their
    // index entries are kept in memory (16 bytes each) until the RIFF closes with one
    // standard index per stream.
    std::uint32_t chunkIndexEntries = 1024 * 1024;
};

class AviFile;
struct HeaderBuilder;

// One stream of an AviFile; a handle owned by the file, valid until the file is released.
class AviStream {
private:
    friend class AviFile;
    struct HeaderBuilder;

    struct SuperEntry {
        std::uint64_t offset = 0;
        std::uint32_t size = 0;
        std::uint32_t duration = 0;
    };

    AVISTREAMINFO info{};
    std::array<std::uint8_t, BITMAPINFOHEADER_BYTES> format{};
    std::uint32_t formatBytes = 0;
    bool formatSet = false;
    bool video = false;
    std::uint32_t number = 0;
    std::uint32_t chunkId = 0;
    std::int64_t nextPosition = 0;  // video: the position the next chunk takes
    std::uint64_t chunks = 0;
    std::uint64_t emptyChunks = 0;
    std::uint64_t firstRiffChunks = 0;
    std::uint64_t bytes = 0;
    std::uint32_t largestChunk = 0;
    std::array<SuperEntry, SUPER_INDEX_ENTRIES> superIndex{};
    std::uint32_t superCount = 0;
};

// The AVI file behind AviWriter: streams are created at any time, samples are appended as
// chunks, and the headers are written at the end into a region reserved at offset 0.
// Plain AVI while the data fits one RIFF; past that, OpenDML with standard and super
// indexes. The index kept in memory is bounded (see AviFileLimits). Any failure is sticky:
// later calls return false and errorText() says why. A chunk past what the index can hold
// is refused instead (full()): the file stays whole and finish() completes it.
class AviFile {
public:
    // Creates the file (through the factory) for path. Null when that fails; failure then
    // holds the reason.
    [[nodiscard]] static AviFile* open(SinkFactory& factory, const std::string& path,
                                       const AviFileLimits& limits, std::string& failure) noexcept;
    ~AviFile();
    AviFile(const AviFile&) = delete;
    AviFile& operator=(const AviFile&) = delete;

    // A new stream described by info ("vids" or "auds"); null past MAX_AVI_STREAMS.
    [[nodiscard]] AviStream* createStream(const AVISTREAMINFO& info) noexcept;
    // Describes a stream that has no chunk yet anew, and forgets its format. False when it
    // already has chunks.
    bool redescribeStream(AviStream* stream, const AVISTREAMINFO& info) noexcept;
    // The first format given to a stream is its format; later ones are ignored. False when
    // the format is larger than 40 bytes.
    bool setFormat(AviStream* stream, std::span<const std::uint8_t> format) noexcept;
    // One sample as one chunk. Video: positions past the stream's next one are first filled
    // with empty chunks, and an empty chunk is never a key frame; an earlier position
    // appends. Audio: the position is not used.
    [[nodiscard]] bool write(AviStream* stream, std::int32_t position,
                             std::span<const std::uint8_t> data, std::uint32_t flags) noexcept;
    // The same for a sample of at most maxBytes that `fill` builds: straight in the sink's
    // own buffer where it offers room and the chunk stays in this RIFF, in `spill`
    // otherwise (cut to maxBytes), from where it is written as by write().
    [[nodiscard]] bool writeFilled(AviStream* stream, std::int32_t position, std::size_t maxBytes,
                                   std::uint32_t flags, SampleFill fill,
                                   std::span<std::uint8_t> spill) noexcept;
    // The chunks a stream holds so far, the empty ones among them, and their bytes.
    struct StreamCounts {
        std::uint64_t chunks = 0;
        std::uint64_t emptyChunks = 0;
        std::uint64_t bytes = 0;
    };
    [[nodiscard]] StreamCounts counts(const AviStream* stream) const noexcept;
    // Writes the indexes and headers and makes the file appear at its path.
    [[nodiscard]] bool finish() noexcept;
    // Drops the file; the path is left as it was.
    void discard() noexcept;
    [[nodiscard]] const std::string& errorText() const noexcept {
        return failure.empty() ? refusal : failure;
    }
    // True once a chunk was refused because the file's index has no room for it.
    [[nodiscard]] bool full() const noexcept { return !refusal.empty(); }
    [[nodiscard]] std::int32_t streamCount() const noexcept { return streamsCreated; }

private:
    AviFile() noexcept = default;
    [[nodiscard]] bool start(std::unique_ptr<ByteSink> output, const AviFileLimits& given) noexcept;
    [[nodiscard]] bool writeChunk(AviStream& stream, std::span<const std::uint8_t> data,
                                  std::uint32_t flags) noexcept;
    [[nodiscard]] bool fillSlotsBefore(AviStream& stream, std::int32_t position) noexcept;
    [[nodiscard]] std::span<std::uint8_t> claimChunk(std::size_t maxBytes) noexcept;
    [[nodiscard]] bool commitChunk(AviStream& stream, std::span<std::uint8_t> room,
                                   std::uint32_t size, std::uint32_t flags) noexcept;
    [[nodiscard]] bool recordChunk(AviStream& stream, std::uint64_t at, std::uint32_t size,
                                   std::uint32_t flags) noexcept;
    [[nodiscard]] bool needsNextRiff(std::uint64_t chunkBytes) const noexcept;
    [[nodiscard]] bool makeRoomFor(std::uint64_t chunkBytes) noexcept;
    [[nodiscard]] bool startNextRiff() noexcept;
    [[nodiscard]] bool closeRiff(bool last) noexcept;
    [[nodiscard]] bool writeStandardIndexes() noexcept;
    [[nodiscard]] bool writeStandardIndex(AviStream& stream) noexcept;
    [[nodiscard]] bool putStandardEntries(const AviStream& stream) noexcept;
    [[nodiscard]] bool patch32(std::uint64_t position, std::uint32_t value) noexcept;
    [[nodiscard]] bool put(std::span<const std::span<const std::uint8_t>> parts) noexcept;
    [[nodiscard]] bool fail(const std::string& reason) noexcept;
    [[nodiscard]] std::uint32_t buildHeaders(std::span<std::uint8_t> out) const noexcept;
    void putMainHeader(HeaderBuilder& b) const noexcept;
    void putStreamHeader(HeaderBuilder& b, const AviStream& stream) const noexcept;
    void putStreamList(HeaderBuilder& b, const AviStream& stream, bool openDml) const noexcept;
    [[nodiscard]] std::uint64_t streamLength(const AviStream& stream) const noexcept;
    [[nodiscard]] std::uint32_t blockAlign(const AviStream& stream) const noexcept;

    std::unique_ptr<ByteSink> sink;
    AviFileLimits limits;
    std::array<AviStream, MAX_AVI_STREAMS> streams{};
    std::int32_t streamsCreated = 0;
    std::uint32_t riffNumber = 0;  // 0 for the first RIFF ('AVI '), then the AVIX lists
    std::uint64_t riffStart = 0;
    std::uint64_t moviStart = 0;  // the LIST header; its 'movi' code is the index base + 8
    bool moviHasChunks = false;
    std::uint32_t firstRiffBytes = 0;
    std::uint64_t fileBytes = 0;
    // The index entries of the open RIFF, in the legacy layout (idx1 of the first RIFF).
    std::vector<std::uint8_t> legacyIndex;
    std::uint32_t legacyEntries = 0;
    std::array<std::uint8_t, 8 * 4096> standardEntries{};  // a stream's entries on their way out
    std::string failure;
    std::string refusal;
};

}  // namespace trunvex
