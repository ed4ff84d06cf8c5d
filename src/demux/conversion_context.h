#pragma once

#include <array>
#include <cstdint>

#include "avi/avi_writer.h"
#include "common/codes.h"
#include "common/fixed_buffer.h"
#include "common/record_rules.h"

namespace trunvex {

// What the demultiplexer found in a recording, counted on every run.
struct DemuxStats {
    struct FrameFormat {
        std::uint32_t kind = 0;  // REC_H264_KEY or REC_MPEG4_KEY
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t frameRate = 0;
        std::uint64_t keyFrames = 0;
    };
    static constexpr std::size_t MAX_FORMATS = 16;

    // Accepted records by kind, indexed by recordKindIndex.
    std::array<std::uint64_t, RECORD_KIND_SLOTS> records{};
    // Start codes + headers + payloads of accepted records; the rest was passed over.
    std::uint64_t recordBytes = 0;
    std::uint64_t rejectedHeaders = 0;
    std::uint64_t skippedPayloadBytes = 0;
    std::uint64_t droppedVideoFrames = 0;      // of the family the current stream is not
    std::uint64_t malformedKeyFrames = 0;      // NAL lists that did not fit their payload
    std::uint64_t unreadableStoredFrames = 0;  // Annex-B frames without a start code
    std::array<FrameFormat, MAX_FORMATS> formats{};
    std::size_t formatCount = 0;
    // Audio blocks by encoding byte and by rate code.
    std::array<std::uint64_t, 256> audioBlocksByEncoding{};
    std::array<std::uint64_t, MAX_AUDIO_RATE_CODE + 1> audioBlocksByRateCode{};
    double videoSeconds = 0;
    double audioSeconds = 0;
};

// All state of a conversion: the buffers (allocated once by the owner, never per run: the
// two here and the writer's spill buffer), where the scan stands between two chunks, what it
// found, and the output writer.
struct ConversionContext {
    FixedBuffer<READ_BLOCK_BYTES> readBuffer;
    // Chunks are copied behind up to 16 carried bytes: half a page keeps those copies, from
    // the page-aligned read buffer, clear of the slow distances.
    FixedBuffer<FRAME_BUFFER_BYTES, BUFFER_ALIGNMENT / 2> frameBuffer;

    // The demultiplexer's fields; see stream_demuxer.h for what holds between two calls.
    std::uint32_t startCodeAccumulator = 0xFFFFFFFF;
    std::uint32_t payloadRemaining = 0;
    std::uint32_t heldBytes = 0;
    bool skipPayload = false;
    std::uint32_t payloadLayout = 0;
    std::uint32_t frameRate = 0;
    std::uint32_t audioEncoding = 0;
    std::uint32_t audioRateCode = 0;
    bool keyFrameSeen = false;

    DemuxStats stats;

    AviWriter writer;

    // All the buffers, or none: false when memory ran out.
    [[nodiscard]] bool allocateBuffers() noexcept;
    // Frees the buffers; harmless when they are already gone.
    void releaseBuffers() noexcept;
    [[nodiscard]] bool buffersAllocated() const noexcept;
    // The demultiplexer's starting values for a run (the writer has resetOutput).
    void resetDemuxer() noexcept;
};

}  // namespace trunvex
