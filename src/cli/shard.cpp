#include "cli/shard.h"

#include <charconv>

namespace trunvex {
namespace {

bool parseCount(std::string_view text, std::size_t& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && at == end;
}

}  // namespace

std::optional<Shard> parseShard(std::string_view text) {
    const std::size_t slash = text.find('/');
    Shard shard;
    if (slash == std::string_view::npos || !parseCount(text.substr(0, slash), shard.index) ||
        !parseCount(text.substr(slash + 1), shard.count) || shard.count == 0 ||
        shard.index >= shard.count) {
        return std::nullopt;
    }
    return shard;
}

ShardRange shareOf(std::size_t total, Shard shard) noexcept {
    // Balanced by count: begin and end are the shard's boundaries scaled to the list.
    // total * k / count, without the product overflowing.
    auto boundary = [&](std::size_t k) {
        return total / shard.count * k + total % shard.count * k / shard.count;
    };
    return {boundary(shard.index), boundary(shard.index + 1)};
}

}  // namespace trunvex
