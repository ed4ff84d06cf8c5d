#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "cli/complaint.h"
#include "cli/help_text.h"
#include "cli/name_text.h"
#include "platform/paths.h"

namespace trunvex {
namespace {

// The options whose presence, not only their value, the checks need.
struct CountedOptions {
    CLI::Option* output;
    CLI::Option* ext;
};

CountedOptions addOptions(CLI::App& app, CommandLine& cl, std::string& outputText) {
    app.add_option("paths", cl.paths, "SOURCE [AVI], or several SOURCE files or folders");
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
    app.add_option("--shard", cl.shardText, "convert only share K (from 0) of N of the sorted list")
        ->type_name("K/N");
    app.set_version_flag("--version", std::string("trunvex-cli ") + TRUNVEX_VERSION);
    return {output, ext};
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
            std::filesystem::exists(pathFromUtf8(arg), ignored)) {
            const std::string name = shownName(arg);
            complain(stderr,
                     "to name the file " + name + ", write ./" + name + " or put it after '--'");
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
    complain(stderr, text);
    hintAtFilesNamedLikeOptions(given);
    return tryHelp();
}

// The paths, and the options that say what the paths are.
Ending checkPaths(CommandLine& cl, const CountedOptions& counted, const std::string& outputText,
                  const std::vector<std::string>& given) {
    if (cl.paths.empty()) {
        usageError("no SOURCE given");
        hintAtFilesNamedLikeOptions(given);
        return tryHelp();
    }
    if (counted.output->count() > 0) {
        cl.output = outputText;
        if (cl.paths.size() != 1 || cl.selection.recursive || !cl.selection.outputDir.empty()) {
            return usageError("--output takes exactly one SOURCE file");
        }
    }
    if (counted.ext->count() > 0) {
        // Without -r it only tells whether the second of two paths is a recording.
        if (!cl.selection.recursive && cl.paths.size() != 2) {
            return usageError("--ext chooses the recordings in folders: it needs -r");
        }
        cl.selection.extensions = parseExtensionList(cl.extensions);
    }
    return std::nullopt;
}

// Options that need another, or that do not go together.
Ending checkOptions(CommandLine& cl) {
    if (!cl.shardText.empty()) {
        const std::optional<Shard> shard = parseShard(cl.shardText);
        if (!shard) {
            return usageError("--shard takes K/N with 0 <= K < N, not '" + cl.shardText + "'");
        }
        cl.shard = *shard;
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
    return std::nullopt;
}

}  // namespace

int usageError(const std::string& text) {
    complain(stderr, text);
    return EXIT_USAGE;
}

Ending parseCommandLine(const std::vector<std::string>& given, CommandLine& cl) {
    CLI::App app{CLI_USAGE_TEXT, "trunvex-cli"};
    app.footer(exitStatusHelp());
    std::string outputText;
    const CountedOptions counted = addOptions(app, cl, outputText);
    try {
        std::vector<std::string> args = argumentsOf(given);
        app.parse(args);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return parseFailure(app, e, given);
    }
    if (const Ending end = checkPaths(cl, counted, outputText, given)) {
        return end;
    }
    return checkOptions(cl);
}

}  // namespace trunvex
