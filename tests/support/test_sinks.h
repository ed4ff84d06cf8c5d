#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_sink.h"

namespace trunvex {

// Sinks for tests, benchmarks and fuzzers (library trunvex_avi_test_support). They allocate as
// they grow and are not meant for the program.

// Keeps every committed file in memory, by path. A path that was never committed is absent;
// a discarded sink leaves the earlier bytes of its path (if any) as they were.
class MemorySinkFactory final : public SinkFactory {
public:
    [[nodiscard]] std::unique_ptr<ByteSink> open(const std::string& path,
                                                 std::string& failure) noexcept override;

    // The committed bytes of path, or null when nothing was committed there.
    [[nodiscard]] const std::vector<std::uint8_t>* find(const std::string& path) const;
    // Sinks opened and not yet committed or discarded.
    [[nodiscard]] int openSinks() const noexcept { return liveSinks; }

    std::map<std::string, std::vector<std::uint8_t>> files;
    // Whether sinks offer room to build samples in; without it every sample is built apart
    // and written.
    bool offerRoom = true;

private:
    friend class MemorySink;
    int liveSinks = 0;
};

// A sink that keeps its bytes in memory; commit() hands them to its factory.
class MemorySink final : public ByteSink {
public:
    MemorySink(MemorySinkFactory& owner, std::string path) noexcept;
    ~MemorySink() override;
    MemorySink(const MemorySink&) = delete;
    MemorySink& operator=(const MemorySink&) = delete;

    [[nodiscard]] bool write(std::span<const std::uint8_t> bytes) noexcept override;
    [[nodiscard]] bool seek(std::uint64_t position) noexcept override;
    [[nodiscard]] std::uint64_t position() const noexcept override { return cursor; }
    // The room is the vector itself, grown as far as the claim needs, so tests run the
    // in-place path that file sinks offer; only at the end of the bytes.
    [[nodiscard]] std::span<std::uint8_t> claim(std::size_t maxBytes) noexcept override;
    [[nodiscard]] bool commitClaim(std::size_t count) noexcept override;
    [[nodiscard]] bool commit() noexcept override;
    void discard() noexcept override;
    [[nodiscard]] std::string errorText() const override { return {}; }

private:
    void dropClaim() noexcept;

    MemorySinkFactory* factory;
    std::string target;
    std::vector<std::uint8_t> bytes;
    std::uint64_t cursor = 0;
    std::size_t claimed = 0;
    std::size_t sizeBeforeClaim = 0;
    bool open = true;
};

// Passes everything to an inner factory (files unless given another) and fails on demand,
// with the system's words for `errorNumber`. Write and seek calls are counted over every
// sink this factory opened, from 1, so a test can sweep a failure across a whole run; a
// writeGather counts as one write.
class FaultySinkFactory final : public SinkFactory {
public:
    FaultySinkFactory() noexcept;
    explicit FaultySinkFactory(SinkFactory& inner) noexcept : innerFactory(&inner) {}

    [[nodiscard]] std::unique_ptr<ByteSink> open(const std::string& path,
                                                 std::string& failure) noexcept override;
    [[nodiscard]] bool checkPath(const std::string& path, std::string& failure) noexcept override {
        return innerFactory->checkPath(path, failure);
    }

    bool failOpen = false;
    std::uint64_t failWriteAt = 0;  // 0: never
    std::uint64_t failSeekAt = 0;   // 0: never
    bool failCommit = false;
    int errorNumber = ENOSPC;

    std::uint64_t writesSeen = 0;
    std::uint64_t seeksSeen = 0;
    int opens = 0;

private:
    SinkFactory* innerFactory;
};

// The system's words for an errno value.
[[nodiscard]] std::string errorNumberText(int error);

}  // namespace trunvex
