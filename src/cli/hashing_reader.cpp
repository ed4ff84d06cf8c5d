#include "cli/hashing_reader.h"

#include <new>

#include "common/failure_texts.h"

namespace trunvex {
namespace {

// Passes every byte read from the source through a hash on its way to the run.
class HashingReader final : public SourceReader {
public:
    HashingReader(std::unique_ptr<SourceReader> source, SourceHash& sha) noexcept
        : inner(std::move(source)), hash(sha) {}
    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        const std::int64_t n = inner->read(into);
        if (n > 0) {
            hash.update(into.first(static_cast<std::size_t>(n)));
        }
        hash.wholeSource = hash.wholeSource || n == 0;
        return n;
    }
    std::uint64_t size() const noexcept override { return inner->size(); }
    bool isSameFileAs(const std::string& path) const noexcept override {
        return inner->isSameFileAs(path);
    }
    std::string errorText() const override { return inner->errorText(); }

private:
    std::unique_ptr<SourceReader> inner;
    SourceHash& hash;
};

}  // namespace

std::unique_ptr<SourceReader> HashingOpener::open(const std::string& path,
                                                  std::string& failure) noexcept {
    std::unique_ptr<SourceReader> source = inner.open(path, failure);
    if (!source || hash == nullptr) {
        return source;
    }
    std::unique_ptr<SourceReader> hashed(new (std::nothrow)
                                             HashingReader(std::move(source), *hash));
    if (!hashed) {
        failure = NO_MEMORY_TEXT;
    }
    return hashed;
}

}  // namespace trunvex
