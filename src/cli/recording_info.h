#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace trunvex {

class SourceOpener;
struct BatchJob;

// Describes a recording on `out` without writing anything: records by kind, frame sizes and
// rates, audio encodings and rates, duration, and the bytes passed over. With
// `nameEveryLine` (several recordings described), every line, a failure's included, starts
// with "SOURCE: ". Returns 0, or the exit status of the failure (the source could not be
// opened or read).
[[nodiscard]] int describeRecording(const std::string& sourcePath, bool nameEveryLine,
                                    SourceOpener& sources, std::FILE* out, std::FILE* err);

// --info over every job of a plan, a folder that could not be read told as such. Returns 0, or
// the exit status of the first job that could not be described.
[[nodiscard]] int describeRecordings(const std::vector<BatchJob>& jobs, bool nameSources,
                                     SourceOpener& sources, std::FILE* out, std::FILE* err);

// The name of an audio encoding code, as --info and the report give it.
[[nodiscard]] const char* audioEncodingName(std::size_t encoding);

}  // namespace trunvex
