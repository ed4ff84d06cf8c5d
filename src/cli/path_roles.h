#pragma once

#include <optional>
#include <string>
#include <vector>

namespace trunvex {

// What the paths named on a command line are: recordings, the AVI of a single recording, or
// the folder the AVIs go to.
struct PathRoles {
    std::vector<std::string> sources;
    std::optional<std::string> avi;  // set when the paths were SOURCE AVI
    std::string destinationFolder;   // set when the paths were SOURCE... FOLDER
};

// How the command line reads its paths when neither -o nor --output-dir says where the AVIs
// go. Without -r, a folder named last after other paths is where the AVIs go, as with
// `cp SOURCE... DIR` (a name ending in a separator counts as a folder, made or not). Of two
// paths, the second is the first one's AVI when the first is "-", when it ends in ".avi", or
// when it is not named like a recording (`recordingExtensions`, lower case, no dot) and holds
// no file yet or an AVI already: an existing file of any other kind is never written over by
// guess, so it is a second recording. Everything else is a recording.
[[nodiscard]] PathRoles rolesOfPaths(const std::vector<std::string>& paths, bool recursive,
                                     const std::vector<std::string>& recordingExtensions);

}  // namespace trunvex
