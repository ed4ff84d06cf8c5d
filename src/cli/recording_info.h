#pragma once

#include <cstdio>
#include <string>

namespace trunvex {

// Describes a recording on `out` without writing anything: records by kind, frame sizes and
// rates, audio encodings and rates, duration, and the bytes passed over. Returns 0, or the
// exit status of the failure (the source could not be opened or read).
[[nodiscard]] int describeRecording(const std::string& sourcePath, std::FILE* out, std::FILE* err);

}  // namespace trunvex
