// A whole conversion run from memory into a memory sink; every AVI it leaves must be
// well-formed, and the run must end with exactly one message.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#include "fuzz_check.h"
#include "platform/source_reader.h"
#include "run/conversion_run.h"
#include "support/riff_walker.h"
#include "support/test_sinks.h"

namespace {

using namespace trunvex;

using fuzzing::check;

class InputSource final : public SourceOpener {
public:
    std::span<const std::uint8_t> bytes;
    std::unique_ptr<SourceReader> open(const std::string&, std::string&) noexcept override {
        return std::make_unique<Reader>(bytes);
    }

private:
    class Reader final : public SourceReader {
    public:
        explicit Reader(std::span<const std::uint8_t> b) : bytes(b) {}
        std::int64_t read(std::span<std::uint8_t> into) noexcept override {
            const std::size_t n = std::min(into.size(), bytes.size() - at);
            std::copy_n(bytes.data() + at, n, into.data());
            at += n;
            return static_cast<std::int64_t>(n);
        }
        std::uint64_t size() const noexcept override { return bytes.size(); }
        bool isSameFileAs(const std::string&) const noexcept override { return false; }
        std::string errorText() const override { return {}; }

    private:
        std::span<const std::uint8_t> bytes;
        std::size_t at = 0;
    };
};

class CountingUi final : public RunUi {
public:
    void setConvertCaption(std::string_view) override {}
    void showMessage(std::string_view) override { ++messages; }
    int messages = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ConversionContext* ctx = [] {
        auto* c = new ConversionContext;
        check(c->allocateBuffers(), "c->allocateBuffers()");
        return c;
    }();
    InputSource source;
    source.bytes = {data, size};
    MemorySinkFactory sinks;
    CountingUi ui;
    const ConvertReport report = convertRecording(*ctx, "in.264", "out.avi", ui, source, sinks);
    check(ui.messages == 1, "ui.messages == 1");
    check(sinks.openSinks() == 0, "sinks.openSinks() == 0");
    const std::vector<std::uint8_t>* avi = sinks.find("out.avi");
    if (report.outcome == CONVERT_OK) {
        check(avi != nullptr, "avi != nullptr");
    }
    if (avi != nullptr) {
        const AviCheck result = checkAvi(*avi);
        if (!result.ok()) {
            std::fprintf(stderr, "malformed AVI: %s\n", result.error.c_str());
            std::abort();
        }
    } else {
        check(report.outcome != CONVERT_OK, "report.outcome != CONVERT_OK");
    }
    return 0;
}
