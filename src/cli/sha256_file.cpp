// A whole file's digest, read through the file layer as a recording is: binary, any path.
#include <vector>

#include "cli/sha256.h"
#include "platform/source_file.h"

namespace trunvex {

std::string sha256OfFile(const std::string& path, std::string& failure) {
    std::unique_ptr<SourceReader> file = fileSourceOpener().open(path, failure);
    if (!file) {
        return {};
    }
    Sha256 hash;
    std::vector<std::uint8_t> buffer(1 << 20);
    std::int64_t n = 0;
    while ((n = file->read(buffer)) > 0) {
        hash.update(std::span(buffer).first(static_cast<std::size_t>(n)));
    }
    if (n < 0) {
        failure = file->errorText();
        return {};
    }
    return hash.hexDigest();
}

}  // namespace trunvex
