#include <gtest/gtest.h>

#include <string>

#include "platform/win/file_sink.h"

namespace trunvex {
namespace {

// Every way a Windows path names a folder: the temporary file must land in it.
TEST(WindowsPaths, TemporaryNameStaysInTheAvisFolder) {
    const struct {
        const char* path;
        const char* prefix;
    } cases[] = {
        {"out.avi", ".out.avi."},
        {"C:out.avi", "C:.out.avi."},
        {"C:\\out.avi", "C:\\.out.avi."},
        {"C:\\videos\\out.avi", "C:\\videos\\.out.avi."},
        {"C:/videos/out.avi", "C:/videos/.out.avi."},
        {"C:\\videos/day\\out.avi", "C:\\videos/day\\.out.avi."},
        {"\\\\server\\share\\out.avi", "\\\\server\\share\\.out.avi."},
        {"\\\\?\\C:\\videos\\out.avi", "\\\\?\\C:\\videos\\.out.avi."},
        {"..\\out.avi", "..\\.out.avi."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::temporaryPrefixFor(c.path), c.prefix) << c.path;
    }
}

}  // namespace
}  // namespace trunvex
