#include "platform/stored_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "common/failure_texts.h"

namespace trunvex {
namespace {

class StoredFile final : public StoredBytes {
public:
    StoredFile(int openFd, std::uint64_t bytes) noexcept : fd(openFd), length(bytes) {}
    ~StoredFile() override { ::close(fd); }
    StoredFile(const StoredFile&) = delete;
    StoredFile& operator=(const StoredFile&) = delete;

    std::uint64_t size() const noexcept override { return length; }

    bool readAt(std::uint64_t offset, std::span<std::uint8_t> into) noexcept override {
        lastErrno = 0;
        std::size_t done = 0;
        while (done < into.size()) {
            const ssize_t n = pread(fd, into.data() + done, into.size() - done,
                                    static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                lastErrno = n < 0 ? errno : 0;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::string errorText() const override {
        return lastErrno == 0 ? std::string() : std::string(std::strerror(lastErrno));
    }

private:
    int fd;
    std::uint64_t length;
    int lastErrno = 0;
};

}  // namespace

std::unique_ptr<StoredBytes> openStoredFile(const std::string& path,
                                            std::string& failure) noexcept {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        failure = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        failure = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : NOT_REGULAR_FILE_TEXT;
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<StoredBytes> file(new (std::nothrow)
                                          StoredFile(fd, static_cast<std::uint64_t>(info.st_size)));
    if (!file) {
        ::close(fd);
        failure = std::strerror(ENOMEM);
    }
    return file;
}

}  // namespace trunvex
