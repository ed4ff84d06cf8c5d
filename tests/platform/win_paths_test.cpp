#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/failure_texts.h"
#include "platform/file_sink.h"
#include "platform/source_file.h"
#include "platform/win/console.h"
#include "platform/win/file_sink.h"
#include "platform/win/text.h"

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
        // However long the AVI's name, the temporary one stays within a name's 255 characters.
        {"C:\\v\\abcdefghijklmnopqrstuvwxyz0123456789 and on to 255.avi",
         "C:\\v\\.abcdefghijklmnopqrstuvwxyz012345."},
        {"C:\\v\\一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一二三四五.avi",
         "C:\\v\\.一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一二."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::temporaryPrefixFor(c.path), c.prefix) << c.path;
    }
}

// An AVI that cannot be replaced at the end (held open without shared deletion, by a player
// say, or read-only) is refused before the run reads anything, as a folder or a device is; a
// file that can be replaced, or none, passes.
TEST(WindowsPaths, AviThatCannotBeReplacedIsRefusedUpFront) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::absolute("scratch") / "WindowsPaths" / "CannotBeReplaced";
    fs::create_directories(dir);
    const auto file = [&](const char* name) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << "old";
        return path;
    };
    const fs::path locked = file("locked.avi");
    const HANDLE lock = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const fs::path shared = file("shared.avi");
    const HANDLE reader = CreateFileW(shared.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const fs::path readOnly = file("read-only.avi");
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));

    const struct {
        fs::path path;
        bool accepted;
    } cases[] = {
        {locked, false},         {readOnly, false}, {dir, false},
        {"NUL", false},          {shared, true},    {file("plain.avi"), true},
        {dir / "new.avi", true},
    };
    for (const auto& c : cases) {
        std::string failure;
        EXPECT_EQ(fileSinkFactory().checkPath(c.path.string(), failure), c.accepted)
            << c.path.string();
        EXPECT_EQ(failure.empty(), c.accepted) << c.path.string() << ": " << failure;
    }
    std::string failure;
    EXPECT_EQ(fileSinkFactory().open(readOnly.string(), failure), nullptr);
    EXPECT_EQ(failure, win::errorText(ERROR_ACCESS_DENIED));
    CloseHandle(lock);
    CloseHandle(reader);
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The unfinished AVI is hidden from Explorer and marked temporary; the finished one is an
// ordinary file.
TEST(WindowsPaths, UnfinishedAviIsHiddenAndTheFinishedOneIsNot) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::absolute("scratch") / "WindowsPaths" / "Hidden";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string failure;
    std::unique_ptr<ByteSink> sink = fileSinkFactory().open((dir / "new.avi").string(), failure);
    ASSERT_NE(sink, nullptr) << failure;
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    ASSERT_TRUE(sink->write(bytes));
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((dir / L".new.avi.*.part").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    // Wine keeps the hidden mark but not the temporary one.
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    const DWORD unfinished = FILE_ATTRIBUTE_HIDDEN | (wine ? 0 : FILE_ATTRIBUTE_TEMPORARY);
    EXPECT_EQ(found.dwFileAttributes & unfinished, unfinished);
    ASSERT_TRUE(sink->commit());
    const DWORD finished = GetFileAttributesW((dir / "new.avi").c_str());
    ASSERT_NE(finished, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(finished & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY), 0u);
}

// "*.264" typed in cmd.exe reaches the program as it is: it stands for the files it matches,
// as a POSIX shell would have put them.
TEST(WindowsPaths, WildcardsInFileNamesAreExpanded) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::absolute("scratch") / "WindowsPaths" / "Wildcards";
    fs::remove_all(dir);
    fs::create_directories(dir / "sub.264");
    for (const char* name : {"b.264", "a.264", "c.mp4", ".hidden.264"}) {
        std::ofstream(dir / name) << name;
    }
    SetFileAttributesW((dir / ".hidden.264").c_str(), FILE_ATTRIBUTE_HIDDEN);
    const std::string d = dir.string() + "\\";

    const std::vector<std::string> given = {
        "trunvex-cli*.exe",     d + "*.264", "-o", d + "?.mp4", d + "none*.264", "--ext=*",
        "\\\\?\\" + d + "a.264"};
    const std::vector<std::string> expected = {
        "trunvex-cli*.exe", d + "a.264",     d + "b.264", d + "sub.264",          "-o",
        d + "c.mp4",        d + "none*.264", "--ext=*",   "\\\\?\\" + d + "a.264"};
    EXPECT_EQ(win::expandWildcards(given), expected);
}

}  // namespace
}  // namespace trunvex
