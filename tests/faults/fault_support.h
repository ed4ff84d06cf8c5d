#pragma once

// Shared by the fault tests: sources that fail or crawl, snapshots that prove a file was not
// touched, directory listings that catch leftovers, and ffprobe's packet counts.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/source_reader.h"
#include "run/conversion_run.h"
#include "support/riff_walker.h"
#include "support/test_support.h"

namespace trunvex::test {

using Bytes = std::vector<std::uint8_t>;

// A run's user interface that only keeps the message.
class SilentUi final : public RunUi {
public:
    void setConvertCaption(std::string_view) override {}
    void showMessage(std::string_view text) override { message = text; }
    std::string message;
};

// Opens real files through `inner`; the failAtRead-th read (counted over every reader it
// opened, from 1) fails with `errorNumber`, and every read sleeps `delayMicros` first. A
// reader also fails at byte failAtByte of its file: a read returns the bytes before it, the
// next one fails, as a read running into a bad sector does.
class FaultySourceOpener final : public SourceOpener {
public:
    explicit FaultySourceOpener(SourceOpener& innerOpener) : inner(innerOpener) {}
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override;

    int failAtRead = 0;  // 0: never
    std::uint64_t failAtByte = UINT64_MAX;
    int errorNumber = 5;  // EIO
    unsigned delayMicros = 0;
    int readsSeen = 0;

private:
    SourceOpener& inner;
};

// Everything that tells whether a file was touched: its bytes and its modification time.
struct FileSnapshot {
    bool exists = false;
    Bytes bytes;
    std::int64_t mtimeNanos = 0;
    bool operator==(const FileSnapshot&) const = default;
};
[[nodiscard]] FileSnapshot snapshotOf(const std::filesystem::path& path);

struct ProbeResult {
    int exitCode = -1;
    std::string errors;      // ffprobe -v error's output on stderr
    StreamTotalsMap totals;  // by stream index, as ffprobe reads them
};
// ffprobe's reading of every packet of an AVI; callers skip when ffprobe is missing.
// `skipDecoderMessages`: leave out what the video decoders say about the frames' own bytes
// (for frames made of noise).
[[nodiscard]] ProbeResult probeAvi(const std::filesystem::path& avi,
                                   bool skipDecoderMessages = false);

// A recording from encoded content (H.264 NAL lists, ADPCM, junk and skip records), about
// `seconds` long at 352x288; made once per process and size. Empty when ffmpeg is missing.
[[nodiscard]] const Bytes& encodedRecording(double seconds);

// A recording of MPEG-4 key frames with `frameBytes` of noise each and PCM16 audio between
// them; about frames * frameBytes long. Needs no ffmpeg.
[[nodiscard]] Bytes syntheticRecording(int frames, std::uint32_t frameBytes);

}  // namespace trunvex::test
