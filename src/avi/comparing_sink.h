#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/byte_sink.h"
#include "common/stored_bytes.h"

namespace trunvex {

// How a conversion compared with a stored file.
struct Comparison {
    bool done = false;  // the conversion committed its whole output
    // The first offset at which the stored file differs from the conversion, its length
    // included; none when the two are the same bytes.
    std::optional<std::uint64_t> firstDifference;
};

// Sinks that write nothing: each byte written is compared with the stored file at the same
// offset. The bytes in [0, heldBytes) are kept in memory and compared only at commit, since
// the writer comes back to them (the headers go last into the region reserved at the
// start); elsewhere only small size fields are rewritten, which the comparison follows. One
// factory per conversion; it opens one sink.
class ComparingSinkFactory final : public SinkFactory {
public:
    ComparingSinkFactory(StoredBytes& storedFile, std::uint64_t heldBytes) noexcept
        : stored(storedFile), held(heldBytes) {}
    [[nodiscard]] std::unique_ptr<ByteSink> open(const std::string& path,
                                                 std::string& failure) noexcept override;
    [[nodiscard]] const Comparison& comparison() const noexcept { return result; }

private:
    StoredBytes& stored;
    std::uint64_t held;
    Comparison result;
};

}  // namespace trunvex
