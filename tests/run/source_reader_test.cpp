#include "run/source_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace trunvex {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// The reader reads ahead in blocks of 256 KiB, eight of them in turn.
constexpr std::size_t BLOCK = std::size_t{256} << 10;

class FileSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("trunvex-source-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const Bytes& bytes) {
        const fs::path path = dir / "rec.264";
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    fs::path dir;
};

Bytes numbered(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return b;
}

// Reads the whole file in requests of `request` bytes (through the view or the copy) and
// checks that only the last one comes back short.
Bytes readAll(SourceReader& reader, std::size_t request, bool throughView) {
    Bytes all;
    Bytes scratch(request);
    for (;;) {
        std::span<const std::uint8_t> got;
        std::int64_t n = 0;
        if (throughView) {
            n = reader.readView(scratch, got);
        } else {
            n = reader.read(scratch);
            got = std::span(scratch).first(n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        EXPECT_GE(n, 0);
        EXPECT_EQ(got.size(), static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
        all.insert(all.end(), got.begin(), got.end());
        if (n < static_cast<std::int64_t>(request)) {
            // The end: every further read finds nothing more.
            EXPECT_EQ(reader.read(scratch), 0);
            return all;
        }
    }
}

TEST_F(FileSourceTest, EveryByteComesInOrderWhateverTheSizes) {
    const std::size_t sizes[] = {0,     1,         65535,     65536,         65537,  BLOCK - 1,
                                 BLOCK, BLOCK + 1, 8 * BLOCK, 8 * BLOCK + 5, 3000001};
    const std::size_t requests[] = {65536, 1000, 65537, 1};
    for (const std::size_t size : sizes) {
        const Bytes bytes = numbered(size);
        const fs::path path = write(bytes);
        for (const std::size_t request : requests) {
            if (request == 1 && size > 70000) {
                continue;
            }
            for (const bool view : {true, false}) {
                SCOPED_TRACE("size " + std::to_string(size) + ", requests of " +
                             std::to_string(request) + (view ? ", views" : ", copies"));
                const auto reader = fileSourceOpener().open(path.string());
                ASSERT_NE(reader, nullptr);
                EXPECT_EQ(reader->size(), size);
                EXPECT_TRUE(readAll(*reader, request, view) == bytes);
            }
        }
    }
}

// Closing the reader at any point, with the read-ahead waiting for room or still reading,
// returns promptly and leaves the file as it was.
TEST_F(FileSourceTest, ClosingEarlyStopsTheReadAhead) {
    const Bytes bytes = numbered(20 * BLOCK + 3);
    const fs::path path = write(bytes);
    for (const int chunks : {0, 1, 5, 40}) {
        SCOPED_TRACE(chunks);
        auto reader = fileSourceOpener().open(path.string());
        ASSERT_NE(reader, nullptr);
        Bytes scratch(65536);
        for (int i = 0; i < chunks; ++i) {
            ASSERT_EQ(reader->read(scratch), 65536);
            ASSERT_TRUE(std::equal(scratch.begin(), scratch.end(), bytes.begin() + i * 65536));
        }
        if (chunks == 5) {
            // Let the read-ahead fill every block and wait for room.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        reader.reset();
    }
    EXPECT_EQ(fs::file_size(path), bytes.size());
}

// A pipe is read directly: a read-ahead blocked on it could never be stopped.
TEST_F(FileSourceTest, PipesAreReadWithoutReadAhead) {
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes bytes = numbered(100000);
    std::thread writer([&] {
        std::ofstream(fifo, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    });
    const auto reader = fileSourceOpener().open(fifo.string());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->size(), 0u);
    EXPECT_TRUE(readAll(*reader, 65536, true) == bytes);
    writer.join();
}

}  // namespace
}  // namespace trunvex
