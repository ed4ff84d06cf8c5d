#pragma once

#include <string>

#include "avi/byte_sink.h"

namespace trunvex {

// The program's factory: a temporary file beside the path, renamed onto it by commit().
// Opening fails when the path names a directory, or its directory is missing or not
// writable. Writes are gathered in a 1 MiB buffer; large payloads go straight through.
SinkFactory& fileSinkFactory() noexcept;

// The temporary name a file sink for `path` starts with: ".<name>." in the same directory.
// A sink's own file adds a unique part and ".part"; what is left behind by a killed run can be
// recognised by these two ends.
[[nodiscard]] std::string temporaryPrefixFor(const std::string& path);

}  // namespace trunvex
