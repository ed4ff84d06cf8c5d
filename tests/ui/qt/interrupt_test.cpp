// The dialog program ended by SIGTERM, SIGHUP or SIGINT in the middle of a run: it ends as the
// signal would have ended it and leaves the folder as it was, as the command line does, also
// where the AVI is written under a named temporary file.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr auto PATIENCE = std::chrono::seconds(60);

using trunvex::test::namesIn;

// The dialog on `source`, with the signals at their defaults whatever the test started with.
pid_t startDialog(const fs::path& source) {
    std::string program = TRUNVEX_INTERRUPT_DIALOG;
    std::string recording = source.string();
    char* argv[] = {program.data(), recording.data(), nullptr};
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&defaults, s);
    }
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    if (posix_spawn(&child, program.c_str(), nullptr, &attributes, argv, environ) != 0) {
        child = -1;
    }
    posix_spawnattr_destroy(&attributes);
    return child;
}

// Whether `child` ended (its wait status in `status`) before `deadline`.
bool endsBefore(pid_t child, Clock::time_point deadline, int& status) {
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(DialogInterruption, LeavesTheFolderAsItWas) {
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        const fs::path dir = trunvex::test::makeTempDir("dialog_interruption");
        const fs::path source = dir / "rec.264";
        fs::copy_file(TRUNVEX_SAMPLE_RECORDING, source);
        // Frames first, so that the AVI is open, then a hole the run reads for minutes.
        fs::resize_file(source, std::uintmax_t{64} << 30);
        const pid_t child = startDialog(source);
        ASSERT_GT(child, 0);
        // Signalled once the AVI's temporary file stands beside the recording.
        const auto deadline = Clock::now() + PATIENCE;
        int status = 0;
        bool ended = false;
        while (namesIn(dir).size() < 2 && !ended && Clock::now() < deadline) {
            ended = endsBefore(child, Clock::now() + std::chrono::milliseconds(5), status);
        }
        const bool underWay = !ended && namesIn(dir).size() == 2;
        if (!ended) {
            ::kill(child, underWay ? signal : SIGKILL);
            if (!endsBefore(child, Clock::now() + PATIENCE, status)) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                ADD_FAILURE() << "the dialog did not end on the signal";
            }
        }
        ASSERT_TRUE(underWay) << "the run was not caught midway";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(namesIn(dir), std::vector<std::string>{"rec.264"});
        fs::remove_all(dir);
    }
}

}  // namespace
