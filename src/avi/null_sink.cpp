#include "avi/null_sink.h"

#include <algorithm>
#include <new>

#include "common/failure_texts.h"

namespace trunvex {
namespace {

class NullSink final : public ByteSink {
public:
    bool write(std::span<const std::uint8_t> bytes) noexcept override {
        offset += bytes.size();
        end = std::max(end, offset);
        return true;
    }
    bool seek(std::uint64_t position) noexcept override {
        offset = position;
        return true;
    }
    std::uint64_t position() const noexcept override { return offset; }
    bool commit() noexcept override { return true; }
    void discard() noexcept override {}
    std::string errorText() const override { return {}; }

private:
    std::uint64_t offset = 0;
    std::uint64_t end = 0;
};

}  // namespace

std::unique_ptr<ByteSink> NullSinkFactory::open(const std::string&, std::string& failure) noexcept {
    std::unique_ptr<ByteSink> sink(new (std::nothrow) NullSink());
    if (!sink) {
        failure = NO_MEMORY_TEXT;
    }
    return sink;
}

}  // namespace trunvex
