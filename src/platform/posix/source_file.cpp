#include "platform/source_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trunvex {
namespace {

class FileSourceReader final : public SourceReader {
public:
    FileSourceReader(int openFd, const struct stat& openInfo) noexcept
        : fd(openFd), info(openInfo) {}
    ~FileSourceReader() override { ::close(fd); }
    FileSourceReader(const FileSourceReader&) = delete;
    FileSourceReader& operator=(const FileSourceReader&) = delete;

    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        if (laterErrno != 0) {
            lastErrno = laterErrno;
            laterErrno = 0;
            return -1;
        }
        // read() may return less than asked before the end (signals, pipes); only a read of
        // 0 bytes is the end, so a short count here means the file ended or a read failed.
        std::size_t done = 0;
        while (done < into.size()) {
            const ssize_t n = ::read(fd, into.data() + done, into.size() - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (done > 0) {
                    laterErrno = errno;  // what arrived before the failure counts
                    break;
                }
                lastErrno = errno;
                return -1;
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return static_cast<std::int64_t>(done);
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
    int fd;
    struct stat info;
    int lastErrno = 0;
    int laterErrno = 0;  // a failure behind the bytes the last call returned
};

class FileSourceOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            failure = std::strerror(errno);
            return nullptr;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            failure = std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
        // A directory opens for reading on POSIX but is no recording.
        if (S_ISDIR(info.st_mode)) {
            failure = std::strerror(EISDIR);
            ::close(fd);
            return nullptr;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        std::unique_ptr<SourceReader> reader(new (std::nothrow) FileSourceReader(fd, info));
        if (!reader) {
            failure = std::strerror(ENOMEM);
            ::close(fd);
        }
        return reader;
    }
};

}  // namespace

SourceOpener& fileSourceOpener() noexcept {
    static FileSourceOpener opener;
    return opener;
}

}  // namespace trunvex
