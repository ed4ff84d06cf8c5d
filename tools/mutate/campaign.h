#pragma once

// One case of the mutation campaign: a mutated recording converted by trunvex-cli as a child
// process under a time bound, and everything the program promises checked against an
// in-process conversion of the same bytes.

#include <filesystem>
#include <string>
#include <vector>

#include "demux/conversion_context.h"

namespace trunvex::mutate {

struct CampaignSettings {
    std::string cli;  // the trunvex-cli program
    std::string ffprobe = "ffprobe";
    double timeoutSeconds = 10;      // the child is killed after this
    std::filesystem::path failures;  // where failing inputs are kept
};

struct CaseResult {
    int status = -1;  // the child's exit status; -1 when it did not exit by itself
    std::vector<std::string> problems;
    // ffprobe's video decoder complained about frame bytes (not a failure: the damage came
    // with the input).
    bool decoderComplaints = false;
};

// Runs `bytes` through the program in `workDir` (emptied first). `earlierAvi`: an earlier
// file sits at the AVI path, which every outcome but success must leave as it was. `ctx`
// must have its buffers allocated; it is used for the in-process conversion.
[[nodiscard]] CaseResult runCase(const CampaignSettings& settings, ConversionContext& ctx,
                                 const std::vector<std::uint8_t>& bytes,
                                 const std::filesystem::path& workDir, bool earlierAvi);

// Keeps a failing input and what went wrong under settings.failures.
void saveFailure(const CampaignSettings& settings, const std::string& name,
                 const std::vector<std::uint8_t>& bytes, const std::filesystem::path& workDir,
                 const std::string& report);

}  // namespace trunvex::mutate
