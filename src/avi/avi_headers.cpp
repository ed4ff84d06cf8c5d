#include <algorithm>
#include <limits>

#include "avi/avi_file.h"
#include "avi/avi_layout.h"
#include "common/bytes.h"

namespace trunvex {

using namespace avi_layout;

// Little-endian fields into a fixed region; any overflow turns the whole build into a
// failure instead of writing past the region.
struct HeaderBuilder {
    std::span<std::uint8_t> out;
    std::size_t pos = 0;
    bool fits = true;

    bool room(std::size_t n) noexcept {
        fits = fits && out.size() - pos >= n;
        return fits;
    }
    void u8(std::uint8_t v) noexcept {
        if (room(1)) {
            out[pos++] = v;
        }
    }
    void u16(std::uint16_t v) noexcept {
        if (room(2)) {
            storeLe16(out.subspan(pos).first<2>(), v);
            pos += 2;
        }
    }
    void u32(std::uint32_t v) noexcept {
        if (room(4)) {
            storeLe32(out.subspan(pos).first<4>(), v);
            pos += 4;
        }
    }
    void u64(std::uint64_t v) noexcept {
        if (room(8)) {
            storeLe64(out.subspan(pos).first<8>(), v);
            pos += 8;
        }
    }
    void zeros(std::size_t n) noexcept {
        if (room(n)) {
            std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(pos), n, std::uint8_t{0});
            pos += n;
        }
    }
    void chunkHead(std::uint32_t id, std::uint32_t size) noexcept {
        if (room(CHUNK_HEAD_BYTES)) {
            storeChunkHead(out.subspan(pos).first<CHUNK_HEAD_BYTES>(), id, size);
            pos += CHUNK_HEAD_BYTES;
        }
    }
    std::size_t beginChunk(std::uint32_t id) noexcept {
        const std::size_t at = pos;
        chunkHead(id, 0);
        return at;
    }
    std::size_t beginList(std::uint32_t type) noexcept {
        const std::size_t at = beginChunk(FOURCC_LIST);
        u32(type);
        return at;
    }
    void end(std::size_t at) noexcept {
        if (fits) {
            storeLe32(out.subspan(at + 4).first<4>(), static_cast<std::uint32_t>(pos - at - 8));
        }
    }
};

namespace {

std::uint32_t clamp32(std::uint64_t v) noexcept {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xFFFFFFFF));
}

std::uint16_t asInt16(std::int32_t v) noexcept {
    const std::int32_t clamped = std::clamp<std::int32_t>(
        v, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max());
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(clamped));
}

// A rate of 0 would make the stream unplayable for some readers and divide by zero in the
// main header; 25 is what readers assume for such a stream.
std::uint32_t videoRate(const AVISTREAMINFO& info) noexcept {
    return info.dwRate == 0 ? DEFAULT_FRAME_RATE : info.dwRate;
}

std::uint32_t videoScale(const AVISTREAMINFO& info) noexcept {
    return info.dwScale == 0 ? 1 : info.dwScale;
}

}  // namespace

// The main header, from what the streams hold.
void AviFile::putMainHeader(HeaderBuilder& b) const noexcept {
    const auto created = std::span(streams).first(static_cast<std::size_t>(streamsCreated));
    std::uint64_t firstRiffFrames = 0;
    std::uint32_t largestBuffer = 0;
    for (const AviStream& stream : created) {
        if (stream.video) {
            firstRiffFrames = std::max(firstRiffFrames, stream.firstRiffChunks);
        }
        largestBuffer =
            std::max({largestBuffer, stream.info.dwSuggestedBufferSize, stream.largestChunk});
    }
    std::uint32_t microSecPerFrame = 0;
    std::uint32_t maxBytesPerSec = 0;
    if (!created.empty() && created[0].video) {
        const std::uint64_t scale = videoScale(created[0].info);
        const std::uint64_t rate = videoRate(created[0].info);
        microSecPerFrame = clamp32((1000000 * scale + rate / 2) / rate);
        // Shown as the bit rate by some file browsers: the file's bytes per second of video.
        if (created[0].chunks > 0) {
            maxBytesPerSec = clamp32(fileBytes * rate / (scale * created[0].chunks));
        }
    }
    const std::size_t avih = b.beginChunk(FOURCC_AVIH);
    b.u32(microSecPerFrame);                            // dwMicroSecPerFrame
    b.u32(maxBytesPerSec);                              // dwMaxBytesPerSec
    b.u32(0);                                           // dwPaddingGranularity
    b.u32(AVIF_HASINDEX | AVIF_ISINTERLEAVED);          // dwFlags
    b.u32(clamp32(firstRiffFrames));                    // dwTotalFrames
    b.u32(0);                                           // dwInitialFrames
    b.u32(static_cast<std::uint32_t>(streamsCreated));  // dwStreams
    b.u32(largestBuffer);                               // dwSuggestedBufferSize
    const AVISTREAMINFO none{};
    const AVISTREAMINFO& first = created.empty() ? none : created[0].info;
    b.u32(static_cast<std::uint32_t>(std::max(0, first.rcFrame.right - first.rcFrame.left)));
    b.u32(static_cast<std::uint32_t>(std::max(0, first.rcFrame.bottom - first.rcFrame.top)));
    b.zeros(16);  // dwReserved
    b.end(avih);
}

void AviFile::putStreamHeader(HeaderBuilder& b, const AviStream& stream) const noexcept {
    const AVISTREAMINFO& info = stream.info;
    const std::size_t strh = b.beginChunk(FOURCC_STRH);
    b.u32(info.fccType);                                               // fccType
    b.u32(info.fccHandler);                                            // fccHandler
    b.u32(info.dwFlags);                                               // dwFlags
    b.u16(info.wPriority);                                             // wPriority
    b.u16(info.wLanguage);                                             // wLanguage
    b.u32(info.dwInitialFrames);                                       // dwInitialFrames
    b.u32(stream.video ? videoScale(info) : info.dwScale);             // dwScale
    b.u32(stream.video ? videoRate(info) : info.dwRate);               // dwRate
    b.u32(info.dwStart);                                               // dwStart
    b.u32(clamp32(streamLength(stream)));                              // dwLength
    b.u32(std::max(info.dwSuggestedBufferSize, stream.largestChunk));  // dwSuggestedBufferSize
    b.u32(info.dwQuality);                                             // dwQuality
    b.u32(info.dwSampleSize);                                          // dwSampleSize
    b.u16(asInt16(info.rcFrame.left));                                 // rcFrame
    b.u16(asInt16(info.rcFrame.top));
    b.u16(asInt16(info.rcFrame.right));
    b.u16(asInt16(info.rcFrame.bottom));
    b.end(strh);
}

// A stream's list: its header, its format, and in an OpenDML file its super index.
void AviFile::putStreamList(HeaderBuilder& b, const AviStream& stream,
                            bool openDml) const noexcept {
    const std::size_t strl = b.beginList(FOURCC_STRL);
    putStreamHeader(b, stream);
    const std::size_t strf = b.beginChunk(FOURCC_STRF);
    if (stream.formatSet) {
        for (std::uint32_t i = 0; i < stream.formatBytes; ++i) {
            b.u8(stream.format[i]);
        }
    } else {
        b.zeros(stream.video ? BITMAPINFOHEADER_BYTES : WAVEFORMATEX_BYTES);
    }
    b.end(strf);
    if (stream.formatBytes % 2 != 0) {
        b.u8(0);  // pad byte after an odd chunk
    }
    if (openDml) {
        const std::size_t indx = b.beginChunk(FOURCC_INDX);
        b.u16(4);                  // wLongsPerEntry
        b.u8(0);                   // bIndexSubType
        b.u8(INDEX_OF_INDEXES);    // bIndexType
        b.u32(stream.superCount);  // nEntriesInUse
        b.u32(stream.chunkId);     // dwChunkId
        b.zeros(12);               // dwReserved
        for (const AviStream::SuperEntry& entry : stream.superIndex) {
            b.u64(entry.offset);    // qwOffset
            b.u32(entry.size);      // dwSize
            b.u32(entry.duration);  // dwDuration
        }
        b.end(indx);
    }
    b.end(strl);
}

std::uint32_t AviFile::buildHeaders(std::span<std::uint8_t> out) const noexcept {
    const bool openDml = riffNumber > 0;
    const auto created = std::span(streams).first(static_cast<std::size_t>(streamsCreated));
    HeaderBuilder b{out};
    b.chunkHead(FOURCC_RIFF, firstRiffBytes);
    b.u32(FOURCC_AVI);
    const std::size_t hdrl = b.beginList(FOURCC_HDRL);
    putMainHeader(b);
    for (const AviStream& stream : created) {
        putStreamList(b, stream, openDml);
    }
    if (openDml) {
        std::uint64_t totalFrames = 0;
        for (const AviStream& stream : created) {
            totalFrames = std::max(totalFrames, stream.video ? stream.chunks : 0);
        }
        const std::size_t odml = b.beginList(FOURCC_ODML);
        const std::size_t dmlh = b.beginChunk(FOURCC_DMLH);
        b.u32(clamp32(totalFrames));  // dwTotalFrames
        b.zeros(DMLH_BYTES - 4);
        b.end(dmlh);
        b.end(odml);
    }
    b.end(hdrl);
    // The rest of the region up to the movi list is one JUNK chunk, outside hdrl.
    if (!b.room(8) || out.size() - b.pos < 8) {
        return 0;
    }
    const std::size_t used = b.pos;
    b.chunkHead(FOURCC_JUNK, static_cast<std::uint32_t>(out.size() - used - CHUNK_HEAD_BYTES));
    return b.fits ? static_cast<std::uint32_t>(used) : 0;
}

}  // namespace trunvex
