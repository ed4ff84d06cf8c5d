#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "support/riff_walker.h"
#include "support/test_sinks.h"

namespace trunvex::avitest {

// Little-endian fields of header bodies kept by the checker.
std::uint32_t u32At(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint16_t u16At(std::span<const std::uint8_t> bytes, std::size_t offset);

// strh body offsets, as the format defines them.
inline constexpr std::size_t STRH_INITIAL_FRAMES = 16;
inline constexpr std::size_t STRH_SCALE = 20;
inline constexpr std::size_t STRH_RATE = 24;
inline constexpr std::size_t STRH_START = 28;
inline constexpr std::size_t STRH_LENGTH = 32;
inline constexpr std::size_t STRH_BUFFER = 36;
inline constexpr std::size_t STRH_SAMPLE_SIZE = 44;
// avih body offsets.
inline constexpr std::size_t AVIH_USEC_PER_FRAME = 0;
inline constexpr std::size_t AVIH_FLAGS = 12;
inline constexpr std::size_t AVIH_TOTAL_FRAMES = 16;
inline constexpr std::size_t AVIH_STREAMS = 24;
inline constexpr std::size_t AVIH_BUFFER = 28;
inline constexpr std::size_t AVIH_WIDTH = 32;
inline constexpr std::size_t AVIH_HEIGHT = 36;

// A frame of n bytes whose content names its number, so misplaced chunks show.
std::vector<std::uint8_t> frameBytes(std::size_t n, std::uint32_t number);

// Output of a shell command (stdout only; add 2>&1 to see errors) and its exit status.
struct Command {
    int status = -1;
    std::string out;
};
Command run(const std::string& command);
// True when the program can be run; tests skip otherwise.
bool haveTool(const std::string& name);
std::string quote(const std::string& text);

// A fresh directory for one test under the build tree.
std::filesystem::path scratchDir(const std::string& name);
std::vector<std::uint8_t> readAll(const std::filesystem::path& path);
// Files in dir whose names start with '.' (what a sink leaves while writing).
std::vector<std::string> hiddenFiles(const std::filesystem::path& dir);

// A video clip from the external encoder, cut into the frames a recording would hold.
struct Clip {
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<bool> keys;
    std::filesystem::path path;  // the elementary stream as encoded
};
// H.264 with access unit delimiters (Annex B), or MPEG-4 part 2; empty on failure.
Clip encodeClip(const std::filesystem::path& dir, bool h264, int frames, int width, int height);

}  // namespace trunvex::avitest
