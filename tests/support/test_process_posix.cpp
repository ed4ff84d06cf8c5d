#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

unsigned long processId() {
    return static_cast<unsigned long>(::getpid());
}

}  // namespace trunvex::test
