// What the parts of the ZIP reader share and nothing outside it sees: the format's constants, the
// reader's state, and the steps one part asks of another. The reader is split as zlib splits its
// inflate: zip_reader.cpp opens an archive, walks its directory and carries the calls of
// zip_reader.h; zip_entries.cpp decodes an entry's record and data; zip_names.cpp holds the rules
// for entry names and the paths and folders they become.
#pragma once
#include <cstdint>

#include "package/zip_reader.h"
#include "platform/system.h"

namespace zipreader {

constexpr uint32_t BUFFER_SIZE = 16384;     // input and output buffers
constexpr uint32_t NAME_BUFFER = 260;       // directory name buffer, bytes
constexpr uint32_t SIG_LOCAL_HEADER = 0x04034B50;

inline uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The fields of the current central directory record.
struct DirRecord {
  uint16_t versionMadeBy;
  uint16_t versionNeeded;
  uint16_t flags;
  uint16_t method;
  uint32_t dosDateTime;  // time in the low half, date in the high half
  uint32_t crc;
  uint32_t compressedSize;
  uint32_t uncompressedSize;
  uint16_t nameLength;
  uint16_t extraLength;
  uint16_t commentLength;
  uint16_t diskStart;
  uint16_t internalAttributes;
  uint32_t externalAttributes;
  uint32_t localHeaderOffset;
};

// The read state of the entry whose data is open (zip_entries.cpp).
struct EntryData;

}  // namespace zipreader

// The state of one open archive (the handle's reader).
struct ArchiveReader {
  platform::FileHandle file;
  bool ownsFile;
  const uint8_t* memory;  // an archive held in memory instead of a file (not owned)
  uint64_t memorySize;
  bool canSeek;
  uint64_t initialOffset;
  // Directory state.
  uint32_t entryCount;
  uint32_t dirSize;
  uint32_t dirOffset;
  uint64_t correction;
  uint64_t recordPos;
  uint32_t currentIndex;
  bool recordOk;
  zipreader::DirRecord record;
  uint8_t recordName[zipreader::NAME_BUFFER];
  uint32_t recordNameLength;  // bytes kept (at most NAME_BUFFER)
  zipreader::EntryData* data;
  ArchiveEntry cached;
  int32_t cachedIndex;
  char* password;
  uint8_t* output;  // BUFFER_SIZE bytes, from the first extraction on
  char16_t base[ARCHIVE_MAX_PATH + 1];
};

namespace zipreader {

// zip_reader.cpp: the source.
// Reads exactly length bytes at an archive position (relative to the initial offset).
ArchiveResult ReadAt(ArchiveReader* r, uint64_t position, void* buffer, uint32_t length);

// zip_entries.cpp: an entry's record and data.
// Fills an entry record from the current directory record (the reader stands on it).
ArchiveResult FillEntry(ArchiveReader* r, ArchiveEntry* entry);
// Opens the current entry's data (its local header checked) for the copies below.
ArchiveResult OpenEntryData(ArchiveReader* r);
void CloseEntryData(ArchiveReader* r);
// Delivers the whole open entry into file (or only reads and checks it, for no file) through the
// output buffer; at the end its CRC-32 must be the directory's, and the file gets the entry's times.
ArchiveResult CopyEntryData(ArchiveReader* r, platform::FileHandle file, const ArchiveEntry& entry);
// Delivers the whole open entry into buffer (MemoryTooSmall, with nothing read, when its size is
// more than capacity); at the end its CRC-32 must be the directory's.
ArchiveResult CopyEntryToMemory(ArchiveReader* r, uint8_t* buffer, uint32_t capacity, uint32_t* size);

// zip_names.cpp: paths and folders.
bool IsAbsolute(const char16_t* path);
// Joins up to three parts into out (capacity ARCHIVE_MAX_PATH + 1); false when too long.
bool JoinPath(char16_t* out, const char16_t* a, const char16_t* b, size_t bLength, const char16_t* c);
// Ensures base (one level) and then every folder prefix of folder[0..length), outermost first.
// Creating a folder that exists is harmless, so each is simply created. False when a prefix
// would be longer than ARCHIVE_MAX_PATH.
bool EnsureFolder(const char16_t* base, const char16_t* folder, size_t length);

}  // namespace zipreader
