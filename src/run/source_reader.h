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
    // Bytes read into `into`; fewer than asked only at the end of the file; -1 on failure.
    [[nodiscard]] virtual std::int64_t read(std::span<std::uint8_t> into) noexcept = 0;
    // Reads like read() but may hand out the bytes where the reader already holds them rather
    // than copy them into `scratch`: `view` receives the bytes read, valid until the next call.
    [[nodiscard]] virtual std::int64_t readView(std::span<std::uint8_t> scratch,
                                                std::span<const std::uint8_t>& view) noexcept {
        const std::int64_t n = read(scratch);
        view = n > 0 ? scratch.first(static_cast<std::size_t>(n)) : std::span<std::uint8_t>{};
        return n;
    }
    // Size in bytes when known (for progress), 0 otherwise.
    [[nodiscard]] virtual std::uint64_t size() const noexcept = 0;
    // True when `path` names this same file (another path or a link included).
    [[nodiscard]] virtual bool isSameFileAs(const std::string& path) const noexcept = 0;
    [[nodiscard]] virtual std::string errorText() const = 0;
};

class SourceOpener {
public:
    virtual ~SourceOpener() = default;
    // Null when the path is missing, unreadable or not a regular file.
    [[nodiscard]] virtual std::unique_ptr<SourceReader> open(const std::string& path) noexcept = 0;
};

// The program's opener: plain files, read ahead by a thread of their own in large blocks, so
// that reading overlaps the conversion.
SourceOpener& fileSourceOpener() noexcept;

}  // namespace trunvex
