#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "cli/name_text.h"

namespace trunvex {

// One problem on standard error, as "trunvex-cli: SUBJECT" or "trunvex-cli: SUBJECT: REASON",
// flushed at once: a Windows console stream is fully buffered, and the line must not wait
// behind a long run.
inline void complain(std::FILE* err, std::string_view subject, std::string_view reason = {}) {
    if (reason.empty()) {
        std::fprintf(err, "trunvex-cli: %.*s\n", static_cast<int>(subject.size()), subject.data());
    } else {
        std::fprintf(err, "trunvex-cli: %.*s: %.*s\n", static_cast<int>(subject.size()),
                     subject.data(), static_cast<int>(reason.size()), reason.data());
    }
    std::fflush(err);
}

// A file that did not convert, on standard error beside the other problems: the message the
// dialog would show (after "SOURCE: " when several files are named), then the system's reason
// after the path it concerns. The paths are shown as shownName() shows them.
inline void complainOfFailure(std::FILE* err, std::string_view named, std::string_view message,
                              std::string_view reasonPath, std::string_view reason) {
    if (!message.empty()) {
        const std::string name = shownName(named);
        complain(err, named.empty() ? message : name, named.empty() ? std::string_view() : message);
    }
    if (!reason.empty()) {
        complain(err, shownName(reasonPath), reason);
    }
}

}  // namespace trunvex
