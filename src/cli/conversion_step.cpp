#include "cli/conversion_step.h"

#include <cstdio>
#include <string>

#include "cli/audit_report.h"
#include "cli/complaint.h"
#include "cli/name_text.h"
#include "platform/console.h"
#include "platform/file_sink.h"

namespace trunvex {

BatchOptions batchOptionsFor(const CommandLine& cl, const JobPlan& plan, bool terminal) {
    BatchOptions options;
    options.jobs = cl.jobs;
    options.progress = !cl.quiet && terminal;
    options.skipExisting = cl.skipExisting;
    options.keepPartial = cl.keepPartial;
    options.durable = cl.durable;
    options.verify = cl.verify;
    options.makeFolders = !cl.selection.outputDir.empty() && !cl.verify;
    options.hash = cl.hash;
    options.nameSources = plan.nameSources;
    options.quiet = cl.quiet;
    // Archive work ends with a summary; a plain batch says nothing on standard error unless
    // something failed.
    options.summary = !cl.quiet && (cl.selection.recursive || !cl.report.empty() ||
                                    cl.skipExisting || !cl.shardText.empty() || cl.verify);
    return options;
}

int convertPlannedJobs(const CommandLine& cl, const JobPlan& plan) {
    if (!cleanUpOnInterruption()) {
        complain(stderr, "cannot start the interruption handler");
        return EXIT_OUT_OF_MEMORY;
    }
    AuditReport report;
    BatchOptions options = batchOptionsFor(cl, plan, isTerminal(stderr));
    if (!cl.report.empty()) {
        std::string failure;
        if (!report.open(cl.report, failure)) {
            complain(stderr, shownName(cl.report), failure);
            return EXIT_REPORT_FAILED;
        }
        options.report = &report;
    }
    int status = runBatch(plan.jobs, options, stdout, stderr);
    if (!report.close() && status == 0) {
        status = EXIT_REPORT_FAILED;
    }
    return status;
}

}  // namespace trunvex
