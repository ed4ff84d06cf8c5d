#include "cli/in_order_printer.h"

#include <filesystem>
#include <string>
#include <string_view>

#include "cli/complaint.h"
#include "cli/name_text.h"
#include "cli/source_tree.h"
#include "platform/paths.h"

namespace trunvex {
namespace {

const std::string& reasonPath(const JobRecord& r) {
    const bool sourceFailed = r.exitCode == exitCodeFor(CONVERT_READ_FAILED) ||
                              r.exitCode == exitCodeFor(CONVERT_SOURCE_OPEN_FAILED);
    return sourceFailed ? r.source : r.avi;
}

// A folder among the sources is converted only with -r; the reason says so, as cp's does.
std::string_view hintFor(const JobRecord& r) {
    std::error_code ignored;
    const bool folder = r.exitCode == exitCodeFor(CONVERT_SOURCE_OPEN_FAILED) &&
                        r.source != STANDARD_INPUT_NAME && r.message != UNREADABLE_FOLDER_TEXT &&
                        std::filesystem::is_directory(pathFromUtf8(r.source), ignored);
    return folder ? " (-r converts the recordings in it)" : "";
}

}  // namespace

void InOrderPrinter::finish(std::size_t index, JobRecord record) {
    waiting.emplace(index, std::move(record));
    for (auto at = waiting.begin(); at != waiting.end() && at->first == next;
         at = waiting.erase(at), ++next) {
        print(at->second);
        if (firstFailure == 0) {
            firstFailure = at->second.exitCode;
        }
    }
}

void InOrderPrinter::writeWaitingLines() {
    for (const auto& [index, record] : waiting) {
        writeLine(record);
    }
    waiting.clear();
}

int InOrderPrinter::exitStatus() const {
    if (firstFailure != 0) {
        return firstFailure;
    }
    return reportFailed ? EXIT_REPORT_FAILED : 0;
}

void InOrderPrinter::print(const JobRecord& r) {
    const bool named = count > 1 || options.nameSources;
    if (r.exitCode != 0) {
        complainOfFailure(err, named ? std::string_view(r.source) : std::string_view(), r.message,
                          reasonPath(r), r.reason, hintFor(r));
    } else if (!options.quiet) {
        if (named) {
            printShownName(out, r.source);
            std::fputs(": ", out);
        }
        std::fprintf(out, "%s\n", r.message.c_str());
        std::fflush(out);
    }
    add(r);
    writeLine(r);
}

void InOrderPrinter::writeLine(const JobRecord& r) {
    if (options.report != nullptr && !options.report->write(r) && !reportFailed) {
        reportFailed = true;
        complain(err, shownName(options.report->path()), options.report->failure());
    }
}

void InOrderPrinter::add(const JobRecord& r) {
    if (r.skipped) {
        ++sums.skipped;
        return;
    }
    if (r.verdict == "verified") {
        ++sums.verified;
    } else if (r.verdict == "differs") {
        ++sums.differ;
    } else {
        ++(r.exitCode == 0 ? sums.converted : sums.failed);
    }
    sums.bytes += r.bytesRead;
}

void printSummary(const Totals& t, bool verify, double seconds, std::FILE* err) {
    if (verify) {
        std::fprintf(err,
                     "trunvex-cli: %zu verified, %zu differ, %zu failed, %llu bytes read in "
                     "%.1f s\n",
                     t.verified, t.differ, t.failed, static_cast<unsigned long long>(t.bytes),
                     seconds);
        return;
    }
    std::fprintf(err,
                 "trunvex-cli: %zu converted, %zu skipped, %zu failed, %llu bytes read in "
                 "%.1f s\n",
                 t.converted, t.skipped, t.failed, static_cast<unsigned long long>(t.bytes),
                 seconds);
}

}  // namespace trunvex
