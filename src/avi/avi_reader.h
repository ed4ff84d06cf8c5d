#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/stored_bytes.h"

namespace trunvex {

// What an AVI on disk says of itself, from its headers.
struct AviDescription {
    struct Video {
        std::string codec;  // "h264", "mpeg4", or the compression code as written
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t frameRate = 0;  // frames a second, rounded
        std::uint64_t samples = 0;    // chunks, empty ones included
        // Of the samples, the frames and the empty ones: counted from the legacy index of a
        // file of one RIFF; unknown for an OpenDML file, whose index is spread over it.
        std::optional<std::uint64_t> frames;
        std::optional<std::uint64_t> emptySamples;
    };
    struct Audio {
        std::uint32_t sampleRate = 0;
        std::uint32_t bitsPerSample = 0;
        std::uint64_t samples = 0;
    };
    std::vector<Video> video;
    std::optional<Audio> audio;
    double videoSeconds = 0;  // the longest video stream
    double audioSeconds = 0;
};

struct AviStructure {
    // Empty when the file is a whole AVI; otherwise what gives it away as broken or cut.
    std::string fault;
    AviDescription description;  // valid when there is no fault
    [[nodiscard]] bool whole() const noexcept { return fault.empty(); }
};

// A quick check that the file is a whole AVI as the writer leaves it, from a few reads at
// its start and end, never the whole file: the RIFF sizes (the AVI part and every AVIX part)
// add up to the file's size, the header list parses, and an index (idx1, or the OpenDML
// super indexes) is there and lies inside the file. A file cut short or never finished, and
// an empty one, fail it.
[[nodiscard]] AviStructure readAviStructure(StoredBytes& file);

}  // namespace trunvex
