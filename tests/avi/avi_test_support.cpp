#include "avi_test_support.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "common/bytes.h"
#include "support/test_support.h"

namespace trunvex::avitest {

std::uint32_t u32At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return loadLe32(bytes.subspan(offset).first<4>());
}

std::uint16_t u16At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return loadLe16(bytes.subspan(offset).first<2>());
}

std::vector<std::uint8_t> frameBytes(std::size_t n, std::uint32_t number) {
    std::vector<std::uint8_t> frame(n);
    for (std::size_t i = 0; i < n; ++i) {
        frame[i] = static_cast<std::uint8_t>(number * 7 + i);
    }
    return frame;
}

Command run(const std::string& command) {
    const test::CommandResult result = test::runCommand(command);
    return {result.exitCode, result.out};
}

bool haveTool(const std::string& name) {
    return !test::findProgram(name).empty();
}

std::string quote(const std::string& text) {
    return test::shellQuote(text);
}

std::filesystem::path scratchDir(const std::string& name) {
    const std::filesystem::path dir =
        std::filesystem::path(TRUNVEX_AVI_TEST_DIR) / (name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::vector<std::uint8_t> readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> hiddenFiles(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && name[0] == '.') {
            names.push_back(name);
        }
    }
    return names;
}

namespace {

// Positions of the code byte after each 00 00 01 that passes the test.
template <typename Pred>
std::vector<std::size_t> startCodes(const std::vector<std::uint8_t>& s, Pred pred) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && pred(s[i + 3])) {
            at.push_back(i + 3);
        }
    }
    return at;
}

}  // namespace

Clip encodeClip(const std::filesystem::path& dir, bool h264, int frames, int width, int height) {
    Clip clip;
    clip.path = dir / (h264 ? "clip.h264" : "clip.m4v");
    const std::string codec =
        h264 ? "-c:v libx264 -x264-params aud=1 -f h264" : "-c:v mpeg4 -f m4v";
    const Command encode =
        run("ffmpeg -v error -y -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
            std::to_string(height) + ":rate=25 -frames:v " + std::to_string(frames) +
            " -bf 0 -g 12 -pix_fmt yuv420p " + codec + " " + quote(clip.path.string()) + " 2>&1");
    if (encode.status != 0) {
        return {};
    }
    const std::vector<std::uint8_t> s = readAll(clip.path);
    // H.264: each access unit begins with its delimiter (type 9). MPEG-4: each frame with its
    // VOP start code (B6); the sequence headers before the first one go with it.
    std::vector<std::size_t> cuts =
        h264 ? startCodes(s, [](std::uint8_t b) { return (b & 0x1F) == 9; })
             : startCodes(s, [](std::uint8_t b) { return b == 0xB6; });
    if (cuts.empty()) {
        return {};
    }
    for (std::size_t& cut : cuts) {
        cut -= cut >= 4 && s[cut - 4] == 0 ? 4U : 3U;  // H.264 uses four-byte start codes
    }
    cuts[0] = 0;
    cuts.push_back(s.size());
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        std::vector<std::uint8_t> frame(s.begin() + static_cast<std::ptrdiff_t>(cuts[i]),
                                        s.begin() + static_cast<std::ptrdiff_t>(cuts[i + 1]));
        bool key = false;
        if (h264) {
            key = !startCodes(frame, [](std::uint8_t b) { return (b & 0x1F) == 5; }).empty();
        } else {
            // vop_coding_type, the top two bits after the VOP start code: 0 is an I-VOP.
            const auto vop = startCodes(frame, [](std::uint8_t b) { return b == 0xB6; });
            key = !vop.empty() && vop.front() + 1 < frame.size() &&
                  (frame[vop.front() + 1] >> 6) == 0;
        }
        clip.keys.push_back(key);
        clip.frames.push_back(std::move(frame));
    }
    return clip;
}

}  // namespace trunvex::avitest
