// trunvex-cli: converts recordings to AVI files from the command line.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/batch.h"
#include "cli/recording_info.h"
#include "platform/file_sink.h"
#include "run/conversion_run.h"

namespace {

constexpr int EXIT_USAGE = 64;

constexpr const char* EXIT_STATUS_HELP =
    "Exit status:\n"
    "  0  every file converted (\"Trunvex succeeded!\")\n"
    "  1  \"ReadFile failed!\"\n"
    "  2  \"AVIFileOpen failed!\" (the AVI file could not be created or written, or its\n"
    "     path holds something other than a regular file; or an eleventh frame size:\n"
    "     then the AVI holds the ten streams converted before it)\n"
    "  3  \"No frames to be converted!\"\n"
    "  4  \"Source or AVI file path can not be null!\"\n"
    "  5  \"Can not open the source file!\"\n"
    "  6  \"Source and AVI file can not be the same!\"\n"
    " 64  usage error\n"
    " 70  out of memory\n"
    "With several files, the status is that of the first file (in the order given) that\n"
    "did not convert. Two sources that would be converted to the same AVI are a usage\n"
    "error.\n\n"
    "The AVI path ends up holding what it held before or a complete new AVI. An AVI path\n"
    "that is a link is written through; a device, pipe or directory there is refused.\n"
    "Interrupted (Ctrl-C, SIGTERM, SIGHUP), trunvex-cli removes its unfinished output and\n"
    "ends by that signal (status 128 + its number in the shell): AVIs converted before\n"
    "stay, the one in progress keeps what it held before. A closed standard output does\n"
    "not stop a batch.";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Converts recorded audio/video stream files (.264, .mp4) into AVI files.\n\n"
        "  trunvex-cli SOURCE [AVI]      convert one recording (AVI defaults to SOURCE with\n"
        "                                its extension replaced by .avi, in its folder)\n"
        "  trunvex-cli SOURCE SOURCE...  convert each recording beside itself\n"
        "  trunvex-cli --info SOURCE...  describe recordings without writing anything",
        "trunvex-cli"};
    app.footer(EXIT_STATUS_HELP);
    std::vector<std::string> paths;
    std::string output;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    bool info = false;
    bool quiet = false;
    app.add_option("paths", paths, "SOURCE [AVI], or several SOURCE files")->required();
    app.add_option("-o,--output", output, "AVI path for a single SOURCE");
    app.add_option("-j,--jobs", jobs, "conversions to run at once (default: number of cores)")
        ->check(CLI::Range(1u, 256u));
    app.add_flag("--info", info, "describe each SOURCE, write nothing");
    app.add_flag("-q,--quiet", quiet, "no progress bar");
    app.set_version_flag("--version", std::string("trunvex-cli ") + TRUNVEX_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }
    if (!output.empty() && paths.size() != 1) {
        std::fprintf(stderr, "trunvex-cli: --output takes exactly one SOURCE\n");
        return EXIT_USAGE;
    }

    if (info) {
        int status = 0;
        for (const std::string& source : paths) {
            const int s = trunvex::describeRecording(source, stdout, stderr);
            if (status == 0) {
                status = s;
            }
        }
        return status;
    }
    std::string clash;
    const std::vector<trunvex::BatchJob> batch = trunvex::planJobs(paths, output, clash);
    if (batch.empty()) {
        std::fprintf(stderr, "trunvex-cli: %s\n", clash.c_str());
        return EXIT_USAGE;
    }
    if (!trunvex::cleanUpOnInterruption()) {
        std::fprintf(stderr, "trunvex-cli: cannot start the interruption handler\n");
        return trunvex::EXIT_OUT_OF_MEMORY;
    }
    trunvex::BatchOptions options;
    options.jobs = jobs;
    options.progress = !quiet && ::isatty(STDERR_FILENO) == 1;
    return trunvex::runBatch(batch, options, stdout, stderr);
}
