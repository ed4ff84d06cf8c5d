#include <gtest/gtest.h>

#include "support/test_support.h"

namespace trunvex::test {
namespace {

TEST(TestSupport, ParsesFfprobeFlatOutput) {
    const auto keys = parseFlat(
        "streams.stream.0.codec_name=\"h264\"\n"
        "streams.stream.0.width=704\r\n"
        "streams.stream.1.sample_rate=\"8000\"\n"
        "no equals sign here\n");
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys.at("streams.stream.0.codec_name"), "h264");
    EXPECT_EQ(keys.at("streams.stream.0.width"), "704");
    EXPECT_EQ(keys.at("streams.stream.1.sample_rate"), "8000");
}

TEST(TestSupport, RunsCommandsAndSeparatesTheirOutputs) {
    const auto dir = makeTempDir("support");
    const std::string awkward = (dir / "it's a file").string();
    ASSERT_TRUE(writeFile(awkward, {'o', 'k'}));
    const CommandResult r = runCommand("cat " + shellQuote(awkward) + "; echo oops >&2; exit 3");
    EXPECT_EQ(r.out, "ok");
    EXPECT_EQ(r.err, "oops\n");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(readFile(awkward), (std::vector<std::uint8_t>{'o', 'k'}));
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_EQ(dir.parent_path(), tempRoot());
    std::filesystem::remove_all(dir);
    EXPECT_FALSE(findProgram("sh").empty());
    EXPECT_TRUE(findProgram("no-such-program-here").empty());
}

}  // namespace
}  // namespace trunvex::test
