// Throughput of the demultiplexer over recordings in memory, next to a memcpy of the same
// bytes: data with no valid record (the start-code search alone), data made of nothing but
// rejected start codes, and a whole recording converted into a sink that keeps nothing.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "avi/null_sink.h"
#include "demux/conversion_context.h"
#include "demux/stream_demuxer.h"
#include "mkrecording/recording_builder.h"

namespace trunvex {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t INPUT_BYTES = 64u << 20;

// Random bytes dense with 00 00 01 xx, none of which starts a record.
Bytes noRecords() {
    std::mt19937 rng(7);
    Bytes b(INPUT_BYTES);
    for (std::size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<std::uint8_t>(rng());
    }
    for (std::size_t i = 0; i + 4 <= b.size(); i += 8 + rng() % 24) {
        std::uint8_t kind = static_cast<std::uint8_t>(rng());
        while (kind == 0xF0 || kind == 0xF1 || (kind >= 0xFA && kind <= 0xFD)) {
            kind = static_cast<std::uint8_t>(rng());
        }
        b[i] = 0;
        b[i + 1] = 0;
        b[i + 2] = 1;
        b[i + 3] = kind;
    }
    return b;
}

// Start codes of every kind, one after the other: each one's header is made of the next
// codes, which no kind accepts.
Bytes rejectedCodes() {
    std::mt19937 rng(11);
    const std::uint8_t kinds[] = {0xFD, 0xFC, 0xFB, 0xFA, 0xF0, 0xF1};
    Bytes b(INPUT_BYTES);
    for (std::size_t i = 0; i + 4 <= b.size(); i += 4) {
        b[i] = 0;
        b[i + 1] = 0;
        b[i + 2] = 1;
        b[i + 3] = kinds[rng() % 6];
    }
    return b;
}

// H.264 in the NAL-list layout at about 2 Mbit/s with 40 ms ADPCM blocks, slice data as
// uniform bytes.
Bytes recording() {
    std::mt19937 rng(3);
    recording::RecordingBuilder builder;
    auto slice = [&](std::size_t n, std::uint8_t header) {
        Bytes u(n);
        for (auto& v : u) {
            v = static_cast<std::uint8_t>(rng());
        }
        u[0] = header;
        return u;
    };
    Bytes adpcm(164);
    for (auto& v : adpcm) {
        v = static_cast<std::uint8_t>(rng());
    }
    adpcm[2] = 16;
    adpcm[3] = 0;
    for (int frame = 0; builder.size() < INPUT_BYTES; ++frame) {
        if (frame % 50 == 0) {
            Bytes key = {2, 0, 0, 0, 10, 0, 0, 0, 4, 0, 0, 0};
            const Bytes sps = slice(10, 0x67);
            const Bytes pps = slice(4, 0x68);
            const Bytes idr = slice(60000, 0x65);
            key.insert(key.end(), sps.begin(), sps.end());
            key.insert(key.end(), pps.begin(), pps.end());
            key.insert(key.end(), idr.begin(), idr.end());
            builder.keyFrame(recording::KIND_H264_KEY, {0, 25, 704, 576}, key);
        } else {
            builder.deltaFrame(recording::KIND_H264_DELTA, slice(9000, 0x41));
        }
        builder.audio(AUDIO_ENC_ADPCM4, 2, adpcm);
    }
    return builder.take();
}

void runDemuxer(benchmark::State& state, const Bytes& input) {
    ConversionContext ctx;
    if (!ctx.allocateBuffers()) {
        state.SkipWithError("out of memory");
        return;
    }
    NullSinkFactory nowhere;
    for (auto _ : state) {
        ctx.writer.resetOutput();
        ctx.writer.setOutputPath("bench.avi");
        ctx.writer.setSinkFactory(nowhere);
        ctx.resetDemuxer();
        for (std::size_t at = 0; at < input.size(); at += READ_CHUNK_BYTES) {
            const std::size_t n = std::min<std::size_t>(READ_CHUNK_BYTES, input.size() - at);
            benchmark::DoNotOptimize(processChunk(ctx, std::span(input).subspan(at, n)));
        }
        ctx.writer.abandonOutput();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}

void BM_MemcpyBaseline(benchmark::State& state) {
    const Bytes input = noRecords();
    Bytes out(input.size());
    for (auto _ : state) {
        std::memcpy(out.data(), input.data(), input.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}

void BM_ScanNoRecords(benchmark::State& state) {
    runDemuxer(state, noRecords());
}
void BM_ScanRejectedCodes(benchmark::State& state) {
    runDemuxer(state, rejectedCodes());
}
void BM_ProcessRecording(benchmark::State& state) {
    runDemuxer(state, recording());
}

BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanNoRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanRejectedCodes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessRecording)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trunvex
