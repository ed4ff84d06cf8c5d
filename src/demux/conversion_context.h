#pragma once

#include <cstdint>

#include "avi/avi_writer.h"
#include "common/codes.h"
#include "common/fixed_buffer.h"

namespace trunvex {

// All state of a conversion: the four buffers (allocated once by the owner, never per run),
// where the scan stands between two chunks, and the output writer.
struct ConversionContext {
    FixedBuffer<READ_CHUNK_BYTES> readBuffer;
    FixedBuffer<FRAME_BUFFER_BYTES> frameBuffer;
    FixedBuffer<REPACK_BUFFER_BYTES> repackBuffer;
    FixedBuffer<PCM_BUFFER_BYTES> pcmBuffer;

    // The demultiplexer's fields; see stream_demuxer.h for what holds between two calls.
    std::uint32_t startCodeAccumulator = 0xFFFFFFFF;
    std::uint32_t payloadRemaining = 0;
    std::uint32_t heldBytes = 0;
    bool skipPayload = false;
    std::uint32_t scanAvailable = 0;
    const std::uint8_t* scanPosition = nullptr;
    std::uint32_t payloadLayout = 0;
    std::uint32_t frameRate = 0;
    std::uint32_t audioEncoding = 0;
    std::uint32_t audioRateCode = 0;
    std::uint32_t repackedLength = 0;
    bool keyFrameSeen = false;

    AviWriter writer;

    // The literal byte-at-a-time start-code search and escaping instead of the fast paths;
    // both give the same records and bytes, which the differential tests hold them to.
    bool useReferencePaths = false;

    // All four buffers, or none: false when memory ran out.
    [[nodiscard]] bool allocateBuffers() noexcept;
    // Frees the buffers; harmless when they are already gone.
    void releaseBuffers() noexcept;
    [[nodiscard]] bool buffersAllocated() const noexcept;
    // The demultiplexer's starting values for a run (the writer has resetOutput).
    void resetDemuxer() noexcept;
};

}  // namespace trunvex
