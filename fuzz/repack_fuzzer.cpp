// The first byte picks the operation (bit 0: one unit or a NAL-list key frame) and whether
// the output buffer is one byte short of the worst case (bit 1); the rest is the payload.
// Fast and reference forms must agree byte for byte and stay inside their buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "codec/nal_repack.h"
#include "support/reference_paths.h"

namespace {

std::size_t unitWorstCase(std::size_t length) {
    return length == 0 ? 0 : 4 + length + (length >= 2 ? (length - 2) / 2 : 0);
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::span<const std::uint8_t> payload(data + 1, size - 1);
    const bool asList = (mode & 1) != 0;
    const bool short1 = (mode & 2) != 0;
    // A list's units can together need at most 44 bytes more than 1.5 times the payload.
    std::size_t capacity =
        asList ? 44 + payload.size() + payload.size() / 2 : unitWorstCase(payload.size());
    if (short1 && capacity > 0) {
        --capacity;
    }
    // Exactly sized heap buffers, so any write past them is caught.
    std::vector<std::uint8_t> fast(capacity), reference(capacity);
    std::uint32_t n = 0, m = 0;
    if (asList) {
        n = trunvex::repackNalListFrame(payload, fast);
        m = trunvex::reference::repackNalListFrame(payload, reference);
    } else {
        n = trunvex::repackNalUnit(payload, fast);
        m = trunvex::reference::repackNalUnit(payload, reference);
        // A unit repacks whole when its worst case fits, and not at all when it does not.
        if (short1 || payload.empty()) {
            check(n == 0);
        } else {
            check(n >= payload.size() + 4);
        }
    }
    check(n == m);
    check(n <= capacity);
    check(n == 0 || std::memcmp(fast.data(), reference.data(), n) == 0);
    return 0;
}
