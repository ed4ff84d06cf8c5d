#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/batch.h"

namespace trunvex {

class SourceOpener;

// Which sources a command line names and where their AVIs go.
struct SourceSelection {
    // Folders among the sources are walked (links to folders are not followed).
    bool recursive = false;
    // Extensions a file in a walked folder must have (lower case, no dot); empty: every
    // regular file. AVI files are never taken: they are what a batch writes.
    std::vector<std::string> extensions = {"264", "mp4"};
    // Empty: each AVI beside its source. Otherwise the tree of each walked folder is mirrored
    // under this folder, and a source named on its own lands directly in it.
    std::string outputDir;
};

// "264,.MP4, h264" as the extension list it means ("" is the empty list).
[[nodiscard]] std::vector<std::string> parseExtensionList(const std::string& text);

// The jobs for `sources` in the order given, each walked folder's files sorted byte-wise by
// path. A folder that could not be read is a job of its own in that order (see BatchJob), and
// the result is false; a walked folder in which nothing was found is noted on `err`.
bool collectJobs(const std::vector<std::string>& sources, const SourceSelection& selection,
                 std::vector<BatchJob>& jobs, std::FILE* err);

// Drops every job but the first of a source given more than once, in any spelling. False,
// with both sources named in `failure`, when two different sources would be converted to
// one AVI: converting both would keep only one. Paths are compared as places: absolute, with
// ".", ".." and links resolved, case ignored where the file systems ignore it (Windows).
[[nodiscard]] bool refuseSharedAvis(std::vector<BatchJob>& jobs, std::string& failure);

// False, with the reason in `failure`, when the report at `reportPath` would take the place of
// a job's source or AVI: opening it would destroy the recording, or the AVI would replace it.
// Places are compared as refuseSharedAvis compares them; a hard link to a source counts too.
[[nodiscard]] bool refuseReportOverJobs(const std::string& reportPath,
                                        const std::vector<BatchJob>& jobs, std::string& failure);

// True when the job's AVI exists and is not older than its source: an earlier run finished
// it and the source has not changed since. Never when the AVI path names the source itself.
[[nodiscard]] bool aviIsUpToDate(const BatchJob& job);

// The size of a source file in bytes, 0 when unknown (standard input, a missing file).
[[nodiscard]] std::uint64_t sourceFileBytes(const std::string& path);

// The opener behind the command line: "-" is standard input, every other path a file.
SourceOpener& commandLineSourceOpener() noexcept;

// The name standard input goes by among the sources.
inline constexpr const char* STANDARD_INPUT_NAME = "-";

}  // namespace trunvex
