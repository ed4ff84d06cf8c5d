#pragma once

#include <mutex>
#include <string>

namespace trunvex::win {

// Where the sink for `path` puts its temporary file: "<folder>.<name>." followed by a unique
// part and ".part", in the AVI's own folder however the path spells it; of a long name only
// the first 32 characters.
[[nodiscard]] std::string temporaryPrefixFor(const std::string& path);

// Held while a sink's temporary file goes without its delete-on-close mark (its commit), and
// by an interruption before it ends the process.
[[nodiscard]] std::mutex& commitLock() noexcept;

}  // namespace trunvex::win
