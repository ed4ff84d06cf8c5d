// Feeds the input to processChunk in pieces whose sizes come from the input itself, so chunk
// boundaries fall everywhere, and holds the result to the whole-chunk byte-at-a-time run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "demux/conversion_context.h"
#include "demux/stream_demuxer.h"
#include "fuzz_check.h"
#include "support/reference_paths.h"
#include "support/test_sinks.h"

namespace {

using namespace trunvex;

using fuzzing::check;

void startRun(ConversionContext& ctx, SinkFactory& sinks) {
    ctx.writer.resetOutput();
    ctx.writer.setOutputPath("out.avi");
    ctx.writer.setSinkFactory(sinks);
    ctx.resetDemuxer();
}

// The invariants that hold between two calls.
void checkStateBetweenCalls(const ConversionContext& ctx) {
    if (ctx.payloadRemaining == 0) {
        check(ctx.heldBytes <= CARRY_BYTES, "ctx.heldBytes <= CARRY_BYTES");
        check(!ctx.skipPayload, "!ctx.skipPayload");
    } else {
        check(ctx.heldBytes + ctx.payloadRemaining <= MAX_FRAME_BYTES,
              "ctx.heldBytes + ctx.payloadRemaining <= MAX_FRAME_BYTES");
    }
}

using Demuxer = RunResult (*)(ConversionContext&, std::span<const std::uint8_t>) noexcept;

std::vector<std::uint8_t> convert(Demuxer demuxer, ConversionContext& ctx,
                                  std::span<const std::uint8_t> input,
                                  std::span<const std::uint8_t> pieceSizes, RunResult& result) {
    MemorySinkFactory sinks;
    // The reference builds every sample apart from the output and writes it.
    sinks.offerRoom = demuxer == &processChunk;
    startRun(ctx, sinks);
    result = RUN_OK;
    std::size_t piece = 0;
    for (std::size_t at = 0; at < input.size() && result == RUN_OK;) {
        std::size_t n = READ_CHUNK_BYTES;
        if (!pieceSizes.empty()) {
            const std::uint8_t p = pieceSizes[piece++ % pieceSizes.size()];
            n = p < 200 ? p + 1u : (p - 199u) * 1024u;
        }
        n = std::min(n, input.size() - at);
        result = demuxer(ctx, input.subspan(at, n));
        check(result == RUN_OK || result == RUN_OUTPUT_FAILED,
              "result == RUN_OK || result == RUN_OUTPUT_FAILED");
        if (result == RUN_OK) {
            checkStateBetweenCalls(ctx);
        }
        at += n;
    }
    if (ctx.writer.framesWritten() == 0) {
        ctx.writer.abandonOutput();
        return {};
    }
    check(ctx.writer.closeOutput(), "ctx.writer.closeOutput()");
    check(sinks.openSinks() == 0, "sinks.openSinks() == 0");
    const std::vector<std::uint8_t>* avi = sinks.find("out.avi");
    check(avi != nullptr, "avi != nullptr");
    return *avi;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ConversionContext* ctx = [] {
        auto* c = new ConversionContext;
        check(c->allocateBuffers(), "c->allocateBuffers()");
        return c;
    }();
    if (size < 1) {
        return 0;
    }
    // The first byte says how many of the next bytes are piece sizes.
    const std::size_t sizeBytes = std::min<std::size_t>(data[0] % 16 + 1, size - 1);
    const std::span<const std::uint8_t> pieces(data + 1, sizeBytes);
    // Bytes still held when the input ends are never examined, and which bytes those are
    // depends on where the chunks end: a header near the end is accepted in one run and left
    // held in another. Sixteen bytes that can neither start nor end a start code behind the
    // input make every header in it examined, however the input is cut.
    static std::vector<std::uint8_t> padded;
    padded.assign(data + 1 + sizeBytes, data + size);
    padded.insert(padded.end(), CARRY_BYTES, 0xFF);
    const std::span<const std::uint8_t> input(padded);

    RunResult fastResult = RUN_OK;
    const std::vector<std::uint8_t> fast = convert(&processChunk, *ctx, input, pieces, fastResult);
    RunResult referenceResult = RUN_OK;
    const std::vector<std::uint8_t> reference =
        convert(&reference::processChunk, *ctx, input, {}, referenceResult);
    check(fastResult == referenceResult, "fastResult == referenceResult");
    // A run stopped by its output (an eleventh frame size) stops at the same record whatever
    // the chunking, so its file is the same too.
    check(fast == reference, "fast == reference");
    return 0;
}
