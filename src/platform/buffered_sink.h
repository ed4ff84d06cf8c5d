#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/byte_sink.h"
#include "common/fixed_buffer.h"

namespace trunvex {

// The part of a file sink that is the same on every system: writes are gathered in a 1 MiB
// buffer, payloads of 64 KiB and more go straight through with the buffered bytes in front,
// and the first failure is kept. A system's sink supplies the positional write.
class BufferedSink : public ByteSink {
public:
    static constexpr std::size_t BUFFER_BYTES = std::size_t{1} << 20;
    // Payloads at least this large bypass the buffer: copying them would cost more than the
    // extra system call saves.
    static constexpr std::size_t DIRECT_WRITE_BYTES = std::size_t{64} << 10;
    // More parts than this in one gathered write go out one by one.
    static constexpr std::size_t MAX_PARTS = 8;

    // A buffer for a sink, on a page boundary, or null when memory is short.
    [[nodiscard]] static AlignedBytes allocateBuffer() noexcept;

    bool write(std::span<const std::uint8_t> bytes) noexcept override;
    bool writeGather(std::span<const std::span<const std::uint8_t>> parts) noexcept override;
    // The room lies in the buffer, which is flushed first when the rest of it is too small.
    std::span<std::uint8_t> claim(std::size_t maxBytes) noexcept override;
    bool commitClaim(std::size_t bytes) noexcept override;
    bool seek(std::uint64_t position) noexcept override;
    std::uint64_t position() const noexcept override { return bufferStart + held; }
    std::string errorText() const override { return failure; }

protected:
    explicit BufferedSink(AlignedBytes bufferBytes) noexcept : buffer(std::move(bufferBytes)) {}

    // Writes every byte of `parts`, in order, starting at `offset`. On failure it calls
    // fail() and returns false.
    [[nodiscard]] virtual bool writeAt(std::span<const std::span<const std::uint8_t>> parts,
                                       std::uint64_t offset) noexcept = 0;
    // False once the file is closed; writes then fail with notOpenText().
    [[nodiscard]] virtual bool isOpen() const noexcept = 0;
    [[nodiscard]] virtual std::string notOpenText() const = 0;

    // Writes out the buffered bytes.
    [[nodiscard]] bool flush() noexcept;
    // Forgets the buffered bytes (the file is being thrown away).
    void dropBuffered() noexcept { held = 0; }
    // Keeps the first reason only: later failures follow from it.
    void fail(std::string text) noexcept;

private:
    [[nodiscard]] bool usable() noexcept;
    [[nodiscard]] bool writeThrough(std::span<const std::span<const std::uint8_t>> parts,
                                    std::size_t total) noexcept;

    AlignedBytes buffer;
    std::size_t held = 0;
    std::size_t claimed = 0;  // room handed out by claim(), right after the held bytes
    std::uint64_t bufferStart = 0;
    std::string failure;
};

}  // namespace trunvex
