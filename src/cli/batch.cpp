#include "cli/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
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
#include "cli/complaint.h"
#include "cli/name_text.h"
#include "cli/progress_bar.h"
#include "cli/sha256.h"
#include "cli/source_tree.h"
#include "common/failure_texts.h"
#include "platform/file_sink.h"
#include "platform/paths.h"
#include "platform/source_reader.h"
#include "platform/stored_file.h"

namespace trunvex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The message of a folder of a walked tree that could not be read, in place of a run's.
constexpr const char* UNREADABLE_FOLDER_TEXT = "the folder could not be read";

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

// The digest of the bytes read from a source, and whether they were all of it.
struct SourceHash : Sha256 {
    bool wholeSource = false;
};

// Passes every byte read from the source through a hash on its way to the run.
class HashingReader final : public SourceReader {
public:
    HashingReader(std::unique_ptr<SourceReader> source, SourceHash& sha) noexcept
        : inner(std::move(source)), hash(sha) {}
    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        const std::int64_t n = inner->read(into);
        if (n > 0) {
            hash.update(into.first(static_cast<std::size_t>(n)));
        }
        hash.wholeSource = hash.wholeSource || n == 0;
        return n;
    }
    std::uint64_t size() const noexcept override { return inner->size(); }
    bool isSameFileAs(const std::string& path) const noexcept override {
        return inner->isSameFileAs(path);
    }
    std::string errorText() const override { return inner->errorText(); }

private:
    std::unique_ptr<SourceReader> inner;
    SourceHash& hash;
};

class HashingOpener final : public SourceOpener {
public:
    HashingOpener(SourceOpener& sources, SourceHash* sha) noexcept : inner(sources), hash(sha) {}
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override {
        std::unique_ptr<SourceReader> source = inner.open(path, failure);
        if (!source || hash == nullptr) {
            return source;
        }
        std::unique_ptr<SourceReader> hashed(new (std::nothrow)
                                                 HashingReader(std::move(source), *hash));
        if (!hashed) {
            failure = NO_MEMORY_TEXT;
        }
        return hashed;
    }

private:
    SourceOpener& inner;
    SourceHash* hash;
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

struct Totals {
    std::size_t converted = 0;
    std::size_t skipped = 0;
    std::size_t failed = 0;
    std::size_t verified = 0;
    std::size_t differ = 0;
    std::uint64_t bytes = 0;
};

const std::string& reasonPath(const JobRecord& r) {
    const bool sourceFailed = r.exitCode == exitCodeFor(CONVERT_READ_FAILED) ||
                              r.exitCode == exitCodeFor(CONVERT_SOURCE_OPEN_FAILED);
    return sourceFailed ? r.source : r.avi;
}

// A folder among the sources is converted only with -r; the reason says so, as cp's does.
std::string_view hintFor(const JobRecord& r) {
    std::error_code ignored;
    const bool folder = r.exitCode == exitCodeFor(CONVERT_SOURCE_OPEN_FAILED) &&
                        r.source != STANDARD_INPUT_NAME && r.message != UNREADABLE_FOLDER_TEXT &&
                        fs::is_directory(pathFromUtf8(r.source), ignored);
    return folder ? " (-r converts the recordings in it)" : "";
}

// Prints the finished jobs in the order given and writes their report lines; called with
// the batch's lock held, after each job. Only jobs done ahead of an unfinished one wait here,
// so a long batch stays small; an interruption writes their lines too (writeWaitingLines).
class InOrderPrinter {
public:
    InOrderPrinter(std::size_t jobCount, const BatchOptions& batchOptions, std::FILE* outStream,
                   std::FILE* errStream)
        : count(jobCount), options(batchOptions), out(outStream), err(errStream) {}

    void finish(std::size_t index, JobRecord record) {
        waiting.emplace(index, std::move(record));
        for (auto at = waiting.begin(); at != waiting.end() && at->first == next;
             at = waiting.erase(at), ++next) {
            print(at->second);
            if (firstFailure == 0) {
                firstFailure = at->second.exitCode;
            }
        }
    }

    // The report lines of the jobs done ahead of an unfinished one, in list order after the
    // lines already written: an interrupted batch loses no finished job's line.
    void writeWaitingLines() {
        for (const auto& [index, record] : waiting) {
            writeLine(record);
        }
        waiting.clear();
    }

    [[nodiscard]] int exitStatus() const {
        if (firstFailure != 0) {
            return firstFailure;
        }
        return reportFailed ? EXIT_REPORT_FAILED : 0;
    }
    [[nodiscard]] const Totals& totals() const noexcept { return sums; }

private:
    void print(const JobRecord& r) {
        const bool named = count > 1 || options.nameSources;
        if (r.exitCode != 0) {
            complainOfFailure(err, named ? std::string_view(r.source) : std::string_view(),
                              r.message, reasonPath(r), r.reason, hintFor(r));
        } else if (!options.quiet) {
            if (named) {
                printShownName(out, r.source);
                std::fputs(": ", out);
            }
            std::fprintf(out, "%s\n", r.message.c_str());
            std::fflush(out);
        }
        add(r);
        writeLine(r);
    }

    void writeLine(const JobRecord& r) {
        if (options.report != nullptr && !options.report->write(r) && !reportFailed) {
            reportFailed = true;
            complain(err, shownName(options.report->path()), options.report->failure());
        }
    }

    void add(const JobRecord& r) {
        if (r.skipped) {
            ++sums.skipped;
            return;
        }
        if (r.verdict == "verified") {
            ++sums.verified;
        } else if (r.verdict == "differs") {
            ++sums.differ;
        } else {
            ++(r.exitCode == 0 ? sums.converted : sums.failed);
        }
        sums.bytes += r.bytesRead;
    }

    std::size_t count;
    const BatchOptions& options;
    std::FILE* out;
    std::FILE* err;
    std::map<std::size_t, JobRecord> waiting;
    std::size_t next = 0;
    int firstFailure = 0;
    Totals sums;
    bool reportFailed = false;
};

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

void printSummary(const Totals& t, bool verify, double seconds, std::FILE* err) {
    if (verify) {
        std::fprintf(err,
                     "trunvex-cli: %zu verified, %zu differ, %zu failed, %llu bytes read in "
                     "%.1f s\n",
                     t.verified, t.differ, t.failed, static_cast<unsigned long long>(t.bytes),
                     seconds);
        return;
    }
    std::fprintf(err,
                 "trunvex-cli: %zu converted, %zu skipped, %zu failed, %llu bytes read in "
                 "%.1f s\n",
                 t.converted, t.skipped, t.failed, static_cast<unsigned long long>(t.bytes),
                 seconds);
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

    // Each worker's context is allocated before any starts: a worker without buffers would
    // only fail jobs that one with buffers can convert. Short of memory, fewer run at once;
    // with no buffers at all, every job fails for want of them.
    const std::size_t wanted =
        std::max<std::size_t>(1, std::min<std::size_t>(options.jobs, jobs.size()));
    std::vector<std::unique_ptr<ConversionContext>> contexts;
    contexts.reserve(wanted);
    while (contexts.size() < wanted) {
        std::unique_ptr<ConversionContext> ctx(new (std::nothrow) ConversionContext);
        if (!ctx || !ctx->allocateBuffers()) {
            break;
        }
        contexts.push_back(std::move(ctx));
    }

    auto worker = [&](ConversionContext* ctx) {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            JobRecord record;
            if (ctx != nullptr) {
                record = runJob(*ctx, jobs[i], options, bar ? &*bar : nullptr);
            } else {
                record.source = jobs[i].source;
                record.avi = jobs[i].avi;
                record.exitCode = EXIT_OUT_OF_MEMORY;
                record.reason = OUT_OF_MEMORY_TEXT;
            }
            const std::lock_guard<std::mutex> guard(printLock);
            if (bar) {
                bar->clear();
                bar->fileDone();
            }
            printer.finish(i, std::move(record));
        }
    };

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
