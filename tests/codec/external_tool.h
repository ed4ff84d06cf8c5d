#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace trunvex::test {

// True when `ffmpeg` can be started from PATH.
bool haveFfmpeg();

// Runs a shell command; true when it exits with status 0.
bool runCommand(const std::string& command);

// Where the codec tests keep the files they hand to and get from ffmpeg.
std::filesystem::path workDir();

std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
bool writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

}  // namespace trunvex::test
