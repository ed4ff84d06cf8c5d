#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/shard.h"
#include "cli/source_tree.h"

namespace trunvex {

inline constexpr int EXIT_USAGE = 64;
// The folders given hold no recording at all: a mistyped path or extension, or an archive
// that is not mounted, is not a batch with nothing to do.
inline constexpr int EXIT_NOTHING_FOUND = 66;

// The exit status when a step ends the program; empty when the next step follows.
using Ending = std::optional<int>;

// What the arguments ask for.
struct CommandLine {
    std::vector<std::string> paths;
    std::optional<std::string> output;  // set, even to "", when -o was given
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    bool info = false;
    bool quiet = false;
    SourceSelection selection;
    std::string extensions;
    bool skipExisting = false;
    bool keepPartial = false;
    bool durable = false;
    bool verify = false;
    std::string report;
    bool hash = false;
    std::string shardText;  // as given; empty when the whole list is this process's
    Shard shard;
};

// Reads the arguments (the program's name first) into `cl`, and checks that the options go
// together. Ends the program after --help or --version, and after a usage error, said on
// standard error.
[[nodiscard]] Ending parseCommandLine(const std::vector<std::string>& given, CommandLine& cl);

// A usage error on standard error; returns its exit status.
int usageError(const std::string& text);

}  // namespace trunvex
