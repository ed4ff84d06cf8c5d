#include "platform/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace trunvex {

bool isTerminal(std::FILE* stream) noexcept {
    return stream != nullptr && ::isatty(::fileno(stream)) == 1;
}

int terminalColumns(std::FILE* stream) noexcept {
    if (!isTerminal(stream)) {
        return 0;
    }
    struct winsize size {};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

std::vector<std::string> programArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void useUtf8Console() noexcept {}

}  // namespace trunvex
