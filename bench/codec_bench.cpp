// Throughput of the payload conversions, each next to a memcpy of the same input bytes so
// the figures can be read as a ratio on whatever machine runs them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/audio_decode.h"
#include "codec/nal_repack.h"
#include "common/codes.h"
#include "support/reference_paths.h"

namespace trunvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Units as the repacker sees them: header byte first, no emulation prevention.
struct UnitSet {
    Bytes bytes;
    std::vector<std::span<const std::uint8_t>> units;
    std::size_t largest = 0;
};

UnitSet makeUnitSet(std::vector<Bytes> units) {
    UnitSet set;
    std::size_t total = 0;
    for (const Bytes& u : units) {
        total += u.size();
    }
    set.bytes.reserve(total);
    for (const Bytes& u : units) {
        set.bytes.insert(set.bytes.end(), u.begin(), u.end());
        set.largest = std::max(set.largest, u.size());
    }
    std::size_t pos = 0;
    for (const Bytes& u : units) {
        set.units.emplace_back(set.bytes.data() + pos, u.size());
        pos += u.size();
    }
    return set;
}

// Entropy-coded slice data is close to uniform bytes: zero pairs are rare. Frames of a
// size a 704 x 576 recording holds.
UnitSet randomSlices(unsigned zeroPercent) {
    std::mt19937 rng(42);
    std::uniform_int_distribution<unsigned> percent(0, 99), any(0, 255);
    std::vector<Bytes> units;
    for (int i = 0; i < 64; ++i) {
        Bytes u(i % 16 == 0 ? 120000 : 12000);
        for (auto& b : u) {
            b = static_cast<std::uint8_t>(percent(rng) < zeroPercent ? 0 : any(rng));
        }
        u[0] = i % 16 == 0 ? 0x65 : 0x41;
        units.push_back(std::move(u));
    }
    return makeUnitSet(std::move(units));
}

// The units of a short x264 encode, unescaped; empty when ffmpeg is not at hand.
UnitSet encodedSlices() {
    const auto path = std::filesystem::temp_directory_path() / "trunvex_bench_testsrc2.h264";
    const std::string command =
        "ffmpeg -y -v error -f lavfi -i testsrc2=size=704x576:rate=25 -t 4 -c:v libx264 "
        "-f h264 \"" +
        path.string() + "\"";
    if (std::system(command.c_str()) != 0) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    const Bytes stream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::filesystem::remove(path);
    std::vector<Bytes> units;
    Bytes* unit = nullptr;
    int zeros = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        const std::uint8_t b = stream[i];
        if (zeros >= 2 && b == 0x01) {
            if (unit != nullptr) {
                unit->resize(unit->size() - 2);  // the zeros of this start code
                while (!unit->empty() && unit->back() == 0) {
                    unit->pop_back();
                }
            }
            unit = &units.emplace_back();
            zeros = 0;
            continue;
        }
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        if (unit != nullptr) {
            unit->push_back(b);
        }
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return makeUnitSet(std::move(units));
}

const UnitSet& unitSet(int kind) {
    static const UnitSet uniform = randomSlices(0);
    static const UnitSet dense = randomSlices(30);
    static const UnitSet encoded = encodedSlices();
    return kind == 0 ? uniform : kind == 1 ? dense : encoded;
}

const char* unitSetName(int kind) {
    return kind == 0 ? "uniform" : kind == 1 ? "zeros30pct" : "x264";
}

template <typename Body>
void runOverUnits(benchmark::State& state, Body body) {
    const UnitSet& set = unitSet(static_cast<int>(state.range(0)));
    state.SetLabel(unitSetName(static_cast<int>(state.range(0))));
    if (set.units.empty()) {
        state.SkipWithError("ffmpeg not available");
        return;
    }
    Bytes out(REPACK_BUFFER_BYTES);
    for (auto _ : state) {
        for (const auto unit : set.units) {
            benchmark::DoNotOptimize(body(unit, std::span<std::uint8_t>(out)));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(set.bytes.size()));
}

void BM_RepackMemcpy(benchmark::State& state) {
    runOverUnits(state, [](std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
        std::memcpy(out.data(), in.data(), in.size());
        return out.data();
    });
}

void BM_RepackFast(benchmark::State& state) {
    runOverUnits(state, [](std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
        return repackNalUnit(in, out);
    });
}

void BM_RepackReference(benchmark::State& state) {
    runOverUnits(state, [](std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
        return reference::repackNalUnit(in, out);
    });
}

BENCHMARK(BM_RepackMemcpy)->DenseRange(0, 2);
BENCHMARK(BM_RepackFast)->DenseRange(0, 2);
BENCHMARK(BM_RepackReference)->DenseRange(0, 2);

// Audio frames at their caps: ADPCM blocks of 1028 bytes and A-law runs of 2048 bytes.
template <typename Body>
void runOverAudio(benchmark::State& state, std::size_t frameBytes, Body body) {
    std::mt19937 rng(3);
    Bytes input(frameBytes * 64);
    for (auto& b : input) {
        b = static_cast<std::uint8_t>(rng());
    }
    Bytes pcm(PCM_BUFFER_BYTES);
    for (auto _ : state) {
        for (std::size_t pos = 0; pos < input.size(); pos += frameBytes) {
            benchmark::DoNotOptimize(
                body(std::span<const std::uint8_t>(input).subspan(pos, frameBytes), pcm));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input.size()));
}

std::uint8_t* copyFrame(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    std::memcpy(out.data(), in.data(), in.size());
    return out.data();
}

void BM_AdpcmMemcpy(benchmark::State& state) {
    runOverAudio(state, ADPCM_MAX_INPUT_BYTES, copyFrame);
}

void BM_Adpcm(benchmark::State& state) {
    runOverAudio(state, ADPCM_MAX_INPUT_BYTES, [](auto in, std::span<std::uint8_t> out) {
        return decodeAudioFrame(in, AUDIO_ENC_ADPCM4, out);
    });
}

void BM_AlawMemcpy(benchmark::State& state) {
    runOverAudio(state, ALAW_MAX_INPUT_BYTES, copyFrame);
}

void BM_Alaw(benchmark::State& state) {
    runOverAudio(state, ALAW_MAX_INPUT_BYTES, [](auto in, std::span<std::uint8_t> out) {
        return decodeAudioFrame(in, AUDIO_ENC_ALAW, out);
    });
}

void BM_Pcm8(benchmark::State& state) {
    runOverAudio(state, 16000, [](auto in, std::span<std::uint8_t> out) {
        return decodeAudioFrame(in, AUDIO_ENC_PCM8, out);
    });
}

void BM_Pcm8Memcpy(benchmark::State& state) {
    runOverAudio(state, 16000, copyFrame);
}

BENCHMARK(BM_AdpcmMemcpy);
BENCHMARK(BM_Adpcm);
BENCHMARK(BM_AlawMemcpy);
BENCHMARK(BM_Alaw);
BENCHMARK(BM_Pcm8Memcpy);
BENCHMARK(BM_Pcm8);

}  // namespace
}  // namespace trunvex
