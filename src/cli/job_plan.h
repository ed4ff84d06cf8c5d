#pragma once

#include <vector>

#include "cli/batch.h"
#include "cli/command_line.h"

namespace trunvex {

// What this process is to do: its share of the jobs the command line names.
struct JobPlan {
    std::vector<BatchJob> jobs;
    // "SOURCE: " before each message: several sources, or a tree, named as a whole would name
    // them however few fall to this share.
    bool nameSources = false;
};

// SOURCE AVI (or -o) is one job; otherwise every source (a folder with -r stands for the
// recordings in it) gets its AVI beside it, under --output-dir or in the folder named last.
// The whole list is checked (standard input needs an AVI path, no two sources share an AVI,
// the report overwrites none of them) before the share is taken. Ends the program after a
// usage error, or when the folders hold no recording at all (each named on standard error).
[[nodiscard]] Ending planJobs(const CommandLine& cl, JobPlan& plan);

}  // namespace trunvex
