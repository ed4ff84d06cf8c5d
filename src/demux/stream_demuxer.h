#pragma once

#include <cstdint>
#include <span>

#include "common/codes.h"
#include "demux/conversion_context.h"

namespace trunvex {

// Feeds one chunk of the recording, in file order, to the demultiplexer. Every complete
// record is validated, converted and handed to ctx.writer; bytes that a chunk boundary cuts
// are carried in ctx.frameBuffer. Returns RUN_OK, or RUN_OUTPUT_FAILED at once when a writer
// operation fails (the rest of the chunk is not examined). `data` need only live for the
// call. Requires the context's buffers to be allocated and at most READ_CHUNK_BYTES.
//
// Between two calls, while payloadRemaining > 0 the first heldBytes bytes of frameBuffer are
// the start of the pending payload; otherwise they (at most CARRY_BYTES) are scanned again
// in front of the next chunk. There is no final call: what is held at the end is dropped.
[[nodiscard]] RunResult processChunk(ConversionContext& ctx,
                                     std::span<const std::uint8_t> data) noexcept;

}  // namespace trunvex
