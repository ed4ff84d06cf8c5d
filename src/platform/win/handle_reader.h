#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/source_reader.h"

namespace trunvex::win {

// A reader that owns `handle` (a file, pipe or console opened for reading); null, with the
// handle closed and `failure` set, when it is a folder or cannot be asked about. Its size is
// known for files only; a file is identified by volume serial number and file index. Without
// `identityRequired`, a file that will not say who it is (Wine's standard input redirected
// from a file) is read all the same, as the same file as no path.
[[nodiscard]] std::unique_ptr<SourceReader> readerFor(HANDLE handle, std::string& failure,
                                                      bool identityRequired = true) noexcept;

}  // namespace trunvex::win
