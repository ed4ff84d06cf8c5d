#pragma once

// Damages a recording the ways storage, transfer and broken recorders do: flipped bits, cut
// ends, spans lost, gained or repeated, headers whose lengths and fields are at and past the
// format's limits, and start codes where none belong. Deterministic for a given seed.

#include <cstdint>
#include <string>
#include <vector>

namespace trunvex::mutate {

struct Mutant {
    std::vector<std::uint8_t> bytes;
    std::string description;  // the operations applied, in order, with their places and values
};

// One to four operations on a copy of `base`, chosen by `seed`.
[[nodiscard]] Mutant mutateRecording(const std::vector<std::uint8_t>& base, std::uint64_t seed);

}  // namespace trunvex::mutate
