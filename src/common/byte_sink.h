#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace trunvex {

// Where an AVI file's bytes go. Writes are sequential except for the header and index
// back-patching that seek() allows. A failed write or seek is sticky: every later call
// fails too, and errorText() says why in the system's words.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    [[nodiscard]] virtual bool write(std::span<const std::uint8_t> bytes) noexcept = 0;
    [[nodiscard]] virtual bool seek(std::uint64_t position) noexcept = 0;
    [[nodiscard]] virtual std::uint64_t position() const noexcept = 0;
    // Writes the parts one after another, as one write: a chunk header, its payload and its
    // pad byte go out together, and a file sink hands a large payload to the system without
    // copying it. Counts as a single write for fault injection.
    [[nodiscard]] virtual bool writeGather(
        std::span<const std::span<const std::uint8_t>> parts) noexcept {
        for (const std::span<const std::uint8_t> part : parts) {
            if (!write(part)) {
                return false;
            }
        }
        return true;
    }
    // Room for up to `maxBytes` at the current position, to be filled in place and then
    // handed over with commitClaim(): a sample can be converted straight into the sink's
    // buffer instead of being built elsewhere and copied. Empty when the sink offers no such
    // room (the default) or has failed; the caller then writes the bytes as usual. Nothing
    // counts as written before commitClaim(), and any other call drops the claim.
    [[nodiscard]] virtual std::span<std::uint8_t> claim(std::size_t maxBytes) noexcept {
        (void)maxBytes;
        return {};
    }
    // Writes the first `bytes` of the claimed room, as write() would. False when the sink has
    // failed; a commit with nothing claimed or of more than was claimed fails the sink, as a
    // failed write would, since the file would not hold what the caller built.
    [[nodiscard]] virtual bool commitClaim(std::size_t bytes) noexcept {
        (void)bytes;
        return false;
    }
    // Makes the finished bytes appear at the output path (for a file: flush, then rename the
    // temporary file onto the path). False when that failed; nothing is left behind then.
    [[nodiscard]] virtual bool commit() noexcept = 0;
    // Drops everything written; the output path is left as it was before the sink opened.
    virtual void discard() noexcept = 0;
    [[nodiscard]] virtual std::string errorText() const = 0;
};

// Opens sinks for output paths. The program uses files; tests use memory or inject faults.
// A factory keeps nothing of a run: one factory serves runs on several threads at once.
class SinkFactory {
public:
    virtual ~SinkFactory() = default;
    // Null when the path cannot be written; `failure` then says why in the system's words.
    [[nodiscard]] virtual std::unique_ptr<ByteSink> open(const std::string& path,
                                                         std::string& failure) noexcept = 0;
    // Asked before a run reads anything: false, with the reason in `failure`, when what
    // stands at `path` must never be replaced by an output (for files: a directory, a device,
    // a pipe, a socket). A path that passes may still fail to open later. Accepts every path
    // unless a factory knows better.
    [[nodiscard]] virtual bool checkPath(const std::string& path, std::string& failure) noexcept {
        (void)path;
        (void)failure;
        return true;
    }
};

}  // namespace trunvex
