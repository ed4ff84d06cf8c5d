// Faults that only a real system gives: a disk that fills up.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "faults/fault_support.h"
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

}  // namespace
}  // namespace trunvex
