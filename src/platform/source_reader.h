#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace trunvex {

// The source recording, opened for reading while others may still read and write it.
class SourceReader {
public:
    virtual ~SourceReader() = default;
    // Bytes read into `into`; fewer than asked only at the end of the file, or when a read
    // failed after some bytes had arrived: those are returned and the next call returns -1.
    // -1 on failure.
    [[nodiscard]] virtual std::int64_t read(std::span<std::uint8_t> into) noexcept = 0;
    // Size in bytes when known (for progress), 0 otherwise.
    [[nodiscard]] virtual std::uint64_t size() const noexcept = 0;
    // True when `path` names this same file (another path or a link included).
    [[nodiscard]] virtual bool isSameFileAs(const std::string& path) const noexcept = 0;
    [[nodiscard]] virtual std::string errorText() const = 0;
};

class SourceOpener {
public:
    virtual ~SourceOpener() = default;
    // Null when the path is missing or unreadable, or names neither a regular file nor a pipe
    // (a folder, a device); `failure` then says why in the system's words.
    [[nodiscard]] virtual std::unique_ptr<SourceReader> open(const std::string& path,
                                                             std::string& failure) noexcept = 0;
};

}  // namespace trunvex
