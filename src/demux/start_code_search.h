#pragma once

#include <cstdint>
#include <span>

namespace trunvex {

// Where a start-code search stopped: `shifted` bytes went through the accumulator, which
// then held `accumulator`. A code counts only when at least one byte follows it. The fast
// search also passes over codes whose headers it can see are invalid; `shortTail` says it
// stopped at such a restart with fewer than CARRY_BYTES left, which are to be held.
struct SearchResult {
    std::uint32_t shifted = 0;
    std::uint32_t accumulator = 0xFFFFFFFF;
    bool shortTail = false;
};

// The bytes a search looks at, and what it needs to judge the headers it passes.
struct SearchWindow {
    std::span<const std::uint8_t> bytes;  // at least CARRY_BYTES
    bool keyFrameSeen;
    std::uint64_t& rejectedHeaders;  // every header passed over as invalid is counted here
};

// Finds where the byte-at-a-time scan, restarted after every rejected header, would stop,
// without shifting every byte: the first 00 00 01 Fx at j - 2 .. j + 1 with a byte after it
// (j + 2 < n) whose header is cut off or valid.
[[nodiscard]] SearchResult findRecordStart(const SearchWindow& window) noexcept;

// The payload length of a valid header of `kind` at `header`, or 0 when the header breaks a
// rule of its kind. The whole header must be readable.
[[nodiscard]] std::uint32_t validPayloadLength(std::uint32_t kind, const std::uint8_t* header,
                                               bool keyFrameSeen) noexcept;

}  // namespace trunvex
