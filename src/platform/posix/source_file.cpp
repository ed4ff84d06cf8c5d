#include "platform/source_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "common/failure_texts.h"
#include "platform/standard_input.h"

namespace trunvex {
namespace {

// Reads an open descriptor it owns: a file named by path, or a duplicate of standard input.
class DescriptorReader final : public SourceReader {
public:
    DescriptorReader(int openFd, const struct stat& openInfo, bool fromStandardInput) noexcept
        : fd(openFd), info(openInfo), onlyFilesHaveNames(fromStandardInput) {}
    ~DescriptorReader() override { ::close(fd); }
    DescriptorReader(const DescriptorReader&) = delete;
    DescriptorReader& operator=(const DescriptorReader&) = delete;

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
        if (onlyFilesHaveNames && !S_ISREG(info.st_mode)) {
            return false;
        }
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
    int laterErrno = 0;       // a failure behind the bytes the last call returned
    bool onlyFilesHaveNames;  // standard input: a pipe or terminal has no path to match
};

// Why a named file of this kind is no source, or null. A directory opens for reading on POSIX
// but is no recording; nor is a character device, which may never end (/dev/zero). A pipe is a
// stream like standard input and is read as one. A disk or a memory card, read whole, is a
// source: a recorder writes this same run of records onto its medium, and the medium ends.
const char* refusalOfKind(mode_t mode) noexcept {
    if (S_ISDIR(mode)) {
        return std::strerror(EISDIR);
    }
    return S_ISREG(mode) || S_ISFIFO(mode) || S_ISBLK(mode) ? nullptr : NOT_REGULAR_FILE_TEXT;
}

// Why the open `fd` is no source, or null. Standard input may be anything it was redirected
// from, but not a terminal: nobody types a recording, and waiting there would only look like a
// hang.
const char* refusalOf(int fd, const struct stat& info, bool fromStandardInput) noexcept {
    if (!fromStandardInput) {
        return refusalOfKind(info.st_mode);
    }
    if (S_ISDIR(info.st_mode)) {
        return std::strerror(EISDIR);
    }
    // Standard input closed at start-up is held by the null device, opened for writing only.
    if ((::fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {
        return std::strerror(EBADF);
    }
    return ::isatty(fd) == 1 ? TERMINAL_SOURCE_TEXT : nullptr;
}

// Takes ownership of `fd`: a reader for it, or null with the reason and the descriptor closed.
std::unique_ptr<SourceReader> readerFor(int fd, bool fromStandardInput, std::string& failure) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        failure = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    const char* refusal = refusalOf(fd, info, fromStandardInput);
    if (refusal != nullptr) {
        failure = refusal;
        ::close(fd);
        return nullptr;
    }
    if (!fromStandardInput) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    std::unique_ptr<SourceReader> reader(new (std::nothrow)
                                             DescriptorReader(fd, info, fromStandardInput));
    if (!reader) {
        failure = std::strerror(ENOMEM);
        ::close(fd);
    }
    return reader;
}

class FileSourceOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override {
        // Refused before it is opened where the kind already says so: opening some devices
        // has effects of its own (a tape rewinds, a modem hangs up). What stands there by the
        // time it opens is judged again.
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            if (const char* refusal = refusalOfKind(info.st_mode); refusal != nullptr) {
                failure = refusal;
                return nullptr;
            }
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            failure = std::strerror(errno);
            return nullptr;
        }
        return readerFor(fd, false, failure);
    }
};

// Reads a duplicate of descriptor 0, so that closing the reader leaves standard input open.
class StandardInputOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string&, std::string& failure) noexcept override {
        const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            failure = std::strerror(errno);
            return nullptr;
        }
        return readerFor(fd, true, failure);
    }
};

}  // namespace

SourceOpener& standardInputOpener() noexcept {
    static StandardInputOpener opener;
    return opener;
}

SourceOpener& fileSourceOpener() noexcept {
    static FileSourceOpener opener;
    return opener;
}

}  // namespace trunvex
