#pragma once

#include "platform/source_reader.h"

namespace trunvex {

// The program's opener: plain files and named pipes.
SourceOpener& fileSourceOpener() noexcept;

}  // namespace trunvex
