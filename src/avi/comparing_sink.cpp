#include "avi/comparing_sink.h"

#include <algorithm>
#include <new>

namespace trunvex {
namespace {

// Stored bytes are read ahead in windows of this size: the writer's many small writes come
// in file order.
constexpr std::size_t WINDOW_BYTES = std::size_t{1} << 20;
// Differences kept, lowest first. A later rewrite of a size field can only settle a few of
// them, so the lowest that remains is the first difference of the finished file.
constexpr std::size_t KEPT_DIFFERENCES = 4096;

class ComparingSink final : public ByteSink {
public:
    ComparingSink(StoredBytes& storedFile, std::uint64_t heldBytes, Comparison& into)
        : stored(storedFile), result(into) {
        prefix.resize(heldBytes);
        window.resize(WINDOW_BYTES);
    }

    bool write(std::span<const std::uint8_t> bytes) noexcept override {
        if (!failure.empty()) {
            return false;
        }
        const std::uint64_t inPrefix =
            at < prefix.size() ? std::min<std::uint64_t>(bytes.size(), prefix.size() - at) : 0;
        std::copy_n(bytes.begin(), inPrefix, prefix.begin() + static_cast<std::ptrdiff_t>(at));
        const bool compared = compare(at + inPrefix, bytes.subspan(inPrefix));
        at += bytes.size();
        end = std::max(end, at);
        return compared;
    }
    bool seek(std::uint64_t position) noexcept override {
        at = position;
        return failure.empty();
    }
    std::uint64_t position() const noexcept override { return at; }

    bool commit() noexcept override {
        if (!failure.empty()) {
            return false;
        }
        std::optional<std::uint64_t> first = firstDifferenceInPrefix();
        if (!failure.empty()) {
            return false;
        }
        const auto earliest = [&](std::uint64_t offset) {
            first = std::min(first.value_or(offset), offset);
        };
        if (!differences.empty()) {
            earliest(*differences.begin());
        } else if (droppedFrom) {
            earliest(*droppedFrom);
        }
        if (stored.size() != end) {
            earliest(std::min(stored.size(), end));
        }
        result.done = true;
        result.firstDifference = first;
        return true;
    }
    void discard() noexcept override {}
    std::string errorText() const override { return failure; }

private:
    // Compares bytes written at `offset`, past the held prefix, with the stored file.
    bool compare(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
        if (bytes.empty()) {
            return true;
        }
        forget(offset, offset + bytes.size());
        if (offset >= stored.size()) {
            note(offset);
            return true;
        }
        if (differences.size() == KEPT_DIFFERENCES && offset > *differences.rbegin()) {
            return true;  // only lower differences matter, and enough of them are known
        }
        for (std::size_t i = 0; i < bytes.size();) {
            const std::uint64_t o = offset + i;
            if (o >= stored.size()) {
                note(o);
                break;
            }
            if (!storedByte(o)) {
                return false;
            }
            const std::size_t from = static_cast<std::size_t>(o - windowStart);
            const std::size_t n = std::min(bytes.size() - i, windowBytes - from);
            noteDifferences(o, std::span(window).subspan(from, n), bytes.subspan(i, n));
            i += n;
        }
        return true;
    }

    void noteDifferences(std::uint64_t offset, std::span<const std::uint8_t> was,
                         std::span<const std::uint8_t> now) {
        auto diff = std::mismatch(was.begin(), was.end(), now.begin());
        while (diff.first != was.end()) {
            const std::uint64_t o = offset + static_cast<std::uint64_t>(diff.first - was.begin());
            if (differences.size() == KEPT_DIFFERENCES && o > *differences.rbegin()) {
                return;
            }
            note(o);
            diff = std::mismatch(diff.first + 1, was.end(), diff.second + 1);
        }
    }

    // Makes the stored byte at `offset` part of the window; false when it cannot be read.
    bool storedByte(std::uint64_t offset) {
        if (offset >= windowStart && offset - windowStart < windowBytes) {
            return true;
        }
        windowStart = offset;
        windowBytes = static_cast<std::size_t>(
            std::min<std::uint64_t>(window.size(), stored.size() - offset));
        if (!stored.readAt(offset, std::span(window).first(windowBytes))) {
            windowBytes = 0;
            failure = stored.errorText().empty() ? "the AVI changed while it was compared"
                                                 : stored.errorText();
            return false;
        }
        return true;
    }

    void forget(std::uint64_t from, std::uint64_t to) {
        differences.erase(differences.lower_bound(from), differences.lower_bound(to));
    }

    void note(std::uint64_t offset) {
        differences.insert(offset);
        if (differences.size() > KEPT_DIFFERENCES) {
            const auto last = std::prev(differences.end());
            droppedFrom = std::min(droppedFrom.value_or(*last), *last);
            differences.erase(last);
        }
    }

    std::optional<std::uint64_t> firstDifferenceInPrefix() {
        const std::uint64_t bytes = std::min<std::uint64_t>(prefix.size(), end);
        for (std::uint64_t o = 0; o < bytes && o < stored.size(); ++o) {
            if (!storedByte(o)) {
                return std::nullopt;
            }
            if (window[static_cast<std::size_t>(o - windowStart)] !=
                prefix[static_cast<std::size_t>(o)]) {
                return o;
            }
        }
        return std::nullopt;
    }

    StoredBytes& stored;
    Comparison& result;
    std::vector<std::uint8_t> prefix;
    std::vector<std::uint8_t> window;
    std::uint64_t windowStart = 0;
    std::size_t windowBytes = 0;
    std::uint64_t at = 0;
    std::uint64_t end = 0;
    std::set<std::uint64_t> differences;
    std::optional<std::uint64_t> droppedFrom;
    std::string failure;
};

}  // namespace

std::unique_ptr<ByteSink> ComparingSinkFactory::open(const std::string&,
                                                     std::string& failure) noexcept {
    result = Comparison{};
    try {
        return std::make_unique<ComparingSink>(stored, held, result);
    } catch (const std::bad_alloc&) {
        failure = "out of memory";
        return nullptr;
    }
}

}  // namespace trunvex
