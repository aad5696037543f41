// The folders and files a run makes for the embedded package, and the only ways the program uses
// them. The folders live where other users may write (TEMP), so nothing there is trusted for
// what it claims to be:
// - each folder and file is noted with the identity it was made with, and at close only those are
//   removed, each only while its path still leads to that very folder or file;
// - a file is read only through a handle that is no link, and its bytes count only when they are
//   byte for byte the entry of the embedded archive it was unpacked from (a CRC proves nothing
//   against somebody who rewrote the file).
#pragma once
#include <cstddef>
#include <cstdint>

#include "package/zip_reader.h"
#include "platform/system.h"

// At most this many files of one package are noted; an entry beyond them is not unpacked.
constexpr size_t MAX_PACKAGE_FILES = 128;

enum class PackageFileRead {
  OK,              // the bytes are the package's own
  NOT_IN_PACKAGE,  // this run unpacked no file of that path
  CHANGED,         // the file is gone, a link, another file, or not the package's bytes any more
};

// Forgets the folders and files of an earlier run (a new per-run folder is about to be made).
void ForgetPackageFiles();
// Notes a folder this run made, with the identity it was made with; removed at close when empty.
void NoteOwnFolder(const char16_t* path, const platform::FileIdentity& identity);
// Notes the resource that holds the embedded archive.
void NoteEmbeddedArchive(const char16_t* resourceType, uint32_t resourceId);
// Opens the embedded archive in memory; null when there is none or it cannot be opened.
ArchiveHandle OpenEmbeddedArchive();
// Notes a file this run unpacked: its path, the identity it was written with, and the entry of the
// embedded archive it holds (a later entry of the same path takes its place). False when the
// table is full.
bool NotePackageFile(const char16_t* path, const platform::FileIdentity& identity, int32_t entryIndex);

// Whether this run unpacked a file of that path (letter case aside, as Windows compares names).
bool IsPackageFile(const char16_t* path);
// The package's own bytes of a file this run unpacked, from the embedded archive (the file itself
// is not read). On OK *bytes is page memory of *size bytes, released with PageFree.
PackageFileRead ReadPackageEntry(const char16_t* path, uint8_t** bytes, uint32_t* size);
// Reads a file this run unpacked, through a handle that is no link (FileMode::ReadOwn), and
// compares it with its entry. With bytes set, on OK *bytes is page memory of *size bytes, released
// with PageFree; with bytes null the file is only checked.
PackageFileRead ReadPackageFile(const char16_t* path, uint8_t** bytes, uint32_t* size);
// The same through a handle the caller opened at that path (and keeps open).
PackageFileRead ReadPackageFileFrom(platform::FileHandle file, const char16_t* path, uint8_t** bytes,
                                    uint32_t* size);

// The files this run unpacked, in the order they were noted.
size_t PackageFileCount();
const char16_t* PackageFilePath(size_t index);

// Removes every file this run unpacked, then the folders it made (the innermost first), each only
// while its path leads to the very one made; everything else there stays. The notes are forgotten.
void RemovePackageFiles();
