#pragma once

#include "cli/batch.h"
#include "cli/command_line.h"
#include "cli/job_plan.h"

namespace trunvex {

// The batch the command line asks for. `terminal`: standard error is a terminal, where the
// progress line goes unless the run is quiet.
[[nodiscard]] BatchOptions batchOptionsFor(const CommandLine& cl, const JobPlan& plan,
                                           bool terminal);

// Converts the plan's jobs, or with --verify checks their AVIs, and writes the report when one
// is asked for. Returns the exit status: the first failed job's, or the report's when only it
// failed.
[[nodiscard]] int convertPlannedJobs(const CommandLine& cl, const JobPlan& plan);

}  // namespace trunvex
