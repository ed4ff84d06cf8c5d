#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/file_sink.h"
#include "platform/paths.h"
#include "platform/source_file.h"
#include "support/test_support.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t FOUR_GIB = std::uint64_t{4} << 30;

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

fs::path fromUtf8(const char8_t* text) {
    return fs::path(std::u8string(text));
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

using test::namesIn;

// Temporary files of a sink for "out.avi" in `dir`.
std::ptrdiff_t temporariesIn(const fs::path& dir) {
    const std::vector<std::string> names = namesIn(dir);
    return std::count_if(names.begin(), names.end(), [](const std::string& name) {
        return name.starts_with(".out.avi.") && name.ends_with(".part");
    });
}

// Bytes a text-mode read would change: Ctrl-Z ends a text file, CR LF becomes LF.
Bytes awkwardBytes() {
    Bytes bytes = {'R', 0x1A, 'e', '\r', '\n', 'c', '\n', '\r', 0x00, 0xFF, 0x1A, 0x1A};
    for (int i = 0; i < 100000; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i * 7));
    }
    return bytes;
}

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::absolute(fs::path("scratch") / test->test_suite_name() / test->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }

    // The sink's bytes at `path`; committed or not.
    static bool writeWithSink(const std::string& path, const Bytes& bytes, bool commit) {
        std::string failure;
        auto sink = fileSinkFactory().open(path, failure);
        if (!sink) {
            ADD_FAILURE() << path << ": " << failure;
            return false;
        }
        if (!sink->write(bytes)) {
            return false;
        }
        return !commit || sink->commit();
    }

    fs::path dir;
};

TEST_F(PlatformTest, SourceReadsEveryByteAsWritten) {
    const Bytes bytes = awkwardBytes();
    writeBytes(dir / "rec.264", bytes);
    std::string failure;
    auto source = fileSourceOpener().open(utf8(dir / "rec.264"), failure);
    ASSERT_NE(source, nullptr) << failure;
    EXPECT_EQ(source->size(), bytes.size());
    Bytes read(bytes.size() + 10);
    std::size_t done = 0;
    for (std::int64_t n = 1; n > 0; done += static_cast<std::size_t>(n)) {
        // Odd piece sizes, so that pieces end on the awkward bytes too.
        const std::size_t piece = std::min<std::size_t>(4099, read.size() - done);
        n = source->read(std::span(read).subspan(done, piece));
        ASSERT_GE(n, 0) << source->errorText();
    }
    read.resize(done);
    EXPECT_EQ(read, bytes);
}

TEST_F(PlatformTest, SinkWritesBinaryBytesAndReplacesAnExistingFile) {
    const Bytes bytes = awkwardBytes();
    // A name as long as a name may be (255 bytes) leaves no room to spare for a temporary one.
    const std::string longest = std::string(251, 'n') + ".avi";
    const struct {
        std::string name;
        bool existing;
    } cases[] = {{"new.avi", false}, {"old.avi", true}, {longest, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = dir / c.name;
        if (c.existing) {
            writeBytes(target, Bytes(300000, 'x'));
        }
        ASSERT_TRUE(writeWithSink(utf8(target), bytes, true));
        EXPECT_EQ(readBytes(target), bytes);
    }
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"new.avi", longest, "old.avi"}));
}

// Room claimed in the sink's buffer holds exactly the committed bytes, in order with written
// ones, also when the claim needs the buffer flushed first; room is never larger than the
// buffer, a write drops a claim, and a commit of more than was claimed fails for good.
TEST_F(PlatformTest, ClaimedRoomIsWrittenInPlace) {
    std::string failure;
    auto sink = fileSinkFactory().open(utf8(dir / "claimed.bin"), failure);
    ASSERT_NE(sink, nullptr) << failure;
    Bytes want;
    const std::size_t sizes[] = {10, 3, 700000, 1, 500000, 65536, 999999, 7};
    for (const std::size_t size : sizes) {
        const Bytes head(size % 5, static_cast<std::uint8_t>(size));
        ASSERT_TRUE(sink->write(head));
        want.insert(want.end(), head.begin(), head.end());
        const std::span<std::uint8_t> room = sink->claim(size + 9);
        ASSERT_EQ(room.size(), size + 9);
        for (std::size_t i = 0; i < size; ++i) {
            room[i] = static_cast<std::uint8_t>(i * 13 + size);
        }
        ASSERT_TRUE(sink->commitClaim(size));
        want.insert(want.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(size));
        ASSERT_EQ(sink->position(), want.size());
    }
    EXPECT_TRUE(sink->claim(std::size_t{1} << 24).empty());
    ASSERT_FALSE(sink->claim(100).empty());
    ASSERT_TRUE(sink->write(Bytes{1, 2}));
    EXPECT_FALSE(sink->commitClaim(1));  // the write dropped the claim
    want.insert(want.end(), {1, 2});
    EXPECT_FALSE(sink->commit());
    EXPECT_FALSE(fs::exists(dir / "claimed.bin"));

    auto whole = fileSinkFactory().open(utf8(dir / "whole.bin"), failure);
    ASSERT_NE(whole, nullptr) << failure;
    for (const std::size_t size : sizes) {
        const std::span<std::uint8_t> room = whole->claim(size);
        ASSERT_EQ(room.size(), size);
        std::fill(room.begin(), room.end(), static_cast<std::uint8_t>(size));
        ASSERT_TRUE(whole->commitClaim(size));
    }
    ASSERT_TRUE(whole->commit()) << whole->errorText();
    Bytes expected;
    for (const std::size_t size : sizes) {
        expected.insert(expected.end(), size, static_cast<std::uint8_t>(size));
    }
    EXPECT_EQ(readBytes(dir / "whole.bin"), expected);
}

TEST_F(PlatformTest, UncommittedSinkLeavesTheOldFileAndNothingElse) {
    const Bytes old(1000, 'o');
    writeBytes(dir / "out.avi", old);
    {
        std::string failure;
        auto sink = fileSinkFactory().open(utf8(dir / "out.avi"), failure);
        ASSERT_NE(sink, nullptr) << failure;
        ASSERT_TRUE(sink->write(Bytes(200000, 'n')));
        sink->discard();
    }
    ASSERT_TRUE(writeWithSink(utf8(dir / "out.avi"), Bytes(200000, 'n'), false));
    EXPECT_EQ(readBytes(dir / "out.avi"), old);
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"out.avi"});
}

// A run that ends without closing anything (killed, crashed) leaves no temporary file.
TEST_F(PlatformTest, AbandonedSinkLeavesNothingWhenTheProgramEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string target = utf8(dir / "out.avi");
    EXPECT_EXIT(
        {
            std::string failure;
            auto sink = fileSinkFactory().open(target, failure);
            if (sink && sink->write(Bytes(200000, 'n'))) {
                std::_Exit(7);
            }
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{});
}

TEST_F(PlatformTest, SameFileIsKnownWhateverItIsCalled) {
    writeBytes(dir / "rec.264", Bytes(100, 'r'));
    writeBytes(dir / "twin.264", Bytes(100, 'r'));
    fs::create_hard_link(dir / "rec.264", dir / "link.264");
    std::string failure;
    auto source = fileSourceOpener().open(utf8(dir / "rec.264"), failure);
    ASSERT_NE(source, nullptr) << failure;
    const struct {
        fs::path path;
        bool same;
    } cases[] = {
        {dir / "rec.264", true},
        {dir / "." / "rec.264", true},
        {dir / "link.264", true},
        {dir / "twin.264", false},  // same size, content and time, another file
        {dir / "missing.264", false},
        {dir, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(source->isSameFileAs(utf8(c.path)), c.same) << utf8(c.path);
    }
}

// A folder named where a file is wanted is called one, in the same words on every system.
TEST_F(PlatformTest, FolderWhereAFileIsWantedIsADirectory) {
    fs::create_directories(dir / "folder.264");
    std::string failure;
    EXPECT_EQ(fileSourceOpener().open(utf8(dir / "folder.264"), failure), nullptr);
    EXPECT_EQ(failure, "Is a directory");
    failure.clear();
    EXPECT_FALSE(fileSinkFactory().checkPath(utf8(dir / "folder.264"), failure));
    EXPECT_EQ(failure, "Is a directory");
}

// The temporary file goes beside the AVI whichever separator the path is written with (on
// Windows '\' and '/' both separate, and an absolute path starts with a drive).
TEST_F(PlatformTest, TemporaryFileGoesBesideTheAvi) {
    fs::create_directories(dir / "sub");
    const fs::path target = dir / "sub" / "out.avi";
    const std::string spellings[] = {utf8(fs::path(target).make_preferred()),
                                     utf8(target.generic_u8string())};
    for (const std::string& path : spellings) {
        SCOPED_TRACE(path);
        std::string failure;
        auto sink = fileSinkFactory().open(path, failure);
        ASSERT_NE(sink, nullptr) << failure;
        // Where the system allows, the file has no name until it is complete.
        EXPECT_LE(temporariesIn(dir / "sub"), 1);
        EXPECT_EQ(temporariesIn(fs::current_path()), 0);
        ASSERT_TRUE(sink->write(Bytes(10, 'a')));
        ASSERT_TRUE(sink->commit()) << sink->errorText();
        EXPECT_EQ(namesIn(dir / "sub"), std::vector<std::string>{"out.avi"});
    }
}

TEST_F(PlatformTest, PathsInAnyScriptWork) {
    const fs::path folder = dir / fromUtf8(u8"录像 Ωμέγα Ünïcødé");
    fs::create_directories(folder);
    const fs::path sourcePath = folder / fromUtf8(u8"监控-камера.264");
    const fs::path aviPath = folder / fromUtf8(u8"输出-вывод.avi");
    const Bytes bytes(5000, 'u');
    writeBytes(sourcePath, bytes);

    std::string failure;
    auto source = fileSourceOpener().open(utf8(sourcePath), failure);
    ASSERT_NE(source, nullptr) << failure;
    EXPECT_EQ(source->size(), bytes.size());
    EXPECT_TRUE(source->isSameFileAs(utf8(sourcePath)));
    EXPECT_FALSE(source->isSameFileAs(utf8(aviPath)));

    ASSERT_TRUE(writeWithSink(utf8(aviPath), bytes, true));
    EXPECT_EQ(readBytes(aviPath), bytes);
    EXPECT_EQ(namesIn(folder).size(), 2u);
}

// UTF-8 names reach the file system and come back unchanged, and a file opened for writing
// keeps each "\n" one byte: on Windows neither the ANSI code page nor text mode is in the way.
TEST_F(PlatformTest, Utf8PathsCrossToTheFileSystemAndBack) {
    for (const char8_t* name : {u8"plain.jsonl", u8"录像 Ωμέγα Ünïcødé.jsonl", u8"监控-камера"}) {
        const fs::path path = dir / fromUtf8(name);
        const std::string text = utf8(path);
        SCOPED_TRACE(text);
        EXPECT_EQ(utf8FromPath(path), text);
        EXPECT_EQ(pathFromUtf8(text), path);

        std::FILE* file = openFileForWriting(text);
        ASSERT_NE(file, nullptr) << std::strerror(errno);
        EXPECT_GE(std::fputs("{}\n\r\n", file), 0);
        EXPECT_EQ(std::fclose(file), 0);
        EXPECT_EQ(readBytes(path), (Bytes{'{', '}', '\n', '\r', '\n'}));
        EXPECT_TRUE(fs::is_regular_file(pathFromUtf8(text)));
    }
    EXPECT_EQ(openFileForWriting(utf8(dir / "missing" / "r.jsonl")), nullptr);
}

TEST_F(PlatformTest, SizesAndOffsetsPastFourGiB) {
    // Sparse where the file system allows: only the ends are written.
    const fs::path big = dir / "big.264";
    writeBytes(big, Bytes(16, 'h'));
    fs::resize_file(big, FOUR_GIB + 5);
    std::string failure;
    auto source = fileSourceOpener().open(utf8(big), failure);
    ASSERT_NE(source, nullptr) << failure;
    EXPECT_EQ(source->size(), FOUR_GIB + 5);
    source.reset();
    fs::remove(big);

    const fs::path avi = dir / "big.avi";
    auto sink = fileSinkFactory().open(utf8(avi), failure);
    ASSERT_NE(sink, nullptr) << failure;
    ASSERT_TRUE(sink->write(Bytes(16, 'h')));
    ASSERT_TRUE(sink->seek(FOUR_GIB + 100));
    const Bytes tail = {'t', 'a', 'i', 'l'};
    ASSERT_TRUE(sink->write(tail));
    EXPECT_EQ(sink->position(), FOUR_GIB + 104);
    ASSERT_TRUE(sink->seek(8));  // back-patching below 4 GiB after writing above it
    ASSERT_TRUE(sink->write(tail));
    ASSERT_TRUE(sink->commit()) << sink->errorText();
    EXPECT_EQ(fs::file_size(avi), FOUR_GIB + 104);
    std::ifstream in(avi, std::ios::binary);
    Bytes read(4);
    in.seekg(static_cast<std::streamoff>(FOUR_GIB + 100));
    in.read(reinterpret_cast<char*>(read.data()), 4);
    EXPECT_EQ(read, tail);
    in.seekg(8);
    in.read(reinterpret_cast<char*>(read.data()), 4);
    EXPECT_EQ(read, tail);
    in.close();
    fs::remove(avi);
}

// The progress line is drawn only on a console: never into a file, a pipe or the null
// device (which the C library counts as a terminal on Windows).
TEST_F(PlatformTest, ProgressOutputOnlyOnAConsole) {
    writeBytes(dir / "log.txt", {});
    for (const std::string& path : {utf8(dir / "log.txt"), std::string(TRUNVEX_NULL_DEVICE)}) {
        std::FILE* stream = std::fopen(path.c_str(), "w");
        ASSERT_NE(stream, nullptr) << path;
        EXPECT_FALSE(isTerminal(stream)) << path;
        std::fclose(stream);
    }
}

}  // namespace
}  // namespace trunvex
