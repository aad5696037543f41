// The embedded package: unpacked from memory into a per-run folder, its information file read
// into AppState, and what the run unpacked removed at close.
#pragma once
#include <cstddef>
#include <cstdint>

#include "package/zip_reader.h"
#include "platform/system.h"

// The temporary folder without its trailing separator (empty when it cannot be had or does not fit).
void GetTempFolder(char16_t* buffer, uint32_t capacity);
// Makes TEMP\Quorvela (when missing) and a per-run folder in it named by the tick count; its path
// becomes AppState::packageFolder. A name already taken (a run in the same millisecond) is
// skipped. Both get a protected DACL (SYSTEM and Administrators). A TEMP\Quorvela that is a link,
// no folder, or owned by neither SYSTEM nor the Administrators is not used: the run makes
// TEMP\Quorvela-<tick> of its own instead. TEMP and every folder below it are held open for the
// run (app/package_files.h) and removed, where the run made them, by RemovePackageFolder.
void CreatePackageFolder();
// Unpacks the resource, read in memory, into folder (the one CreatePackageFolder made and holds),
// each file made new through the held folder and noted with the identity it was written with and
// the bytes of its one inflate. No copy of the archive is written anywhere. Nothing is unpacked
// when the resource is missing or the folder is empty, and nothing stays when a name in the folder
// is taken already (LastUnpackTally then tells no entries, as for an archive that cannot be opened).
void ExtractPackage(const char16_t* resourceType, uint32_t resourceId, const char16_t* folder);
// What the last ExtractPackage unpacked: the entries of the archive (-1 when there was no archive
// to open) and how many of them were written whole. A package with an entry that failed is damaged.
struct UnpackTally {
  int32_t entries;
  int32_t written;
};
UnpackTally LastUnpackTally();
// Reads the information file of packageFolder, only while it is the very file this run unpacked
// and byte for byte the package's; otherwise every value keeps its default.
void LoadPackageInfo();
// Replaces every occurrence of find, in place, working in 1000-character buffers:
// the text's buffer must hold 1000 characters; a longer result is cut to 999.
void ReplaceAll(char16_t* text, const char16_t* find, const char16_t* replacement);
// The same for a text buffer of the given capacity (at most TEXT_LONG is used): the result is cut
// to capacity - 1 characters, never overrunning the buffer. An empty find changes nothing; a
// replacement that contains find is not searched again, so the replacing always ends.
void ReplaceAllIn(char16_t* text, size_t capacity, const char16_t* find, const char16_t* replacement);
// Removes the files this run unpacked and the folders it made, each only while its path still leads
// to the very one made; nothing is found by listing the folder.
void RemovePackageFolder();

// Opens the folder name in a held folder, or makes it with the protected DACL of access when
// missing, and returns it held. A link (symbolic link, junction, mount point), anything but a
// folder, or a folder that was there already and belongs to neither SYSTEM nor the Administrators
// is not used (the owner is read from the held handle): INVALID_FOLDER, facts telling what is there.
platform::FolderHandle OpenProtectedFolderAt(platform::FolderHandle parent, const char16_t* name,
                                             platform::FolderAccess access, platform::PathFacts* facts);

// FWVersion as AppState keeps it: ";%s;" of the list when it fits capacity; a list too long for
// that keeps only its whole leading entries that fit (a version is never cut), and one that keeps
// no whole entry becomes ";", which no revision matches; empty stays empty (every revision passes).
void WrapVersionList(const char16_t* list, char16_t* out, size_t capacity);
