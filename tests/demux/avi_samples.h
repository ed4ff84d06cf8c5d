#pragma once

// Lists the samples of an AVI file held in memory, in file order, with their idx1 flags: what
// a reader sees of the demultiplexer's output, without the headers.

#include <cstdint>
#include <string>
#include <vector>

namespace trunvex::testing {

struct AviSample {
    std::string id;  // "00dc", "01wb", ...
    std::vector<std::uint8_t> bytes;
    bool key = false;

    bool operator==(const AviSample&) const = default;
};

// The `##dc`/`##wb` chunks of the first RIFF's movi list, keyed from idx1. Empty when the
// bytes are not an AVI file.
std::vector<AviSample> listSamples(const std::vector<std::uint8_t>& avi);

// The samples of one stream number, fill chunks (empty video samples) included.
std::vector<AviSample> samplesOf(const std::vector<AviSample>& all, int stream);

}  // namespace trunvex::testing
