#include "platform/file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

namespace trunvex {
namespace {

inline constexpr std::size_t WRITE_BUFFER_BYTES = std::size_t{1} << 20;
// Payloads at least this large bypass the buffer: copying them would cost more than the
// extra system call saves.
inline constexpr std::size_t DIRECT_WRITE_BYTES = std::size_t{64} << 10;
inline constexpr int CREATE_ATTEMPTS = 64;
inline constexpr std::size_t MAX_PARTS = 8;

std::string systemText(int error) {
    std::array<char, 256> text{};
    // The GNU form returns the text, which may or may not live in the given buffer.
    const char* words = strerror_r(error, text.data(), text.size());
    return words != nullptr ? std::string(words) : std::string("Unknown error");
}

// Splits at the last '/': the directory ("." when none) and the file name.
void splitPath(const std::string& path, std::string& directory, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        directory = ".";
        name = path;
        return;
    }
    directory = slash == 0 ? std::string("/") : path.substr(0, slash);
    name = path.substr(slash + 1);
}

// Writes every byte of the vector at offset, going on after short writes and interrupts.
// Returns 0 or the errno of the failure.
int writeFully(int fd, iovec* parts, int count, off_t offset) noexcept {
    while (count > 0) {
        const ssize_t done = pwritev(fd, parts, count, offset);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (done == 0) {
            return EIO;
        }
        offset += done;
        auto left = static_cast<std::size_t>(done);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return 0;
}

class FileSink final : public ByteSink {
public:
    FileSink(int fileDescriptor, std::string temporary, std::string target,
             std::unique_ptr<std::uint8_t[]> bufferBytes) noexcept
        : fd(fileDescriptor),
          temporaryPath(std::move(temporary)),
          targetPath(std::move(target)),
          buffer(std::move(bufferBytes)) {}
    ~FileSink() override { discard(); }
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    bool write(std::span<const std::uint8_t> bytes) noexcept override {
        const std::span<const std::uint8_t> parts[] = {bytes};
        return writeGather(parts);
    }

    bool writeGather(std::span<const std::span<const std::uint8_t>> parts) noexcept override {
        if (!usable()) {
            return false;
        }
        std::size_t total = 0;
        for (const auto& part : parts) {
            total += part.size();
        }
        if (parts.size() > MAX_PARTS) {
            return ByteSink::writeGather(parts);
        }
        if (total >= DIRECT_WRITE_BYTES) {
            return writeThrough(parts, total);
        }
        if (total > WRITE_BUFFER_BYTES - held && !flush()) {
            return false;
        }
        for (const auto& part : parts) {
            if (!part.empty()) {
                std::memcpy(buffer.get() + held, part.data(), part.size());
                held += part.size();
            }
        }
        return true;
    }

    bool seek(std::uint64_t position) noexcept override {
        if (!flush()) {
            return false;
        }
        bufferStart = position;
        return true;
    }

    std::uint64_t position() const noexcept override { return bufferStart + held; }

    bool commit() noexcept override {
        if (!flush()) {
            discard();
            return false;
        }
        // The rename is what makes a killed or failed run harmless: the path holds the old
        // file or the complete new one. No fsync: flushing every conversion to the disk would
        // cost more than the conversion itself, and copying tools do not do it either;
        // ext4 flushes a file replaced by rename before the rename commits anyway.
        if (close(fd) != 0) {
            fail(errno);
            fd = -1;
            discard();
            return false;
        }
        fd = -1;
        struct stat existing {};
        if (stat(targetPath.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
            fail(EISDIR);
            discard();
            return false;
        }
        if (rename(temporaryPath.c_str(), targetPath.c_str()) != 0) {
            fail(errno);
            discard();
            return false;
        }
        temporaryPath.clear();
        return true;
    }

    void discard() noexcept override {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
        if (!temporaryPath.empty()) {
            unlink(temporaryPath.c_str());
            temporaryPath.clear();
        }
        held = 0;
    }

    std::string errorText() const override { return failure; }

private:
    bool usable() noexcept {
        if (failure.empty() && fd < 0) {
            fail(EBADF);
        }
        return failure.empty();
    }

    void fail(int error) noexcept {
        if (failure.empty()) {
            failure = systemText(error);
        }
    }

    bool flush() noexcept {
        if (!usable()) {
            return false;
        }
        if (held == 0) {
            return true;
        }
        iovec part{buffer.get(), held};
        const int error = writeFully(fd, &part, 1, static_cast<off_t>(bufferStart));
        if (error != 0) {
            fail(error);
            return false;
        }
        bufferStart += held;
        held = 0;
        return true;
    }

    // The buffered bytes and the parts in one system call, with no copy of the parts.
    bool writeThrough(std::span<const std::span<const std::uint8_t>> parts,
                      std::size_t total) noexcept {
        std::array<iovec, MAX_PARTS + 1> vector{};
        int count = 0;
        if (held > 0) {
            vector[0] = iovec{buffer.get(), held};
            count = 1;
        }
        for (const auto& part : parts) {
            if (!part.empty()) {
                // pwritev only reads through the pointer.
                vector[static_cast<std::size_t>(count++)] =
                    iovec{const_cast<std::uint8_t*>(part.data()), part.size()};
            }
        }
        const int error = writeFully(fd, vector.data(), count, static_cast<off_t>(bufferStart));
        if (error != 0) {
            fail(error);
            return false;
        }
        bufferStart += held + total;
        held = 0;
        return true;
    }

    int fd;
    std::string temporaryPath;
    std::string targetPath;
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t held = 0;
    std::uint64_t bufferStart = 0;
    std::string failure;
};

class FileSinkFactory final : public SinkFactory {
public:
    std::unique_ptr<ByteSink> open(const std::string& path,
                                   std::string& failure) noexcept override {
        std::string directory;
        std::string name;
        splitPath(path, directory, name);
        if (name.empty() || name == "." || name == "..") {
            return refuse(failure, path.empty() ? ENOENT : EISDIR);
        }
        struct stat existing {};
        if (stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
            return refuse(failure, EISDIR);
        }
        std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[WRITE_BUFFER_BYTES]);
        if (!buffer) {
            return refuse(failure, ENOMEM);
        }
        const std::string prefix = temporaryPrefixFor(path);
        for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
            const std::string temporary = prefix + uniquePart() + ".part";
            // Mode 0666 lets the umask decide, as for any file the user creates.
            const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                auto sink = std::unique_ptr<FileSink>(
                    new (std::nothrow) FileSink(fd, temporary, path, std::move(buffer)));
                if (!sink) {
                    close(fd);
                    unlink(temporary.c_str());
                    return refuse(failure, ENOMEM);
                }
                return sink;
            }
            if (errno != EEXIST) {
                return refuse(failure, errno);
            }
        }
        return refuse(failure, EEXIST);
    }

private:
    static std::unique_ptr<ByteSink> refuse(std::string& failure, int error) {
        failure = systemText(error);
        return nullptr;
    }

    std::string uniquePart() {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::array<char, 48> text{};
        std::snprintf(text.data(), text.size(), "%ld-%lx%lx", static_cast<long>(getpid()),
                      static_cast<unsigned long>(now.tv_nsec), ++serial);
        return text.data();
    }

    std::atomic<unsigned long> serial{0};
};

}  // namespace

std::string temporaryPrefixFor(const std::string& path) {
    std::string directory;
    std::string name;
    splitPath(path, directory, name);
    return (directory == "/" ? std::string("/") : directory + "/") + "." + name + ".";
}

SinkFactory& fileSinkFactory() noexcept {
    static FileSinkFactory factory;
    return factory;
}

}  // namespace trunvex
