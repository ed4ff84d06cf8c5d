#include "cli/batch.h"

#include <atomic>
#include <cctype>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "cli/progress_bar.h"
#include "platform/source_file.h"

namespace trunvex {
namespace {

// The run's user interface on a terminal: the message is kept for printing in order with
// the other jobs, progress goes to the shared bar.
class BatchRunUi final : public RunUi {
public:
    explicit BatchRunUi(ProgressBar* bar) noexcept : progress(bar) {}
    void setConvertCaption(std::string_view) override {}
    void showMessage(std::string_view text) override { message = text; }
    void showProgress(std::uint64_t bytesRead, std::uint64_t) override {
        if (progress != nullptr) {
            progress->advance(bytesRead - reported);
        }
        reported = bytesRead;
    }

    std::string message;

private:
    ProgressBar* progress;
    std::uint64_t reported = 0;
};

struct JobResult {
    int exitCode = 0;
    std::string message;
    std::string reason;
};

JobResult convertOne(ConversionContext& ctx, const BatchJob& job, ProgressBar* bar) {
    BatchRunUi ui(bar);
    const ConvertReport report = convertRecording(ctx, job.source, job.avi, ui);
    return {exitCodeFor(report.outcome), ui.message, report.systemReason};
}

std::uint64_t totalSourceBytes(const std::vector<BatchJob>& jobs) {
    std::uint64_t total = 0;
    for (const BatchJob& job : jobs) {
        std::string ignored;
        if (auto source = fileSourceOpener().open(job.source, ignored)) {
            total += source->size();
        }
    }
    return total;
}

bool endsWithAvi(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return tail == ".avi";
}

// One spelling for every path that names the same place: absolute, with ".", ".." and the
// links of its existing part resolved.
std::string placeOf(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) {
        return path;
    }
    const std::filesystem::path place = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal().string() : place.string();
}

}  // namespace

std::string cliAviPath(const std::string& sourcePath) {
    return std::filesystem::path(sourcePath).replace_extension(".avi").string();
}

std::vector<BatchJob> planJobs(const std::vector<std::string>& paths, const std::string& output,
                               std::string& failure) {
    if (!output.empty() && paths.size() == 1) {
        return {{paths[0], output}};
    }
    if (output.empty() && paths.size() == 2 && endsWithAvi(paths[1])) {
        return {{paths[0], paths[1]}};
    }
    std::vector<BatchJob> jobs;
    std::vector<std::pair<std::string, std::string>> places;  // source's and AVI's, per job
    for (const std::string& source : paths) {
        BatchJob job{source, cliAviPath(source)};
        const std::string sourcePlace = placeOf(job.source);
        const std::string aviPlace = placeOf(job.avi);
        bool again = false;
        for (std::size_t i = 0; i < jobs.size() && !again; ++i) {
            if (places[i].second != aviPlace) {
                continue;
            }
            if (places[i].first != sourcePlace) {
                failure = jobs[i].source + " and " + job.source + " would both be converted to " +
                          job.avi;
                return {};
            }
            again = true;
        }
        if (!again) {
            places.emplace_back(sourcePlace, aviPlace);
            jobs.push_back(std::move(job));
        }
    }
    return jobs;
}

int exitCodeFor(ConvertOutcome outcome) noexcept {
    return static_cast<int>(outcome);
}

int runBatch(const std::vector<BatchJob>& jobs, const BatchOptions& options, std::FILE* out,
             std::FILE* err) {
    std::optional<ProgressBar> bar;
    if (options.progress) {
        bar.emplace(err, totalSourceBytes(jobs));
    }
    std::vector<JobResult> results(jobs.size());
    std::atomic<std::size_t> next{0};
    std::mutex printLock;
    const bool prefix = jobs.size() > 1;

    auto worker = [&] {
        // One context per worker, allocated once for all its jobs.
        auto ctx = std::make_unique<ConversionContext>();
        const bool ready = ctx->allocateBuffers();
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            JobResult result = ready ? convertOne(*ctx, jobs[i], bar ? &*bar : nullptr)
                                     : JobResult{EXIT_OUT_OF_MEMORY, {}, "out of memory"};
            const std::lock_guard<std::mutex> guard(printLock);
            if (bar) {
                bar->clear();
            }
            const std::string lead = prefix ? jobs[i].source + ": " : std::string();
            if (!result.message.empty()) {
                std::fprintf(out, "%s%s\n", lead.c_str(), result.message.c_str());
                std::fflush(out);
            }
            if (!result.reason.empty()) {
                std::fprintf(err, "trunvex-cli: %s: %s\n",
                             (result.exitCode == exitCodeFor(CONVERT_READ_FAILED) ? jobs[i].source
                                                                                  : jobs[i].avi)
                                 .c_str(),
                             result.reason.c_str());
            }
            results[i] = std::move(result);
        }
        ctx->releaseBuffers();
    };

    const unsigned threads =
        std::max(1u, std::min<unsigned>(options.jobs, static_cast<unsigned>(jobs.size())));
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) {
        pool.emplace_back(worker);
    }
    worker();
    for (std::thread& t : pool) {
        t.join();
    }
    if (bar) {
        bar->finish();
    }
    for (const JobResult& r : results) {
        if (r.exitCode != 0) {
            return r.exitCode;
        }
    }
    return 0;
}

}  // namespace trunvex
