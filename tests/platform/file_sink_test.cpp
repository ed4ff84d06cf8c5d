#include "platform/file_sink.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>

#include "common/failure_texts.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes patterned(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::mt19937 random(seed);
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

using test::namesIn;

class FileSinkTest : public ::testing::Test {
protected:
    void SetUp() override { dir = test::makeTempDir("file_sink"); }
    void TearDown() override { fs::remove_all(dir); }
    static std::unique_ptr<ByteSink> openSink(const fs::path& path) {
        std::string failure;
        return fileSinkFactory().open(path.string(), failure);
    }
    // Writes `bytes` to a new sink for `path` and commits it.
    static bool writeThrough(const fs::path& path, const Bytes& bytes) {
        std::unique_ptr<ByteSink> sink = openSink(path);
        return sink && sink->write(bytes) && sink->commit();
    }
    fs::path dir;
};

// Small writes, gathered writes, payloads larger than the buffer and writes past the
// buffer's end, with back-patching: the file holds exactly what was written, and nothing
// shows in the directory before the commit.
TEST_F(FileSinkTest, WritesWhatItWasGiven) {
    const auto path = dir / "data.bin";
    std::unique_ptr<ByteSink> sink = openSink(path);
    ASSERT_NE(sink, nullptr);
    Bytes want;
    std::mt19937 random(1);
    const std::size_t sizes[] = {1,       7, 300000, 12, 65536,   65535, 2,
                                 1500000, 5, 900000, 8,  3000000, 3};
    for (const std::size_t size : sizes) {
        const Bytes head = patterned(8, static_cast<std::uint32_t>(size));
        const Bytes body = patterned(size, static_cast<std::uint32_t>(random()));
        const std::array parts{std::span<const std::uint8_t>(head),
                               std::span<const std::uint8_t>(body)};
        ASSERT_TRUE(sink->writeGather(parts));
        want.insert(want.end(), head.begin(), head.end());
        want.insert(want.end(), body.begin(), body.end());
        ASSERT_EQ(sink->position(), want.size());
    }
    // The file is unnamed until it is complete (tmpfs and ext4 offer that).
    EXPECT_TRUE(namesIn(dir).empty());
    const std::uint64_t end = sink->position();
    const std::uint8_t patch[] = {0xDE, 0xAD, 0xBE, 0xEF};
    for (const std::uint64_t at : {std::uint64_t{3}, std::uint64_t{1400000}, end - 4}) {
        ASSERT_TRUE(sink->seek(at));
        ASSERT_TRUE(sink->write(patch));
        std::copy(std::begin(patch), std::end(patch),
                  want.begin() + static_cast<std::ptrdiff_t>(at));
    }
    ASSERT_TRUE(sink->seek(end));
    ASSERT_TRUE(sink->write(patch));
    want.insert(want.end(), std::begin(patch), std::end(patch));
    ASSERT_TRUE(sink->commit()) << sink->errorText();
    EXPECT_EQ(test::readFile(path), want);
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"data.bin"});
}

TEST_F(FileSinkTest, DiscardKeepsTheEarlierFile) {
    const auto path = dir / "keep.avi";
    ASSERT_TRUE(test::writeFile(path, Bytes{'e', 'a', 'r', 'l', 'y'}));
    std::unique_ptr<ByteSink> sink = openSink(path);
    ASSERT_NE(sink, nullptr);
    ASSERT_TRUE(sink->write(patterned(2000000, 1)));
    sink->discard();
    EXPECT_FALSE(sink->write(patterned(1, 1)));
    EXPECT_EQ(test::readFile(path), (Bytes{'e', 'a', 'r', 'l', 'y'}));
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"keep.avi"});
    // Destroying a sink that was never committed discards it too.
    ASSERT_TRUE(openSink(path)->write(patterned(10, 1)));
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"keep.avi"});
}

TEST_F(FileSinkTest, CommitOntoADirectoryFailsCleanly) {
    const auto path = dir / "late.avi";
    std::unique_ptr<ByteSink> sink = openSink(path);
    ASSERT_NE(sink, nullptr);
    ASSERT_TRUE(sink->write(patterned(100, 1)));
    fs::create_directory(path);
    EXPECT_FALSE(sink->commit());
    EXPECT_EQ(sink->errorText(), std::strerror(EISDIR));
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"late.avi"});
}

// Only nothing, a regular file or a link to one may stand at an output path; anything else
// is refused by the check and by open, in the system's words, and left as it is.
TEST_F(FileSinkTest, RefusesWhatIsNoRegularFile) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "socket").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    // A copy of /dev/null's node, where the test may make one.
    const bool device = ::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    struct Case {
        const char* name;
        std::string reason;
    };
    std::vector<Case> cases = {{"fifo", "Not a regular file"},
                               {"folder", std::strerror(EISDIR)},
                               {"socket", "Not a regular file"},
                               {"dangling", "Not writing through a dangling symbolic link"}};
    if (device) {
        cases.push_back({"null", "Not a regular file"});
    }
    const std::vector<std::string> before = namesIn(dir);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string failure;
        EXPECT_FALSE(fileSinkFactory().checkPath((dir / c.name).string(), failure));
        EXPECT_EQ(failure, c.reason);
        failure.clear();
        EXPECT_EQ(fileSinkFactory().open((dir / c.name).string(), failure), nullptr);
        EXPECT_EQ(failure, c.reason);
    }
    EXPECT_EQ(namesIn(dir), before);
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_TRUE(fs::is_socket(dir / "socket"));
    EXPECT_TRUE(!device || fs::is_character_file(dir / "null"));
    ::close(sock);
    for (const char* fine : {"new.avi", "folder/new.avi"}) {
        std::string failure;
        EXPECT_TRUE(fileSinkFactory().checkPath((dir / fine).string(), failure)) << fine;
    }
    if (!device) {
        GTEST_SKIP() << "cannot make a device node here; the rest was checked";
    }
}

// Whether the check accepts `path`, asked by a user other than root: in a child that gives up
// root's rights when the test has them. Null when no such user could be had.
std::optional<bool> acceptedByAUser(const fs::path& path, std::string& failure) {
    if (::geteuid() != 0) {
        return fileSinkFactory().checkPath(path.string(), failure);
    }
    int answer[2];
    if (::pipe(answer) != 0) {
        return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(answer[0]);
        std::string reason = "no user";
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            reason = fileSinkFactory().checkPath(path.string(), reason) ? "accepted" : reason;
        }
        (void)!::write(answer[1], reason.data(), reason.size());
        ::_exit(0);
    }
    ::close(answer[1]);
    char text[256];
    const ssize_t n = child > 0 ? ::read(answer[0], text, sizeof text) : -1;
    ::close(answer[0]);
    if (child > 0) {
        ::waitpid(child, nullptr, 0);
    }
    const std::string reason = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "no user";
    if (reason == "no user") {
        return std::nullopt;
    }
    failure = reason == "accepted" ? std::string() : reason;
    return reason == "accepted";
}

// A file its user may not write is refused before anything is written, as cp refuses it;
// root may replace it, as with cp, and the file keeps its mode.
TEST_F(FileSinkTest, FileTheUserMayNotWriteIsRefused) {
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const fs::path readOnly = dir / "read-only.avi";
    const fs::path writable = dir / "writable.avi";
    ASSERT_TRUE(test::writeFile(readOnly, Bytes{1}));
    ASSERT_TRUE(test::writeFile(writable, Bytes{1}));
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(writable.c_str(), 0666), 0);
    (void)!::chown(readOnly.c_str(), 65534, 65534);  // as root: the user's own file
    std::string failure;
    const std::optional<bool> writableAccepted = acceptedByAUser(writable, failure);
    if (!writableAccepted || !*writableAccepted) {
        GTEST_SKIP() << "no user without root's rights who may reach the folder: " << failure;
    }
    EXPECT_EQ(acceptedByAUser(readOnly, failure), std::optional<bool>(false));
    EXPECT_EQ(failure, std::strerror(EACCES));
    if (::geteuid() == 0) {
        EXPECT_TRUE(writeThrough(readOnly, Bytes{2, 2}));
        struct stat info {};
        ASSERT_EQ(::stat(readOnly.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0444u);
    } else {
        EXPECT_EQ(openSink(readOnly), nullptr);
        EXPECT_EQ(test::readFile(readOnly), Bytes{1});
    }
}

// A link is written through: its target, in another folder, gets the new bytes, and the link
// stays a link. No temporary file is left beside either.
TEST_F(FileSinkTest, WritesThroughALink) {
    fs::create_directories(dir / "store" / "deep");
    fs::create_directories(dir / "links");
    const fs::path target = dir / "store" / "deep" / "real.avi";
    ASSERT_TRUE(test::writeFile(target, Bytes{1, 2, 3}));
    fs::create_symlink("../store/deep/real.avi", dir / "links" / "first.avi");
    fs::create_symlink("first.avi", dir / "links" / "second.avi");  // a chain of two
    const Bytes fresh = patterned(5000, 9);
    for (const char* link : {"first.avi", "second.avi"}) {
        SCOPED_TRACE(link);
        std::string failure;
        EXPECT_TRUE(fileSinkFactory().checkPath((dir / "links" / link).string(), failure));
        ASSERT_TRUE(writeThrough(dir / "links" / link, fresh));
        EXPECT_TRUE(fs::is_symlink(dir / "links" / link));
        EXPECT_EQ(test::readFile(target), fresh);
        EXPECT_EQ(namesIn(dir / "links"), (std::vector<std::string>{"first.avi", "second.avi"}));
        EXPECT_EQ(namesIn(dir / "store" / "deep"), std::vector<std::string>{"real.avi"});
    }
}

// A path the program made from a source's name is never written through a link, whether
// the link stands there at the open or is planted before the commit; a link planted at a
// typed path after the open is not followed either. The file it names stays as it was.
TEST_F(FileSinkTest, PlantedLinksAreNotFollowed) {
    fs::create_directories(dir / "victim");
    const fs::path victim = dir / "victim" / "important.conf";
    const Bytes kept = {1, 2, 3};
    const struct {
        const char* name;
        SinkFactory& factory;
        bool linkAtOpen;
    } cases[] = {
        {"derived, link at the open", derivedFileSinkFactory(), true},
        {"derived, link planted later", derivedFileSinkFactory(), false},
        {"typed, link planted later", fileSinkFactory(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test::writeFile(victim, kept));
        fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
        const fs::path avi = dir / "rec.avi";
        fs::remove(avi);
        if (c.linkAtOpen) {
            fs::create_symlink(victim, avi);
        }
        std::string failure;
        std::unique_ptr<ByteSink> sink = c.factory.open(avi.string(), failure);
        if (c.linkAtOpen) {
            EXPECT_FALSE(c.factory.checkPath(avi.string(), failure));
            EXPECT_EQ(sink, nullptr);
            EXPECT_EQ(failure, LINK_NOT_FOLLOWED_TEXT);
        } else {
            ASSERT_NE(sink, nullptr) << failure;
            ASSERT_TRUE(sink->write(patterned(3000, 4)));
            fs::create_symlink(victim, avi);
            EXPECT_FALSE(sink->commit());
            EXPECT_EQ(sink->errorText(), LINK_NOT_FOLLOWED_TEXT);
        }
        EXPECT_EQ(test::readFile(victim), kept);
        EXPECT_TRUE(fs::is_symlink(avi));
        EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"rec.avi", "victim"}));
    }
}

// A named temporary file (file systems without unnamed ones) is held by its folder: moved
// mid-run, the folder is left with nothing of a dropped run, and a committed one lands in it.
TEST_F(FileSinkTest, NamedTemporaryFileFollowsItsFolder) {
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep);
        fs::remove_all(dir / "moved");
        fs::create_directories(dir / "out");
        std::string failure;
        std::unique_ptr<ByteSink> sink =
            namedFileSinkFactory().open((dir / "out" / "rec.avi").string(), failure);
        ASSERT_NE(sink, nullptr) << failure;
        const Bytes bytes = patterned(5000, 5);
        ASSERT_TRUE(sink->write(bytes));
        EXPECT_EQ(namesIn(dir / "out").size(), 1U);  // the temporary file, by its name
        fs::rename(dir / "out", dir / "moved");
        if (keep) {
            ASSERT_TRUE(sink->commit()) << sink->errorText();
            EXPECT_EQ(test::readFile(dir / "moved" / "rec.avi"), bytes);
        } else {
            sink->discard();
            EXPECT_TRUE(namesIn(dir / "moved").empty());
        }
        sink.reset();
        EXPECT_EQ(namesIn(dir / "moved").size(), keep ? 1U : 0U);
        EXPECT_EQ(namesIn(dir), std::vector<std::string>{"moved"});
    }
}

// An interruption removes a run's named temporary file from the folder that holds it, also
// after the folder was moved.
TEST_F(FileSinkTest, InterruptionRemovesTheTemporaryFileOfAMovedFolder) {
    fs::create_directories(dir / "out");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string failure;
        std::unique_ptr<ByteSink> sink;
        if (cleanUpOnInterruption()) {
            sink = namedFileSinkFactory().open((dir / "out" / "rec.avi").string(), failure);
        }
        const bool opened = sink && sink->write(patterned(5000, 6));
        (void)!write(ready[1], opened ? "y" : "n", 1);
        pause();
        _exit(3);
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    EXPECT_EQ(answer, 'y');
    EXPECT_EQ(namesIn(dir / "out").size(), 1U);
    fs::rename(dir / "out", dir / "moved");
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(namesIn(dir / "moved").empty());
}

// A replaced file keeps its permission bits and, where the process may set them, its owner
// and group; a new file gets what the umask leaves of 0666.
TEST_F(FileSinkTest, ReplacedFileKeepsItsModeAndOwner) {
    const fs::path path = dir / "kept.avi";
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0755}, mode_t{0604}}) {
        SCOPED_TRACE(mode);
        fs::remove(path);
        ASSERT_TRUE(test::writeFile(path, Bytes{1}));
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        ASSERT_TRUE(writeThrough(path, Bytes{2, 2}));
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
        EXPECT_EQ(test::readFile(path), (Bytes{2, 2}));
    }
    for (const mode_t mask : {mode_t{022}, mode_t{077}}) {
        SCOPED_TRACE(mask);
        fs::remove(path);
        const mode_t old = ::umask(mask);
        const bool written = writeThrough(path, Bytes{3});
        ::umask(old);
        ASSERT_TRUE(written);
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "owners can be given away only as root; modes were checked";
    }
    ASSERT_EQ(::chown(path.c_str(), 4321, 4322), 0);
    ASSERT_EQ(::chmod(path.c_str(), 06750), 0);
    ASSERT_TRUE(writeThrough(path, Bytes{4}));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 4321u);
    EXPECT_EQ(info.st_gid, 4322u);
    EXPECT_EQ(info.st_mode & 07777, 06750u);
}

// Any name the directory takes can be written: the temporary name does not grow with it.
TEST_F(FileSinkTest, LongestNamesAreWritten) {
    std::string chinese;
    for (int i = 0; i < 80; ++i) {
        chinese += "\xE5\xBD\x95";  // 80 three-byte characters: 240 bytes
    }
    for (const std::string& name : {chinese + ".avi", std::string(255, 'n')}) {
        SCOPED_TRACE(name.size());
        ASSERT_TRUE(writeThrough(dir / name, Bytes{7, 7}));
        EXPECT_EQ(test::readFile(dir / name), (Bytes{7, 7}));
        EXPECT_EQ(namesIn(dir), std::vector<std::string>{name});
        fs::remove(dir / name);
    }
}

}  // namespace
}  // namespace trunvex
