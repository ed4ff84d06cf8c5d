#pragma once

#include <cstdint>
#include <span>

namespace trunvex {

// Little-endian reads and writes; the fixed extent makes the checked bound visible at the
// call site: loadLe32(bytes.subspan(pos).first<4>()).
constexpr std::uint16_t loadLe16(std::span<const std::uint8_t, 2> b) noexcept {
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

constexpr std::uint32_t loadLe32(std::span<const std::uint8_t, 4> b) noexcept {
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

constexpr void storeLe16(std::span<std::uint8_t, 2> b, std::uint16_t v) noexcept {
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void storeLe32(std::span<std::uint8_t, 4> b, std::uint32_t v) noexcept {
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
    b[2] = static_cast<std::uint8_t>(v >> 16);
    b[3] = static_cast<std::uint8_t>(v >> 24);
}

constexpr void storeLe64(std::span<std::uint8_t, 8> b, std::uint64_t v) noexcept {
    storeLe32(b.first<4>(), static_cast<std::uint32_t>(v));
    storeLe32(b.last<4>(), static_cast<std::uint32_t>(v >> 32));
}

// A four-character code with its first character in the lowest byte.
constexpr std::uint32_t fourCc(const char (&s)[5]) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 8) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3])) << 24);
}

}  // namespace trunvex
