#pragma once

// Helpers of the command-line tests: recordings from trunvex-mkrecording, ffprobe's view of
// an AVI, trunvex-cli run through the shell.

#include <filesystem>
#include <map>
#include <string>

#include "support/test_support.h"

namespace trunvex::test {

inline const std::string CLI = TRUNVEX_CLI;
inline const std::string MAKER = TRUNVEX_MKRECORDING;

struct Expected {
    int videoChunks = 0;
    int audioChunks = 0;
    int videoStreams = 0;
};

// Makes a recording with the generator; its summary line says what a conversion must give.
// The generator's expected video and audio land beside it (<stem>.video, <stem>.pcm) unless
// `bare`.
Expected makeRecording(const std::string& options, const std::filesystem::path& out,
                       bool bare = false);

// ffprobe's flat view of every stream, packets counted.
std::map<std::string, std::string> probe(const std::filesystem::path& avi);

// trunvex-cli with these (already quoted) arguments.
CommandResult runCli(const std::string& args);

}  // namespace trunvex::test
