#include "cli/source_tree.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

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
    const std::string ext = file.extension().string();
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

struct FoundFile {
    std::string path;
    fs::path relative;  // to the walked folder
    std::uint64_t bytes = 0;
};

// Every wanted regular file under `root`. A link to a file counts as the file; a link to a
// folder is passed over, so no loop can form. Folders that cannot be read are reported.
bool walkFolder(const fs::path& root, const std::vector<std::string>& extensions,
                std::vector<FoundFile>& found, std::FILE* err) {
    bool complete = true;
    std::vector<fs::path> pending = {root};
    while (!pending.empty()) {
        const fs::path folder = std::move(pending.back());
        pending.pop_back();
        std::error_code ec;
        fs::directory_iterator entries(folder, ec);
        for (; !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
            const fs::directory_entry& entry = *entries;
            std::error_code kindError;
            if (entry.is_symlink(kindError)) {
                if (!entry.is_regular_file(kindError)) {
                    continue;  // a link to a folder, or a dangling one
                }
            } else if (entry.is_directory(kindError)) {
                pending.push_back(entry.path());
                continue;
            }
            if (!entry.is_regular_file(kindError) || !isWanted(entry.path(), extensions)) {
                continue;
            }
            std::error_code sizeError;
            const std::uintmax_t bytes = entry.file_size(sizeError);
            found.push_back({entry.path().string(), entry.path().lexically_relative(root),
                             sizeError ? 0 : static_cast<std::uint64_t>(bytes)});
        }
        if (ec) {
            std::fprintf(err, "trunvex-cli: %s: %s\n", folder.string().c_str(),
                         ec.message().c_str());
            complete = false;
        }
    }
    std::sort(found.begin(), found.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; });
    return complete;
}

std::string aviUnder(const std::string& outputDir, const fs::path& relative) {
    return deriveAviPath((fs::path(outputDir) / relative).string());
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
    std::set<std::string> taken;
    auto add = [&](const std::string& source, const std::string& avi, std::uint64_t bytes) {
        if (taken.insert(source).second) {
            jobs.push_back({source, avi, bytes});
        }
    };
    for (const std::string& source : sources) {
        std::error_code ec;
        if (selection.recursive && source != STANDARD_INPUT_NAME && fs::is_directory(source, ec)) {
            std::vector<FoundFile> found;
            complete = walkFolder(source, selection.extensions, found, err) && complete;
            for (const FoundFile& f : found) {
                add(f.path,
                    selection.outputDir.empty() ? deriveAviPath(f.path)
                                                : aviUnder(selection.outputDir, f.relative),
                    f.bytes);
            }
            continue;
        }
        add(source,
            selection.outputDir.empty()
                ? deriveAviPath(source)
                : aviUnder(selection.outputDir, fs::path(source).filename()),
            sourceFileBytes(source));
    }
    return complete;
}

bool findAviCollision(const std::vector<BatchJob>& jobs, std::size_t& first, std::size_t& second) {
    std::map<std::string, std::size_t> byAvi;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::string key = fs::path(jobs[i].avi).lexically_normal().string();
        const auto [at, added] = byAvi.emplace(key, i);
        if (!added) {
            first = at->second;
            second = i;
            return true;
        }
    }
    return false;
}

bool aviIsUpToDate(const BatchJob& job) {
    std::error_code ec;
    const fs::file_time_type avi = fs::last_write_time(job.avi, ec);
    if (ec || !fs::is_regular_file(job.avi, ec)) {
        return false;
    }
    const fs::file_time_type source = fs::last_write_time(job.source, ec);
    return !ec && avi >= source;
}

std::uint64_t sourceFileBytes(const std::string& path) {
    std::error_code ec;
    if (path == STANDARD_INPUT_NAME || !fs::is_regular_file(path, ec)) {
        return 0;
    }
    const std::uintmax_t bytes = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(bytes);
}

SourceOpener& commandLineSourceOpener() noexcept {
    static CommandLineSourceOpener opener;
    return opener;
}

}  // namespace trunvex
