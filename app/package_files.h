// The folders and files a run makes for the embedded package, and the only ways the program uses
// them. The folders live where other users may write (TEMP), and a name looked up twice may lead
// somewhere else the second time, so:
// - the run holds each folder it works in open (TEMP, the base folder, the per-run folder and the
//   folders of the package's own entries), from the moment it is made or checked until close, and
//   reaches every file relative to the folder that holds it, never by its path;
// - every file is made new: a name that is taken already was put there by somebody else;
// - each file's bytes are kept as the one inflate of its entry gave them, and the file counts only
//   while it is the very file written and byte for byte those bytes (a CRC proves nothing against
//   somebody who rewrote it);
// - at close only the files and folders this run made are removed, each by the identity it was
//   made with, in the held folder it lies in.
#pragma once
#include <cstddef>
#include <cstdint>

#include "package/zip_reader.h"
#include "platform/system.h"

// At most this many files of one package are noted; an entry beyond them is not unpacked.
constexpr size_t MAX_PACKAGE_FILES = 128;
// TEMP, the base folder, the per-run folder, and folders of the package's own entries.
constexpr size_t MAX_RUN_FOLDERS = 16;

enum class PackageFileRead {
  OK,              // the bytes are the package's own
  NOT_IN_PACKAGE,  // this run unpacked no file of that path
  CHANGED,         // the file is gone, a link, another file, or not the package's bytes any more
};

// Closes every folder the run holds and forgets its files, removing nothing (a new per-run folder
// is about to be made).
void ForgetPackageFiles();
// Holds a folder for this run: the open handle, the held folder it lies in (-1: none), its name
// there and its path. An own folder (made by this run) is removed at close, the innermost first.
// Returns its index, or -1 when the table is full (the handle is then closed).
int32_t HoldRunFolder(platform::FolderHandle handle, int32_t parent, const char16_t* name, const char16_t* path,
                      const platform::FileIdentity& identity, bool own);
platform::FolderHandle RunFolderHandle(int32_t index);
const char16_t* RunFolderPath(int32_t index);
// The held folder the package is unpacked into (the per-run folder); -1 before it is made.
void SetPackageFolderIndex(int32_t index);

// Notes the resource that holds the embedded archive.
void NoteEmbeddedArchive(const char16_t* resourceType, uint32_t resourceId);
// Opens the embedded archive in memory; null when there is none or it cannot be opened.
ArchiveHandle OpenEmbeddedArchive();

// Unpacks entry index of archive into the per-run folder: its folders made new, its bytes inflated
// once (CRC-checked) and kept, the file made new and written through its handle. *taken is set
// when a name was there already: somebody else put it there (or an earlier entry of the same
// name), and nothing of it was opened for writing.
ArchiveResult UnpackPackageEntry(ArchiveHandle archive, int32_t index, const ArchiveEntry& entry, bool* taken);

// Removes the files this run unpacked (each by its identity, in its held folder) and forgets them;
// the folders stay held. A package that could not be unpacked whole leaves none of its files.
void DropPackageFiles();

// Whether this run unpacked a file of that path (letter case aside, as Windows compares names)
// and its name in its held folder still leads to that very file.
bool IsPackageFile(const char16_t* path);
// The package's own bytes of a file this run unpacked, as kept from its inflate (the file itself
// is not read). The bytes stay valid until the files are forgotten; they are not to be written.
PackageFileRead ReadPackageEntry(const char16_t* path, const uint8_t** bytes, uint32_t* size);
// Reads a file this run unpacked through its held folder (FileMode::ReadOwn: no link) and compares
// it with its kept bytes. With bytes set, on OK *bytes is a copy in page memory of *size bytes,
// released with PageFree; with bytes null the file is only checked.
PackageFileRead ReadPackageFile(const char16_t* path, uint8_t** bytes, uint32_t* size);

// The files this run unpacked, in the order they were noted.
size_t PackageFileCount();
const char16_t* PackageFilePath(size_t index);

// Removes every file this run unpacked, then the folders it made (the innermost first), each only
// while its name in its held folder leads to the very one made; everything else there stays.
// Every folder is closed and the notes are forgotten.
void RemovePackageFiles();
