#pragma once

#include "platform/source_reader.h"

namespace trunvex {

// An opener whose every source is the process's standard input, whatever the path: for a
// recording piped or redirected in. Its size is known only when standard input is a file. A
// terminal there is refused (on POSIX): nobody types a recording.
SourceOpener& standardInputOpener() noexcept;

}  // namespace trunvex
