// trunvex-cli: converts recordings to AVI files from the command line.
#include <cstdio>

#include "cli/command_line.h"
#include "cli/conversion_step.h"
#include "cli/job_plan.h"
#include "cli/recording_info.h"
#include "cli/source_tree.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    trunvex::holdStandardStreams();
    trunvex::useUtf8Console();
    trunvex::CommandLine cl;
    if (const trunvex::Ending end =
            trunvex::parseCommandLine(trunvex::programArguments(argc, argv), cl)) {
        return *end;
    }
    trunvex::JobPlan plan;
    if (const trunvex::Ending end = trunvex::planJobs(cl, plan)) {
        return *end;
    }
    if (cl.info) {
        return trunvex::describeRecordings(plan.jobs, plan.nameSources,
                                           trunvex::commandLineSourceOpener(), stdout, stderr);
    }
    return trunvex::convertPlannedJobs(cl, plan);
}
