#include "external_tool.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace trunvex::test {

bool runCommand(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool haveFfmpeg() {
    static const bool present = runCommand("ffmpeg -version > /dev/null 2>&1");
    return present;
}

std::filesystem::path workDir() {
    std::filesystem::path dir = std::filesystem::path(TRUNVEX_TEST_WORK_DIR) / "codec_test_files";
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace trunvex::test
