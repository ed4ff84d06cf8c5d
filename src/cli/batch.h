#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "run/conversion_run.h"

namespace trunvex {

class AuditReport;
class SourceOpener;

struct BatchJob {
    std::string source;
    std::string avi;
    std::uint64_t sourceBytes = 0;  // for the progress bar; 0 when unknown
    // Set for a folder of a walked tree that could not be read: the system's reason. The job
    // stands for the recordings that folder may hold (`source` is the folder, no AVI), so that
    // the failure takes its place in the sorted list, in one shard, and in the report.
    std::string unreadableFolder;
    // The AVI path was made from the source's name, not typed: a link there is refused.
    bool aviDerived = false;
};

struct BatchOptions {
    unsigned jobs = 1;                // conversions running at once
    bool progress = false;            // a progress line on the error stream
    bool skipExisting = false;        // a whole AVI not older than its source is kept, not redone
    bool keepPartial = false;         // a failed read leaves the AVI of what was read
    bool durable = false;             // each AVI reaches stable storage before its line is written
    bool verify = false;              // compare each conversion with the AVI there, write nothing
    bool makeFolders = false;         // the folder of each AVI is created when missing
    bool hash = false;                // the report carries SHA-256 digests of source and AVI
    bool summary = false;             // a closing line: converted, skipped, failed, bytes, time
    bool nameSources = false;         // "SOURCE: " before each message, even for one job
    bool quiet = false;               // successes print nothing: only failures are told
    AuditReport* report = nullptr;    // one line per source, when set
    SourceOpener* sources = nullptr;  // the command line's own when null
};

// The command line's AVI for a source: its file name with the extension replaced by ".avi"
// (".avi" added when it has none), in the source's own folder.
[[nodiscard]] std::string cliAviPath(const std::string& sourcePath);

// Exit status for a conversion outcome: 0 for success, the outcome's own code otherwise.
[[nodiscard]] int exitCodeFor(ConvertOutcome outcome) noexcept;
// Exit status when the buffers of a conversion could not be allocated, and why it failed.
inline constexpr int EXIT_OUT_OF_MEMORY = 70;
inline constexpr std::string_view OUT_OF_MEMORY_TEXT = "out of memory";
// Exit status when the report could not be written (every conversion having succeeded).
inline constexpr int EXIT_REPORT_FAILED = 74;
// Exit status when an AVI checked with --verify is not what this version makes of its source
// (or is missing).
inline constexpr int EXIT_DIFFERS = 7;

// Converts every job, `options.jobs` at a time. For each job the run's message is printed
// exactly as the dialog shows it, after "SOURCE: " when there are several jobs, in the order
// of the jobs: each as soon as it and every job before it are done. A success goes to `out`
// (unless quiet); a failure goes to `err`, with the system's reason behind it. Returns 0 when every
// job succeeded (or was skipped), otherwise the exit status of the first job (in the given order)
// that did not.
[[nodiscard]] int runBatch(const std::vector<BatchJob>& jobs, const BatchOptions& options,
                           std::FILE* out, std::FILE* err);

}  // namespace trunvex
