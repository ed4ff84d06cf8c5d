#include "demux/conversion_context.h"

namespace trunvex {

bool ConversionContext::allocateBuffers() noexcept {
    if (readBuffer.allocate() && frameBuffer.allocate() && writer.allocateSpill()) {
        return true;
    }
    releaseBuffers();
    return false;
}

void ConversionContext::releaseBuffers() noexcept {
    readBuffer.release();
    frameBuffer.release();
    writer.releaseSpill();
}

bool ConversionContext::buffersAllocated() const noexcept {
    return readBuffer.allocated() && frameBuffer.allocated() && writer.spillAllocated();
}

void ConversionContext::resetDemuxer() noexcept {
    payloadRemaining = 0;
    heldBytes = 0;
    skipPayload = false;
    frameRate = 0;
    payloadLayout = 0;
    keyFrameSeen = false;
    stats = DemuxStats{};
}

}  // namespace trunvex
