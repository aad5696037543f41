// What the host implementation's files share: paths back to UTF-16, file times, and the facts and
// opens of files that files and held folders both use. Private to platform/host.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/host/host_system.h"

namespace platform {

// Windows file times count 100 ns from 1601; Unix times count seconds from 1970.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// In files.cpp.

// A host path as the seam gives paths back: UTF-16, written to buffer when it fits. Returns the
// length written, or the size needed (with its terminator) when it does not fit.
uint32_t PutWide(const std::string& utf8, char16_t* buffer, uint32_t capacity);
// What a file's status tells: a symbolic link stands for a reparse point, root and the program's
// own user for the owners Windows trusts.
PathFacts FactsOf(const struct stat& st);
// Opens a file of the program's own for a write mode (or reading, for ReadOwn), never through a
// symbolic link, and keeps the handle only for a plain file with one link. A FIFO would block an
// open for writing, so the open does not wait, and waiting is switched back on afterwards.
int OpenOwn(int folder, const char* name, int flags);
// The open flags of the modes that open a file of the program's own; -1 for the others.
int OwnFlags(FileMode mode);

}  // namespace platform
