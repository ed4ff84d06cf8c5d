#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace trunvex {

struct AviDescription;
struct RunSummary;

// Everything known about one source of a batch once it is done: what was read, how it
// ended, what the AVI holds. Filled from the run's own counters.
struct JobRecord {
    struct VideoStream {
        std::string codec;  // "h264" or "mpeg4"
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t frameRate = 0;
        std::optional<std::uint64_t> frames;  // unknown for some AVIs only read back
        std::optional<std::uint64_t> emptySamples;
    };
    struct AudioStream {
        // The recording's (most blocks); the AVI holds PCM. Empty when unknown.
        std::string sourceEncoding;
        std::uint32_t sampleRate = 0;
        std::uint32_t bitsPerSample = 0;
        std::uint64_t samples = 0;
    };

    std::string source;
    std::string avi;
    bool skipped = false;
    std::optional<std::uint64_t> sourceBytes;
    int exitCode = 0;
    std::string message;
    std::string reason;  // the system's words behind a failure
    std::optional<std::uint64_t> aviBytes;
    std::vector<VideoStream> video;
    std::optional<AudioStream> audio;
    std::optional<std::uint64_t> junkBytes;  // unknown when the source was not read
    std::optional<double> videoSeconds;
    std::optional<double> audioSeconds;
    bool aviPartial = false;    // the AVI kept holds what was read before a failed read
    std::string redoneBecause;  // why an AVI that was there was not trusted to be whole
    std::string verdict;        // "verified" or "differs" when checking AVIs
    std::optional<std::uint64_t> differsAt;
    double wallSeconds = 0;
    std::uint64_t bytesRead = 0;  // of the source, by the run (the summary's count)
    std::string sourceSha256;
    std::string aviSha256;
};

// The streams, samples and passed-over bytes of a finished run, as the run summed them up.
// `kept` says whether the AVI was left at its path.
void describeOutput(JobRecord& record, const RunSummary& run, bool kept);

// The streams and durations of an AVI left from an earlier run, as its headers state them;
// what they cannot tell stays unknown.
void describeStoredAvi(JobRecord& record, const AviDescription& avi);

// One record as one line of JSON (no line break).
[[nodiscard]] std::string reportLine(const JobRecord& record);

// The audit report: one JSON object per line, each written and flushed as its source is
// done, so that the report of an interrupted batch is valid up to its last line.
class AuditReport {
public:
    AuditReport() = default;
    ~AuditReport();
    AuditReport(const AuditReport&) = delete;
    AuditReport& operator=(const AuditReport&) = delete;

    // Creates (or empties) the report file, and the folders it needs; false with the system's
    // reason otherwise.
    [[nodiscard]] bool open(const std::string& path, std::string& failure);
    // False once a write has failed; `failure` then says why (reported once by the caller).
    [[nodiscard]] bool write(const JobRecord& record);
    [[nodiscard]] bool close();
    [[nodiscard]] const std::string& failure() const noexcept { return lastFailure; }
    [[nodiscard]] const std::string& path() const noexcept { return filePath; }

private:
    std::FILE* file = nullptr;
    std::string filePath;
    std::string lastFailure;
};

}  // namespace trunvex
