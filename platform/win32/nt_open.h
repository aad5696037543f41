// How the held-folder calls of Win32System open a name relative to a folder handle: NtCreateFile
// with the folder as RootDirectory. Each kind of open has its access, sharing, disposition and
// options here, in one table, so that a test can read what the program asks for.
#pragma once
#include <windows.h>
#include <winternl.h>

namespace platform {

enum class NtOpenKind : uint32_t {
  WALK,        // a folder passed on the way down a path: traversed only
  FOLDER,      // a folder held to work in
  NEW_FOLDER,  // a folder made new and held
  NEW_FILE,    // a file made new, for writing
  APPEND,      // a file of the program's own, appended to
  READ_OWN,    // a file of the program's own, read back
  LOOK,        // what a name is
  REMOVE,      // a file or an empty folder, opened to be deleted
};
struct NtOpenRequest {
  ACCESS_MASK access;
  ULONG share;
  ULONG disposition;
  ULONG options;
};
// Every kind carries FILE_OPEN_REPARSE_POINT (a link is opened, never followed); the folders
// walked and held and the files made or written share no deletion.
NtOpenRequest NtRequestFor(NtOpenKind kind);

// The NtCreateFile the held-folder calls use; a test puts a recorder in front of the real one
// (null puts the real one back). Returns the one before.
using NtCreateFileFunction = decltype(&::NtCreateFile);
NtCreateFileFunction SetNtCreateFile(NtCreateFileFunction function);

}  // namespace platform
