#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/codes.h"
#include "demux/conversion_context.h"
#include "run/run_summary.h"

namespace trunvex {

class SourceOpener;
class SinkFactory;

// What the run needs of a user interface: the convert button's caption, one message box
// with one OK button (returns when dismissed), and, between chunks, how far the run is.
class RunUi {
public:
    virtual ~RunUi() = default;
    virtual void setConvertCaption(std::string_view caption) = 0;
    virtual void showMessage(std::string_view text) = 0;
    // Called after every chunk read; `total` is 0 when the size is unknown.
    virtual void showProgress(std::uint64_t bytesRead, std::uint64_t total) {
        (void)bytesRead;
        (void)total;
    }
};

// How a click on the convert button ended. The first four are the run's own results.
enum ConvertOutcome : std::int32_t {
    CONVERT_OK = RUN_OK,
    CONVERT_READ_FAILED = RUN_READ_FAILED,
    CONVERT_OUTPUT_FAILED = RUN_OUTPUT_FAILED,
    CONVERT_NO_FRAMES = RUN_NO_FRAMES,
    CONVERT_PATH_EMPTY = 4,
    CONVERT_SOURCE_OPEN_FAILED = 5,
    CONVERT_SAME_FILE = 6,
};

// The message shown for an outcome, byte for byte.
[[nodiscard]] std::string_view messageFor(ConvertOutcome outcome) noexcept;

struct ConvertReport {
    ConvertOutcome outcome = CONVERT_OK;
    // The system's reason behind a source that could not be opened, a failed read or output;
    // empty otherwise.
    std::string systemReason;
    // A complete AVI of what was converted was left at the AVI path: after success, and after a
    // failed read or an eleventh frame size that stopped the run early.
    bool aviKept = false;
    // What the run read and wrote; all zero when the source was never read.
    RunSummary summary;
};

// What a run leaves at the AVI path when reading the source failed after some of it was
// converted: the AVI of what was read (the dialog, salvaging failing media), or what was
// there before (a batch, which must never pass a part off as the whole).
enum class OnReadFailure { KEEP_WHAT_WAS_READ, KEEP_EARLIER_FILE };

// One conversion run, from the two paths to the one message: path checks, the source opened
// and read in blocks handed to processChunk in READ_CHUNK_BYTES chunks, the outcome and its
// message.
// The context's buffers must be allocated. An AVI path that the sinks refuse outright (a
// device or a folder there) fails the run before the source is read. The output is released
// on every outcome: a complete AVI stays at aviPath after success, and after a failed read
// unless `onReadFailure` says otherwise; after "no frames" or a failed write, aviPath is left
// as it was.
ConvertReport convertRecording(ConversionContext& ctx, const std::string& sourcePath,
                               const std::string& aviPath, RunUi& ui);
ConvertReport convertRecording(ConversionContext& ctx, const std::string& sourcePath,
                               const std::string& aviPath, RunUi& ui, SourceOpener& sources,
                               SinkFactory& sinks,
                               OnReadFailure onReadFailure = OnReadFailure::KEEP_WHAT_WAS_READ);

}  // namespace trunvex
