#include "demux/conversion_context.h"

namespace trunvex {

bool ConversionContext::allocateBuffers() noexcept {
    if (readBuffer.allocate() && frameBuffer.allocate() && repackBuffer.allocate() &&
        pcmBuffer.allocate()) {
        return true;
    }
    releaseBuffers();
    return false;
}

void ConversionContext::releaseBuffers() noexcept {
    readBuffer.release();
    frameBuffer.release();
    repackBuffer.release();
    pcmBuffer.release();
}

bool ConversionContext::buffersAllocated() const noexcept {
    return readBuffer.allocated() && frameBuffer.allocated() && repackBuffer.allocated() &&
           pcmBuffer.allocated();
}

void ConversionContext::resetDemuxer() noexcept {
    payloadRemaining = 0;
    heldBytes = 0;
    scanAvailable = 0;
    skipPayload = false;
    frameRate = 0;
    payloadLayout = 0;
    keyFrameSeen = false;
}

}  // namespace trunvex
