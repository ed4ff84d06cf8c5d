// Faults that only a real system gives: a disk that fills up, a run killed midway.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "faults/fault_support.h"
#include "platform/file_sink.h"
#include "platform/source_file.h"
#include "run/run_messages.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::namesIn;
using test::snapshotOf;

// A small file system of its own, unmounted when the test ends.
class SmallDisk {
public:
    SmallDisk(const fs::path& where, const char* options) : path(where) {
        fs::create_directories(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options) == 0;
        if (!mounted) {
            reason = std::strerror(errno);
        }
    }
    ~SmallDisk() {
        if (mounted) {
            ::umount2(path.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    fs::path path;
    bool mounted = false;
    std::string reason;
};

TEST(DiskFaults, FullDiskLeavesNothingButWhatWasThere) {
    const fs::path dir = test::makeTempDir("full_disk");
    SmallDisk disk(dir / "disk", "size=2m");
    if (!disk.mounted) {
        GTEST_SKIP() << "cannot mount a small file system here: " << disk.reason;
    }
    const fs::path source = dir / "rec.264";
    ASSERT_TRUE(test::writeFile(source, test::syntheticRecording(40, 100000)));
    const test::FileSnapshot sourceBefore = snapshotOf(source);
    ConversionContext ctx;
    ASSERT_TRUE(ctx.allocateBuffers());
    test::SilentUi ui;

    // First on the empty disk, then beside an earlier AVI that takes part of the room.
    for (const bool earlier : {false, true}) {
        SCOPED_TRACE(earlier ? "earlier file there" : "empty disk");
        const fs::path avi = disk.path / "out.avi";
        if (earlier) {
            ASSERT_TRUE(test::writeFile(avi, Bytes(300000, 0x5A)));
        }
        const test::FileSnapshot aviBefore = snapshotOf(avi);
        const ConvertReport report = convertRecording(ctx, source.string(), avi.string(), ui);
        EXPECT_EQ(report.outcome, CONVERT_OUTPUT_FAILED);
        EXPECT_EQ(ui.message, MSG_OUTPUT_FAILED);
        EXPECT_EQ(report.systemReason, std::strerror(ENOSPC));
        EXPECT_TRUE(snapshotOf(avi) == aviBefore);
        EXPECT_EQ(namesIn(disk.path),
                  earlier ? std::vector<std::string>{"out.avi"} : std::vector<std::string>{});
        EXPECT_TRUE(snapshotOf(source) == sourceBefore);
    }
}

// The temporary file of a run into `avi`, or an empty path while there is none.
fs::path temporaryFileFor(const fs::path& avi) {
    const std::string prefix = fs::path(temporaryPrefixFor(avi.string())).filename().string();
    for (const std::string& name : namesIn(avi.parent_path())) {
        if (name.starts_with(prefix) && name.ends_with(".part")) {
            return avi.parent_path() / name;
        }
    }
    return {};
}

TEST(DiskFaults, KilledRunLeavesTheEarlierAviAndTheSourceAsTheyWere) {
    const fs::path dir = test::makeTempDir("killed_run");
    const fs::path source = dir / "rec.264";
    const fs::path avi = dir / "out.avi";
    ASSERT_TRUE(test::writeFile(source, test::syntheticRecording(60, 200000)));
    ASSERT_TRUE(test::writeFile(avi, Bytes(4096, 0xA5)));
    const test::FileSnapshot sourceBefore = snapshotOf(source);
    const test::FileSnapshot aviBefore = snapshotOf(avi);

    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // Slow reads keep the run going long enough to be caught halfway.
        ConversionContext ctx;
        if (!ctx.allocateBuffers()) {
            ::_exit(70);
        }
        test::FaultySourceOpener slow(fileSourceOpener());
        slow.delayMicros = 20000;
        test::SilentUi ui;
        const ConvertReport report =
            convertRecording(ctx, source.string(), avi.string(), ui, slow, fileSinkFactory());
        ::_exit(static_cast<int>(report.outcome));
    }

    // Kill it once its temporary file holds converted bytes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::uintmax_t written = 0;
    while (written == 0 && std::chrono::steady_clock::now() < deadline) {
        const fs::path partial = temporaryFileFor(avi);
        std::error_code error;
        written = partial.empty() ? 0 : fs::file_size(partial, error);
        if (error) {
            written = 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_GT(written, 0u) << "the run wrote nothing within 30 s";
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";

    EXPECT_TRUE(snapshotOf(avi) == aviBefore);
    EXPECT_TRUE(snapshotOf(source) == sourceBefore);
    // What a killed run leaves is a temporary file that says what it is.
    const fs::path leftover = temporaryFileFor(avi);
    EXPECT_FALSE(leftover.empty());
    EXPECT_EQ(namesIn(dir).size(), 3u);

    // The next run replaces the AVI and cleans up after itself (not after the killed one).
    ConversionContext ctx;
    ASSERT_TRUE(ctx.allocateBuffers());
    test::SilentUi ui;
    EXPECT_EQ(convertRecording(ctx, source.string(), avi.string(), ui).outcome, CONVERT_OK);
    EXPECT_TRUE(checkAvi(FileRiffSource(avi.string())).ok());
    EXPECT_EQ(namesIn(dir).size(), 3u);
    EXPECT_TRUE(snapshotOf(source) == sourceBefore);
}

}  // namespace
}  // namespace trunvex
