#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

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

// Ends the process as failed once what it guards has waited for a minute: opening or reading
// a device or a pipe can wait for ever, and a test must not.
class Watchdog {
public:
    Watchdog()
        : guard([this] {
              for (int tenths = 0; tenths < 600 && !done; ++tenths) {
                  Sleep(100);
              }
              if (!done) {
                  std::fputs("Watchdog: waited for a minute\n", stderr);
                  TerminateProcess(GetCurrentProcess(), 3);
              }
          }) {}
    ~Watchdog() {
        done = true;
        guard.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::atomic<bool> done{false};
    std::thread guard;
};

// A named source is a file on a disk or a pipe, as on Linux. A device's reserved name is
// refused without being opened (under Wine a serial port may wait for ever, the console and a
// printer port fail with words of their own); a file named like a device, in the extended
// form a walk finds it in, is read as the file it is, and so is a path past MAX_PATH without
// LongPathsEnabled.
TEST(WindowsPaths, SourcesAreFilesOnADiskOrPipes) {
    namespace fs = std::filesystem;
    const Watchdog watchdog;
    const fs::path dir = fs::absolute("scratch") / "WindowsPaths" / "Sources";
    fs::create_directories(dir);
    std::wstring deep = L"\\\\?\\" + dir.wstring();
    for (int i = 0; i < 12; ++i) {
        deep += L"\\" + std::wstring(30, static_cast<wchar_t>(L'a' + i));
        CreateDirectoryW(deep.c_str(), nullptr);
    }
    const auto write = [](const std::wstring& path) {
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD done = 0;
        const bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, "abc", 3, &done, nullptr);
        CloseHandle(h);
        return ok;
    };
    ASSERT_TRUE(write(L"\\\\?\\" + (dir / "con.264").wstring()));
    ASSERT_TRUE(write(deep + L"\\rec.264"));
    const std::string deepTyped = win::utf8(deep.substr(4) + L"\\rec.264");
    ASSERT_GT(deepTyped.size(), 260U);
    // One instance, written to once the source has opened it and closed after: the reader
    // gets the bytes and then the end, without waiting on anyone.
    const std::wstring pipe =
        L"\\\\.\\pipe\\trunvex-source-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const struct {
        std::string path;
        bool opens;
    } cases[] = {
        {"NUL", false},
        {"COM1", false},
        {"LPT1", false},
        {"CONIN$", false},
        {"\\\\?\\" + (dir / "con.264").string(), true},
        {deepTyped, true},
        {win::utf8(pipe), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string failure;
        const std::unique_ptr<SourceReader> reader = fileSourceOpener().open(c.path, failure);
        EXPECT_EQ(reader != nullptr, c.opens) << failure;
        if (!reader) {
            EXPECT_EQ(failure, NOT_REGULAR_FILE_TEXT);
            continue;
        }
        if (c.path == win::utf8(pipe)) {
            DWORD done = 0;
            EXPECT_TRUE(ConnectNamedPipe(server, nullptr) ||
                        GetLastError() == ERROR_PIPE_CONNECTED);
            EXPECT_TRUE(WriteFile(server, "abc", 3, &done, nullptr));
            CloseHandle(server);
        }
        std::array<std::uint8_t, 16> bytes{};
        ASSERT_EQ(reader->read(bytes), 3);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "abc");
    }
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
