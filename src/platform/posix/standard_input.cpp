#include "platform/standard_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace trunvex {
namespace {

// Reads a duplicate of descriptor 0, so that closing the reader leaves standard input open.
class StandardInputReader final : public SourceReader {
public:
    StandardInputReader(int ownFd, const struct stat& openInfo) noexcept
        : fd(ownFd), info(openInfo) {}
    ~StandardInputReader() override { ::close(fd); }
    StandardInputReader(const StandardInputReader&) = delete;
    StandardInputReader& operator=(const StandardInputReader&) = delete;

    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        if (laterErrno != 0) {
            lastErrno = laterErrno;
            laterErrno = 0;
            return -1;
        }
        // A pipe hands out what its writer has written so far; only 0 is the end.
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

    // Standard input redirected from the very file the AVI would replace.
    bool isSameFileAs(const std::string& path) const noexcept override {
        struct stat other {};
        return S_ISREG(info.st_mode) && ::stat(path.c_str(), &other) == 0 &&
               other.st_dev == info.st_dev && other.st_ino == info.st_ino;
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

class StandardInputOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string&, std::string& failure) noexcept override {
        const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            failure = std::strerror(errno);
            return nullptr;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
            failure = std::strerror(S_ISDIR(info.st_mode) ? EISDIR : errno);
            ::close(fd);
            return nullptr;
        }
        std::unique_ptr<SourceReader> reader(new (std::nothrow) StandardInputReader(fd, info));
        if (!reader) {
            failure = std::strerror(ENOMEM);
            ::close(fd);
        }
        return reader;
    }
};

}  // namespace

SourceOpener& standardInputOpener() noexcept {
    static StandardInputOpener opener;
    return opener;
}

}  // namespace trunvex
