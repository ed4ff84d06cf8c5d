#include "cli/audit_report.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "avi/avi_reader.h"
#include "cli/name_text.h"
#include "cli/recording_info.h"
#include "platform/paths.h"
#include "run/run_summary.h"

namespace trunvex {
namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json valueOrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// Seconds to the millisecond: finer digits are noise from summing frame durations.
double milliseconds(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

Json millisecondsOrNull(const std::optional<double>& seconds) {
    return seconds ? Json(milliseconds(*seconds)) : Json(nullptr);
}

const char* outcomeOf(const JobRecord& r) {
    if (r.skipped) {
        return "skipped";
    }
    if (!r.verdict.empty()) {
        return r.verdict.c_str();
    }
    return r.exitCode == 0 ? "converted" : "failed";
}

Json textOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

// JSON text is Unicode: a name whose bytes are not UTF-8 is written with U+FFFD in their place,
// and its bytes beside it in base64, so that the report can still name the file.
void addName(Json& line, const char* key, const std::string& name) {
    line[key] = textOrNull(name);
    if (!isValidUtf8(name)) {
        line[std::string(key) + "_base64"] = base64Of(name);
    }
}

}  // namespace

void describeStoredAvi(JobRecord& record, const AviDescription& avi) {
    for (const AviDescription::Video& v : avi.video) {
        record.video.push_back({v.codec, v.width, v.height, v.frameRate, v.frames, v.emptySamples});
    }
    if (avi.audio) {
        record.audio = JobRecord::AudioStream{std::string(), avi.audio->sampleRate,
                                              avi.audio->bitsPerSample, avi.audio->samples};
    }
    record.videoSeconds = avi.videoSeconds;
    record.audioSeconds = avi.audioSeconds;
}

void describeOutput(JobRecord& record, const RunSummary& run, bool kept) {
    record.junkBytes = run.junkBytes;
    record.videoSeconds = run.videoSeconds;
    record.audioSeconds = run.audioSeconds;
    if (!kept) {
        return;
    }
    for (std::size_t i = 0; i < run.videoStreams; ++i) {
        const RunSummary::VideoStream& v = run.video[i];
        record.video.push_back({v.kind == VIDEO_KIND_H264 ? "h264" : "mpeg4", v.width, v.height,
                                v.frameRate, v.frames, v.emptySamples});
    }
    if (run.hasAudio) {
        record.audio = JobRecord::AudioStream{audioEncodingName(run.audio.sourceEncoding),
                                              run.audio.sampleRate, run.audio.bitsPerSample,
                                              run.audio.samples};
    }
}

std::string reportLine(const JobRecord& r) {
    Json line;
    addName(line, "source", r.source);
    line["source_bytes"] = valueOrNull(r.sourceBytes);
    line["outcome"] = outcomeOf(r);
    line["message"] = textOrNull(r.message);
    line["exit_status"] = r.exitCode;
    line["reason"] = textOrNull(r.reason);
    addName(line, "avi", r.avi);
    line["avi_bytes"] = valueOrNull(r.aviBytes);
    Json video = Json::array();
    for (const JobRecord::VideoStream& v : r.video) {
        video.push_back({{"codec", v.codec},
                         {"width", v.width},
                         {"height", v.height},
                         {"frame_rate", v.frameRate},
                         {"frames", valueOrNull(v.frames)},
                         {"empty_samples", valueOrNull(v.emptySamples)}});
    }
    line["video"] = std::move(video);
    line["audio"] = r.audio ? Json{{"source_encoding", textOrNull(r.audio->sourceEncoding)},
                                   {"sample_rate", r.audio->sampleRate},
                                   {"bits_per_sample", r.audio->bitsPerSample},
                                   {"samples", r.audio->samples}}
                            : Json(nullptr);
    line["junk_bytes"] = valueOrNull(r.junkBytes);
    line["duration_seconds"] = {{"video", millisecondsOrNull(r.videoSeconds)},
                                {"audio", millisecondsOrNull(r.audioSeconds)}};
    if (r.aviPartial) {
        line["avi_partial"] = true;
    }
    if (!r.redoneBecause.empty()) {
        line["redone_because"] = r.redoneBecause;
    }
    if (!r.verdict.empty()) {
        line["differs_at"] = valueOrNull(r.differsAt);
    }
    line["wall_seconds"] = milliseconds(r.wallSeconds);
    if (!r.sourceSha256.empty() || !r.aviSha256.empty()) {
        line["sha256"] = {{"source", textOrNull(r.sourceSha256)}, {"avi", textOrNull(r.aviSha256)}};
    }
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

AuditReport::~AuditReport() {
    if (file != nullptr) {
        std::fclose(file);
    }
}

bool AuditReport::open(const std::string& path, std::string& failure) {
    filePath = path;
    // Its folder is made as the AVIs' folders are: reports/report-3.jsonl works on a first run.
    const std::filesystem::path folder = pathFromUtf8(path).parent_path();
    std::error_code folderError;
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, folderError);
    }
    if (folderError) {
        failure = folderError.message();
        return false;
    }
    file = openFileForWriting(path);
    if (file == nullptr) {
        failure = std::strerror(errno);
        return false;
    }
    return true;
}

bool AuditReport::write(const JobRecord& record) {
    if (file == nullptr || !lastFailure.empty()) {
        return false;
    }
    const std::string line = reportLine(record) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), file) != line.size() || std::fflush(file) != 0) {
        lastFailure = std::strerror(errno);
        return false;
    }
    return true;
}

bool AuditReport::close() {
    if (file == nullptr) {
        return lastFailure.empty();
    }
    const bool ok = std::fclose(file) == 0;
    file = nullptr;
    if (!ok && lastFailure.empty()) {
        lastFailure = std::strerror(errno);
    }
    return lastFailure.empty();
}

}  // namespace trunvex
