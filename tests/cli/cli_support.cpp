#include "cli/cli_support.h"

#include <gtest/gtest.h>

#include <regex>

namespace trunvex::test {

Expected makeRecording(const std::string& options, const std::filesystem::path& out, bool bare) {
    const std::filesystem::path stem = out.parent_path() / out.stem();
    std::string command = shellQuote(MAKER) + " " + options + " --out " + shellQuote(out.string());
    if (!bare) {
        command += " --annexb-out " + shellQuote(stem.string() + ".video") + " --pcm-out " +
                   shellQuote(stem.string() + ".pcm");
    }
    const CommandResult r = runCommand(command);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    const std::regex summary(R"((\d+) video and (\d+) audio chunks expected in (\d+) video)");
    EXPECT_TRUE(std::regex_search(r.out, m, summary)) << r.out;
    if (m.empty()) {
        return {};
    }
    return {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
}

std::map<std::string, std::string> probe(const std::filesystem::path& avi) {
    const CommandResult r = runCommand(
        "ffprobe -v error -count_packets -show_entries "
        "stream=codec_name,codec_type,width,height,r_frame_rate,sample_rate,bits_per_sample,"
        "nb_frames,nb_read_packets -of flat " +
        shellQuote(avi.string()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return parseFlat(r.out);
}

CommandResult runCli(const std::string& args) {
    return runCommand(shellQuote(CLI) + " " + args);
}

}  // namespace trunvex::test
