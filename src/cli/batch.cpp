#include "cli/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "avi/avi_file.h"
#include "avi/avi_reader.h"
#include "avi/comparing_sink.h"
#include "cli/audit_report.h"
#include "cli/hashing_reader.h"
#include "cli/in_order_printer.h"
#include "cli/progress_bar.h"
#include "cli/source_tree.h"
#include "platform/file_sink.h"
#include "platform/paths.h"
#include "platform/stored_file.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The run's user interface in a batch: the message is kept for printing in order with the
// other jobs, progress goes to the shared bar.
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

std::optional<std::uint64_t> fileBytes(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t bytes = fs::file_size(pathFromUtf8(path), ec);
    return ec ? std::nullopt : std::optional<std::uint64_t>(bytes);
}

// The source's digest is always of the whole file: taken while it is read when the run read
// it all, from the file when the run stopped early (an eleventh frame size); none when the file
// could not be read (`rereadable` false) or not again (standard input). A digest that could
// not be made is left out of the report, and the reason says why.
void hashOutputs(JobRecord& record, bool rereadable, SourceHash* sourceHash) {
    std::string failure;
    if (sourceHash != nullptr && sourceHash->wholeSource) {
        record.sourceSha256 = sourceHash->hexDigest();
    } else if (rereadable && record.source != STANDARD_INPUT_NAME) {
        record.sourceSha256 = sha256OfFile(record.source, failure);
    }
    if (record.aviBytes) {
        record.aviSha256 = sha256OfFile(record.avi, failure);
    }
    if (!failure.empty() && record.reason.empty()) {
        record.reason = "no SHA-256: " + failure;
    }
}

// An AVI not older than its source is trusted only when it is whole; one that is not is
// converted again, and the report says why.
bool skipWholeAvi(JobRecord& record, const BatchJob& job, const BatchOptions& options) {
    if (!aviIsUpToDate(job)) {
        return false;
    }
    std::string failure;
    const std::unique_ptr<StoredBytes> avi = openStoredFile(job.avi, failure);
    const AviStructure structure =
        avi ? readAviStructure(*avi) : AviStructure{"it cannot be read: " + failure, {}};
    if (!structure.whole()) {
        record.redoneBecause = structure.fault;
        return false;
    }
    record.skipped = true;
    record.message = "skipped, the AVI is up to date";
    record.sourceBytes = fileBytes(record.source);
    record.aviBytes = avi->size();
    describeStoredAvi(record, structure.description);
    if (options.hash) {
        hashOutputs(record, true, nullptr);
    }
    return true;
}

// An AVI path made from the source's name is never written through a link.
SinkFactory& outputFiles(const BatchOptions& options, const BatchJob& job) {
    if (job.aviDerived) {
        return derivedFileSinkFactory(options.durable);
    }
    return options.durable ? durableFileSinkFactory() : fileSinkFactory();
}

void recordConversion(JobRecord& record, ConversionContext& ctx, const BatchJob& job,
                      const BatchOptions& options, ProgressBar* bar, SinkFactory& sinks) {
    // A folder that cannot be made shows as the AVI's open failure, with the reason the folder
    // failed rather than the AVI's own "No such file or directory".
    std::error_code folderError;
    if (options.makeFolders) {
        fs::create_directories(pathFromUtf8(job.avi).parent_path(), folderError);
    }
    std::optional<SourceHash> sourceHash;
    if (options.hash) {
        sourceHash.emplace();
    }
    HashingOpener sources(options.sources != nullptr ? *options.sources : commandLineSourceOpener(),
                          sourceHash ? &*sourceHash : nullptr);
    BatchRunUi ui(bar);
    const OnReadFailure onReadFailure = options.keepPartial && !options.verify
                                            ? OnReadFailure::KEEP_WHAT_WAS_READ
                                            : OnReadFailure::KEEP_EARLIER_FILE;
    const ConvertReport report =
        convertRecording(ctx, job.source, job.avi, ui, sources, sinks, onReadFailure);

    record.exitCode = exitCodeFor(report.outcome);
    record.message = ui.message;
    record.reason = folderError && report.outcome == CONVERT_OUTPUT_FAILED ? folderError.message()
                                                                           : report.systemReason;
    const bool opened = report.outcome != CONVERT_PATH_EMPTY &&
                        report.outcome != CONVERT_SOURCE_OPEN_FAILED &&
                        report.outcome != CONVERT_SAME_FILE;
    record.sourceBytes = fileBytes(job.source);
    if (job.source == STANDARD_INPUT_NAME || (!record.sourceBytes && opened)) {
        record.sourceBytes = report.summary.bytesRead;
    }
    const bool partial =
        report.outcome == CONVERT_READ_FAILED && onReadFailure == OnReadFailure::KEEP_WHAT_WAS_READ;
    record.bytesRead = report.summary.bytesRead;
    describeOutput(record, report.summary, report.aviKept);
    record.aviPartial = report.aviKept && partial;
    if (report.aviKept) {
        record.aviBytes = fileBytes(job.avi);
    }
    if (options.hash) {
        hashOutputs(record, opened && report.outcome != CONVERT_READ_FAILED,
                    sourceHash ? &*sourceHash : nullptr);
    }
}

void recordDifference(JobRecord& record, std::optional<std::uint64_t> at) {
    record.verdict = "differs";
    record.differsAt = at;
    record.exitCode = EXIT_DIFFERS;
    record.message = at ? "the AVI differs from this conversion at byte " + std::to_string(*at)
                        : "the AVI differs from this conversion: there is none";
}

// In place of an AVI that cannot be opened: a source that gives no AVI then agrees with it.
class NoStoredBytes final : public StoredBytes {
public:
    std::uint64_t size() const noexcept override { return 0; }
    bool readAt(std::uint64_t, std::span<std::uint8_t>) noexcept override { return false; }
    std::string errorText() const override { return {}; }
};

// Converts without writing anything, comparing each byte with the AVI at its path.
void verifyAvi(JobRecord& record, ConversionContext& ctx, const BatchJob& job,
               const BatchOptions& options, ProgressBar* bar) {
    std::string failure;
    std::unique_ptr<StoredBytes> avi = openStoredFile(job.avi, failure);
    NoStoredBytes none;
    ComparingSinkFactory comparison(avi ? *avi : none, HEADER_RESERVE_BYTES);
    recordConversion(record, ctx, job, options, bar, comparison);
    record.aviPartial = false;
    if (record.exitCode != 0 || !comparison.comparison().done) {
        return;  // the conversion itself failed: said so as for a conversion
    }
    if (!avi) {
        recordDifference(record, std::nullopt);
        record.reason = failure;
        return;
    }
    record.aviBytes = avi->size();
    if (comparison.comparison().firstDifference) {
        recordDifference(record, comparison.comparison().firstDifference);
        return;
    }
    record.verdict = "verified";
    record.message = "verified, the AVI is this conversion byte for byte";
}

JobRecord runJob(ConversionContext& ctx, const BatchJob& job, const BatchOptions& options,
                 ProgressBar* bar) {
    const Clock::time_point start = Clock::now();
    JobRecord record;
    record.source = job.source;
    record.avi = job.avi;
    if (!job.unreadableFolder.empty()) {
        record.exitCode = exitCodeFor(CONVERT_SOURCE_OPEN_FAILED);
        record.message = UNREADABLE_FOLDER_TEXT;
        record.reason = job.unreadableFolder;
    } else if (options.verify) {
        verifyAvi(record, ctx, job, options, bar);
    } else if (options.skipExisting && skipWholeAvi(record, job, options)) {
        if (bar != nullptr) {
            bar->advance(job.sourceBytes);
        }
    } else {
        recordConversion(record, ctx, job, options, bar, outputFiles(options, job));
    }
    record.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    return record;
}

std::uint64_t totalSourceBytes(const std::vector<BatchJob>& jobs) {
    std::uint64_t total = 0;
    for (const BatchJob& job : jobs) {
        total += job.sourceBytes;
    }
    return total;
}

// What an interruption needs to write the report lines that wait behind an unfinished job.
struct WaitingLines {
    InOrderPrinter& printer;
    std::mutex& lock;
};

// Polled rather than a timed lock: the thread checker cannot see a timed lock taken, and would
// report every line written here as a race.
bool lockWithin(std::mutex& lock, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void writeWaitingLinesOnInterruption(void* context) noexcept {
    auto* waiting = static_cast<WaitingLines*>(context);
    // A worker stuck on a standard output nobody reads must not keep the process from ending;
    // the lock is kept, as the process ends next.
    if (!lockWithin(waiting->lock, std::chrono::seconds(1))) {
        return;
    }
    try {
        waiting->printer.writeWaitingLines();
    } catch (const std::exception&) {
        // out of memory for a line: the lines written so far stay as they are
    }
}

// Each worker's context is allocated before any starts: a worker without buffers would only
// fail jobs that one with buffers can convert. Short of memory, fewer run at once; with no
// buffers at all, none.
std::vector<std::unique_ptr<ConversionContext>> allocateContexts(std::size_t wanted) {
    std::vector<std::unique_ptr<ConversionContext>> contexts;
    contexts.reserve(wanted);
    while (contexts.size() < wanted) {
        std::unique_ptr<ConversionContext> ctx(new (std::nothrow) ConversionContext);
        if (!ctx || !ctx->allocateBuffers()) {
            break;
        }
        contexts.push_back(std::move(ctx));
    }
    return contexts;
}

// Without buffers every job fails for want of them.
JobRecord outOfMemoryRecord(const BatchJob& job) {
    JobRecord record;
    record.source = job.source;
    record.avi = job.avi;
    record.exitCode = EXIT_OUT_OF_MEMORY;
    record.reason = OUT_OF_MEMORY_TEXT;
    return record;
}

// Runs `worker` once per context, the first on this thread, and returns when all are done; with
// no context, once on this thread with none.
template <typename Worker>
void runOnEveryContext(const std::vector<std::unique_ptr<ConversionContext>>& contexts,
                       Worker& worker) {
    std::vector<std::thread> pool;
    pool.reserve(contexts.size());
    for (std::size_t t = 1; t < contexts.size(); ++t) {
        try {
            pool.emplace_back(worker, contexts[t].get());
        } catch (const std::exception&) {
            break;  // no thread to be had (memory, process limit): the others share the work
        }
    }
    worker(contexts.empty() ? nullptr : contexts.front().get());
    for (std::thread& t : pool) {
        t.join();
    }
}

}  // namespace

std::string cliAviPath(const std::string& sourcePath) {
    return utf8FromPath(pathFromUtf8(sourcePath).replace_extension(".avi"));
}

int exitCodeFor(ConvertOutcome outcome) noexcept {
    return static_cast<int>(outcome);
}

int runBatch(const std::vector<BatchJob>& jobs, const BatchOptions& options, std::FILE* out,
             std::FILE* err) {
    const Clock::time_point start = Clock::now();
    std::optional<ProgressBar> bar;
    if (options.progress) {
        bar.emplace(err, totalSourceBytes(jobs), jobs.size());
    }
    InOrderPrinter printer(jobs.size(), options, out, err);
    std::atomic<std::size_t> next{0};
    std::mutex printLock;
    WaitingLines waiting{printer, printLock};
    if (options.report != nullptr) {
        setLastWordsOnInterruption(&writeWaitingLinesOnInterruption, &waiting);
    }

    const std::vector<std::unique_ptr<ConversionContext>> contexts = allocateContexts(
        std::max<std::size_t>(1, std::min<std::size_t>(options.jobs, jobs.size())));
    auto worker = [&](ConversionContext* ctx) {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            JobRecord record = ctx != nullptr
                                   ? runJob(*ctx, jobs[i], options, bar ? &*bar : nullptr)
                                   : outOfMemoryRecord(jobs[i]);
            const std::lock_guard<std::mutex> guard(printLock);
            if (bar) {
                bar->clear();
                bar->fileDone();
            }
            printer.finish(i, std::move(record));
        }
    };
    runOnEveryContext(contexts, worker);
    setLastWordsOnInterruption(nullptr, nullptr);
    for (const std::unique_ptr<ConversionContext>& ctx : contexts) {
        ctx->releaseBuffers();
    }
    if (bar) {
        bar->finish();
    }
    if (options.summary) {
        printSummary(printer.totals(), options.verify,
                     std::chrono::duration<double>(Clock::now() - start).count(), err);
    }
    return printer.exitStatus();
}

}  // namespace trunvex
