#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>

#include "cli/audit_report.h"
#include "cli/batch.h"

namespace trunvex {

// The message of a folder of a walked tree that could not be read, in place of a run's.
inline constexpr const char* UNREADABLE_FOLDER_TEXT = "the folder could not be read";

// What a batch's jobs came to, for its closing line.
struct Totals {
    std::size_t converted = 0;
    std::size_t skipped = 0;
    std::size_t failed = 0;
    std::size_t verified = 0;
    std::size_t differ = 0;
    std::uint64_t bytes = 0;
};

// Prints the finished jobs in the order given and writes their report lines; called with
// the batch's lock held, after each job. Only jobs done ahead of an unfinished one wait here,
// so a long batch stays small; an interruption writes their lines too (writeWaitingLines).
class InOrderPrinter {
public:
    InOrderPrinter(std::size_t jobCount, const BatchOptions& batchOptions, std::FILE* outStream,
                   std::FILE* errStream)
        : count(jobCount), options(batchOptions), out(outStream), err(errStream) {}

    void finish(std::size_t index, JobRecord record);
    // The report lines of the jobs done ahead of an unfinished one, in list order after the
    // lines already written: an interrupted batch loses no finished job's line.
    void writeWaitingLines();
    [[nodiscard]] int exitStatus() const;
    [[nodiscard]] const Totals& totals() const noexcept { return sums; }

private:
    void print(const JobRecord& r);
    void writeLine(const JobRecord& r);
    void add(const JobRecord& r);

    std::size_t count;
    const BatchOptions& options;
    std::FILE* out;
    std::FILE* err;
    std::map<std::size_t, JobRecord> waiting;
    std::size_t next = 0;
    int firstFailure = 0;
    Totals sums;
    bool reportFailed = false;
};

// The batch's closing line on `err`.
void printSummary(const Totals& t, bool verify, double seconds, std::FILE* err);

}  // namespace trunvex
