// trunvex-cli: converts recordings to AVI files from the command line.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/batch.h"
#include "cli/recording_info.h"
#include "run/conversion_run.h"

namespace {

constexpr int EXIT_USAGE = 64;

constexpr const char* EXIT_STATUS_HELP =
    "Exit status:\n"
    "  0  every file converted (\"Trunvex succeeded!\")\n"
    "  1  \"ReadFile failed!\"\n"
    "  2  \"AVIFileOpen failed!\" (the AVI file could not be created or written)\n"
    "  3  \"No frames to be converted!\"\n"
    "  4  \"Source or AVI file path can not be null!\"\n"
    "  5  \"Can not open the source file!\"\n"
    "  6  \"Source and AVI file can not be the same!\"\n"
    " 64  usage error\n"
    " 70  out of memory\n"
    "With several files, the status is that of the first file (in the order given) that\n"
    "did not convert.";

bool endsWithAvi(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return tail == ".avi";
}

// SOURCE [AVI] converts one file; otherwise every argument is a source with a derived AVI.
std::vector<trunvex::BatchJob> jobsFrom(const std::vector<std::string>& paths,
                                        const std::string& output) {
    std::vector<trunvex::BatchJob> jobs;
    if (!output.empty() && paths.size() == 1) {
        return {{paths[0], output}};
    }
    if (output.empty() && paths.size() == 2 && endsWithAvi(paths[1])) {
        return {{paths[0], paths[1]}};
    }
    for (const std::string& source : paths) {
        jobs.push_back({source, trunvex::deriveAviPath(source)});
    }
    return jobs;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Converts recorded audio/video stream files (.264, .mp4) into AVI files.\n\n"
        "  trunvex-cli SOURCE [AVI]      convert one recording (AVI defaults to SOURCE with\n"
        "                                its extension replaced by .avi)\n"
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
    trunvex::BatchOptions options;
    options.jobs = jobs;
    options.progress = !quiet && ::isatty(STDERR_FILENO) == 1;
    return trunvex::runBatch(jobsFrom(paths, output), options, stdout, stderr);
}
