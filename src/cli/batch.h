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
