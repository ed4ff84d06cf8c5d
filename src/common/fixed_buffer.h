#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

namespace trunvex {

// One heap block of N bytes, allocated once and released idempotently.
template <std::size_t N>
class FixedBuffer {
public:
    [[nodiscard]] bool allocate() noexcept {
        if (!bytes) {
            bytes.reset(new (std::nothrow) std::uint8_t[N]);
        }
        return bytes != nullptr;
    }
    void release() noexcept { bytes.reset(); }
    [[nodiscard]] bool allocated() const noexcept { return bytes != nullptr; }
    // Valid only while allocated.
    [[nodiscard]] std::span<std::uint8_t, N> view() noexcept {
        return std::span<std::uint8_t, N>{bytes.get(), N};
    }
    [[nodiscard]] std::uint8_t* data() noexcept { return bytes.get(); }
    static constexpr std::size_t size() noexcept { return N; }

private:
    std::unique_ptr<std::uint8_t[]> bytes;
};

}  // namespace trunvex
