#include "cli/source_tree.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cli/complaint.h"
#include "cli/name_text.h"
#include "platform/paths.h"
#include "platform/source_file.h"
#include "platform/standard_input.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The extension without its dot, in lower case: "" when the name has none.
std::string extensionOf(const fs::path& file) {
    const std::string ext = utf8FromPath(file.extension());
    return ext.empty() ? ext : lowerCase(ext.substr(1));
}

bool isWanted(const fs::path& file, const std::vector<std::string>& extensions) {
    const std::string ext = extensionOf(file);
    if (ext == "avi") {
        return false;
    }
    return extensions.empty() ||
           std::find(extensions.begin(), extensions.end(), ext) != extensions.end();
}

// Byte-wise, a separator counting as '/': a tree is taken in the same order on every system,
// so that its shares and its report are the same too.
bool comesBefore(const std::string& a, const std::string& b) {
    const auto key = [](char c) { return isPathSeparator(c) ? '/' : c; };
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) {
            return static_cast<unsigned char>(key(x)) < static_cast<unsigned char>(key(y));
        });
}

struct FoundFile {
    std::string path;
    std::uint64_t bytes = 0;
    std::string failure;  // a folder that could not be read: why
};

// Every wanted regular file under `root`, and every folder that could not be read, sorted by
// path. A link to a file counts as the file; a link to a folder is passed over, so no loop can
// form.
bool walkFolder(const fs::path& root, const std::vector<std::string>& extensions,
                std::vector<FoundFile>& found) {
    bool complete = true;
    std::vector<fs::path> pending = {root};
    std::vector<FolderEntry> entries;
    while (!pending.empty()) {
        const fs::path folder = std::move(pending.back());
        pending.pop_back();
        entries.clear();
        std::string failure;
        if (!listFolder(folder, entries, failure)) {
            found.push_back({utf8FromPath(folder), 0, failure});
            complete = false;
        }
        for (FolderEntry& entry : entries) {
            if (entry.kind == FolderEntry::Kind::FOLDER) {
                pending.push_back(std::move(entry.path));
            } else if (entry.kind == FolderEntry::Kind::FILE && isWanted(entry.path, extensions)) {
                found.push_back({utf8FromPath(entry.path), entry.bytes, {}});
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const FoundFile& a, const FoundFile& b) { return comesBefore(a.path, b.path); });
    return complete;
}

std::string aviUnder(const std::string& outputDir, const fs::path& relative) {
    return cliAviPath(utf8FromPath(pathFromUtf8(outputDir) / relative));
}

// Said of a walked folder in which nothing was found: a mistyped folder or extension, or an
// archive that is not mounted, must not pass for a batch with nothing to do.
void noteNothingFound(const std::string& folder, const std::vector<std::string>& extensions,
                      std::FILE* err) {
    if (extensions.empty()) {
        complain(err, shownName(folder), "no file found");
        return;
    }
    std::string list;
    for (const std::string& ext : extensions) {
        list += (list.empty() ? "" : ",") + ext;
    }
    complain(err, shownName(folder), "no recording found (--ext " + list + ")");
}

// One spelling for every path that names the same place: absolute, with ".", ".." and the
// links of its existing part resolved, and in one case where the file systems ignore it.
std::string placeOf(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(pathFromUtf8(path), error);
    if (error) {
        return caseFoldedPath(path);
    }
    const fs::path place = fs::weakly_canonical(absolute, error);
    return caseFoldedPath(utf8FromPath(error ? absolute.lexically_normal() : place));
}

// The job indexes in the order of their keys, equal keys in list order. Sorting indexes
// rather than keeping a set of names holds the memory of a large tree to the list itself.
std::vector<std::size_t> orderBy(const std::vector<std::string>& keys) {
    std::vector<std::size_t> order(keys.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return order;
}

// Keeps the first job of each source place, in list order.
void dropRepeatedSources(std::vector<BatchJob>& jobs) {
    std::vector<std::string> places(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        places[i] = placeOf(jobs[i].source);
    }
    const std::vector<std::size_t> order = orderBy(places);
    std::vector<bool> repeated(jobs.size(), false);
    for (std::size_t i = 1; i < order.size(); ++i) {
        repeated[order[i]] = places[order[i]] == places[order[i - 1]];
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!repeated[i]) {
            if (kept != i) {
                jobs[kept] = std::move(jobs[i]);
            }
            ++kept;
        }
    }
    jobs.resize(kept);
}

class CommandLineSourceOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override {
        return path == STANDARD_INPUT_NAME ? standardInputOpener().open(path, failure)
                                           : fileSourceOpener().open(path, failure);
    }
};

}  // namespace

std::vector<std::string> parseExtensionList(const std::string& text) {
    std::vector<std::string> list;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(',', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string item = text.substr(begin, end - begin);
        item.erase(0, item.find_first_not_of(" \t."));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) {
            list.push_back(lowerCase(item));
        }
        begin = end + 1;
    }
    return list;
}

bool collectJobs(const std::vector<std::string>& sources, const SourceSelection& selection,
                 std::vector<BatchJob>& jobs, std::FILE* err) {
    bool complete = true;
    for (const std::string& source : sources) {
        std::error_code ec;
        const fs::path sourcePath = pathFromUtf8(source);
        if (selection.recursive && source != STANDARD_INPUT_NAME &&
            fs::is_directory(sourcePath, ec)) {
            std::vector<FoundFile> found;
            complete = walkFolder(sourcePath, selection.extensions, found) && complete;
            if (found.empty()) {
                noteNothingFound(source, selection.extensions, err);
            }
            for (FoundFile& f : found) {
                if (!f.failure.empty()) {
                    jobs.push_back({std::move(f.path), std::string(), 0, std::move(f.failure)});
                    continue;
                }
                std::string avi =
                    selection.outputDir.empty()
                        ? cliAviPath(f.path)
                        : aviUnder(selection.outputDir,
                                   pathFromUtf8(f.path).lexically_relative(sourcePath));
                jobs.push_back({std::move(f.path), std::move(avi), f.bytes, {}, true});
            }
            continue;
        }
        jobs.push_back({source,
                        selection.outputDir.empty()
                            ? cliAviPath(source)
                            : aviUnder(selection.outputDir, sourcePath.filename()),
                        sourceFileBytes(source),
                        {},
                        true});
    }
    return complete;
}

bool refuseSharedAvis(std::vector<BatchJob>& jobs, std::string& failure) {
    dropRepeatedSources(jobs);
    std::vector<std::string> places(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        places[i] = placeOf(jobs[i].avi);
    }
    const std::vector<std::size_t> order = orderBy(places);
    std::size_t first = 0;
    std::size_t second = jobs.size();
    for (std::size_t i = 1; i < order.size(); ++i) {
        // Of all such pairs, the one whose second job comes first in the list.
        if (places[order[i]] == places[order[i - 1]] && order[i] < second &&
            jobs[order[i]].unreadableFolder.empty()) {
            first = order[i - 1];
            second = order[i];
        }
    }
    if (second == jobs.size()) {
        return true;
    }
    failure = shownName(jobs[first].source) + " and " + shownName(jobs[second].source) +
              " would both be converted to " + shownName(jobs[second].avi);
    return false;
}

bool refuseReportOverJobs(const std::string& reportPath, const std::vector<BatchJob>& jobs,
                          std::string& failure) {
    const std::string report = placeOf(reportPath);
    const fs::path reportFile = pathFromUtf8(reportPath);
    std::error_code error;
    const bool reportExists = fs::exists(reportFile, error);
    const auto sameFile = [&](const std::string& path) {
        std::error_code ignored;
        return placeOf(path) == report ||
               (reportExists && fs::equivalent(reportFile, pathFromUtf8(path), ignored));
    };
    for (const BatchJob& job : jobs) {
        if (!job.unreadableFolder.empty()) {
            continue;
        }
        if (job.source != STANDARD_INPUT_NAME && sameFile(job.source)) {
            failure = "the report " + shownName(reportPath) + " would overwrite the source " +
                      shownName(job.source);
            return false;
        }
        if (sameFile(job.avi)) {
            failure = "the report " + shownName(reportPath) + " would be replaced by the AVI of " +
                      shownName(job.source);
            return false;
        }
    }
    return true;
}

bool aviIsUpToDate(const BatchJob& job) {
    std::error_code ec;
    const fs::path aviPath = pathFromUtf8(job.avi);
    const fs::file_time_type avi = fs::last_write_time(aviPath, ec);
    if (ec || !fs::is_regular_file(aviPath, ec)) {
        return false;
    }
    const fs::path sourcePath = pathFromUtf8(job.source);
    const fs::file_time_type source = fs::last_write_time(sourcePath, ec);
    // The source itself at the AVI path is no AVI: the run is left to refuse it.
    return !ec && avi >= source && !fs::equivalent(aviPath, sourcePath, ec);
}

std::uint64_t sourceFileBytes(const std::string& path) {
    std::error_code ec;
    const fs::path file = pathFromUtf8(path);
    if (path == STANDARD_INPUT_NAME || !fs::is_regular_file(file, ec)) {
        return 0;
    }
    const std::uintmax_t bytes = fs::file_size(file, ec);
    return ec ? 0 : static_cast<std::uint64_t>(bytes);
}

SourceOpener& commandLineSourceOpener() noexcept {
    static CommandLineSourceOpener opener;
    return opener;
}

}  // namespace trunvex
