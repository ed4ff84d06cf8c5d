#include "cli/path_roles.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/source_tree.h"
#include "platform/paths.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;

std::string lowerCaseExtension(const std::string& path) {
    std::string ext = utf8FromPath(pathFromUtf8(path).extension());
    for (char& c : ext) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return ext.empty() ? ext : ext.substr(1);
}

bool namesFolder(const std::string& path) {
    std::error_code ignored;
    return path != STANDARD_INPUT_NAME && ((!path.empty() && isPathSeparator(path.back())) ||
                                           fs::is_directory(pathFromUtf8(path), ignored));
}

// An AVI begins "RIFF", four bytes of size, "AVI ".
bool holdsAnAvi(const fs::path& file) {
    std::array<char, 12> head{};
    std::ifstream in(file, std::ios::binary);
    return in.read(head.data(), head.size()) && std::string_view(head.data(), 4) == "RIFF" &&
           std::string_view(head.data() + 8, 4) == "AVI ";
}

bool secondIsTheAvi(const std::string& first, const std::string& second,
                    const std::vector<std::string>& recordingExtensions) {
    const std::string ext = lowerCaseExtension(second);
    if (first == STANDARD_INPUT_NAME || ext == "avi") {
        return true;
    }
    if (std::find(recordingExtensions.begin(), recordingExtensions.end(), ext) !=
        recordingExtensions.end()) {
        return false;
    }
    const fs::path file = pathFromUtf8(second);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(file, error);
    if (status.type() == fs::file_type::not_found) {
        return true;
    }
    return !error && fs::is_regular_file(file, error) && holdsAnAvi(file);
}

}  // namespace

PathRoles rolesOfPaths(const std::vector<std::string>& paths, bool recursive,
                       const std::vector<std::string>& recordingExtensions) {
    PathRoles roles;
    if (!recursive && paths.size() >= 2 && namesFolder(paths.back())) {
        roles.sources.assign(paths.begin(), paths.end() - 1);
        roles.destinationFolder = paths.back();
    } else if (!recursive && paths.size() == 2 &&
               secondIsTheAvi(paths[0], paths[1], recordingExtensions)) {
        roles.sources = {paths[0]};
        roles.avi = paths[1];
    } else {
        roles.sources = paths;
    }
    return roles;
}

}  // namespace trunvex
