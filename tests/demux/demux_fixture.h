#pragma once

// Runs recordings through processChunk into an in-memory AVI, in pieces of chosen sizes.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "avi_samples.h"
#include "demux/conversion_context.h"
#include "demux/stream_demuxer.h"
#include "support/test_sinks.h"

namespace trunvex::testing {

inline constexpr const char* OUTPUT_PATH = "out.avi";

class DemuxFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ctx.allocateBuffers());
        startRun();
    }

    // What feed() runs: the program's demultiplexer unless a test picks the reference build.
    RunResult (*demuxer)(ConversionContext&,
                         std::span<const std::uint8_t>) noexcept = &processChunk;

    // The starting state of a run, writing to OUTPUT_PATH in memory.
    void startRun() {
        ctx.writer.resetOutput();
        ctx.writer.setOutputPath(OUTPUT_PATH);
        ctx.writer.setSinkFactory(sinks);
        ctx.resetDemuxer();
    }

    // Feeds `bytes` in pieces whose sizes `nextPiece` gives, stopping at a result of 2.
    RunResult feed(const std::vector<std::uint8_t>& bytes,
                   const std::function<std::size_t()>& nextPiece) {
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t n = std::min(nextPiece(), bytes.size() - at);
            const RunResult r = demuxer(ctx, std::span(bytes).subspan(at, n));
            if (r != RUN_OK) {
                return r;
            }
            at += n;
        }
        return RUN_OK;
    }

    RunResult feed(const std::vector<std::uint8_t>& bytes, std::size_t piece = READ_CHUNK_BYTES) {
        return feed(bytes, [piece] { return piece; });
    }

    // Closes the output and returns the AVI bytes (empty when nothing was written).
    std::vector<std::uint8_t> finishAvi() {
        if (ctx.writer.framesWritten() == 0) {
            ctx.writer.abandonOutput();
            return {};
        }
        EXPECT_TRUE(ctx.writer.closeOutput());
        const std::vector<std::uint8_t>* avi = sinks.find(OUTPUT_PATH);
        return avi != nullptr ? *avi : std::vector<std::uint8_t>{};
    }

    std::vector<AviSample> finishSamples() { return listSamples(finishAvi()); }

    MemorySinkFactory sinks;
    ConversionContext ctx;
};

}  // namespace trunvex::testing
