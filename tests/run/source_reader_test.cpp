#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/failure_texts.h"
#include "platform/source_file.h"

namespace trunvex {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::size_t CHUNK = 65536;
constexpr std::size_t LARGE = 4 * CHUNK;

class FileSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("trunvex-source-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    static std::unique_ptr<SourceReader> openSource(const fs::path& path) {
        std::string failure;
        return fileSourceOpener().open(path.string(), failure);
    }

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

// Reads the whole file in requests of `request` bytes and checks that only the last one comes
// back short.
Bytes readAll(SourceReader& reader, std::size_t request) {
    Bytes all;
    Bytes scratch(request);
    for (;;) {
        const std::int64_t n = reader.read(scratch);
        EXPECT_GE(n, 0);
        all.insert(all.end(), scratch.begin(), scratch.begin() + std::max<std::int64_t>(n, 0));
        if (n < static_cast<std::int64_t>(request)) {
            // The end: every further read finds nothing more.
            EXPECT_EQ(reader.read(scratch), 0);
            return all;
        }
    }
}

TEST_F(FileSourceTest, EveryByteComesInOrderWhateverTheSizes) {
    const std::size_t sizes[] = {0,     1,         CHUNK - 1, CHUNK,         CHUNK + 1, LARGE - 1,
                                 LARGE, LARGE + 1, 8 * LARGE, 8 * LARGE + 5, 3000001};
    const std::size_t requests[] = {CHUNK, 1000, CHUNK + 1, 1};
    for (const std::size_t size : sizes) {
        const Bytes bytes = numbered(size);
        const fs::path path = write(bytes);
        for (const std::size_t request : requests) {
            if (request == 1 && size > 70000) {
                continue;
            }
            SCOPED_TRACE("size " + std::to_string(size) + ", requests of " +
                         std::to_string(request));
            const auto reader = openSource(path);
            ASSERT_NE(reader, nullptr);
            EXPECT_EQ(reader->size(), size);
            EXPECT_TRUE(readAll(*reader, request) == bytes);
        }
    }
}

// A pipe gives its bytes in whatever pieces the writer makes; reads still come back full.
TEST_F(FileSourceTest, PipesComeBackInFullReads) {
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes bytes = numbered(100000);
    std::thread writer([&] {
        std::ofstream(fifo, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    });
    const auto reader = openSource(fifo);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->size(), 0u);
    EXPECT_TRUE(readAll(*reader, CHUNK) == bytes);
    writer.join();
}

// A source that cannot be opened says why, in the system's words.
TEST_F(FileSourceTest, RefusalsSayWhy) {
    struct Case {
        fs::path path;
        std::string reason;
    };
    const Case cases[] = {
        {dir / "missing.264", std::strerror(ENOENT)},
        {dir, std::strerror(EISDIR)},
        // Devices are no recordings; this one would never end.
        {"/dev/zero", NOT_REGULAR_FILE_TEXT},
        {"/dev/null", NOT_REGULAR_FILE_TEXT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        std::string failure;
        EXPECT_EQ(fileSourceOpener().open(c.path.string(), failure), nullptr);
        EXPECT_EQ(failure, c.reason);
    }
}

// A recorder's disk or card, imaged or attached: read to its end like a file. Needs root and a
// free loop device, so it is skipped elsewhere.
TEST_F(FileSourceTest, ABlockDeviceIsReadLikeAFile) {
    Bytes bytes(LARGE);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    const fs::path image = write(bytes);
    std::FILE* attach =
        ::popen(("losetup -f --show " + image.string() + " 2>/dev/null").c_str(), "r");
    char name[64] = {};
    const bool attached = attach != nullptr && std::fgets(name, sizeof name, attach) != nullptr;
    if (attach != nullptr) {
        ::pclose(attach);
    }
    if (!attached || ::geteuid() != 0) {
        GTEST_SKIP() << "no loop device here";
    }
    std::string device(name);
    device.erase(device.find_last_not_of('\n') + 1);
    std::string failure;
    const std::unique_ptr<SourceReader> source = fileSourceOpener().open(device, failure);
    Bytes read;
    if (source) {
        Bytes block(CHUNK);
        for (std::int64_t n = 0; (n = source->read(block)) > 0;) {
            read.insert(read.end(), block.begin(), block.begin() + n);
        }
    }
    (void)std::system(("losetup -d " + device).c_str());
    ASSERT_NE(source, nullptr) << failure;
    EXPECT_EQ(read, bytes);
}

}  // namespace
}  // namespace trunvex
