#include "platform/file_sink.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

#include "common/failure_texts.h"
#include "common/fixed_buffer.h"
#include "platform/buffered_sink.h"

namespace trunvex {
namespace {

inline constexpr int CREATE_ATTEMPTS = 64;
// Temporary names are this, 16 hex digits and ".part": their length never depends on the
// output's name, so any name the directory accepts can be written.
inline constexpr const char* TEMPORARY_LEAD = ".trunvex-";
inline constexpr const char* TEMPORARY_TAIL = ".part";
inline constexpr const char* DANGLING_LINK_TEXT = "Not writing through a dangling symbolic link";

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
        directory.assign(1, '.');
        name = path;
        return;
    }
    directory.assign(path, 0, slash == 0 ? 1 : slash);
    name.assign(path, slash + 1);
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

// The temporary files that have a name on disk right now, each by the folder it lives in
// (held open) and its name there, so that an interruption removes it even from a folder that
// was renamed meanwhile. The lock also covers each window in which such a name is created or
// renamed onto the output: once an interruption holds it, no sink creates, commits or removes
// anything anymore, and the process ends with the lock held.
class TemporaryNames {
public:
    struct Entry {
        int folder = -1;
        std::string name;
        bool operator==(const Entry&) const = default;
    };
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(lock); }
    // Callers hold the lock.
    void add(int folder, const std::string& name) { names.push_back({folder, name}); }
    void remove(int folder, const std::string& name) {
        const auto it = std::find(names.begin(), names.end(), Entry{folder, name});
        if (it != names.end()) {
            names.erase(it);
        }
    }
    // Removes every named temporary file and keeps the lock for good.
    void removeAllForGood() noexcept {
        lock.lock();
        for (const Entry& entry : names) {
            unlinkat(entry.folder, entry.name.c_str(), 0);
        }
    }

private:
    std::mutex lock;
    std::vector<Entry> names;
};

TemporaryNames& temporaryNames() noexcept {
    static TemporaryNames registry;
    return registry;
}

// A fresh name of fixed length for a temporary file.
std::string freshTemporaryName() {
    static std::atomic<std::uint64_t> serial{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t mixed = (static_cast<std::uint64_t>(getpid()) << 40) ^
                                (static_cast<std::uint64_t>(now.tv_nsec) << 8) ^
                                (static_cast<std::uint64_t>(now.tv_sec) << 32) ^ ++serial;
    std::array<char, 24> unique{};
    std::snprintf(unique.data(), unique.size(), "%016llx", static_cast<unsigned long long>(mixed));
    return std::string(TEMPORARY_LEAD) + unique.data() + TEMPORARY_TAIL;
}

// What may stand at an output path: nothing yet, or a regular file the user may write, which is
// replaced. A link is written through, as copying tools do: `target` becomes the file it
// finally names; where the program chose the path, a link is refused. Anything else
// (directory, device, pipe, socket, a dangling link) is refused with the reason.
bool resolveTarget(const std::string& path, bool followLinks, std::string& target,
                   std::string& failure) {
    std::string directory;
    std::string name;
    splitPath(path, directory, name);
    if (name.empty() || name == "." || name == "..") {
        failure = systemText(path.empty() ? ENOENT : EISDIR);
        return false;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            target = path;
            return true;
        }
        failure = systemText(errno);
        return false;
    }
    target = path;
    if (S_ISLNK(info.st_mode) && !followLinks) {
        failure = LINK_NOT_FOLLOWED_TEXT;
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        std::array<char, PATH_MAX> resolved{};
        if (realpath(path.c_str(), resolved.data()) == nullptr) {
            failure = errno == ENOENT ? std::string(DANGLING_LINK_TEXT) : systemText(errno);
            return false;
        }
        target = resolved.data();
        if (stat(target.c_str(), &info) != 0) {
            failure = systemText(errno);
            return false;
        }
    }
    if (!S_ISREG(info.st_mode)) {
        failure = S_ISDIR(info.st_mode) ? systemText(EISDIR) : std::string(NOT_REGULAR_FILE_TEXT);
        return false;
    }
    // The rename that replaces the file needs only the folder's permission, but a file the
    // user may not write is not the user's to replace: it is refused as cp refuses it, and
    // as there, root may.
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        failure = systemText(errno);
        return false;
    }
    return true;
}

// The new file takes the place of `earlier`: its owner and group where the process may set
// them, then its permission bits. Set-user and set-group bits stay only with the owner they
// were meant for. Best effort, as editors do: a file that keeps our owner is still complete.
void takeOwnerAndMode(int fd, const struct stat& earlier) noexcept {
    struct stat mine {};
    bool sameOwner =
        fstat(fd, &mine) == 0 && mine.st_uid == earlier.st_uid && mine.st_gid == earlier.st_gid;
    if (!sameOwner) {
        sameOwner = fchown(fd, earlier.st_uid, earlier.st_gid) == 0;
        if (!sameOwner) {
            (void)fchown(fd, static_cast<uid_t>(-1), earlier.st_gid);
        }
    }
    const mode_t keep = sameOwner ? 07777 : 01777;
    (void)fchmod(fd, earlier.st_mode & keep);
}

// Test hook: no machine a test runs on can be made to lack /proc and refuse a descriptor's
// link, so tests switch both off here (refuseLinkingUnnamedFilesForTests).
std::atomic<bool> linkingUnnamedRefused{false};

// Gives an unnamed file (O_TMPFILE) the name `name` in `folder`. Through /proc first, which
// needs no privilege; where /proc is missing, by the descriptor itself, which before Linux
// 6.10 needs CAP_DAC_READ_SEARCH.
int linkUnnamed(int fd, int folder, const std::string& name) noexcept {
    if (linkingUnnamedRefused.load(std::memory_order_relaxed)) {
        return ENOENT;  // what the descriptor's link gives an unprivileged process
    }
    std::array<char, 40> self{};
    std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, self.data(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    if (errno == EEXIST) {
        return EEXIST;
    }
    if (linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) {
        return 0;
    }
    return errno;
}

// What stood at the output's name when the sink was opened: its owner and mode go to the
// new file, whatever stands there by the commit.
struct EarlierFile {
    bool present = false;
    struct stat info {};
};

class FileSink final : public BufferedSink {
public:
    // The file lives in the folder held open as `folderFd`. With a `temporary` name it is
    // named there already (registered); otherwise it is unnamed and gets a name only for the
    // rename onto `target`.
    FileSink(int fileDescriptor, int folderFd, std::string temporary, std::string target,
             const EarlierFile& before, AlignedBytes bufferBytes, bool toStableStorage) noexcept
        : BufferedSink(std::move(bufferBytes)),
          durable(toStableStorage),
          fd(fileDescriptor),
          folder(folderFd),
          temporaryName(std::move(temporary)),
          targetName(std::move(target)),
          earlier(before) {}
    ~FileSink() override {
        discard();
        close(folder);
    }
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // The rename is what makes a killed or failed run harmless: the path holds the old file
    // or the complete new one. Only a durable sink syncs: the file's data before its name
    // appears, the folder after the rename. Otherwise a power cut may leave the new name on
    // a file whose data never reached the disk, a cost copying tools do not pay either.
    bool commit() noexcept override {
        if (!flush() || !takePlaceOfTarget() || (durable && !syncFile())) {
            discard();
            return false;
        }
        const bool done = temporaryName.empty() ? linkAndRename() : closeAndRename();
        if (!done) {
            discard();
        }
        return done && (!durable || syncFolder());
    }

    void discard() noexcept override {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
        if (!temporaryName.empty()) {
            const auto guard = temporaryNames().hold();
            unlinkat(folder, temporaryName.c_str(), 0);
            temporaryNames().remove(folder, temporaryName);
            temporaryName.clear();
        }
        dropBuffered();
    }

private:
    bool writeAt(std::span<const std::span<const std::uint8_t>> parts,
                 std::uint64_t offset) noexcept override {
        std::array<iovec, MAX_PARTS + 1> vector{};
        int count = 0;
        for (const auto& part : parts) {
            // pwritev only reads through the pointer.
            vector[static_cast<std::size_t>(count++)] =
                iovec{const_cast<std::uint8_t*>(part.data()), part.size()};
        }
        const int error = writeFully(fd, vector.data(), count, static_cast<off_t>(offset));
        if (error != 0) {
            fail(error);
            return false;
        }
        return true;
    }

    bool isOpen() const noexcept override { return fd >= 0; }
    std::string notOpenText() const override { return systemText(EBADF); }

    void fail(int error) noexcept { BufferedSink::fail(systemText(error)); }

    bool syncFile() noexcept {
        if (fsync(fd) != 0) {
            fail(errno);
            return false;
        }
        return true;
    }

    // The rename is an entry of the folder: it is on the disk once the folder is.
    bool syncFolder() noexcept {
        const int readable = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = readable >= 0 && fsync(readable) == 0;
        if (!synced) {
            fail(errno);
        }
        if (readable >= 0) {
            close(readable);
        }
        return synced;
    }

    // What stands at the target now must still be a regular file, or nothing: a link that
    // appeared meanwhile is not followed, the rename would only replace it. The new file
    // takes over the owner and mode of the file that was there at the open, never of what a
    // look-up now would name.
    bool takePlaceOfTarget() noexcept {
        struct stat existing {};
        if (fstatat(folder, targetName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                fail(errno);
                return false;
            }
        } else if (S_ISLNK(existing.st_mode)) {
            BufferedSink::fail(LINK_NOT_FOLLOWED_TEXT);
            return false;
        } else if (S_ISDIR(existing.st_mode)) {
            fail(EISDIR);
            return false;
        } else if (!S_ISREG(existing.st_mode)) {
            BufferedSink::fail(NOT_REGULAR_FILE_TEXT);
            return false;
        }
        if (earlier.present) {
            takeOwnerAndMode(fd, earlier.info);
        }
        return true;
    }

    // A named temporary file: closed (where a late write error shows), then renamed.
    bool closeAndRename() noexcept {
        const int closed = close(fd);
        fd = -1;
        if (closed != 0) {
            fail(errno);
            return false;
        }
        const auto guard = temporaryNames().hold();
        if (renameat(folder, temporaryName.c_str(), folder, targetName.c_str()) != 0) {
            fail(errno);
            return false;
        }
        temporaryNames().remove(folder, temporaryName);
        temporaryName.clear();
        return true;
    }

    // An unnamed file: linked to a temporary name, since a link cannot replace a file, then
    // renamed onto the target. The name exists only inside the registry's lock.
    bool linkAndRename() noexcept {
        const auto guard = temporaryNames().hold();
        std::string name;
        int error = EEXIST;
        for (int attempt = 0; attempt < CREATE_ATTEMPTS && error == EEXIST; ++attempt) {
            name = freshTemporaryName();
            error = linkUnnamed(fd, folder, name);
        }
        if (error != 0) {
            fail(error);
            return false;
        }
        temporaryNames().add(folder, name);
        const bool closed = close(fd) == 0;
        if (!closed) {
            fail(errno);
        }
        fd = -1;
        const bool renamed =
            closed && renameat(folder, name.c_str(), folder, targetName.c_str()) == 0;
        if (!renamed) {
            fail(errno);
            unlinkat(folder, name.c_str(), 0);
        }
        temporaryNames().remove(folder, name);
        return renamed;
    }

    bool durable;
    int fd;
    int folder;
    std::string temporaryName;
    std::string targetName;
    EarlierFile earlier;
};

// Errors of O_TMPFILE that mean the kernel or the file system does not offer it.
bool unnamedFilesUnsupported(int error) noexcept {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Whether an unnamed file can be given a name at the commit. Found out before anything is
// written: without /proc, only the descriptor itself can link it, which older kernels allow
// to privileged processes alone. A successful try leaves the file named (registered), as
// the named fallback would have made it; a failed one leaves it unnamed.
bool nameUnnamedEarly(int fd, int folder, std::string& temporary) noexcept {
    if (linkingUnnamedRefused.load(std::memory_order_relaxed)) {
        return false;
    }
    std::array<char, 40> self{};
    std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", fd);
    if (access(self.data(), F_OK) == 0) {
        return true;
    }
    const auto guard = temporaryNames().hold();
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        const std::string name = freshTemporaryName();
        if (linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) {
            temporaryNames().add(folder, name);
            temporary = name;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

class FileSinkFactory final : public SinkFactory {
public:
    FileSinkFactory(bool followLinks, bool unnamedFiles, bool toStableStorage) noexcept
        : follow(followLinks), unnamed(unnamedFiles), durable(toStableStorage) {}

    bool checkPath(const std::string& path, std::string& failure) noexcept override {
        std::string target;
        return resolveTarget(path, follow, target, failure);
    }

    std::unique_ptr<ByteSink> open(const std::string& path,
                                   std::string& failure) noexcept override {
        std::string target;
        if (!resolveTarget(path, follow, target, failure)) {
            return nullptr;
        }
        std::string directory;
        std::string name;
        splitPath(target, directory, name);
        AlignedBytes buffer = BufferedSink::allocateBuffer();
        if (!buffer) {
            return refuse(failure, ENOMEM);
        }
        // The folder is held from here on: every later step happens in it, wherever it is
        // moved meanwhile.
        const int folder = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) {
            return refuse(failure, errno);
        }
        EarlierFile earlier;
        earlier.present = fstatat(folder, name.c_str(), &earlier.info, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(earlier.info.st_mode);
        int fd = -1;
        std::string temporary;
        const int error = createFile(folder, fd, temporary);
        if (error != 0) {
            close(folder);
            return refuse(failure, error);
        }
        auto sink = std::unique_ptr<FileSink>(new (std::nothrow) FileSink(
            fd, folder, temporary, std::move(name), earlier, std::move(buffer), durable));
        if (!sink) {
            close(fd);
            if (!temporary.empty()) {
                const auto guard = temporaryNames().hold();
                unlinkat(folder, temporary.c_str(), 0);
                temporaryNames().remove(folder, temporary);
            }
            close(folder);
            return refuse(failure, ENOMEM);
        }
        return sink;
    }

private:
    static std::unique_ptr<ByteSink> refuse(std::string& failure, int error) {
        failure = systemText(error);
        return nullptr;
    }

    // An unnamed file leaves nothing behind whatever happens to the process, even a power
    // cut; where none is offered, or it could not be named at the end, a hidden named one.
    // Mode 0666 lets the umask decide, as for any file the user creates. Returns 0 or the
    // errno of the failure.
    int createFile(int folder, int& fd, std::string& temporary) const noexcept {
        if (unnamed) {
            fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0 && nameUnnamedEarly(fd, folder, temporary)) {
                return 0;
            }
            if (fd < 0 && !unnamedFilesUnsupported(errno)) {
                return errno;
            }
            if (fd >= 0) {
                close(fd);
            }
        }
        return createNamed(folder, fd, temporary);
    }

    // A hidden temporary file beside the target, known to the registry from the moment it
    // exists. Returns 0 or the errno of the failure.
    static int createNamed(int folder, int& fd, std::string& temporary) {
        const auto guard = temporaryNames().hold();
        for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
            temporary = freshTemporaryName();
            fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                temporaryNames().add(folder, temporary);
                return 0;
            }
            if (errno != EEXIST) {
                return errno;
            }
        }
        return EEXIST;
    }

    bool follow;
    bool unnamed;
    bool durable;
};

// Waits for an interruption, then removes every named temporary file, keeps any sink from
// committing, and ends the process the way the signal would have.
void* awaitInterruption(void* signals) {
    const auto* set = static_cast<const sigset_t*>(signals);
    int signal = 0;
    while (sigwait(set, &signal) != 0) {
    }
    temporaryNames().removeAllForGood();
    sayLastWordsOnInterruption();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);
}

}  // namespace

SinkFactory& fileSinkFactory() noexcept {
    static FileSinkFactory factory(true, true, false);
    return factory;
}

SinkFactory& durableFileSinkFactory() noexcept {
    static FileSinkFactory factory(true, true, true);
    return factory;
}

SinkFactory& derivedFileSinkFactory(bool durable) noexcept {
    static FileSinkFactory plain(false, true, false);
    static FileSinkFactory synced(false, true, true);
    return durable ? synced : plain;
}

SinkFactory& namedFileSinkFactory() noexcept {
    static FileSinkFactory factory(true, false, false);
    return factory;
}

void refuseLinkingUnnamedFilesForTests(bool refuse) noexcept {
    linkingUnnamedRefused.store(refuse, std::memory_order_relaxed);
}

bool cleanUpOnInterruption() noexcept {
    static sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        // What the process was started to ignore (nohup, a background job) it keeps ignoring.
        struct sigaction current {};
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&signals, s);
        }
    }
    // A reader that went away must not end a batch halfway: writes to it fail instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    // Blocked here, so in every thread started from now on; one thread takes them all.
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        return false;
    }
    pthread_t waiter{};
    if (pthread_create(&waiter, nullptr, &awaitInterruption, &signals) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        return false;
    }
    pthread_detach(waiter);
    return true;
}

}  // namespace trunvex
