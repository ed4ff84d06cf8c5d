#include "platform/buffered_sink.h"

#include <array>
#include <cstring>
#include <new>

namespace trunvex {

AlignedBytes BufferedSink::allocateBuffer() noexcept {
    return allocateAligned(BUFFER_BYTES);
}

bool BufferedSink::write(std::span<const std::uint8_t> bytes) noexcept {
    const std::span<const std::uint8_t> parts[] = {bytes};
    return writeGather(parts);
}

bool BufferedSink::writeGather(std::span<const std::span<const std::uint8_t>> parts) noexcept {
    claimed = 0;
    if (!usable()) {
        return false;
    }
    if (parts.size() > MAX_PARTS) {
        return ByteSink::writeGather(parts);
    }
    std::size_t total = 0;
    for (const auto& part : parts) {
        total += part.size();
    }
    if (total >= DIRECT_WRITE_BYTES) {
        return writeThrough(parts, total);
    }
    if (total > BUFFER_BYTES - held && !flush()) {
        return false;
    }
    for (const auto& part : parts) {
        if (!part.empty()) {
            std::memcpy(buffer.get() + held, part.data(), part.size());
            held += part.size();
        }
    }
    return true;
}

std::span<std::uint8_t> BufferedSink::claim(std::size_t maxBytes) noexcept {
    claimed = 0;
    if (!usable() || maxBytes > BUFFER_BYTES) {
        return {};
    }
    if (maxBytes > BUFFER_BYTES - held && !flush()) {
        return {};
    }
    claimed = maxBytes;
    return {buffer.get() + held, maxBytes};
}

bool BufferedSink::commitClaim(std::size_t bytes) noexcept {
    const std::size_t room = claimed;
    claimed = 0;
    if (!usable()) {
        return false;
    }
    if (bytes > room) {
        fail("Sample larger than the room claimed for it");
        return false;
    }
    held += bytes;
    return true;
}

bool BufferedSink::seek(std::uint64_t position) noexcept {
    claimed = 0;
    if (!flush()) {
        return false;
    }
    bufferStart = position;
    return true;
}

bool BufferedSink::flush() noexcept {
    if (!usable()) {
        return false;
    }
    if (held == 0) {
        return true;
    }
    const std::span<const std::uint8_t> parts[] = {{buffer.get(), held}};
    if (!writeAt(parts, bufferStart)) {
        return false;
    }
    bufferStart += held;
    held = 0;
    return true;
}

void BufferedSink::fail(std::string text) noexcept {
    if (failure.empty()) {
        failure = std::move(text);
    }
}

bool BufferedSink::usable() noexcept {
    if (failure.empty() && !isOpen()) {
        fail(notOpenText());
    }
    return failure.empty();
}

// The buffered bytes and the parts in one call, with no copy of the parts.
bool BufferedSink::writeThrough(std::span<const std::span<const std::uint8_t>> parts,
                                std::size_t total) noexcept {
    std::array<std::span<const std::uint8_t>, MAX_PARTS + 1> all{};
    std::size_t count = 0;
    if (held > 0) {
        all[count++] = {buffer.get(), held};
    }
    for (const auto& part : parts) {
        if (!part.empty()) {
            all[count++] = part;
        }
    }
    if (!writeAt(std::span(all.data(), count), bufferStart)) {
        return false;
    }
    bufferStart += held + total;
    held = 0;
    return true;
}

}  // namespace trunvex
