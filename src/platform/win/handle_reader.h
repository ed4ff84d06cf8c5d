#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/source_reader.h"

namespace trunvex::win {

// A reader that owns `handle` (a file, pipe or console opened for reading); null, with the
// handle closed and `failure` set, when it is a folder or cannot be asked about. Its size is
// known for files only; a file is identified by volume serial number and file index.
[[nodiscard]] std::unique_ptr<SourceReader> readerFor(HANDLE handle, std::string& failure) noexcept;

}  // namespace trunvex::win
