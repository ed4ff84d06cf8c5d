#include "support/test_sinks.h"

#include <algorithm>
#include <cstring>

#include "platform/file_sink.h"

namespace trunvex {

std::string errorNumberText(int error) {
    return std::strerror(error);
}

MemorySink::MemorySink(MemorySinkFactory& owner, std::string path) noexcept
    : factory(&owner), target(std::move(path)) {
    ++factory->liveSinks;
}

MemorySink::~MemorySink() {
    discard();
}

void MemorySink::dropClaim() noexcept {
    if (claimed > 0) {
        bytes.resize(sizeBeforeClaim);
        claimed = 0;
    }
}

std::span<std::uint8_t> MemorySink::claim(std::size_t maxBytes) noexcept {
    dropClaim();
    // Room inside earlier bytes would change them before the commit: offered at the end only.
    if (!open || cursor != bytes.size() || !factory->offerRoom) {
        return {};
    }
    sizeBeforeClaim = bytes.size();
    bytes.resize(sizeBeforeClaim + maxBytes);
    claimed = maxBytes;
    return std::span(bytes).subspan(static_cast<std::size_t>(cursor), maxBytes);
}

bool MemorySink::commitClaim(std::size_t count) noexcept {
    const std::size_t room = claimed;
    const std::uint64_t end = cursor + count;
    claimed = 0;
    if (!open || count > room) {
        bytes.resize(sizeBeforeClaim);
        return false;
    }
    bytes.resize(std::max<std::size_t>(sizeBeforeClaim, static_cast<std::size_t>(end)));
    cursor = end;
    return true;
}

bool MemorySink::write(std::span<const std::uint8_t> data) noexcept {
    dropClaim();
    if (!open) {
        return false;
    }
    const std::uint64_t end = cursor + data.size();
    if (end > bytes.size()) {
        bytes.resize(static_cast<std::size_t>(end));
    }
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(cursor));
    cursor = end;
    return true;
}

bool MemorySink::seek(std::uint64_t position) noexcept {
    dropClaim();
    if (!open) {
        return false;
    }
    cursor = position;
    return true;
}

bool MemorySink::commit() noexcept {
    dropClaim();
    if (!open) {
        return false;
    }
    factory->files[target] = std::move(bytes);
    open = false;
    --factory->liveSinks;
    return true;
}

void MemorySink::discard() noexcept {
    if (open) {
        open = false;
        bytes.clear();
        --factory->liveSinks;
    }
}

std::unique_ptr<ByteSink> MemorySinkFactory::open(const std::string& path, std::string&) noexcept {
    return std::make_unique<MemorySink>(*this, path);
}

const std::vector<std::uint8_t>* MemorySinkFactory::find(const std::string& path) const {
    const auto found = files.find(path);
    return found == files.end() ? nullptr : &found->second;
}

namespace {

class FaultySink final : public ByteSink {
public:
    FaultySink(FaultySinkFactory& owner, std::unique_ptr<ByteSink> innerSink) noexcept
        : factory(owner), inner(std::move(innerSink)) {}

    bool write(std::span<const std::uint8_t> bytes) noexcept override {
        return countWrite() && inner->write(bytes);
    }
    bool writeGather(std::span<const std::span<const std::uint8_t>> parts) noexcept override {
        return countWrite() && inner->writeGather(parts);
    }
    std::span<std::uint8_t> claim(std::size_t maxBytes) noexcept override {
        return failure.empty() ? inner->claim(maxBytes) : std::span<std::uint8_t>();
    }
    // Handing over claimed bytes is a write: it fails where a write would.
    bool commitClaim(std::size_t bytes) noexcept override {
        if (!countWrite()) {
            static_cast<void>(inner->claim(0));  // drops the claim
            return false;
        }
        return inner->commitClaim(bytes);
    }
    bool seek(std::uint64_t position) noexcept override {
        if (!failure.empty()) {
            return false;
        }
        if (++factory.seeksSeen == factory.failSeekAt) {
            failure = errorNumberText(factory.errorNumber);
            return false;
        }
        return inner->seek(position);
    }
    std::uint64_t position() const noexcept override { return inner->position(); }
    bool commit() noexcept override {
        if (!failure.empty() || factory.failCommit) {
            if (failure.empty()) {
                failure = errorNumberText(factory.errorNumber);
            }
            inner->discard();
            return false;
        }
        return inner->commit();
    }
    void discard() noexcept override { inner->discard(); }
    std::string errorText() const override {
        return failure.empty() ? inner->errorText() : failure;
    }

private:
    bool countWrite() noexcept {
        if (!failure.empty()) {
            return false;
        }
        if (++factory.writesSeen == factory.failWriteAt) {
            failure = errorNumberText(factory.errorNumber);
            return false;
        }
        return true;
    }

    FaultySinkFactory& factory;
    std::unique_ptr<ByteSink> inner;
    std::string failure;
};

}  // namespace

FaultySinkFactory::FaultySinkFactory() noexcept : innerFactory(&fileSinkFactory()) {}

std::unique_ptr<ByteSink> FaultySinkFactory::open(const std::string& path,
                                                  std::string& failure) noexcept {
    ++opens;
    if (failOpen) {
        failure = errorNumberText(errorNumber);
        return nullptr;
    }
    std::unique_ptr<ByteSink> inner = innerFactory->open(path, failure);
    if (!inner) {
        return nullptr;
    }
    return std::make_unique<FaultySink>(*this, std::move(inner));
}

}  // namespace trunvex
