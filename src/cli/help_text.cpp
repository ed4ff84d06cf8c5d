#include "cli/help_text.h"

#include <cstdio>
#include <string_view>

#include "cli/batch.h"
#include "cli/command_line.h"

namespace trunvex {
namespace {

// What each conversion outcome's exit status means, around the message it prints.
struct OutcomeHelp {
    ConvertOutcome outcome;
    const char* before;
    const char* after;
};
constexpr OutcomeHelp OUTCOME_HELP[] = {
    {CONVERT_OK, "every file converted (", ") or skipped"},
    {CONVERT_READ_FAILED, "",
     " (the AVI path keeps what it held before;\n"
     "     with --keep-partial it holds the AVI of what was read)"},
    {CONVERT_OUTPUT_FAILED, "",
     " (the AVI file could not be created or written, or its\n"
     "     path holds something other than a regular file; or an eleventh frame size:\n"
     "     then the AVI holds the ten streams converted before it)"},
    {CONVERT_NO_FRAMES, "", ""},
    {CONVERT_PATH_EMPTY, "", ""},
    {CONVERT_SOURCE_OPEN_FAILED, "", " (or a folder of a tree could not be read)"},
    {CONVERT_SAME_FILE, "", ""},
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

std::string exitStatusLine(int status, std::string_view meaning) {
    char code[8];
    std::snprintf(code, sizeof code, "%3d  ", status);
    return code + std::string(meaning) + "\n";
}

}  // namespace

const char* const CLI_USAGE_TEXT =
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

// The exit statuses with the messages the run prints, as the conversion defines them.
std::string exitStatusHelp() {
    std::string text = "Exit status:\n";
    for (const OutcomeHelp& h : OUTCOME_HELP) {
        text += exitStatusLine(
            exitCodeFor(h.outcome),
            std::string(h.before) + '"' + std::string(messageFor(h.outcome)) + '"' + h.after);
    }
    text += exitStatusLine(EXIT_DIFFERS,
                           "--verify: an AVI is not byte for byte the conversion of its source,\n"
                           "     or there is none");
    text += exitStatusLine(EXIT_USAGE, "usage error");
    text += exitStatusLine(EXIT_NOTHING_FOUND, "no recording found in the folders given");
    text += exitStatusLine(EXIT_OUT_OF_MEMORY, OUT_OF_MEMORY_TEXT);
    text += exitStatusLine(EXIT_REPORT_FAILED, "the report could not be written");
    return text + EXIT_STATUS_NOTES;
}

}  // namespace trunvex
