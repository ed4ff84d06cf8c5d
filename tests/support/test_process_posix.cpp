#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/test_support.h"

namespace trunvex::test {

namespace {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    // Standard error goes to a file so that a chatty program cannot block on a full pipe.
    const std::filesystem::path errPath = makeTempDir("command") / "stderr.txt";
    const std::string full = "( " + command + " ) 2>" + shellQuote(errPath.string());
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.out.append(buffer, got);
    }
    const int status = pclose(pipe);
    result.err = slurp(errPath);
    std::error_code ignored;
    std::filesystem::remove_all(errPath.parent_path(), ignored);
    if (status != -1 && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return {};
    }
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::filesystem::path candidate =
            std::filesystem::path(dir.empty() ? "." : dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) {
            return candidate.string();
        }
    }
    return {};
}

UnwritableFolder::UnwritableFolder(const std::filesystem::path& folder) : path(folder) {
    namespace fs = std::filesystem;
    if (::geteuid() != 0) {
        fs::permissions(path,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        locked = true;
    } else if (::mount("tmpfs", path.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0) {
        mounted = true;
    } else {
        whyNot = std::string("running as root and cannot mount a read-only file system: ") +
                 std::strerror(errno);
    }
}

int UnwritableFolder::writeError() const {
    return mounted ? EROFS : EACCES;
}

bool UnwritableFolder::release() {
    bool released = true;
    if (mounted) {
        released = ::umount(path.c_str()) == 0;
        mounted = false;
    }
    if (locked) {
        std::error_code error;
        std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, error);
        released = released && !error;
        locked = false;
    }
    return released;
}

unsigned long processId() {
    return static_cast<unsigned long>(::getpid());
}

}  // namespace trunvex::test
