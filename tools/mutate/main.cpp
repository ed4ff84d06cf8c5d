// trunvex-mutation-campaign: converts many damaged copies of base recordings with trunvex-cli
// and checks every promise the program makes about its outcome, its output and its source.

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "mutate/campaign.h"
#include "mutate/mutator.h"
#include "run/conversion_run.h"

namespace {

namespace fs = std::filesystem;
using namespace trunvex;
using namespace trunvex::mutate;

struct Base {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

// A seed per case, so that any one case can be run again on its own.
std::uint64_t caseSeed(std::uint64_t seed, std::uint64_t index) {
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ULL + index + 1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

struct Tally {
    std::mutex lock;
    std::array<std::uint64_t, 8> byStatus{};  // 0..6, then "did not exit by itself"
    std::uint64_t runs = 0;
    std::uint64_t failed = 0;
    std::uint64_t decoderComplaints = 0;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Converts mutated copies of base recordings with trunvex-cli, each under a time bound, "
        "and checks the exit status, the source, the AVI and ffprobe's reading of it against "
        "an in-process conversion of the same bytes."};
    CampaignSettings settings;
    std::vector<std::string> basePaths;
    std::uint64_t count = 1000;
    std::uint64_t seed = 1;
    std::int64_t only = -1;
    unsigned jobs = 1;
    std::string work = "mutation-work";
    std::string failures;
    app.add_option("bases", basePaths, "base recordings")->required()->check(CLI::ExistingFile);
    app.add_option("--cli", settings.cli, "the trunvex-cli program")->required();
    app.add_option("--ffprobe", settings.ffprobe, "the ffprobe program");
    app.add_option("-n,--count", count, "mutated recordings to run");
    app.add_option("--seed", seed, "campaign seed; case i uses a seed derived from it and i");
    app.add_option("--only", only, "run case INDEX alone (to reproduce a failure)");
    app.add_option("-j,--jobs", jobs, "cases at once")->check(CLI::Range(1u, 64u));
    app.add_option("--timeout", settings.timeoutSeconds, "seconds before a run counts as a hang");
    app.add_option("--work", work, "scratch directory");
    app.add_option("--failures", failures, "where failing inputs go (default WORK/failures)");
    CLI11_PARSE(app, argc, argv);
    settings.failures = failures.empty() ? fs::path(work) / "failures" : fs::path(failures);
    settings.cli = fs::absolute(settings.cli).string();

    std::vector<Base> bases;
    for (const std::string& path : basePaths) {
        std::ifstream in(path, std::ios::binary);
        bases.push_back({fs::path(path).stem().string(),
                         {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}});
    }
    const std::uint64_t first = only >= 0 ? static_cast<std::uint64_t>(only) : 0;
    const std::uint64_t end = only >= 0 ? first + 1 : count;
    std::atomic<std::uint64_t> next{first};
    Tally tally;
    const auto started = std::chrono::steady_clock::now();

    auto worker = [&](unsigned id) {
        ConversionContext ctx;
        if (!ctx.allocateBuffers()) {
            std::cerr << "out of memory\n";
            return;
        }
        const fs::path workDir = fs::path(work) / ("w" + std::to_string(id));
        for (std::uint64_t i = next++; i < end; i = next++) {
            const Base& base = bases[i % bases.size()];
            const Mutant mutant = mutateRecording(base.bytes, caseSeed(seed, i));
            const CaseResult r = runCase(settings, ctx, mutant.bytes, workDir, i % 2 == 1);
            std::lock_guard<std::mutex> hold(tally.lock);
            ++tally.runs;
            tally.decoderComplaints += r.decoderComplaints ? 1 : 0;
            ++tally.byStatus[r.status >= 0 && r.status <= 6 ? static_cast<std::size_t>(r.status)
                                                            : 7];
            if (r.problems.empty()) {
                continue;
            }
            ++tally.failed;
            const std::string name = std::to_string(i) + "-" + base.name;
            std::string report = "case " + std::to_string(i) + " (seed " + std::to_string(seed) +
                                 ", base " + base.name + " of " + std::to_string(bases.size()) +
                                 ", given in the same order): " + mutant.description + "\n";
            for (const std::string& p : r.problems) {
                report += "  " + p + "\n";
            }
            std::cout << "FAIL " << report << std::flush;
            saveFailure(settings, name, mutant.bytes, workDir, report);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned id = 0; id < jobs; ++id) {
        threads.emplace_back(worker, id);
    }
    for (std::thread& t : threads) {
        t.join();
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("campaign: %llu runs from %zu base recordings in %.1f s (-j %u, seed %llu)\n",
                static_cast<unsigned long long>(tally.runs), bases.size(), seconds, jobs,
                static_cast<unsigned long long>(seed));
    std::printf("outcomes:\n");
    for (int s = 0; s <= 7; ++s) {
        if (tally.byStatus[static_cast<std::size_t>(s)] == 0) {
            continue;
        }
        const std::string what =
            s == 7 ? std::string("no exit status (crash or hang)")
                   : "\"" + std::string(messageFor(static_cast<ConvertOutcome>(s))) + "\"";
        std::printf("  %d %-45s %llu\n", s == 7 ? -1 : s, what.c_str(),
                    static_cast<unsigned long long>(tally.byStatus[static_cast<std::size_t>(s)]));
    }
    std::printf("AVIs whose damaged frames ffprobe's video decoder complained about: %llu\n",
                static_cast<unsigned long long>(tally.decoderComplaints));
    std::printf("failures: %llu%s%s\n", static_cast<unsigned long long>(tally.failed),
                tally.failed > 0 ? ", inputs in " : "",
                tally.failed > 0 ? settings.failures.c_str() : "");
    std::printf("%llu passed, %llu failed\n",
                static_cast<unsigned long long>(tally.runs - tally.failed),
                static_cast<unsigned long long>(tally.failed));
    return tally.failed == 0 && tally.runs == end - first ? 0 : 1;
}
