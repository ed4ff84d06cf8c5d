#pragma once

#include <memory>
#include <string>

#include "cli/sha256.h"
#include "platform/source_reader.h"

namespace trunvex {

// The digest of the bytes read from a source, and whether they were all of it.
struct SourceHash : Sha256 {
    bool wholeSource = false;
};

// Opens sources through another opener, each one's bytes passing through `hash` on their way
// to the run; with no hash, the sources are the other opener's own.
class HashingOpener final : public SourceOpener {
public:
    HashingOpener(SourceOpener& sources, SourceHash* sha) noexcept : inner(sources), hash(sha) {}
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override;

private:
    SourceOpener& inner;
    SourceHash* hash;
};

}  // namespace trunvex
