#include "demux/record_format.h"

#include <array>

namespace trunvex {

// The checks are inline in the header; these pin a few of them at compile time.
static_assert(readKeyFrameHeader(std::array<std::uint8_t, 12>{0x00, 0x19, 0x58, 0x48, 0, 0, 0, 0,
                                                              0x00, 0x10, 0x00, 0x00})
                  .payloadLength == 4096);
static_assert(isValidKeyFrameHeader({0, 25, 90, 72, MAX_FRAME_BYTES}));
static_assert(!isValidKeyFrameHeader({0, 25, 91, 72, 1}));
static_assert(!isValidAudioHeader({13, 10, 1}));

}  // namespace trunvex
