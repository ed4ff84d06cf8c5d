#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

namespace trunvex {

// Large buffers start on a page boundary. The kernel copies file data between page-aligned
// page-cache pages and our buffers with string moves, which run at a fraction of their speed
// when source and destination lie a few bytes apart modulo the page size; the allocator's
// own large blocks start 16 bytes into a page, which is exactly that case.
inline constexpr std::size_t BUFFER_ALIGNMENT = 4096;

struct AlignedDelete {
    void operator()(std::uint8_t* bytes) const noexcept {
        ::operator delete[](bytes, std::align_val_t{BUFFER_ALIGNMENT});
    }
};
using AlignedBytes = std::unique_ptr<std::uint8_t[], AlignedDelete>;

// `count` bytes on a page boundary, or null when memory is short.
[[nodiscard]] inline AlignedBytes allocateAligned(std::size_t count) noexcept {
    return AlignedBytes(new (std::align_val_t{BUFFER_ALIGNMENT}, std::nothrow) std::uint8_t[count]);
}

// One heap block of N bytes, allocated once and released idempotently. It starts LEAD bytes
// after a page boundary: a buffer that receives copies from a page-aligned one at small
// offsets (the carried bytes of a scan) is kept that far from the bad distance.
template <std::size_t N, std::size_t LEAD = 0>
class FixedBuffer {
public:
    static_assert(LEAD < BUFFER_ALIGNMENT);
    [[nodiscard]] bool allocate() noexcept {
        if (!bytes) {
            bytes = allocateAligned(LEAD + N);
        }
        return bytes != nullptr;
    }
    void release() noexcept { bytes.reset(); }
    [[nodiscard]] bool allocated() const noexcept { return bytes != nullptr; }
    // Valid only while allocated.
    [[nodiscard]] std::span<std::uint8_t, N> view() noexcept {
        return std::span<std::uint8_t, N>{bytes.get() + LEAD, N};
    }
    [[nodiscard]] std::uint8_t* data() noexcept { return bytes.get() + LEAD; }
    static constexpr std::size_t size() noexcept { return N; }

private:
    AlignedBytes bytes;
};

}  // namespace trunvex
