#pragma once

#include <string>

#include "common/byte_sink.h"

namespace trunvex {

// The program's factory. The output path may hold nothing yet or a regular file, which is
// replaced; a symbolic link is written through (its target is replaced, the link stays).
// Anything else there (a directory, a device, a pipe, a socket, a dangling link) is refused,
// by checkPath() too. The new file is written unnamed where the system allows, otherwise under
// a hidden temporary name beside the target, and gets its name only at commit(), by a rename
// onto the target: nothing of an unfinished run stays visible. A replaced file's permission
// bits, and its owner and group where the process may set them, carry over; a new file
// follows the umask. Writes are gathered in a 1 MiB buffer; large payloads go straight
// through.
SinkFactory& fileSinkFactory() noexcept;

// The same, but each file reaches stable storage before its name appears, and its folder
// after the rename, so that a power cut leaves the old file or the whole new one, never a
// new name over missing data. commit() returns only then.
SinkFactory& durableFileSinkFactory() noexcept;

// As fileSinkFactory() (durableFileSinkFactory() when `durable`) for an AVI path the program made
// from a source's name (beside a walked recording, under an output folder): a symbolic link there
// is refused, never written through, so a link planted in a tree others can write to cannot make a
// batch replace a file outside it.
SinkFactory& derivedFileSinkFactory(bool durable = false) noexcept;

#ifndef _WIN32
// As fileSinkFactory(), always with a named temporary file, as on file systems that offer
// no unnamed ones (NFS); for tests.
SinkFactory& namedFileSinkFactory() noexcept;

// Test hook: while `refuse`, an unnamed file cannot be given a name, as on a system without
// /proc whose kernel links a descriptor only for privileged processes (before Linux 6.10).
// Call before the sinks it should affect are opened.
void refuseLinkingUnnamedFilesForTests(bool refuse) noexcept;
#endif

// For command-line programs; call once, before any other thread starts. From then on an
// interruption (Ctrl-C, a termination request, a closed terminal) removes the temporary files
// of every unfinished sink, no sink commits anymore, and the process ends as the interruption
// would have ended it: each output path keeps what it held before, or a complete new file that
// was committed earlier. A reader of standard output that goes away no longer ends the
// process; writes to it fail instead. False when the handling could not be set up.
bool cleanUpOnInterruption() noexcept;

// Work that must not be lost when an interruption ends the process (report lines of finished
// jobs): `last` is called with `context` once no sink commits anymore, before the process
// ends; nullptr clears it. Setting or clearing waits while it runs. The function must not wait
// for long: the interruption ends the process whatever it does.
void setLastWordsOnInterruption(void (*last)(void*) noexcept, void* context) noexcept;
// For the interruption handlers: runs what was set, at most once.
void sayLastWordsOnInterruption() noexcept;

}  // namespace trunvex
