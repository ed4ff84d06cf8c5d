#include "run/source_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace trunvex {
namespace {

// Read-ahead: blocks a multiple of the run's 64 KiB chunks, so a chunk never straddles two.
inline constexpr std::size_t BLOCK_BYTES = std::size_t{256} << 10;
inline constexpr std::size_t BLOCK_COUNT = 8;

// Reads until `into` is full, the file ends or a read fails. read() may return less than
// asked before the end (signals, pipes); only a read of 0 bytes is the end.
// Returns the bytes read; `error` receives the errno of a failure, else 0.
std::size_t readFully(int fd, std::span<std::uint8_t> into, int& error) noexcept {
    std::size_t done = 0;
    error = 0;
    while (done < into.size()) {
        const ssize_t n = ::read(fd, into.data() + done, into.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// One block of the read-ahead ring. A block that is not full is the last one the thread
// reads: the file ended there, or `error` failed the read that came next.
struct Block {
    std::size_t filled = 0;
    int error = 0;
    bool ready = false;  // filled by the thread, not yet used up by the reader
};

class FileSourceReader final : public SourceReader {
public:
    FileSourceReader(int openFd, const struct stat& openInfo) noexcept
        : fd(openFd), info(openInfo) {}
    ~FileSourceReader() override {
        stopReadAhead();
        ::close(fd);
    }
    FileSourceReader(const FileSourceReader&) = delete;
    FileSourceReader& operator=(const FileSourceReader&) = delete;

    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        std::span<const std::uint8_t> view;
        const std::int64_t n = readView(into, view);
        if (n > 0 && view.data() != into.data()) {
            std::memcpy(into.data(), view.data(), view.size());
        }
        return n;
    }

    std::int64_t readView(std::span<std::uint8_t> scratch,
                          std::span<const std::uint8_t>& view) noexcept override {
        view = {};
        if (lastErrno != 0) {
            return -1;
        }
        if (!startReadAhead()) {
            return readDirectly(scratch, view);
        }
        // The common case: the whole request lies in the current block.
        if (const Block* block = currentBlock();
            block != nullptr && block->filled - consumed >= scratch.size()) {
            view = std::span<const std::uint8_t>(blockBytes(current) + consumed, scratch.size());
            advance(scratch.size());
            return static_cast<std::int64_t>(scratch.size());
        }
        return gather(scratch, view);
    }

    std::uint64_t size() const noexcept override {
        return S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    }

    bool isSameFileAs(const std::string& path) const noexcept override {
        struct stat other {};
        return ::stat(path.c_str(), &other) == 0 && other.st_dev == info.st_dev &&
               other.st_ino == info.st_ino;
    }

    std::string errorText() const override {
        return lastErrno == 0 ? std::string() : std::string(std::strerror(lastErrno));
    }

private:
    // Without memory or a thread for the read-ahead, reads go straight to the file.
    std::int64_t readDirectly(std::span<std::uint8_t> into,
                              std::span<const std::uint8_t>& view) noexcept {
        int error = 0;
        const std::size_t done = readFully(fd, into, error);
        if (error != 0) {
            lastErrno = error;
            return -1;
        }
        view = into.first(done);
        return static_cast<std::int64_t>(done);
    }

    // Copies the request together from as many blocks as it spans into `scratch`.
    std::int64_t gather(std::span<std::uint8_t> scratch,
                        std::span<const std::uint8_t>& view) noexcept {
        std::size_t done = 0;
        while (done < scratch.size()) {
            const Block* block = currentBlock();
            if (block == nullptr) {
                break;  // the file ended
            }
            const std::size_t n = std::min(block->filled - consumed, scratch.size() - done);
            std::memcpy(scratch.data() + done, blockBytes(current) + consumed, n);
            done += n;
            if (consumed + n == block->filled && block->error != 0) {
                lastErrno = block->error;
                return -1;
            }
            advance(n);
        }
        view = scratch.first(done);
        return static_cast<std::int64_t>(done);
    }

    std::uint8_t* blockBytes(std::size_t index) noexcept {
        return ring.get() + index * BLOCK_BYTES;
    }

    // The block the next byte comes from, waiting for the thread to fill it; null when the
    // file has no more bytes. A block used up is handed back to the thread first.
    const Block* currentBlock() noexcept {
        std::unique_lock lock(mutex);
        for (;;) {
            Block& block = blocks[current];
            if (block.ready && consumed == block.filled && block.error == 0) {
                if (block.filled < BLOCK_BYTES) {
                    return nullptr;  // the last block, used up
                }
                block.ready = false;
                consumed = 0;
                current = (current + 1) % BLOCK_COUNT;
                emptied.notify_one();
                continue;
            }
            if (block.ready) {
                return &block;
            }
            filled.wait(lock);
        }
    }

    void advance(std::size_t n) noexcept { consumed += n; }

    bool startReadAhead() noexcept {
        if (readAheadState != ReadAhead::NOT_STARTED) {
            return readAheadState == ReadAhead::RUNNING;
        }
        readAheadState = ReadAhead::UNAVAILABLE;
        // A pipe or device may block a read for good; the thread could then never be joined.
        if (!S_ISREG(info.st_mode)) {
            return false;
        }
        ring.reset(new (std::nothrow) std::uint8_t[BLOCK_BYTES * BLOCK_COUNT]);
        if (!ring) {
            return false;
        }
        try {
            thread = std::thread([this] { readAhead(); });
        } catch (...) {
            ring.reset();
            return false;
        }
        readAheadState = ReadAhead::RUNNING;
        return true;
    }

    void stopReadAhead() noexcept {
        if (!thread.joinable()) {
            return;
        }
        {
            const std::lock_guard lock(mutex);
            stopping = true;
        }
        emptied.notify_one();
        thread.join();
    }

    // The thread: fills the blocks in turn until the file ends, a read fails or the reader
    // is closed.
    void readAhead() noexcept {
        for (std::size_t index = 0;; index = (index + 1) % BLOCK_COUNT) {
            {
                std::unique_lock lock(mutex);
                emptied.wait(lock, [&] { return stopping || !blocks[index].ready; });
                if (stopping) {
                    return;
                }
            }
            int error = 0;
            const std::size_t n =
                readFully(fd, std::span<std::uint8_t>(blockBytes(index), BLOCK_BYTES), error);
            {
                const std::lock_guard lock(mutex);
                blocks[index] = {n, error, true};
            }
            filled.notify_one();
            if (n < BLOCK_BYTES || error != 0) {
                return;
            }
        }
    }

    enum class ReadAhead { NOT_STARTED, RUNNING, UNAVAILABLE };

    int fd;
    struct stat info;
    int lastErrno = 0;

    ReadAhead readAheadState = ReadAhead::NOT_STARTED;
    std::unique_ptr<std::uint8_t[]> ring;
    std::array<Block, BLOCK_COUNT> blocks{};
    std::size_t current = 0;   // the block being read from; only the reader's side
    std::size_t consumed = 0;  // bytes of it already handed out
    std::mutex mutex;
    std::condition_variable filled;   // a block became ready
    std::condition_variable emptied;  // a block was handed back, or the reader is closing
    bool stopping = false;
    std::thread thread;
};

class FileSourceOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string& path) noexcept override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return nullptr;
        }
        struct stat info {};
        // A directory opens for reading on POSIX but is no recording.
        if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
            ::close(fd);
            return nullptr;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return std::unique_ptr<SourceReader>(new (std::nothrow) FileSourceReader(fd, info));
    }
};

}  // namespace

SourceOpener& fileSourceOpener() noexcept {
    static FileSourceOpener opener;
    return opener;
}

}  // namespace trunvex
