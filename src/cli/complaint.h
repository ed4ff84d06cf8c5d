#pragma once

#include <cstdio>
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
// after the path it concerns, and a hint where one helps. The paths are shown as shownName()
// shows them. Allocates nothing: it may have to tell of a want of memory.
inline void complainOfFailure(std::FILE* err, std::string_view named, std::string_view message,
                              std::string_view reasonPath, std::string_view reason,
                              std::string_view hint = "") {
    if (!message.empty() && named.empty()) {
        complain(err, message);
    } else if (!message.empty()) {
        std::fputs("trunvex-cli: ", err);
        printShownName(err, named);
        std::fprintf(err, ": %.*s\n", static_cast<int>(message.size()), message.data());
        std::fflush(err);
    }
    if (!reason.empty()) {
        std::fputs("trunvex-cli: ", err);
        printShownName(err, reasonPath);
        std::fprintf(err, ": %.*s%.*s\n", static_cast<int>(reason.size()), reason.data(),
                     static_cast<int>(hint.size()), hint.data());
        std::fflush(err);
    }
}

}  // namespace trunvex
