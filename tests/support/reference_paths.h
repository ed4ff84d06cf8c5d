#pragma once

// The literal, byte-at-a-time forms of the demultiplexer's fast paths, kept as the reference
// that the fast ones are held to (library trunvex_reference_paths). Same contracts as the
// functions of the same names in namespace trunvex; none of it is part of the program.

#include <cstdint>
#include <span>
#include <string>

#include "common/codes.h"
#include "demux/conversion_context.h"
#include "demux/start_code_search.h"

namespace trunvex::reference {

// Every byte shifted through a 32-bit accumulator, which is compared with the six record
// codes before each shift; headers are not judged, so the search stops at every code.
[[nodiscard]] SearchResult findRecordStart(const SearchWindow& window) noexcept;

// A stored unit escaped one byte at a time.
[[nodiscard]] std::uint32_t repackNalUnit(std::span<const std::uint8_t> unit,
                                          std::span<std::uint8_t> out) noexcept;
[[nodiscard]] std::uint32_t repackNalListFrame(std::span<const std::uint8_t> payload,
                                               std::span<std::uint8_t> out) noexcept;

// The demultiplexer's own steps over the three above.
[[nodiscard]] RunResult processChunk(ConversionContext& ctx,
                                     std::span<const std::uint8_t> data) noexcept;

// A whole recording through that demultiplexer in chunks of READ_CHUNK_BYTES, as a run reads
// it, to the AVI at aviPath from `sinks`; the output is closed when it holds a frame.
// RUN_OK, RUN_OUTPUT_FAILED, or RUN_NO_FRAMES. The context's buffers must be allocated.
[[nodiscard]] RunResult convertRecording(ConversionContext& ctx,
                                         std::span<const std::uint8_t> recording,
                                         const std::string& aviPath, SinkFactory& sinks);

}  // namespace trunvex::reference
