#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "avi/avi_file.h"
#include "avi/avi_structs.h"
#include "avi/sample_fill.h"
#include "common/codes.h"
#include "common/fixed_buffer.h"

namespace trunvex {

class AviFile;
class AviStream;
class SinkFactory;

inline constexpr std::int32_t MAX_VIDEO_STREAMS = 10;
// A sample is built here when the output offers no room for it: the largest a recording
// makes, a repacked frame or a decoded audio payload.
inline constexpr std::size_t SAMPLE_SPILL_BYTES =
    REPACK_BUFFER_BYTES > PCM_BUFFER_BYTES ? REPACK_BUFFER_BYTES : PCM_BUFFER_BYTES;

// What a run put into its AVI, counted as it is written; read after the run (a report).
struct AviOutputStats {
    struct VideoCounts {
        std::uint64_t frames = 0;          // samples with a frame
        std::uint64_t emptySamples = 0;    // empty samples: slots of other streams, lost frames
        VideoKind kind = VIDEO_KIND_NONE;  // the codec its format names
    };
    std::array<VideoCounts, MAX_VIDEO_STREAMS> video{};
    std::uint64_t audioBytes = 0;
};

// The output side of a conversion run: the AVI file, its video streams keyed by frame size,
// its one audio stream and the counters that position every sample. The file is opened by
// the first header that needs it; everything written before the run's first key frame is
// dropped. Every sample is one call; nothing here allocates per sample.
class AviWriter {
public:
    AviWriter() noexcept;
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // The path every open writes to, and where the bytes go (files unless a test says
    // otherwise). Set before the run; read at every open.
    void setOutputPath(std::string path) { outputPath = std::move(path); }
    void setSinkFactory(SinkFactory& factory) noexcept { sinkFactory = &factory; }
    // Where files switch to OpenDML and how much index they keep in memory; tests lower
    // the RIFF size to reach the OpenDML layout with small files. Read at every open.
    void setFileLimits(const AviFileLimits& limits) noexcept { fileLimits = limits; }

    // Drops every reference without releasing anything: the starting state of a run.
    void resetOutput() noexcept;
    // At the run's first key-frame header: releases what was opened before (audio only),
    // leaving the output path as it was. No file is open afterwards.
    void discardEarlyOutput() noexcept;
    // Makes the stream for this frame size current, creating it (and the file) when needed.
    // False when the file cannot be opened or an eleventh frame size arrives.
    [[nodiscard]] bool selectVideoStream(VideoKind kind, std::uint32_t width, std::uint32_t height,
                                         std::uint32_t frameRate) noexcept;
    // One video sample at the next position, as it is. False when there is no current
    // stream or the output has failed (a write error is sticky).
    [[nodiscard]] bool writeVideoFrame(std::span<const std::uint8_t> frame, bool isKey) noexcept;
    // One video sample of at most maxBytes that `fill` builds straight in the output's
    // buffer, or in the spill buffer when the output has no room for it; the same bytes as
    // writeVideoFrame() with what fill built. A sample filled with nothing is an empty one.
    [[nodiscard]] bool writeVideoSample(std::size_t maxBytes, bool isKey, SampleFill fill) noexcept;
    // Prepares the audio stream and format for an accepted audio header. False when the
    // file cannot be opened.
    [[nodiscard]] bool openAudioStream(std::uint32_t audioEncoding, std::uint32_t audioRateCode,
                                       std::uint32_t frameRate) noexcept;
    // One audio chunk, 0 bytes allowed. False when there is no audio stream or the output
    // has failed.
    [[nodiscard]] bool writeAudioFrame(std::span<const std::uint8_t> pcm) noexcept;
    // The same for an audio chunk that `fill` builds, as writeVideoSample().
    [[nodiscard]] bool writeAudioSample(std::size_t maxBytes, SampleFill fill) noexcept;
    // The spill buffer, allocated once so that no sample has to; false when memory is
    // short. A sample that finds it missing allocates it then.
    [[nodiscard]] bool allocateSpill() noexcept { return spill.allocate(); }
    void releaseSpill() noexcept { spill.release(); }
    [[nodiscard]] bool spillAllocated() const noexcept { return spill.allocated(); }
    [[nodiscard]] VideoKind currentVideoKind() const noexcept { return videoKind; }
    [[nodiscard]] std::int64_t framesWritten() const noexcept {
        return static_cast<std::int64_t>(videoFrameCount) + audioChunkCount;
    }
    // Releases the streams and the file; the finished AVI appears at the output path. False
    // when the file could not be completed (then nothing is left at the path).
    [[nodiscard]] bool closeOutput() noexcept;
    // Releases everything and removes what this run wrote; the output path stays as it was.
    void abandonOutput() noexcept;
    // The system's words for the last output failure, empty when there was none.
    [[nodiscard]] std::string failureText() const;
    // True once a write to the file failed (a full disk, an I/O error): what was written can
    // no longer be trusted to make a complete file. A missing stream, an eleventh frame
    // size or a sample past what the file's index can hold fail an operation without
    // breaking the file.
    [[nodiscard]] bool outputBroken() const noexcept { return writeFailed; }
    // Samples written per stream since the run began; kept after closeOutput.
    [[nodiscard]] const AviOutputStats& outputStats() const noexcept { return stats; }

    // The writer's fields, in the order of the output state they describe.
    AviFile* aviFile = nullptr;
    std::int32_t videoFrameCount = 0;
    std::int32_t currentVideoStream = 0;
    std::int32_t videoStreamCount = 0;
    std::array<AviStream*, MAX_VIDEO_STREAMS> videoStreams{};
    std::array<AVISTREAMINFO, MAX_VIDEO_STREAMS> videoStreamInfos{};
    std::int32_t audioChunkCount = 0;
    AviStream* audioStream = nullptr;
    AVISTREAMINFO audioStreamInfo{};
    WAVEFORMATEX audioFormat{};
    VideoKind videoKind = VIDEO_KIND_NONE;

private:
    [[nodiscard]] AviStream* currentVideo() const noexcept;
    [[nodiscard]] bool noteWrite(bool written) noexcept;
    [[nodiscard]] bool noteVideoWrite(bool written) noexcept;
    [[nodiscard]] bool noteAudioWrite(bool written) noexcept;
    [[nodiscard]] std::span<std::uint8_t> spillRoom() noexcept;
    [[nodiscard]] bool openOutputFile() noexcept;
    void createVideoStream(std::int32_t index, VideoKind kind, std::uint32_t width,
                           std::uint32_t height, std::uint32_t frameRate) noexcept;
    void redescribeVideoStream(std::int32_t index, VideoKind kind, std::uint32_t width,
                               std::uint32_t height, std::uint32_t frameRate) noexcept;

    void releaseFile(bool keep) noexcept;
    void describeVideoStream(std::int32_t index, std::uint32_t width, std::uint32_t height,
                             std::uint32_t frameRate) noexcept;
    void describeAudioStream(std::uint32_t frameRate) noexcept;

    std::string outputPath;
    SinkFactory* sinkFactory = nullptr;
    AviFileLimits fileLimits;
    std::string lastFailure;
    bool writeFailed = false;
    AviOutputStats stats;
    FixedBuffer<SAMPLE_SPILL_BYTES> spill;
};

}  // namespace trunvex
