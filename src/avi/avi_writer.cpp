#include "avi/avi_writer.h"

#include "avi/avi_layout.h"
#include "common/byte_sink.h"
#include "common/bytes.h"
#include "common/failure_texts.h"
#include "common/record_rules.h"

namespace trunvex {
namespace {

using avi_layout::AVIIF_KEYFRAME;

inline constexpr std::uint32_t BUFFER_MARGIN_BYTES = 2048;
inline constexpr std::uint32_t AUDIO_LEAD_NUMERATOR = 75;
inline constexpr std::uint32_t AUDIO_LEAD_DENOMINATOR = 100;
inline constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

std::array<std::uint8_t, BITMAPINFOHEADER_BYTES> formatBytes(const BITMAPINFOHEADER& f) noexcept {
    std::array<std::uint8_t, BITMAPINFOHEADER_BYTES> b{};
    const auto s = std::span(b);
    storeLe32(s.subspan<0, 4>(), f.biSize);
    storeLe32(s.subspan<4, 4>(), static_cast<std::uint32_t>(f.biWidth));
    storeLe32(s.subspan<8, 4>(), static_cast<std::uint32_t>(f.biHeight));
    storeLe16(s.subspan<12, 2>(), f.biPlanes);
    storeLe16(s.subspan<14, 2>(), f.biBitCount);
    storeLe32(s.subspan<16, 4>(), f.biCompression);
    storeLe32(s.subspan<20, 4>(), f.biSizeImage);
    storeLe32(s.subspan<24, 4>(), static_cast<std::uint32_t>(f.biXPelsPerMeter));
    storeLe32(s.subspan<28, 4>(), static_cast<std::uint32_t>(f.biYPelsPerMeter));
    storeLe32(s.subspan<32, 4>(), f.biClrUsed);
    storeLe32(s.subspan<36, 4>(), f.biClrImportant);
    return b;
}

std::array<std::uint8_t, WAVEFORMATEX_BYTES> formatBytes(const WAVEFORMATEX& f) noexcept {
    std::array<std::uint8_t, WAVEFORMATEX_BYTES> b{};
    const auto s = std::span(b);
    storeLe16(s.subspan<0, 2>(), f.wFormatTag);
    storeLe16(s.subspan<2, 2>(), f.nChannels);
    storeLe32(s.subspan<4, 4>(), f.nSamplesPerSec);
    storeLe32(s.subspan<8, 4>(), f.nAvgBytesPerSec);
    storeLe16(s.subspan<12, 2>(), f.nBlockAlign);
    storeLe16(s.subspan<14, 2>(), f.wBitsPerSample);
    storeLe16(s.subspan<16, 2>(), f.cbSize);
    return b;
}

// What the key frame that makes a stream says of its frames.
std::array<std::uint8_t, BITMAPINFOHEADER_BYTES> videoFormatFor(VideoKind kind, std::uint32_t width,
                                                                std::uint32_t height) noexcept {
    BITMAPINFOHEADER f{};
    f.biSize = BITMAPINFOHEADER_BYTES;
    f.biWidth = static_cast<std::int32_t>(width);
    f.biHeight = static_cast<std::int32_t>(height);
    f.biPlanes = 1;
    f.biBitCount = 12;
    f.biCompression = kind == VIDEO_KIND_H264 ? fourCc("H264") : fourCc("XVID");
    f.biSizeImage = width * height * 3 / 2;
    return formatBytes(f);
}

}  // namespace

AviWriter::AviWriter() noexcept = default;

AviWriter::~AviWriter() {
    abandonOutput();
}

void AviWriter::resetOutput() noexcept {
    // A run releases its output on every outcome; should one not have, its file is dropped
    // here rather than leaked.
    abandonOutput();
    aviFile = nullptr;
    audioStream = nullptr;
    videoStreams.fill(nullptr);
    videoFrameCount = 0;
    currentVideoStream = 0;
    videoStreamCount = 0;
    audioChunkCount = 0;
    videoStreamInfos.fill(AVISTREAMINFO{});
    videoKind = VIDEO_KIND_NONE;
    lastFailure.clear();
    writeFailed = false;
    stats = AviOutputStats{};
}

bool AviWriter::openOutputFile() noexcept {
    std::string reason;
    if (sinkFactory == nullptr) {
        // The run names where output goes before it feeds any chunk.
        lastFailure = "No output destination";
        return false;
    }
    aviFile = AviFile::open(*sinkFactory, outputPath, fileLimits, reason);
    if (aviFile == nullptr) {
        lastFailure = reason;
        return false;
    }
    return true;
}

void AviWriter::releaseFile(bool keep) noexcept {
    if (aviFile == nullptr) {
        return;
    }
    if (keep) {
        if (!aviFile->finish()) {
            lastFailure = aviFile->errorText();
        }
    } else {
        aviFile->discard();
    }
    delete aviFile;
    aviFile = nullptr;
}

void AviWriter::discardEarlyOutput() noexcept {
    if (aviFile == nullptr) {
        return;
    }
    if (audioStream != nullptr) {
        audioStream = nullptr;
        audioChunkCount = 0;
        stats.audioBytes = 0;
    }
    // Only audio can precede the first key frame; any other handle would dangle.
    videoStreams.fill(nullptr);
    releaseFile(false);
}

bool AviWriter::selectVideoStream(VideoKind kind, std::uint32_t width, std::uint32_t height,
                                  std::uint32_t frameRate) noexcept {
    if (videoFrameCount == 0) {
        if (aviFile == nullptr && !openOutputFile()) {
            return false;
        }
        if (videoStreams[static_cast<std::size_t>(currentVideoStream)] != nullptr) {
            redescribeVideoStream(currentVideoStream, kind, width, height, frameRate);
        } else {
            createVideoStream(currentVideoStream, kind, width, height, frameRate);
        }
        return true;
    }
    const auto matches = [&](std::int32_t i) {
        const AVISTREAMINFO& info = videoStreamInfos[static_cast<std::size_t>(i)];
        return info.rcFrame.right == static_cast<std::int32_t>(width) &&
               info.rcFrame.bottom == static_cast<std::int32_t>(height);
    };
    if (matches(currentVideoStream)) {
        return true;
    }
    for (std::int32_t i = 0; i < videoStreamCount; ++i) {
        if (matches(i)) {
            currentVideoStream = i;
            return true;
        }
    }
    if (videoStreamCount >= MAX_VIDEO_STREAMS) {
        lastFailure = "More frame sizes than video streams";
        return false;
    }
    currentVideoStream = videoStreamCount;
    createVideoStream(currentVideoStream, kind, width, height, frameRate);
    return true;
}

void AviWriter::describeVideoStream(std::int32_t index, std::uint32_t width, std::uint32_t height,
                                    std::uint32_t frameRate) noexcept {
    AVISTREAMINFO& info = videoStreamInfos[static_cast<std::size_t>(index)];
    info = AVISTREAMINFO{};
    info.fccType = fourCc("vids");
    info.fccHandler = fourCc("MPG4");
    info.dwScale = 1;
    info.dwRate = frameRate;
    info.dwSuggestedBufferSize = width * height * 3 / 2 + BUFFER_MARGIN_BYTES;
    info.rcFrame.right = static_cast<std::int32_t>(width);
    info.rcFrame.bottom = static_cast<std::int32_t>(height);
}

void AviWriter::createVideoStream(std::int32_t index, VideoKind kind, std::uint32_t width,
                                  std::uint32_t height, std::uint32_t frameRate) noexcept {
    const auto slot = static_cast<std::size_t>(index);
    describeVideoStream(index, width, height, frameRate);
    videoStreams[slot] = aviFile->createStream(videoStreamInfos[slot]);
    // The stream's format is the one of the key frame that created it.
    aviFile->setFormat(videoStreams[slot], videoFormatFor(kind, width, height));
    videoKind = kind;
    stats.video[slot].kind = kind;
    ++videoStreamCount;
}

// A stream that has not received a frame is described by the latest key frame instead of
// being left empty beside a second stream of the new size.
void AviWriter::redescribeVideoStream(std::int32_t index, VideoKind kind, std::uint32_t width,
                                      std::uint32_t height, std::uint32_t frameRate) noexcept {
    const auto slot = static_cast<std::size_t>(index);
    describeVideoStream(index, width, height, frameRate);
    aviFile->redescribeStream(videoStreams[slot], videoStreamInfos[slot]);
    aviFile->setFormat(videoStreams[slot], videoFormatFor(kind, width, height));
    videoKind = kind;
    stats.video[slot].kind = kind;
}

AviStream* AviWriter::currentVideo() const noexcept {
    if (currentVideoStream < 0 || currentVideoStream >= MAX_VIDEO_STREAMS || aviFile == nullptr) {
        return nullptr;
    }
    return videoStreams[static_cast<std::size_t>(currentVideoStream)];
}

// A failed write breaks the file for good; a chunk the index has no room for leaves it
// whole, to be completed with what it holds.
bool AviWriter::noteWrite(bool written) noexcept {
    if (!written) {
        lastFailure = aviFile->errorText();
        writeFailed = !aviFile->full();
    }
    return written;
}

// The counts are the file's own, empty chunks it filled in included, whether or not the
// sample itself went in.
bool AviWriter::noteVideoWrite(bool written) noexcept {
    const auto slot = static_cast<std::size_t>(currentVideoStream);
    const AviFile::StreamCounts counts = aviFile->counts(videoStreams[slot]);
    stats.video[slot].frames = counts.chunks - counts.emptyChunks;
    stats.video[slot].emptySamples = counts.emptyChunks;
    if (!noteWrite(written)) {
        return false;
    }
    ++videoFrameCount;
    return true;
}

bool AviWriter::noteAudioWrite(bool written) noexcept {
    stats.audioBytes = aviFile->counts(audioStream).bytes;
    if (!noteWrite(written)) {
        return false;
    }
    ++audioChunkCount;
    return true;
}

// Empty, with the reason kept, when memory is short: a sample is never built in no room.
std::span<std::uint8_t> AviWriter::spillRoom() noexcept {
    if (!spill.allocate()) {
        lastFailure = NO_MEMORY_TEXT;
        return {};
    }
    return spill.view();
}

bool AviWriter::writeVideoFrame(std::span<const std::uint8_t> frame, bool isKey) noexcept {
    AviStream* const stream = currentVideo();
    if (stream == nullptr) {
        return false;
    }
    return noteVideoWrite(
        aviFile->write(stream, videoFrameCount, frame, isKey ? AVIIF_KEYFRAME : 0));
}

bool AviWriter::writeVideoSample(std::size_t maxBytes, bool isKey, SampleFill fill) noexcept {
    AviStream* const stream = currentVideo();
    const std::span<std::uint8_t> room =
        stream != nullptr ? spillRoom() : std::span<std::uint8_t>();
    if (room.empty()) {
        return false;
    }
    return noteVideoWrite(aviFile->writeFilled(stream, videoFrameCount, maxBytes,
                                               isKey ? AVIIF_KEYFRAME : 0, fill, room));
}

void AviWriter::describeAudioStream(std::uint32_t frameRate) noexcept {
    audioStreamInfo = AVISTREAMINFO{};
    audioStreamInfo.fccType = fourCc("auds");
    audioStreamInfo.dwScale = audioFormat.nBlockAlign;
    audioStreamInfo.dwRate = audioFormat.nAvgBytesPerSec;
    audioStreamInfo.dwSampleSize = audioFormat.nBlockAlign;
    audioStreamInfo.dwSuggestedBufferSize = audioFormat.nAvgBytesPerSec;
    audioStreamInfo.dwInitialFrames = frameRate * AUDIO_LEAD_NUMERATOR / AUDIO_LEAD_DENOMINATOR;
}

bool AviWriter::openAudioStream(std::uint32_t audioEncoding, std::uint32_t audioRateCode,
                                std::uint32_t frameRate) noexcept {
    const auto bits = static_cast<std::uint16_t>(decodedBitsPerSample(audioEncoding));
    audioFormat = WAVEFORMATEX{};
    audioFormat.wFormatTag = WAVE_FORMAT_PCM;
    audioFormat.nChannels = 1;
    audioFormat.nSamplesPerSec = audioSampleRateOf(audioRateCode);
    audioFormat.wBitsPerSample = bits;
    audioFormat.nBlockAlign = static_cast<std::uint16_t>(bits / 8);
    audioFormat.nAvgBytesPerSec = audioFormat.nSamplesPerSec * audioFormat.nBlockAlign;
    audioFormat.cbSize = 0;
    if (audioChunkCount != 0) {
        return true;
    }
    if (aviFile == nullptr && !openOutputFile()) {
        return false;
    }
    describeAudioStream(frameRate);
    if (audioStream != nullptr) {
        // A second audio header before the first audio chunk: one stream, described by the
        // header whose samples it will carry.
        aviFile->redescribeStream(audioStream, audioStreamInfo);
    } else {
        audioStream = aviFile->createStream(audioStreamInfo);
    }
    if (audioStream != nullptr) {
        aviFile->setFormat(audioStream, formatBytes(audioFormat));
    }
    return true;
}

bool AviWriter::writeAudioFrame(std::span<const std::uint8_t> pcm) noexcept {
    if (audioStream == nullptr || aviFile == nullptr) {
        return false;
    }
    return noteAudioWrite(aviFile->write(audioStream, audioChunkCount, pcm, AVIIF_KEYFRAME));
}

bool AviWriter::writeAudioSample(std::size_t maxBytes, SampleFill fill) noexcept {
    const bool open = audioStream != nullptr && aviFile != nullptr;
    const std::span<std::uint8_t> room = open ? spillRoom() : std::span<std::uint8_t>();
    if (room.empty()) {
        return false;
    }
    return noteAudioWrite(
        aviFile->writeFilled(audioStream, audioChunkCount, maxBytes, AVIIF_KEYFRAME, fill, room));
}

bool AviWriter::closeOutput() noexcept {
    audioStream = nullptr;
    videoStreams.fill(nullptr);
    if (aviFile == nullptr) {
        return true;
    }
    // Swapped, not copied: closing must not need memory to keep an earlier reason.
    std::string before;
    before.swap(lastFailure);
    releaseFile(true);
    if (!lastFailure.empty()) {
        return false;
    }
    lastFailure.swap(before);
    return true;
}

void AviWriter::abandonOutput() noexcept {
    audioStream = nullptr;
    videoStreams.fill(nullptr);
    releaseFile(false);
}

std::string AviWriter::failureText() const {
    return lastFailure;
}

}  // namespace trunvex
