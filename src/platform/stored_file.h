#pragma once

#include <memory>
#include <string>

#include "common/stored_bytes.h"

namespace trunvex {

// Opens a regular file to read it at any offset, shared with other readers and writers.
// Null, with the system's words in `failure`, when it cannot be opened or is no regular file.
[[nodiscard]] std::unique_ptr<StoredBytes> openStoredFile(const std::string& path,
                                                          std::string& failure) noexcept;

}  // namespace trunvex
