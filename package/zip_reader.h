// The ZIP package reader: opens a classic (non-ZIP64) PKWARE archive file, lists its
// entries and extracts them into a base folder. Stored and deflated data (zlib raw inflate),
// data descriptors (through the directory's values), the "UT" extended-timestamp field and
// traditional PKWARE encryption are understood. Every file access goes through platform::Sys().
//
// Every operation yields an ArchiveResult (opening returns the handle instead) and records it as
// the process-wide last result, which ArchiveResultText(ArchiveResult::Recent, ...) reads.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/system.h"

enum class ArchiveResult : uint32_t {
  Ok = 0x00000000,
  Recent = 0x00000001,  // accepted only by ArchiveResultText: the last result
  DuplicateHandleFailed = 0x00000100,
  OpenFailed = 0x00000200,
  NoMemory = 0x00000300,
  WriteFailed = 0x00000400,
  NotFound = 0x00000500,
  MoreData = 0x00000600,
  Corrupt = 0x00000700,
  ReadFailed = 0x00000800,
  PasswordRequired = 0x00001000,
  BadArguments = 0x00010000,
  NotMemoryArchive = 0x00020000,
  MemoryTooSmall = 0x00030000,
  PreviousError = 0x00040000,
  AlreadyEnded = 0x00050000,
  SizeMismatch = 0x00060000,
  PartiallyExtracted = 0x00070000,
  ModeMismatch = 0x00080000,
  ReservedName = 0x00090000,  // a Windows device name (CON, NUL.txt, ...) or a zero byte in the name
  NotInitialised = 0x01000000,
  SeekUnseekable = 0x02000000,
  CannotChangeMind = 0x04000000,
  InflateFailed = 0x05000000,
};

// The longest path the reader builds or accepts (the base folder, a joined target, every folder
// prefix), in UTF-16 units without the terminator. Longer ones are refused, never cut.
constexpr size_t ARCHIVE_MAX_PATH = 259;

struct ArchiveReader;

// What ArchiveOpenFile returns: kind 1 is an archive opened for reading (the only kind made here).
struct ArchiveHandleRecord {
  uint32_t kind;
  ArchiveReader* reader;
};
using ArchiveHandle = ArchiveHandleRecord*;
constexpr uint32_t ARCHIVE_KIND_READER = 1;

struct ArchiveEntry {
  int32_t index;       // position in the directory; for the request -1, the number of entries
  char16_t name[260];  // sanitised UTF-16 name
  uint32_t attributes;  // Windows file attribute bits
  uint64_t accessTime;  // Windows file times (100 ns since 1601-01-01, UTC); 0 for none
  uint64_t creationTime;
  uint64_t writeTime;
  int32_t compressedSize;
  int32_t uncompressedSize;
};

// Why the last ArchiveOpenFile failed. The result it records says less: OpenFailed for the file,
// a non-archive, a truncated or multi-disk one and a directory that does not fit; Corrupt for a
// directory that does not hold what its end record counts, and for a ZIP64 archive.
enum class ArchiveOpenFailure : uint32_t {
  None = 0,           // the last open succeeded, or none was made
  CannotOpen,         // the file cannot be opened for reading
  NotAnArchive,       // no end-of-central-directory record in the last 65,535 bytes
  Truncated,          // it begins as an archive but its end record is missing or cut short
  MultiDisk,          // a disk number other than 0, or counts that differ between disk and whole
  Zip64,              // a ZIP64 end-of-central-directory locator stands before the end record
  DirectoryOutside,   // the directory would end past the end record
  DirectoryMismatch,  // the records the end record counts do not end where the directory ends
};

// Opens the archive file for reading; password is an 8-bit string or null. Returns null on any
// failure (the last result is then OpenFailed or Corrupt; ArchiveLastOpenFailure says why).
// The directory must add up: reading as many records as the end record counts must end exactly
// at the end of the directory. A record that does not read (a count higher than the records
// present) is left to the entry that stands on it, which then fails on its own.
ArchiveHandle ArchiveOpenFile(const char16_t* path, const char* password);
// The same for an archive held in memory (the program's own resource); the bytes must stay in
// place until the archive is closed.
ArchiveHandle ArchiveOpenMemory(const void* data, uint32_t size, const char* password);
ArchiveOpenFailure ArchiveLastOpenFailure();
// Why the last open failed, for people: the result's text and the failure's, such as
// "Couldn't create/open file (a truncated ZIP archive: ...)"; empty after a successful open.
// Copies and returns the length as ArchiveResultText does.
int32_t ArchiveOpenFailureText(char16_t* buffer, uint32_t capacity);
// The folder into which relative names are extracted; a separator is appended when missing.
// An empty folder, or one longer than ARCHIVE_MAX_PATH with its separator, gives BadArguments.
ArchiveResult ArchiveSetBaseFolder(ArchiveHandle handle, const char16_t* folder);
// index -1 asks for the number of entries (in entry->index).
ArchiveResult ArchiveGetEntry(ArchiveHandle handle, int32_t index, ArchiveEntry* entry);
// The name of entry index as the directory stores it, undecoded: *length gets its byte count
// (names are kept up to 260 bytes) and at most capacity bytes are copied into buffer.
ArchiveResult ArchiveGetStoredName(ArchiveHandle handle, int32_t index, uint8_t* buffer, uint32_t capacity,
                                   uint32_t* length);
// Extracts entry index to path, relative to the base folder unless absolute. The file is made new:
// when anything of that name is there already (an earlier entry of the same name among them),
// nothing is opened for writing and the result is OpenFailed. With written, the identity of the
// file made is read from the handle the data was written through.
ArchiveResult ArchiveExtractEntry(ArchiveHandle handle, int32_t index, const char16_t* path,
                                  platform::FileIdentity* written = nullptr);
// Makes the file an entry is extracted into: Ok with *file opened for writing, or the failure
// (nothing was opened).
using ArchiveFileMaker = ArchiveResult (*)(void* context, platform::FileHandle* file);
// Extracts entry index into a file that make makes, for a caller that makes its files its own
// way (through a folder it holds): the entry's data is opened and its local header checked first,
// so that an entry whose data cannot be read makes nothing; then the inflated bytes are written
// through the file make gave, their CRC-32 checked. *file is that file, INVALID_FILE when make
// gave none; the caller closes it, and removes it on any result but Ok.
ArchiveResult ArchiveExtractToFile(ArchiveHandle handle, int32_t index, ArchiveFileMaker make, void* context,
                                   platform::FileHandle* file);
// Whether entry index may be written under the relative name: Ok, or the result extracting it
// would give for a name that climbs, is too long, names a device or hides a zero byte.
ArchiveResult ArchiveCheckEntryName(ArchiveHandle handle, int32_t index, const char16_t* name);
// Extracts entry index into buffer: Ok with *size its length when the whole entry fitted in
// capacity bytes and its CRC-32 is the directory's; MemoryTooSmall when it is longer.
ArchiveResult ArchiveExtractToMemory(ArchiveHandle handle, int32_t index, void* buffer, uint32_t capacity,
                                     uint32_t* size);
bool ArchiveIsReader(ArchiveHandle handle);
ArchiveResult ArchiveClose(ArchiveHandle handle);
// Copies the code's text (Recent: the last result's) into buffer, at most capacity - 1 units and a
// terminator; returns the full text length. A null buffer or capacity 0 only returns the length.
int32_t ArchiveResultText(ArchiveResult code, char16_t* buffer, uint32_t capacity);
// The last result recorded by any operation above.
ArchiveResult ArchiveLastResult();

// The name sanitising of ArchiveGetEntry, on its own (in place): a leading drive prefix, leading
// separators and everything up to a separator-dot-dot-separator pattern are dropped, repeatedly.
void ArchiveSanitiseName(char16_t* name);
// True when a relative path has a component that names a parent folder ("..", and the forms that
// Windows reads as such: dots and blanks only, or such a name before a ':'), so that it could
// reach above the folder it is joined to.
bool ArchivePathClimbs(const char16_t* path);
// True when a component of a path names a Windows device rather than a file: CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM0-COM9 and LPT0-LPT9 (also with the superscript digits 1, 2 and 3), in any
// letter case, alone or before an extension or a ':', with or without trailing blanks.
bool ArchivePathNamesDevice(const char16_t* path);
