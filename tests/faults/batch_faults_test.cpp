// A batch whose source fails halfway: the AVI path keeps what it held, a resume converts the
// recording again instead of trusting what a failed run would have left.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cli/audit_report.h"
#include "cli/batch.h"
#include "cli/source_tree.h"
#include "faults/fault_support.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class BatchFaults : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test::makeTempDir("batch-faults");
        source = dir / "rec.264";
        avi = dir / "out" / "rec.avi";
        ASSERT_TRUE(test::writeFile(source, test::syntheticRecording(40, 50000)));
        fs::create_directories(avi.parent_path());
    }

    // One resumable batch over the recording; `failAt`: the read that reaches this byte fails.
    int runOnce(BatchOptions options, std::uint64_t failAt = UINT64_MAX) {
        test::FaultySourceOpener sources(commandLineSourceOpener());
        sources.failAtByte = failAt;
        options.sources = &sources;
        AuditReport report;
        std::string failure;
        EXPECT_TRUE(report.open((dir / "report.jsonl").string(), failure)) << failure;
        options.report = &report;
        std::FILE* sink = std::fopen("/dev/null", "w");
        const int status = runBatch({{source.string(), avi.string(), 0, {}}}, options, sink, sink);
        std::fclose(sink);
        EXPECT_TRUE(report.close());
        lastReport = readText(dir / "report.jsonl");
        return status;
    }

    fs::path dir, source, avi;
    std::string lastReport;
};

TEST_F(BatchFaults, FailedReadCommitsNothingAndAResumeConvertsAgain) {
    const std::uint64_t half = fs::file_size(source) / 2;
    struct Case {
        const char* name;
        bool earlierAvi;
        bool keepPartial;
    };
    for (const Case c : {Case{"nothing there before", false, false},
                         Case{"an earlier AVI", true, false}, Case{"salvage", false, true}}) {
        SCOPED_TRACE(c.name);
        fs::remove(avi);
        const test::Bytes earlier = {'R', 'I', 'F', 'F', 'o', 'l', 'd'};
        if (c.earlierAvi) {
            ASSERT_TRUE(test::writeFile(avi, earlier));
        }
        BatchOptions options;
        options.skipExisting = true;
        options.keepPartial = c.keepPartial;
        EXPECT_EQ(runOnce(options, half), exitCodeFor(CONVERT_READ_FAILED));
        EXPECT_NE(lastReport.find("\"outcome\":\"failed\""), std::string::npos) << lastReport;
        if (c.keepPartial) {
            EXPECT_NE(lastReport.find("\"avi_partial\":true"), std::string::npos) << lastReport;
            EXPECT_LT(fs::file_size(avi), fs::file_size(source));
            continue;
        }
        EXPECT_EQ(lastReport.find("avi_partial"), std::string::npos) << lastReport;
        EXPECT_EQ(fs::exists(avi), c.earlierAvi);
        if (c.earlierAvi) {
            EXPECT_EQ(test::readFile(avi), earlier);
        }
        // The resume converts it: the old file is no AVI, and a failed run left none.
        options.keepPartial = false;
        EXPECT_EQ(runOnce(options), 0) << lastReport;
        EXPECT_NE(lastReport.find("\"outcome\":\"converted\""), std::string::npos) << lastReport;
        EXPECT_EQ(lastReport.find("redone_because") != std::string::npos, c.earlierAvi)
            << lastReport;
        EXPECT_EQ(runOnce(options), 0);
        EXPECT_NE(lastReport.find("\"outcome\":\"skipped\""), std::string::npos) << lastReport;
    }
}

}  // namespace
}  // namespace trunvex
