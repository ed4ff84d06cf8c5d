#pragma once

// Cuts an MPEG-4 Part 2 elementary stream (as `ffmpeg -c:v mpeg4 -f m4v` writes it) into the
// frames that MPEG-4 records carry.

#include <cstdint>
#include <span>
#include <vector>

namespace trunvex::recording {

struct Mpeg4Frame {
    std::span<const std::uint8_t> bytes;  // a view into the stream
    bool key = false;                     // an I-VOP (vop_coding_type 0)
};

// Every frame runs from the first start code after the previous VOP (or from the start of
// the stream) to the first start code after its own VOP (00 00 01 B6), so the VOS, VOL, GOV
// and user-data headers before an I-VOP travel with it. Bytes after the last VOP's data that
// hold no VOP are appended to the last frame.
[[nodiscard]] std::vector<Mpeg4Frame> splitMpeg4Frames(std::span<const std::uint8_t> stream);

}  // namespace trunvex::recording
