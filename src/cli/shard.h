#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace trunvex {

// One of N processes sharing a list: shard K of N (K counted from 0).
struct Shard {
    std::size_t index = 0;
    std::size_t count = 1;
};

// "K/N" with 0 <= K < N; nothing for anything else.
[[nodiscard]] std::optional<Shard> parseShard(std::string_view text);

// The shard's share of a list of `total` items: a run of consecutive items, the runs of all
// shards covering the list once and differing in length by one at most. Consecutive runs
// keep the per-shard reports in list order, so joining them in shard order gives the
// report of a single run.
struct ShardRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};
[[nodiscard]] ShardRange shareOf(std::size_t total, Shard shard) noexcept;

template <typename T>
[[nodiscard]] std::vector<T> takeShare(std::vector<T> items, Shard shard) {
    const ShardRange range = shareOf(items.size(), shard);
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(range.end), items.end());
    items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(range.begin));
    return items;
}

}  // namespace trunvex
