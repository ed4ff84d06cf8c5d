#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace trunvex {

// A file already on disk, read at any offset: the AVI layer reads back what it wrote without
// touching the system itself. The platform layer opens the real files.
class StoredBytes {
public:
    virtual ~StoredBytes() = default;
    [[nodiscard]] virtual std::uint64_t size() const noexcept = 0;
    // Fills all of `into` from `offset`. False when that fails or runs past the end of the
    // file; errorText() then says why in the system's words (empty past the end).
    [[nodiscard]] virtual bool readAt(std::uint64_t offset,
                                      std::span<std::uint8_t> into) noexcept = 0;
    [[nodiscard]] virtual std::string errorText() const = 0;
};

}  // namespace trunvex
