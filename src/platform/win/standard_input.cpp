#include "platform/standard_input.h"

#include <windows.h>

#include "platform/win/handle_reader.h"
#include "platform/win/text.h"

namespace trunvex {
namespace {

// Reads a duplicate of the standard input handle, so that closing the reader leaves standard
// input open.
class StandardInputOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string&, std::string& failure) noexcept override {
        const HANDLE process = GetCurrentProcess();
        HANDLE own = INVALID_HANDLE_VALUE;
        if (!DuplicateHandle(process, GetStdHandle(STD_INPUT_HANDLE), process, &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            failure = win::errorText(GetLastError());
            return nullptr;
        }
        return win::readerFor(own, failure, false);
    }
};

}  // namespace

SourceOpener& standardInputOpener() noexcept {
    static StandardInputOpener opener;
    return opener;
}

}  // namespace trunvex
