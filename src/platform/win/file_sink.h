#pragma once

#include <string>

namespace trunvex::win {

// Where the sink for `path` puts its temporary file: "<folder>.<name>." followed by a unique
// part and ".part", in the AVI's own folder however the path spells it; of a long name only
// the first 32 characters.
[[nodiscard]] std::string temporaryPrefixFor(const std::string& path);

}  // namespace trunvex::win
