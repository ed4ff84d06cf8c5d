#include "avi/avi_file.h"

#include <algorithm>
#include <memory>
#include <new>

#include "avi/avi_layout.h"
#include "common/bytes.h"
#include "common/failure_texts.h"

namespace trunvex {

using namespace avi_layout;

AviFile* AviFile::open(SinkFactory& factory, const std::string& path, const AviFileLimits& limits,
                       std::string& failure) noexcept {
    std::unique_ptr<ByteSink> output = factory.open(path, failure);
    if (!output) {
        return nullptr;
    }
    std::unique_ptr<AviFile> file(new (std::nothrow) AviFile());
    if (!file) {
        output->discard();
        failure = NO_MEMORY_TEXT;
        return nullptr;
    }
    if (!file->start(std::move(output), limits)) {
        failure = file->failure;
        file->discard();
        return nullptr;
    }
    return file.release();
}

AviFile::~AviFile() {
    discard();
}

// The header region is written as one JUNK chunk now and overwritten by the real headers at
// the end, so movi data can start at once.
bool AviFile::start(std::unique_ptr<ByteSink> output, const AviFileLimits& given) noexcept {
    sink = std::move(output);
    limits = given;
    limits.riffBytes = std::min(limits.riffBytes, MAX_RIFF_BYTES);
    limits.legacyIndexEntries = std::max(limits.legacyIndexEntries, 1U);
    limits.chunkIndexEntries = std::max(limits.chunkIndexEntries, 1U);
    constexpr std::uint32_t HEAD_BYTES = LIST_HEAD_BYTES + CHUNK_HEAD_BYTES;
    std::array<std::uint8_t, HEAD_BYTES> head{};
    storeListHead(std::span(head).first<LIST_HEAD_BYTES>(), FOURCC_RIFF, 0, FOURCC_AVI);
    storeChunkHead(std::span(head).last<CHUNK_HEAD_BYTES>(), FOURCC_JUNK,
                   HEADER_RESERVE_BYTES - HEAD_BYTES);
    if (!put(std::array{std::span<const std::uint8_t>(head)})) {
        return false;
    }
    static constexpr std::array<std::uint8_t, 4096> ZEROS{};
    std::uint32_t left = HEADER_RESERVE_BYTES - HEAD_BYTES;
    while (left > 0) {
        const std::uint32_t n = std::min<std::uint32_t>(left, ZEROS.size());
        if (!put(std::array{std::span<const std::uint8_t>(ZEROS).first(n)})) {
            return false;
        }
        left -= n;
    }
    moviStart = HEADER_RESERVE_BYTES;
    std::array<std::uint8_t, LIST_HEAD_BYTES> movi{};
    storeListHead(movi, FOURCC_LIST, 0, FOURCC_MOVI);
    return put(std::array{std::span<const std::uint8_t>(movi)});
}

AviStream* AviFile::createStream(const AVISTREAMINFO& info) noexcept {
    if (!failure.empty() || !sink || streamsCreated >= MAX_AVI_STREAMS) {
        return nullptr;
    }
    AviStream& stream = streams[static_cast<std::size_t>(streamsCreated)];
    stream.number = static_cast<std::uint32_t>(streamsCreated++);
    stream.info = info;
    stream.video = info.fccType != FOURCC_AUDS;
    stream.chunkId = chunkIdFor(stream.number, stream.video ? "dc" : "wb");
    // A stream created late begins at the shared position 0 too: the stretch before its
    // first sample is filled when that sample arrives.
    stream.nextPosition = 0;
    return &stream;
}

bool AviFile::redescribeStream(AviStream* stream, const AVISTREAMINFO& info) noexcept {
    if (stream == nullptr || stream->chunks != 0) {
        return false;
    }
    stream->info = info;
    stream->formatSet = false;
    stream->formatBytes = 0;
    return true;
}

bool AviFile::setFormat(AviStream* stream, std::span<const std::uint8_t> format) noexcept {
    if (stream == nullptr || format.size() > stream->format.size()) {
        return false;
    }
    // The headers already promise what the first format says (scale, rate and sample size
    // of an audio stream follow from it), so a different later format is not taken.
    if (!stream->formatSet) {
        std::copy(format.begin(), format.end(), stream->format.begin());
        stream->formatBytes = static_cast<std::uint32_t>(format.size());
        stream->formatSet = true;
    }
    return true;
}

bool AviFile::write(AviStream* stream, std::int32_t position, std::span<const std::uint8_t> data,
                    std::uint32_t flags) noexcept {
    if (stream == nullptr || !failure.empty() || !sink) {
        return false;
    }
    if (data.size() > MAX_CHUNK_BYTES) {
        return fail("Sample too large for an AVI chunk");
    }
    return fillSlotsBefore(*stream, position) && writeChunk(*stream, data, flags);
}

// A video stream keeps a chunk at every position, so the frames of every stream keep their
// times: the positions it skipped (they went to other streams, or lost their frame) become
// empty chunks.
bool AviFile::fillSlotsBefore(AviStream& stream, std::int32_t position) noexcept {
    while (stream.video && stream.nextPosition < position) {
        if (!writeChunk(stream, {}, 0)) {
            return false;
        }
    }
    return true;
}

bool AviFile::needsNextRiff(std::uint64_t chunkBytes) const noexcept {
    if (!moviHasChunks) {
        return false;  // every RIFF holds at least one chunk, however small the limit
    }
    if (legacyEntries >= (riffNumber == 0 ? limits.legacyIndexEntries : limits.chunkIndexEntries)) {
        return true;
    }
    // A later RIFF ends with the standard indexes of its chunks, 8 bytes an entry.
    const std::uint64_t indexBytes = riffNumber == 0 ? 0 : std::uint64_t{legacyEntries} * 8;
    return sink->position() - riffStart + indexBytes + chunkBytes > limits.riffBytes;
}

// A chunk that needs a RIFF beyond the super index's room is refused, not failed: what was
// written so far still makes a complete file.
bool AviFile::makeRoomFor(std::uint64_t chunkBytes) noexcept {
    if (!needsNextRiff(chunkBytes)) {
        return true;
    }
    if (riffNumber + 1 >= SUPER_INDEX_ENTRIES) {
        refusal = "Recording too long for one AVI file";
        return false;
    }
    return startNextRiff();
}

bool AviFile::writeChunk(AviStream& stream, std::span<const std::uint8_t> data,
                         std::uint32_t flags) noexcept {
    const auto size = static_cast<std::uint32_t>(data.size());
    if (!makeRoomFor(CHUNK_HEAD_BYTES + size + (size & 1U))) {
        return false;
    }
    const std::uint64_t at = sink->position();
    std::array<std::uint8_t, CHUNK_HEAD_BYTES> head{};
    storeChunkHead(head, stream.chunkId, size);
    static constexpr std::array<std::uint8_t, 1> PAD{};
    const std::array parts{std::span<const std::uint8_t>(head), data,
                           std::span<const std::uint8_t>(PAD).first(size & 1U)};
    if (!put(parts)) {
        return false;
    }
    return recordChunk(stream, at, size, flags);
}

bool AviFile::writeFilled(AviStream* stream, std::int32_t position, std::size_t maxBytes,
                          std::uint32_t flags, SampleFill fill,
                          std::span<std::uint8_t> spill) noexcept {
    if (stream == nullptr || !failure.empty() || !sink || !fillSlotsBefore(*stream, position)) {
        return false;
    }
    const std::span<std::uint8_t> room = claimChunk(maxBytes);
    if (!room.empty()) {
        return commitChunk(*stream, room, fill(room.subspan(CHUNK_HEAD_BYTES, maxBytes)), flags);
    }
    const std::span<std::uint8_t> built = spill.first(std::min(maxBytes, spill.size()));
    const std::uint32_t size = fill(built);
    if (size > built.size()) {
        return fail("Sample larger than the room given for it");
    }
    return write(stream, position, built.first(size), flags);
}

// Room for a chunk, header included, in the sink's own buffer; empty when the sink offers
// none or the chunk might have to start the next RIFF. Whether it does depends on its size,
// so room is only claimed where even the largest size stays in this RIFF: the filled size
// then decides the same way.
std::span<std::uint8_t> AviFile::claimChunk(std::size_t maxBytes) noexcept {
    if (maxBytes > MAX_CHUNK_BYTES) {
        return {};
    }
    const std::size_t most = CHUNK_HEAD_BYTES + maxBytes + 1;
    if (needsNextRiff(most)) {
        return {};
    }
    const std::span<std::uint8_t> room = sink->claim(most);
    return room.size() == most ? room : std::span<std::uint8_t>();
}

bool AviFile::commitChunk(AviStream& stream, std::span<std::uint8_t> room, std::uint32_t size,
                          std::uint32_t flags) noexcept {
    const std::size_t total = CHUNK_HEAD_BYTES + size + (size & 1U);
    if (total > room.size()) {
        return fail("Sample larger than the room given for it");
    }
    storeChunkHead(room.first<CHUNK_HEAD_BYTES>(), stream.chunkId, size);
    if ((size & 1U) != 0) {
        room[CHUNK_HEAD_BYTES + size] = 0;
    }
    const std::uint64_t at = sink->position();
    if (!sink->commitClaim(total)) {
        return fail(sink->errorText());
    }
    return recordChunk(stream, at, size, flags);
}

bool AviFile::recordChunk(AviStream& stream, std::uint64_t at, std::uint32_t size,
                          std::uint32_t flags) noexcept {
    moviHasChunks = true;
    // An empty video chunk is a frame that is not there, which no reader may start from.
    const bool key = (flags & AVIIF_KEYFRAME) != 0 && !(stream.video && size == 0);
    const auto offset = static_cast<std::uint32_t>(at - (moviStart + 8));
    std::array<std::uint8_t, LEGACY_ENTRY_BYTES> entry{};
    storeLe32(std::span(entry).subspan<0, 4>(), stream.chunkId);             // dwChunkId
    storeLe32(std::span(entry).subspan<4, 4>(), key ? AVIIF_KEYFRAME : 0U);  // dwFlags
    storeLe32(std::span(entry).subspan<8, 4>(), offset);                     // dwOffset
    storeLe32(std::span(entry).subspan<12, 4>(), size);                      // dwSize
    legacyIndex.insert(legacyIndex.end(), entry.begin(), entry.end());
    ++legacyEntries;
    ++stream.chunks;
    stream.emptyChunks += size == 0 ? 1 : 0;
    stream.bytes += size;
    stream.largestChunk = std::max(stream.largestChunk, size);
    ++stream.nextPosition;
    return true;
}

bool AviFile::startNextRiff() noexcept {
    if (!closeRiff(false)) {
        return false;
    }
    ++riffNumber;
    riffStart = sink->position();
    moviStart = riffStart + 12;
    moviHasChunks = false;
    std::array<std::uint8_t, 2 * LIST_HEAD_BYTES> head{};
    storeListHead(std::span(head).first<LIST_HEAD_BYTES>(), FOURCC_RIFF, 0, FOURCC_AVIX);
    storeListHead(std::span(head).last<LIST_HEAD_BYTES>(), FOURCC_LIST, 0, FOURCC_MOVI);
    return put(std::array{std::span<const std::uint8_t>(head)});
}

// Ends the movi list (with one standard index per stream when the file has or will have
// more than one RIFF) and the RIFF. The first RIFF also gets the legacy index.
bool AviFile::closeRiff(bool last) noexcept {
    const bool openDml = riffNumber > 0 || !last;
    if (openDml && !writeStandardIndexes()) {
        return false;
    }
    const std::uint64_t moviEnd = sink->position();
    if (!patch32(moviStart + 4, static_cast<std::uint32_t>(moviEnd - moviStart - 8))) {
        return false;
    }
    if (riffNumber == 0) {
        std::array<std::uint8_t, CHUNK_HEAD_BYTES> head{};
        storeChunkHead(head, FOURCC_IDX1, legacyEntries * LEGACY_ENTRY_BYTES);
        if (!put(std::array{std::span<const std::uint8_t>(head),
                            std::span<const std::uint8_t>(legacyIndex)})) {
            return false;
        }
        firstRiffBytes = static_cast<std::uint32_t>(sink->position() - 8);
        for (AviStream& stream : streams) {
            stream.firstRiffChunks = stream.chunks;
        }
    }
    legacyIndex.clear();
    legacyEntries = 0;
    if (riffNumber == 0) {
        return true;
    }
    const std::uint64_t riffEnd = sink->position();
    return patch32(riffStart + 4, static_cast<std::uint32_t>(riffEnd - riffStart - 8));
}

bool AviFile::writeStandardIndexes() noexcept {
    for (std::int32_t s = 0; s < streamsCreated; ++s) {
        if (!writeStandardIndex(streams[static_cast<std::size_t>(s)])) {
            return false;
        }
    }
    return true;
}

// The stream's entries of this RIFF, picked from the RIFF's entries of all streams, as one
// standard index: a RIFF needs one super index entry per stream, however many chunks it holds.
bool AviFile::writeStandardIndex(AviStream& stream) noexcept {
    const std::span<const std::uint8_t> entries(legacyIndex);
    std::uint32_t count = 0;
    std::uint64_t bytes = 0;
    for (std::size_t at = 0; at < entries.size(); at += LEGACY_ENTRY_BYTES) {
        if (loadLe32(entries.subspan(at).first<4>()) == stream.chunkId) {
            ++count;
            bytes += loadLe32(entries.subspan(at + 12).first<4>());
        }
    }
    if (count == 0) {
        return true;
    }
    const std::uint64_t start = sink->position();
    const std::uint32_t bodyBytes = 24 + count * 8;
    std::array<std::uint8_t, 32> head{};
    const auto h = std::span(head);
    storeChunkHead(h.first<CHUNK_HEAD_BYTES>(), indexIdFor(stream.number), bodyBytes);
    storeLe16(h.subspan<8, 2>(), 2);                // wLongsPerEntry
    h[10] = 0;                                      // bIndexSubType
    h[11] = INDEX_OF_CHUNKS;                        // bIndexType
    storeLe32(h.subspan<12, 4>(), count);           // nEntriesInUse
    storeLe32(h.subspan<16, 4>(), stream.chunkId);  // dwChunkId
    storeLe64(h.subspan<20, 8>(), moviStart + 8);   // qwBaseOffset
    if (!put(std::array{std::span<const std::uint8_t>(head)}) || !putStandardEntries(stream)) {
        return false;
    }
    AviStream::SuperEntry& super = stream.superIndex[stream.superCount++];
    super.offset = start;
    super.size = 8 + bodyBytes;
    super.duration = static_cast<std::uint32_t>(stream.video ? count : bytes / blockAlign(stream));
    return true;
}

// The stream's entries, staged a block at a time.
bool AviFile::putStandardEntries(const AviStream& stream) noexcept {
    const std::span<const std::uint8_t> entries(legacyIndex);
    std::size_t staged = 0;
    for (std::size_t at = 0; at < entries.size(); at += LEGACY_ENTRY_BYTES) {
        const auto entry = entries.subspan(at).first<LEGACY_ENTRY_BYTES>();
        if (loadLe32(entry.first<4>()) != stream.chunkId) {
            continue;
        }
        const bool key = (loadLe32(entry.subspan<4, 4>()) & AVIIF_KEYFRAME) != 0;
        const std::uint32_t size = loadLe32(entry.subspan<12, 4>());
        const auto out = std::span(standardEntries).subspan(staged).first<8>();
        // Standard entries point at the data, legacy ones at the chunk header.
        storeLe32(out.first<4>(), loadLe32(entry.subspan<8, 4>()) + 8);  // dwOffset
        storeLe32(out.last<4>(), key ? size : size | NON_KEY_SIZE_BIT);  // dwSize
        staged += 8;
        if (staged == standardEntries.size()) {
            if (!put(std::array{std::span<const std::uint8_t>(standardEntries)})) {
                return false;
            }
            staged = 0;
        }
    }
    return put(std::array{std::span<const std::uint8_t>(standardEntries).first(staged)});
}

bool AviFile::finish() noexcept {
    if (!sink) {
        return false;
    }
    if (!failure.empty() || !closeRiff(true)) {
        discard();
        return false;
    }
    fileBytes = sink->position();
    // Short of memory the file fails like a failed write; this function may not throw.
    const std::unique_ptr<std::uint8_t[]> room(new (std::nothrow)
                                                   std::uint8_t[HEADER_RESERVE_BYTES]());
    if (!room) {
        static_cast<void>(fail(NO_MEMORY_TEXT));
        discard();
        return false;
    }
    const std::span<std::uint8_t> headers(room.get(), HEADER_RESERVE_BYTES);
    if (buildHeaders(headers) == 0) {
        static_cast<void>(fail("AVI headers do not fit their reserved space"));
        discard();
        return false;
    }
    if (!sink->seek(0) || !put(std::array{std::span<const std::uint8_t>(headers)}) ||
        !sink->commit()) {
        static_cast<void>(fail(sink->errorText()));
        discard();
        return false;
    }
    sink.reset();
    return true;
}

void AviFile::discard() noexcept {
    if (sink) {
        sink->discard();
        sink.reset();
    }
}

bool AviFile::patch32(std::uint64_t position, std::uint32_t value) noexcept {
    const std::uint64_t end = sink->position();
    std::array<std::uint8_t, 4> bytes{};
    storeLe32(bytes, value);
    if (!sink->seek(position) || !put(std::array{std::span<const std::uint8_t>(bytes)}) ||
        !sink->seek(end)) {
        return fail(sink->errorText());
    }
    return true;
}

bool AviFile::put(std::span<const std::span<const std::uint8_t>> parts) noexcept {
    if (!failure.empty()) {
        return false;
    }
    if (!sink->writeGather(parts)) {
        return fail(sink->errorText());
    }
    return true;
}

bool AviFile::fail(const std::string& reason) noexcept {
    if (failure.empty()) {
        failure = reason.empty() ? std::string("Output failed") : reason;
    }
    return false;
}

std::uint32_t AviFile::blockAlign(const AviStream& stream) const noexcept {
    std::uint32_t align = stream.info.dwSampleSize;
    if (stream.formatSet && stream.formatBytes >= 14) {
        align = loadLe16(std::span<const std::uint8_t>(stream.format).subspan<12, 2>());
    }
    return align == 0 ? 1 : align;
}

AviFile::StreamCounts AviFile::counts(const AviStream* stream) const noexcept {
    if (stream == nullptr) {
        return {};
    }
    return {stream->chunks, stream->emptyChunks, stream->bytes};
}

std::uint64_t AviFile::streamLength(const AviStream& stream) const noexcept {
    return stream.video ? stream.chunks : stream.bytes / blockAlign(stream);
}

}  // namespace trunvex
