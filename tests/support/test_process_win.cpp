#include <windows.h>

#include "support/test_support.h"

namespace trunvex::test {

// The reference programs (ffmpeg, ffprobe) are Linux programs: tests that need them skip.
CommandResult runCommand(const std::string&) {
    return {};
}

std::string findProgram(const std::string&) {
    return {};
}

unsigned long processId() {
    return GetCurrentProcessId();
}

}  // namespace trunvex::test
