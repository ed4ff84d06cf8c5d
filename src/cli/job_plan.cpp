#include "cli/job_plan.h"

#include <cstdio>
#include <optional>
#include <string>

#include "cli/path_roles.h"
#include "cli/source_tree.h"

namespace trunvex {
namespace {

// The paths' roles, unless an option already says where the AVIs go or nothing is written.
PathRoles rolesOf(const CommandLine& cl) {
    if (cl.output) {
        return {cl.paths, cl.output, {}};
    }
    if (cl.info || !cl.selection.outputDir.empty()) {
        return {cl.paths, std::nullopt, {}};
    }
    std::vector<std::string> recordingNames = {"264", "mp4"};
    recordingNames.insert(recordingNames.end(), cl.selection.extensions.begin(),
                          cl.selection.extensions.end());
    return rolesOfPaths(cl.paths, cl.selection.recursive, recordingNames);
}

// Null, after a usage message, when the sources cannot be converted as given.
std::optional<std::vector<BatchJob>> plannedJobs(const CommandLine& cl) {
    const PathRoles roles = rolesOf(cl);
    if (roles.avi) {
        const std::string& source = roles.sources.front();
        return std::vector<BatchJob>{{source, *roles.avi, sourceFileBytes(source), {}}};
    }
    SourceSelection selection = cl.selection;
    if (!roles.destinationFolder.empty()) {
        selection.outputDir = roles.destinationFolder;
    }
    std::vector<BatchJob> jobs;
    (void)collectJobs(roles.sources, selection, jobs, stderr);
    if (cl.info) {
        return jobs;  // described, not converted: no AVI path is needed or written
    }
    for (const BatchJob& job : jobs) {
        if (job.source == STANDARD_INPUT_NAME) {
            usageError("standard input (-) needs its AVI path: '- AVI' or '-o AVI -'");
            return std::nullopt;
        }
    }
    std::string clash;
    if (!refuseSharedAvis(jobs, clash)) {
        usageError(clash);
        return std::nullopt;
    }
    return jobs;
}

// The report is opened, and so emptied, before anything is converted: never over a file of the
// batch.
bool reportPathIsFree(const CommandLine& cl, const std::vector<BatchJob>& jobs) {
    std::string clash;
    if (cl.report.empty() || cl.info || refuseReportOverJobs(cl.report, jobs, clash)) {
        return true;
    }
    usageError(clash);
    return false;
}

}  // namespace

Ending planJobs(const CommandLine& cl, JobPlan& plan) {
    std::optional<std::vector<BatchJob>> jobs = plannedJobs(cl);
    if (!jobs || !reportPathIsFree(cl, *jobs)) {
        return EXIT_USAGE;
    }
    if (jobs->empty()) {
        return EXIT_NOTHING_FOUND;
    }
    plan.nameSources = jobs->size() > 1 || cl.selection.recursive;
    plan.jobs = takeShare(std::move(*jobs), cl.shard);
    return std::nullopt;
}

}  // namespace trunvex
