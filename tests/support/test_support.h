#pragma once

// #include "support/test_support.h"
//
// Helpers for tests that run external programs (ffmpeg, ffprobe, trunvex-mkrecording) and
// look at files. Link `trunvex_test_support`.
//
//   runCommand("ffprobe -v error ...")     runs through the shell; stdout, stderr, exit code
//   findProgram("ffprobe")                 absolute path from PATH, or "" (then GTEST_SKIP())
//   makeTempDir("avi_roundtrip")           a fresh, empty directory under the build tree
//   parseFlat(ffprobeOutput)               `ffprobe -of flat` lines as a key -> value map
//   readFile / writeFile                   whole files as bytes
//   shellQuote(path)                       a path made safe for runCommand
//
// Typical round trip:
//   const std::string ffprobe = trunvex::test::findProgram("ffprobe");
//   if (ffprobe.empty()) GTEST_SKIP() << "ffprobe not installed";
//   const auto dir = trunvex::test::makeTempDir("my_test");
//   ... write dir / "out.avi" ...
//   const auto r = trunvex::test::runCommand(ffprobe + " -v error -count_frames -show_entries "
//       "stream=codec_name,width,height,nb_read_frames -of flat " +
//       trunvex::test::shellQuote((dir / "out.avi").string()));
//   const auto keys = trunvex::test::parseFlat(r.out);
//   EXPECT_EQ(keys.at("streams.stream.0.codec_name"), "h264");
//
// Nothing here is used by the converter itself; the helpers may throw (std::filesystem).

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace trunvex::test {

struct CommandResult {
    int exitCode = -1;  // the program's exit status; -1 when it could not be run or was killed
    std::string out;    // everything written to standard output
    std::string err;    // everything written to standard error
};

// Runs `command` with /bin/sh and waits for it. On Windows no command runs (exit code -1)
// and findProgram() finds nothing: the tests that use other programs skip there.
[[nodiscard]] CommandResult runCommand(const std::string& command);

// The absolute path of `name` found on PATH, or an empty string.
[[nodiscard]] std::string findProgram(const std::string& name);

// This process's id, for names no other test process uses.
[[nodiscard]] unsigned long processId();

// Wraps `text` in single quotes for the shell.
[[nodiscard]] std::string shellQuote(const std::string& text);

// The root for test scratch files: <build dir>/test-tmp, falling back to the system's
// temporary directory when the build dir is not known.
[[nodiscard]] std::filesystem::path tempRoot();

// A new empty directory tempRoot()/<name>-<pid>-<n>; an earlier one of that name is removed.
[[nodiscard]] std::filesystem::path makeTempDir(const std::string& name);

// Parses `key=value` lines as `ffprobe -of flat` prints them; quotes around values are
// removed ("h264" becomes h264). Lines without '=' are ignored.
[[nodiscard]] std::map<std::string, std::string> parseFlat(const std::string& text);

// A folder nothing may be written into, for as long as this lives (POSIX only). Permission
// bits do not stop root, so root gets a read-only file system mounted over the folder (whose
// earlier content is then out of sight); others get the folder's write bits removed.
class UnwritableFolder {
public:
    explicit UnwritableFolder(const std::filesystem::path& folder);
    ~UnwritableFolder() { release(); }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    // Empty when the folder is unwritable; otherwise why not (then GTEST_SKIP()).
    [[nodiscard]] const std::string& failure() const { return whyNot; }
    // The errno a write into the folder fails with: EROFS or EACCES.
    [[nodiscard]] int writeError() const;
    // Makes the folder writable again; false when that failed.
    bool release();

private:
    std::filesystem::path path;
    bool mounted = false;
    bool locked = false;
    std::string whyNot;
};

[[nodiscard]] std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
// The names in `dir`, in UTF-8, sorted: what a folder holds, to compare with what it should.
[[nodiscard]] std::vector<std::string> namesIn(const std::filesystem::path& dir);
[[nodiscard]] bool writeFile(const std::filesystem::path& path,
                             const std::vector<std::uint8_t>& bytes);

}  // namespace trunvex::test
