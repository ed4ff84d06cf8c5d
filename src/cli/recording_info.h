#pragma once

#include <cstdio>
#include <string>

namespace trunvex {

class SourceOpener;

// Describes a recording on `out` without writing anything: records by kind, frame sizes and
// rates, audio encodings and rates, duration, and the bytes passed over. With
// `nameEveryLine` (several recordings described), every line, a failure's included, starts
// with "SOURCE: ". Returns 0, or the exit status of the failure (the source could not be
// opened or read).
[[nodiscard]] int describeRecording(const std::string& sourcePath, bool nameEveryLine,
                                    SourceOpener& sources, std::FILE* out, std::FILE* err);

// The name of an audio encoding code, as --info and the report give it.
[[nodiscard]] const char* audioEncodingName(std::size_t encoding);

}  // namespace trunvex
