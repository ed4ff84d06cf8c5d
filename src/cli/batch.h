#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "run/conversion_run.h"

namespace trunvex {

struct BatchJob {
    std::string source;
    std::string avi;
};

struct BatchOptions {
    unsigned jobs = 1;      // conversions running at once
    bool progress = false;  // a progress line on the error stream
};

// The jobs that the command line's paths ask for: SOURCE and AVI when `output` is given or
// the second of two paths ends in ".avi", otherwise every path is a source whose AVI is
// beside it (cliAviPath). A source given twice is converted once. Empty, with the reason in
// `failure`, when two sources would be written to the same AVI (after resolving ".", ".."
// and links): converting both would keep only one.
[[nodiscard]] std::vector<BatchJob> planJobs(const std::vector<std::string>& paths,
                                             const std::string& output, std::string& failure);

// The command line's AVI for a source: its file name with the extension replaced by ".avi"
// (".avi" added when it has none), in the source's own folder.
[[nodiscard]] std::string cliAviPath(const std::string& sourcePath);

// Exit status for a conversion outcome: 0 for success, the outcome's own code otherwise.
[[nodiscard]] int exitCodeFor(ConvertOutcome outcome) noexcept;
// Exit status when the buffers of a conversion could not be allocated.
inline constexpr int EXIT_OUT_OF_MEMORY = 70;

// Converts every job, `options.jobs` at a time. For each job the run's message is printed on
// `out` exactly as the dialog shows it, after "SOURCE: " when there are several jobs; the
// system's reason behind a failure goes to `err`. Returns 0 when every job succeeded,
// otherwise the exit status of the first job (in the given order) that did not.
[[nodiscard]] int runBatch(const std::vector<BatchJob>& jobs, const BatchOptions& options,
                           std::FILE* out, std::FILE* err);

}  // namespace trunvex
