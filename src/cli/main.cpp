// trunvex-cli: converts recordings to AVI files from the command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/audit_report.h"
#include "cli/batch.h"
#include "cli/complaint.h"
#include "cli/name_text.h"
#include "cli/path_roles.h"
#include "cli/recording_info.h"
#include "cli/shard.h"
#include "cli/source_tree.h"
#include "platform/console.h"
#include "platform/file_sink.h"
#include "platform/paths.h"
#include "run/conversion_run.h"

namespace {

constexpr int EXIT_USAGE = 64;
// The folders given hold no recording at all: a mistyped path or extension, or an archive
// that is not mounted, is not a batch with nothing to do.
constexpr int EXIT_NOTHING_FOUND = 66;

// What each conversion outcome's exit status means, around the message it prints.
struct OutcomeHelp {
    trunvex::ConvertOutcome outcome;
    const char* before;
    const char* after;
};
constexpr OutcomeHelp OUTCOME_HELP[] = {
    {trunvex::CONVERT_OK, "every file converted (", ") or skipped"},
    {trunvex::CONVERT_READ_FAILED, "",
     " (the AVI path keeps what it held before;\n"
     "     with --keep-partial it holds the AVI of what was read)"},
    {trunvex::CONVERT_OUTPUT_FAILED, "",
     " (the AVI file could not be created or written, or its\n"
     "     path holds something other than a regular file; or an eleventh frame size:\n"
     "     then the AVI holds the ten streams converted before it)"},
    {trunvex::CONVERT_NO_FRAMES, "", ""},
    {trunvex::CONVERT_PATH_EMPTY, "", ""},
    {trunvex::CONVERT_SOURCE_OPEN_FAILED, "", " (or a folder of a tree could not be read)"},
    {trunvex::CONVERT_SAME_FILE, "", ""},
};

// What holds on both systems, then what each system's own interruptions and paths add.
#define TRUNVEX_COMMON_STATUS_NOTES                                                        \
    "With several files, the status is that of the first file (in the order given) that\n" \
    "did not convert. Two sources that would be converted to the same AVI are a usage\n"   \
    "error.\n\n"                                                                           \
    "The AVI path ends up holding what it held before or the complete conversion of its\n" \
    "whole source; with --fsync, even after a power cut. With --skip-existing, an AVI\n"   \
    "that is not whole is converted again. --verify writes nothing; its status is 0 when\n"

#ifdef _WIN32
constexpr const char* EXIT_STATUS_NOTES = TRUNVEX_COMMON_STATUS_NOTES
    "every AVI was verified. A device (NUL, COM1), a folder, a read-only file or a file\n"
    "another program holds open there is refused before the recording is read.\n"
    "Ctrl-C or Ctrl-Break ends trunvex-cli with status 130, a closed console window with\n"
    "129: AVIs converted before stay, the one in progress keeps what it held before.";
#else
constexpr const char* EXIT_STATUS_NOTES = TRUNVEX_COMMON_STATUS_NOTES
    "every AVI was verified. An AVI path that is a link is written through; a device,\n"
    "pipe or directory there, or a file the user may not write, is refused. Interrupted\n"
    "(Ctrl-C, SIGTERM, SIGHUP), trunvex-cli removes its unfinished output and ends by that\n"
    "signal (status 128 + its number in the shell): AVIs converted before stay, the one in\n"
    "progress keeps what it held before. A closed standard output does not stop a batch.";
#endif

constexpr const char* USAGE =
    "Converts recorded audio/video stream files (.264, .mp4) into AVI files.\n\n"
    "  trunvex-cli SOURCE [AVI]        convert one recording (AVI defaults to SOURCE with\n"
    "                                  its extension replaced by .avi, in its folder);\n"
    "                                  SOURCE - reads standard input, AVI then required\n"
    "  trunvex-cli SOURCE... FOLDER    convert each recording into the folder\n"
    "  trunvex-cli SOURCE SOURCE...    convert each recording beside itself\n"
    "  trunvex-cli -r DIR...           convert every recording under the folders\n"
    "  trunvex-cli --info SOURCE...    describe recordings without writing anything\n\n"
    "Of two paths, the second is the AVI when the first is - or the second ends in .avi,\n"
    "and also when it is not named like a recording (.264, .mp4, --ext) and names no\n"
    "file yet or an AVI: 'trunvex-cli rec.264 out' writes the AVI 'out'. Any other\n"
    "existing file is a second SOURCE. A folder named last is where the AVIs go;\n"
    "anywhere else, a folder is a SOURCE only with -r.\n\n"
    "Each file's outcome is one of the messages below: a success on standard output, a\n"
    "failure on standard error with the system's reason, after 'SOURCE: ' when several\n"
    "files are named.\n";

std::string exitStatusLine(int status, std::string_view meaning) {
    char code[8];
    std::snprintf(code, sizeof code, "%3d  ", status);
    return code + std::string(meaning) + "\n";
}

// The exit statuses with the messages the run prints, as the conversion defines them.
std::string exitStatusHelp() {
    std::string text = "Exit status:\n";
    for (const OutcomeHelp& h : OUTCOME_HELP) {
        text += exitStatusLine(trunvex::exitCodeFor(h.outcome),
                               std::string(h.before) + '"' +
                                   std::string(trunvex::messageFor(h.outcome)) + '"' + h.after);
    }
    text += exitStatusLine(trunvex::EXIT_DIFFERS,
                           "--verify: an AVI is not byte for byte the conversion of its source,\n"
                           "     or there is none");
    text += exitStatusLine(EXIT_USAGE, "usage error");
    text += exitStatusLine(EXIT_NOTHING_FOUND, "no recording found in the folders given");
    text += exitStatusLine(trunvex::EXIT_OUT_OF_MEMORY, trunvex::OUT_OF_MEMORY_TEXT);
    text += exitStatusLine(trunvex::EXIT_REPORT_FAILED, "the report could not be written");
    return text + EXIT_STATUS_NOTES;
}

int usageError(const std::string& text) {
    trunvex::complain(stderr, text);
    return EXIT_USAGE;
}

struct CommandLine {
    std::vector<std::string> paths;
    std::optional<std::string> output;  // set, even to "", when -o was given
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    bool info = false;
    bool quiet = false;
    trunvex::SourceSelection selection;
    std::string extensions;
    bool extensionsGiven = false;
    bool skipExisting = false;
    bool keepPartial = false;
    bool durable = false;
    bool verify = false;
    std::string report;
    bool hash = false;
    std::string shard;
};

// The paths' roles, unless an option already says where the AVIs go or nothing is written.
trunvex::PathRoles rolesOf(const CommandLine& cl) {
    if (cl.output) {
        return {cl.paths, cl.output, {}};
    }
    if (cl.info || !cl.selection.outputDir.empty()) {
        return {cl.paths, std::nullopt, {}};
    }
    std::vector<std::string> recordingNames = {"264", "mp4"};
    recordingNames.insert(recordingNames.end(), cl.selection.extensions.begin(),
                          cl.selection.extensions.end());
    return trunvex::rolesOfPaths(cl.paths, cl.selection.recursive, recordingNames);
}

// SOURCE AVI (or -o) converts one file; otherwise every source (a folder with -r stands for
// the recordings in it) gets its AVI beside it, under --output-dir or in the folder named
// last. Null, after a usage message, when the sources cannot be converted as given.
std::optional<std::vector<trunvex::BatchJob>> plannedJobs(const CommandLine& cl) {
    const trunvex::PathRoles roles = rolesOf(cl);
    if (roles.avi) {
        const std::string& source = roles.sources.front();
        return std::vector<trunvex::BatchJob>{
            {source, *roles.avi, trunvex::sourceFileBytes(source), {}}};
    }
    trunvex::SourceSelection selection = cl.selection;
    if (!roles.destinationFolder.empty()) {
        selection.outputDir = roles.destinationFolder;
    }
    std::vector<trunvex::BatchJob> jobs;
    (void)trunvex::collectJobs(roles.sources, selection, jobs, stderr);
    if (cl.info) {
        return jobs;  // described, not converted: no AVI path is needed or written
    }
    for (const trunvex::BatchJob& job : jobs) {
        if (job.source == trunvex::STANDARD_INPUT_NAME) {
            usageError("standard input (-) needs its AVI path: '- AVI' or '-o AVI -'");
            return std::nullopt;
        }
    }
    std::string clash;
    if (!trunvex::refuseSharedAvis(jobs, clash)) {
        usageError(clash);
        return std::nullopt;
    }
    return jobs;
}

// The report is opened, and so emptied, before anything is converted: never over a file of the
// batch.
bool reportPathIsFree(const CommandLine& cl, const std::vector<trunvex::BatchJob>& jobs) {
    std::string clash;
    if (cl.report.empty() || cl.info || trunvex::refuseReportOverJobs(cl.report, jobs, clash)) {
        return true;
    }
    usageError(clash);
    return false;
}

// CLI11 reads "--output=" as "--output" waiting for its value in the next argument; an empty
// value written that way is meant as given.
std::vector<std::string> argumentsOf(const std::vector<std::string>& given) {
    std::vector<std::string> args;
    for (std::size_t i = given.size(); i-- > 1;) {  // CLI11 takes them last first
        const std::string& arg = given[i];
        if (arg == "--output=") {
            args.push_back("");
            args.push_back("--output");
        } else {
            args.push_back(arg);
        }
    }
    return args;
}

// A file whose name begins with '-' reads as an unknown option, or leaves "paths" missing: the
// parser's message does not say how to name it.
void hintAtFilesNamedLikeOptions(const std::vector<std::string>& given) {
    for (std::size_t i = 1; i < given.size() && given[i] != "--"; ++i) {
        const std::string& arg = given[i];
        std::error_code ignored;
        if (arg.size() > 1 && arg[0] == '-' &&
            std::filesystem::exists(trunvex::pathFromUtf8(arg), ignored)) {
            const std::string name = trunvex::shownName(arg);
            trunvex::complain(
                stderr, "to name the file " + name + ", write ./" + name + " or put it after '--'");
            return;
        }
    }
}

int tryHelp() {
    std::fputs("Try 'trunvex-cli --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

// The parser's complaint as the other tools word theirs: the program's name first and an
// argument it does not know named as such.
int parseFailure(const CLI::App& app, const CLI::ParseError& e,
                 const std::vector<std::string>& given) {
    std::string text = e.what();
    const std::vector<std::string> extras = app.remaining();
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr && !extras.empty()) {
        text = "unknown option " + extras.front();
    }
    trunvex::complain(stderr, text);
    hintAtFilesNamedLikeOptions(given);
    return tryHelp();
}

int describeAll(const std::vector<trunvex::BatchJob>& jobs, bool nameSources) {
    int status = 0;
    for (const trunvex::BatchJob& job : jobs) {
        if (!job.unreadableFolder.empty()) {
            trunvex::complain(stderr, trunvex::shownName(job.source), job.unreadableFolder);
        }
        const int s =
            !job.unreadableFolder.empty()
                ? trunvex::exitCodeFor(trunvex::CONVERT_SOURCE_OPEN_FAILED)
                : trunvex::describeRecording(job.source, nameSources,
                                             trunvex::commandLineSourceOpener(), stdout, stderr);
        if (status == 0) {
            status = s;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    trunvex::holdStandardStreams();
    trunvex::useUtf8Console();
    CLI::App app{USAGE, "trunvex-cli"};
    app.footer(exitStatusHelp());
    CommandLine cl;
    app.add_option("paths", cl.paths, "SOURCE [AVI], or several SOURCE files or folders");
    std::string outputText;
    CLI::Option* output = app.add_option("-o,--output", outputText, "AVI path for a single SOURCE")
                              ->type_name("FILE");
    app.add_option("-j,--jobs", cl.jobs, "conversions to run at once (default: number of cores)")
        ->check(CLI::Range(1u, 256u));
    app.add_flag("--info", cl.info, "describe each SOURCE, write nothing");
    app.add_flag("-q,--quiet", cl.quiet, "print failures only: no progress, successes or summary");
    app.add_flag("-r,--recursive", cl.selection.recursive,
                 "take the recordings in folders and their sub-folders");
    CLI::Option* ext =
        app.add_option("--ext", cl.extensions,
                       "with -r: recordings by extension (default 264,mp4; '': every file)")
            ->type_name("LIST");
    app.add_option("--output-dir", cl.selection.outputDir,
                   "write the AVIs here, mirroring the folders walked")
        ->type_name("DIR");
    app.add_flag("--skip-existing", cl.skipExisting,
                 "skip a source whose AVI is whole and not older than it (resume)");
    app.add_flag("--keep-partial", cl.keepPartial,
                 "when a read fails, keep the AVI of what was read (salvage)");
    app.add_flag("--fsync", cl.durable,
                 "each AVI on the disk before it takes its name (power cuts)");
    app.add_flag("--verify", cl.verify,
                 "compare each AVI with its source's conversion, write nothing");
    app.add_option("--report", cl.report, "write one JSON line per source to this file")
        ->type_name("FILE");
    app.add_flag("--hash", cl.hash, "put the SHA-256 of each source and AVI in the report");
    app.add_option("--shard", cl.shard, "convert only share K (from 0) of N of the sorted list")
        ->type_name("K/N");
    app.set_version_flag("--version", std::string("trunvex-cli ") + TRUNVEX_VERSION);
    const std::vector<std::string> given = trunvex::programArguments(argc, argv);
    try {
        std::vector<std::string> args = argumentsOf(given);
        app.parse(args);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return parseFailure(app, e, given);
    }
    if (cl.paths.empty()) {
        usageError("no SOURCE given");
        hintAtFilesNamedLikeOptions(given);
        return tryHelp();
    }
    if (output->count() > 0) {
        cl.output = outputText;
        if (cl.paths.size() != 1 || cl.selection.recursive || !cl.selection.outputDir.empty()) {
            return usageError("--output takes exactly one SOURCE file");
        }
    }
    if (ext->count() > 0) {
        // Without -r it only tells whether the second of two paths is a recording.
        if (!cl.selection.recursive && cl.paths.size() != 2) {
            return usageError("--ext chooses the recordings in folders: it needs -r");
        }
        cl.selection.extensions = trunvex::parseExtensionList(cl.extensions);
    }
    std::optional<trunvex::Shard> shard = trunvex::Shard{};
    if (!cl.shard.empty() && !(shard = trunvex::parseShard(cl.shard))) {
        return usageError("--shard takes K/N with 0 <= K < N, not '" + cl.shard + "'");
    }
    if (cl.hash && cl.report.empty()) {
        return usageError("--hash needs --report");
    }
    if (cl.info && !cl.report.empty()) {
        return usageError("--info writes nothing, no report either: leave out --report");
    }
    if (cl.verify && (cl.skipExisting || cl.keepPartial || cl.durable || cl.info)) {
        return usageError(
            "--verify writes nothing: it does not go with --skip-existing, --keep-partial, "
            "--fsync or --info");
    }

    std::optional<std::vector<trunvex::BatchJob>> jobs = plannedJobs(cl);
    if (!jobs || !reportPathIsFree(cl, *jobs)) {
        return EXIT_USAGE;
    }
    if (jobs->empty()) {
        return EXIT_NOTHING_FOUND;  // each folder was named on standard error
    }
    // A share of a tree names its sources as the whole would, however few fall to it.
    const bool nameSources = jobs->size() > 1 || cl.selection.recursive;
    // The whole list was checked above; each shard converts its share of it.
    *jobs = trunvex::takeShare(std::move(*jobs), *shard);
    if (cl.info) {
        return describeAll(*jobs, nameSources);
    }

    if (!trunvex::cleanUpOnInterruption()) {
        trunvex::complain(stderr, "cannot start the interruption handler");
        return trunvex::EXIT_OUT_OF_MEMORY;
    }
    trunvex::AuditReport report;
    trunvex::BatchOptions options;
    options.jobs = cl.jobs;
    options.progress = !cl.quiet && trunvex::isTerminal(stderr);
    options.skipExisting = cl.skipExisting;
    options.keepPartial = cl.keepPartial;
    options.durable = cl.durable;
    options.verify = cl.verify;
    options.makeFolders = !cl.selection.outputDir.empty() && !cl.verify;
    options.hash = cl.hash;
    options.nameSources = nameSources;
    options.quiet = cl.quiet;
    // Archive work ends with a summary; a plain batch says nothing on standard error unless
    // something failed.
    options.summary = !cl.quiet && (cl.selection.recursive || !cl.report.empty() ||
                                    cl.skipExisting || !cl.shard.empty() || cl.verify);
    if (!cl.report.empty()) {
        std::string failure;
        if (!report.open(cl.report, failure)) {
            trunvex::complain(stderr, trunvex::shownName(cl.report), failure);
            return trunvex::EXIT_REPORT_FAILED;
        }
        options.report = &report;
    }
    int status = trunvex::runBatch(*jobs, options, stdout, stderr);
    if (!report.close() && status == 0) {
        status = trunvex::EXIT_REPORT_FAILED;
    }
    return status;
}
