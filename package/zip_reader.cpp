// The ZIP package reader: opening an archive and walking its directory, and the calls of
// zip_reader.h. See zip_reader_private.h for how the reader is split; the choices it makes where the
// format leaves one open are described in package/README.md.
#include "package/zip_reader.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "package/zip_reader_private.h"
#include "platform/platform.h"
#include "platform/text.h"

using platform::FileHandle;
using platform::SeekFrom;
using platform::Sys;

namespace zipreader {
namespace {

constexpr uint32_t END_RECORD_WINDOW = 65535;     // the end-record search reads at most this much
constexpr uint32_t END_RECORD_CHUNK = 1024;       // each chunk starts this much earlier
constexpr uint32_t END_RECORD_READ = 1028;        // and is this long (overlap of 4)
constexpr uint32_t END_RECORD_SIZE = 22;
constexpr uint32_t DIR_RECORD_SIZE = 46;
constexpr uint32_t SIG_DIR_RECORD = 0x02014B50;
constexpr uint32_t SIG_ZIP64_LOCATOR = 0x07064B50;
constexpr uint32_t ZIP64_LOCATOR_SIZE = 20;     // it ends where the end record begins
constexpr uint32_t DIRECTORY_WALK_READ = 4096;  // the walk at open reads the directory in these

std::atomic<uint32_t> g_lastResult{0};
std::atomic<uint32_t> g_lastOpenFailure{0};

// Records the result as the last one (ArchiveLastResult) and returns it.
ArchiveResult Record(ArchiveResult result) {
  g_lastResult.store(static_cast<uint32_t>(result), std::memory_order_relaxed);
  return result;
}

}  // namespace

// ---- Reading the source -------------------------------------------------------------------------

ArchiveResult ReadAt(ArchiveReader* r, uint64_t position, void* buffer, uint32_t length) {
  if (!r->canSeek) return ArchiveResult::ReadFailed;
  if (r->memory != nullptr) {
    if (position > r->memorySize || length > r->memorySize - position) return ArchiveResult::ReadFailed;
    std::memcpy(buffer, r->memory + position, length);
    return ArchiveResult::Ok;
  }
  uint64_t absolute = position + r->initialOffset;
  if (absolute > static_cast<uint64_t>(INT64_MAX)) return ArchiveResult::ReadFailed;
  if (!Sys().SeekFile(r->file, static_cast<int64_t>(absolute), SeekFrom::Begin, nullptr))
    return ArchiveResult::ReadFailed;
  uint32_t done = 0;
  if (!Sys().ReadFile(r->file, buffer, length, &done) || done != length)
    return ArchiveResult::ReadFailed;
  return ArchiveResult::Ok;
}

namespace {

// The end-of-central-directory record: the last signature within the last 65,535 bytes, searched
// backwards in 1,028-byte chunks that overlap by 4 bytes. Returns false when there is none.
bool LocateEndRecord(ArchiveReader* r, uint64_t size, uint64_t* found) {
  if (size <= 4) return false;
  uint64_t window = size < END_RECORD_WINDOW ? size : END_RECORD_WINDOW;
  uint8_t chunk[END_RECORD_READ];
  uint64_t back = 4;
  while (back < window) {
    back = back + END_RECORD_CHUNK > window ? window : back + END_RECORD_CHUNK;
    uint64_t readPos = size - back;
    uint64_t rest = size - readPos;
    uint32_t readSize = static_cast<uint32_t>(rest < END_RECORD_READ ? rest : END_RECORD_READ);
    if (ReadAt(r, readPos, chunk, readSize) != ArchiveResult::Ok) return false;
    for (int64_t i = static_cast<int64_t>(readSize) - 4; i >= 0; --i) {
      if (chunk[i] == 0x50 && chunk[i + 1] == 0x4B && chunk[i + 2] == 0x05 && chunk[i + 3] == 0x06) {
        *found = readPos + static_cast<uint64_t>(i);
        return true;
      }
    }
  }
  return false;
}

// Reads the directory record at the current record position into the reader.
ArchiveResult ReadDirRecord(ArchiveReader* r) {
  r->recordOk = false;
  uint8_t f[DIR_RECORD_SIZE];
  ArchiveResult res = ReadAt(r, r->recordPos + r->correction, f, DIR_RECORD_SIZE);
  if (res != ArchiveResult::Ok) return res;
  if (U32(f) != SIG_DIR_RECORD) return ArchiveResult::Corrupt;
  DirRecord& d = r->record;
  d.versionMadeBy = U16(f + 4);
  d.versionNeeded = U16(f + 6);
  d.flags = U16(f + 8);
  d.method = U16(f + 10);
  d.dosDateTime = U32(f + 12);
  d.crc = U32(f + 16);
  d.compressedSize = U32(f + 20);
  d.uncompressedSize = U32(f + 24);
  d.nameLength = U16(f + 28);
  d.extraLength = U16(f + 30);
  d.commentLength = U16(f + 32);
  d.diskStart = U16(f + 34);
  d.internalAttributes = U16(f + 36);
  d.externalAttributes = U32(f + 38);
  d.localHeaderOffset = U32(f + 42);
  // The name is cut at the buffer's size.
  uint32_t keep = d.nameLength < NAME_BUFFER ? d.nameLength : NAME_BUFFER;
  if (keep > 0) {
    res = ReadAt(r, r->recordPos + r->correction + DIR_RECORD_SIZE, r->recordName, keep);
    if (res != ArchiveResult::Ok) return res;
  }
  r->recordNameLength = keep;
  r->recordOk = true;
  return ArchiveResult::Ok;
}

ArchiveResult GoToFirstEntry(ArchiveReader* r) {
  r->recordPos = r->dirOffset;
  r->currentIndex = 0;
  return ReadDirRecord(r);
}

// Refused when the current record did not read correctly or is the last one.
ArchiveResult GoToNextEntry(ArchiveReader* r) {
  if (!r->recordOk) return ArchiveResult::Corrupt;
  if (r->currentIndex + 1 >= r->entryCount) return ArchiveResult::Corrupt;
  const DirRecord& d = r->record;
  r->recordPos += DIR_RECORD_SIZE + static_cast<uint64_t>(d.nameLength) + d.extraLength + d.commentLength;
  r->currentIndex += 1;
  return ReadDirRecord(r);
}

// Whether the directory adds up: the records that the end record counts, read one after the
// other from the directory's start, must end exactly where the directory ends (at the end record;
// `end` is that position, the correction included). A record that does not read gives no verdict:
// the walk of the entries meets it again and fails that entry, as it fails the entries that a
// count higher than the records present asks for.
bool DirectoryAddsUp(ArchiveReader* r, uint64_t end) {
  uint8_t chunk[DIRECTORY_WALK_READ];
  uint64_t chunkPos = 0;
  uint32_t chunkLength = 0;
  uint64_t pos = end - r->dirSize;
  for (uint32_t i = 0; i < r->entryCount; ++i) {
    if (pos == end) return true;  // fewer records than counted
    if (pos + DIR_RECORD_SIZE > end) return false;  // a record that reaches past the directory
    if (pos < chunkPos || pos + DIR_RECORD_SIZE > chunkPos + chunkLength) {
      uint64_t rest = end - pos;
      chunkLength = static_cast<uint32_t>(rest < DIRECTORY_WALK_READ ? rest : DIRECTORY_WALK_READ);
      chunkPos = pos;
      if (ReadAt(r, pos, chunk, chunkLength) != ArchiveResult::Ok) return true;
    }
    const uint8_t* f = chunk + (pos - chunkPos);
    if (U32(f) != SIG_DIR_RECORD) return true;
    pos += DIR_RECORD_SIZE + static_cast<uint64_t>(U16(f + 28)) + U16(f + 30) + U16(f + 32);
  }
  return pos == end;
}

// Makes entry index the current one: restarts at the first entry when it lies behind, then steps
// forward. A record that fails to read ends the walk with its failure; nothing is retried.
ArchiveResult WalkTo(ArchiveReader* r, uint32_t index) {
  if (index < r->currentIndex) {
    ArchiveResult res = GoToFirstEntry(r);
    if (res != ArchiveResult::Ok) return res;
  }
  while (r->currentIndex < index) {
    ArchiveResult res = GoToNextEntry(r);
    if (res != ArchiveResult::Ok) return res;
  }
  if (!r->recordOk) return ReadDirRecord(r);
  return ArchiveResult::Ok;
}

}  // namespace
}  // namespace zipreader

using namespace zipreader;

namespace {

ArchiveResult CheckHandle(ArchiveHandle handle) {
  if (handle == nullptr) return ArchiveResult::BadArguments;
  if (handle->kind != ARCHIVE_KIND_READER || handle->reader == nullptr) return ArchiveResult::ModeMismatch;
  return ArchiveResult::Ok;
}

void ReleaseReader(ArchiveReader* r) {
  if (r == nullptr) return;
  CloseEntryData(r);
  if (r->ownsFile && r->file != platform::INVALID_FILE) Sys().CloseFile(r->file);
  std::free(r->password);
  std::free(r->output);
  std::free(r);
}

// Reads the end record of an archive of size bytes (from the initial offset on) and checks the
// directory it describes; on success the reader stands on the first entry. Returns the failure.
ArchiveOpenFailure OpenDirectory(ArchiveReader* r, uint64_t size) {
  uint64_t endPos = 0;
  if (!LocateEndRecord(r, size, &endPos)) {
    // An archive cut short still begins with a local header.
    uint8_t head[4] = {};
    bool begins = size >= 4 && ReadAt(r, 0, head, 4) == ArchiveResult::Ok && U32(head) == SIG_LOCAL_HEADER;
    return begins ? ArchiveOpenFailure::Truncated : ArchiveOpenFailure::NotAnArchive;
  }
  uint8_t e[END_RECORD_SIZE];
  if (ReadAt(r, endPos, e, END_RECORD_SIZE) != ArchiveResult::Ok) return ArchiveOpenFailure::Truncated;
  // A ZIP64 archive keeps its real counts and offsets in records before this one; the classic
  // fields then hold placeholders, or values that other readers ignore.
  uint8_t locator[4] = {};
  if (endPos >= ZIP64_LOCATOR_SIZE && ReadAt(r, endPos - ZIP64_LOCATOR_SIZE, locator, 4) == ArchiveResult::Ok &&
      U32(locator) == SIG_ZIP64_LOCATOR)
    return ArchiveOpenFailure::Zip64;
  uint16_t disk = U16(e + 4), dirDisk = U16(e + 6), entriesHere = U16(e + 8), entriesTotal = U16(e + 10);
  if (disk != 0 || dirDisk != 0 || entriesHere != entriesTotal) return ArchiveOpenFailure::MultiDisk;
  r->dirSize = U32(e + 12);
  r->dirOffset = U32(e + 16);
  r->entryCount = entriesTotal;
  uint64_t end = endPos + r->initialOffset;
  if (end < static_cast<uint64_t>(r->dirOffset) + r->dirSize) return ArchiveOpenFailure::DirectoryOutside;
  r->correction = end - r->dirSize - r->dirOffset;
  r->initialOffset = 0;
  if (!DirectoryAddsUp(r, end)) return ArchiveOpenFailure::DirectoryMismatch;
  GoToFirstEntry(r);  // whether the first record read correctly is remembered in recordOk
  return ArchiveOpenFailure::None;
}

// The result an open that failed so records: a directory that does not add up is damage.
ArchiveResult OpenFailureResult(ArchiveOpenFailure failure) {
  bool damaged = failure == ArchiveOpenFailure::Zip64 || failure == ArchiveOpenFailure::DirectoryMismatch;
  return damaged ? ArchiveResult::Corrupt : ArchiveResult::OpenFailed;
}

ArchiveHandle RecordOpenFailure(ArchiveOpenFailure failure) {
  g_lastOpenFailure.store(static_cast<uint32_t>(failure), std::memory_order_relaxed);
  Record(OpenFailureResult(failure));
  return nullptr;
}

const char16_t* OpenFailureText(ArchiveOpenFailure failure) {
  switch (failure) {
    case ArchiveOpenFailure::None: return u"";
    case ArchiveOpenFailure::CannotOpen: return u"the file cannot be opened for reading";
    case ArchiveOpenFailure::NotAnArchive: return u"not a ZIP archive: no end-of-central-directory record";
    case ArchiveOpenFailure::Truncated:
      return u"a truncated ZIP archive: its end-of-central-directory record is missing or cut short";
    case ArchiveOpenFailure::MultiDisk: return u"a spanned or split ZIP archive of several disks, which is not read";
    case ArchiveOpenFailure::Zip64:
      return u"a ZIP64 archive, which is not read: a ZIP64 locator stands before its end-of-central-directory record";
    case ArchiveOpenFailure::DirectoryOutside:
      return u"damaged: the central directory would end past the end-of-central-directory record";
    case ArchiveOpenFailure::DirectoryMismatch:
      return u"damaged: the central directory does not hold the entries its end record counts";
  }
  return u"";
}

}  // namespace

// ---- Operations ---------------------------------------------------------------------------------

namespace {

// A reader with its password and base folder (the current folder with a separator), or null.
ArchiveReader* NewReader(const char* password) {
  auto* r = static_cast<ArchiveReader*>(std::calloc(1, sizeof(ArchiveReader)));
  if (r == nullptr) return nullptr;
  r->file = platform::INVALID_FILE;
  r->cachedIndex = -1;
  if (password != nullptr) {
    size_t n = std::strlen(password);
    r->password = static_cast<char*>(std::malloc(n + 1));
    if (r->password == nullptr) {
      ReleaseReader(r);
      return nullptr;
    }
    std::memcpy(r->password, password, n + 1);
  }
  char16_t cwd[260] = {};
  uint32_t n = Sys().CurrentFolder(cwd, 260);
  if (n > 0 && n < 260) {
    if (!IsSeparator(cwd[n - 1])) {
      if (n + 1 <= ARCHIVE_MAX_PATH) {
        cwd[n] = u'\\';
        cwd[n + 1] = 0;
        platform::TextCopy(r->base, ARCHIVE_MAX_PATH + 1, cwd);
      }
    } else {
      platform::TextCopy(r->base, ARCHIVE_MAX_PATH + 1, cwd);
    }
  }
  return r;
}

// Checks the directory of an archive of size bytes whose source the reader holds, and hands out
// the handle; on a failure the reader is released and the failure recorded.
ArchiveHandle OpenReader(ArchiveReader* r, uint64_t size) {
  auto fail = [r](ArchiveOpenFailure why) -> ArchiveHandle {
    ReleaseReader(r);
    return RecordOpenFailure(why);
  };
  ArchiveOpenFailure failure = OpenDirectory(r, size);
  if (failure != ArchiveOpenFailure::None) return fail(failure);
  auto* h = static_cast<ArchiveHandleRecord*>(std::malloc(sizeof(ArchiveHandleRecord)));
  if (h == nullptr) return fail(ArchiveOpenFailure::CannotOpen);
  h->kind = ARCHIVE_KIND_READER;
  h->reader = r;
  g_lastOpenFailure.store(0, std::memory_order_relaxed);
  Record(ArchiveResult::Ok);
  return h;
}

}  // namespace

ArchiveHandle ArchiveOpenFile(const char16_t* path, const char* password) {
  ArchiveReader* r = path == nullptr || path[0] == 0 ? nullptr : NewReader(password);
  if (r == nullptr) return RecordOpenFailure(ArchiveOpenFailure::CannotOpen);
  r->file = Sys().OpenFile(path, platform::FileMode::ReadExisting);
  r->ownsFile = r->file != platform::INVALID_FILE;
  uint64_t position = 0, fileSize = 0;
  r->canSeek = r->ownsFile && Sys().SeekFile(r->file, 0, SeekFrom::Current, &position);
  r->initialOffset = r->canSeek ? position : 0;
  if (!r->canSeek || !Sys().GetFileSize(r->file, &fileSize) || fileSize < r->initialOffset) {
    ReleaseReader(r);
    return RecordOpenFailure(ArchiveOpenFailure::CannotOpen);
  }
  return OpenReader(r, fileSize - r->initialOffset);
}

ArchiveHandle ArchiveOpenMemory(const void* data, uint32_t size, const char* password) {
  ArchiveReader* r = data == nullptr ? nullptr : NewReader(password);
  if (r == nullptr) return RecordOpenFailure(ArchiveOpenFailure::CannotOpen);
  r->memory = static_cast<const uint8_t*>(data);
  r->memorySize = size;
  r->canSeek = true;
  return OpenReader(r, size);
}

ArchiveOpenFailure ArchiveLastOpenFailure() {
  return static_cast<ArchiveOpenFailure>(g_lastOpenFailure.load(std::memory_order_relaxed));
}

int32_t ArchiveOpenFailureText(char16_t* buffer, uint32_t capacity) {
  ArchiveOpenFailure failure = ArchiveLastOpenFailure();
  if (failure == ArchiveOpenFailure::None) {
    if (buffer != nullptr && capacity > 0) buffer[0] = 0;
    return 0;
  }
  char16_t result[64] = {};
  ArchiveResultText(OpenFailureResult(failure), result, 64);
  return platform::FormatText(buffer, capacity, u"%s (%s)", result, OpenFailureText(failure));
}

ArchiveResult ArchiveSetBaseFolder(ArchiveHandle handle, const char16_t* folder) {
  ArchiveResult res = CheckHandle(handle);
  if (res != ArchiveResult::Ok) return Record(res);
  if (folder == nullptr || folder[0] == 0) return Record(ArchiveResult::BadArguments);
  size_t n = platform::TextLengthMax(folder, ARCHIVE_MAX_PATH + 1);
  bool needSeparator = !IsSeparator(folder[n - 1]);
  if (n + (needSeparator ? 1 : 0) > ARCHIVE_MAX_PATH) return Record(ArchiveResult::BadArguments);
  ArchiveReader* r = handle->reader;
  std::memcpy(r->base, folder, n * sizeof(char16_t));
  if (needSeparator) r->base[n++] = u'\\';
  r->base[n] = 0;
  return Record(ArchiveResult::Ok);
}

namespace {

// The record of entry index (within the directory): the one kept from the last fill, or filled
// afresh with the reader made to stand on it.
ArchiveResult CurrentEntry(ArchiveReader* r, int32_t index, ArchiveEntry* entry) {
  if (index == r->cachedIndex) {
    *entry = r->cached;
    return ArchiveResult::Ok;
  }
  ArchiveResult res = WalkTo(r, static_cast<uint32_t>(index));
  return res == ArchiveResult::Ok ? FillEntry(r, entry) : res;
}

}  // namespace

ArchiveResult ArchiveGetEntry(ArchiveHandle handle, int32_t index, ArchiveEntry* entry) {
  if (entry != nullptr) {
    entry->index = 0;
    entry->name[0] = 0;
    entry->uncompressedSize = 0;
  }
  ArchiveResult res = CheckHandle(handle);
  if (res != ArchiveResult::Ok) return Record(res);
  if (entry == nullptr) return Record(ArchiveResult::BadArguments);
  ArchiveReader* r = handle->reader;
  if (index < -1 || (index >= 0 && static_cast<uint32_t>(index) >= r->entryCount))
    return Record(ArchiveResult::BadArguments);
  if (index == -1) {
    entry->index = static_cast<int32_t>(r->entryCount);
    entry->name[0] = 0;
    entry->attributes = 0;
    entry->accessTime = entry->creationTime = entry->writeTime = 0;
    entry->compressedSize = entry->uncompressedSize = 0;
    return Record(ArchiveResult::Ok);
  }
  return Record(CurrentEntry(r, index, entry));
}

namespace {

// The reader of a handle, made to stand on entry index (BadArguments for an index outside the
// directory).
ArchiveResult StandOn(ArchiveHandle handle, int32_t index, ArchiveReader** reader) {
  ArchiveResult res = CheckHandle(handle);
  if (res != ArchiveResult::Ok) return res;
  ArchiveReader* r = handle->reader;
  if (index < 0 || static_cast<uint32_t>(index) >= r->entryCount) return ArchiveResult::BadArguments;
  *reader = r;
  return WalkTo(r, static_cast<uint32_t>(index));
}

}  // namespace

ArchiveResult ArchiveGetStoredName(ArchiveHandle handle, int32_t index, uint8_t* buffer, uint32_t capacity,
                                   uint32_t* length) {
  if (length != nullptr) *length = 0;
  if (length == nullptr || (buffer == nullptr && capacity > 0)) return Record(ArchiveResult::BadArguments);
  ArchiveReader* r = nullptr;
  ArchiveResult res = StandOn(handle, index, &r);
  if (res != ArchiveResult::Ok) return Record(res);
  *length = r->recordNameLength;
  if (capacity > 0) std::memcpy(buffer, r->recordName, capacity < *length ? capacity : *length);
  return Record(ArchiveResult::Ok);
}

namespace {

// The rules every entry's target name must pass before anything is opened or made: a relative
// name climbs to no parent, the path is not too long, and it names no device. Windows opens the
// device for a device name, and a zero byte in the stored name cuts it short (the file would be
// written under another name): both are refused on every platform.
ArchiveResult CheckName(const ArchiveReader* r, const char16_t* path, bool absolute) {
  if (!absolute && ArchivePathClimbs(path)) return ArchiveResult::BadArguments;
  if (platform::TextLengthMax(path, ARCHIVE_MAX_PATH + 1) > ARCHIVE_MAX_PATH) return ArchiveResult::BadArguments;
  if (ArchivePathNamesDevice(path) || std::memchr(r->recordName, 0, r->recordNameLength) != nullptr)
    return ArchiveResult::ReservedName;
  return ArchiveResult::Ok;
}

}  // namespace

ArchiveResult ArchiveCheckEntryName(ArchiveHandle handle, int32_t index, const char16_t* name) {
  if (name == nullptr || name[0] == 0 || IsAbsolute(name)) return Record(ArchiveResult::BadArguments);
  ArchiveReader* r = nullptr;
  ArchiveResult res = StandOn(handle, index, &r);
  if (res != ArchiveResult::Ok) return Record(res);
  return Record(CheckName(r, name, false));
}

namespace {

// The extraction every file target shares. The entry's data is opened (and its local header
// checked) before make is called, so that an entry whose data cannot be read makes nothing; then
// the file make gave receives the inflated bytes, their CRC-32 checked. *file is that file, or
// INVALID_FILE when make gave none.
ArchiveResult ExtractThrough(ArchiveReader* r, const ArchiveEntry& entry, ArchiveFileMaker make, void* context,
                             FileHandle* file) {
  *file = platform::INVALID_FILE;
  ArchiveResult res = OpenEntryData(r);
  if (res != ArchiveResult::Ok) return res;
  if (r->output == nullptr) r->output = static_cast<uint8_t*>(std::malloc(BUFFER_SIZE));
  if (r->output == nullptr) res = ArchiveResult::NoMemory;
  if (res == ArchiveResult::Ok) res = make(context, file);
  if (res == ArchiveResult::Ok && *file == platform::INVALID_FILE) res = ArchiveResult::OpenFailed;
  if (res == ArchiveResult::Ok) res = CopyEntryData(r, *file, entry);
  CloseEntryData(r);
  return res;
}

// The target of ArchiveExtractEntry: its folders made by path, the file made new there.
struct PathTarget {
  const char16_t* folderBase;
  const char16_t* path;
  size_t split;
  const char16_t* target;
};

ArchiveResult MakeAtPath(void* context, FileHandle* file) {
  const auto* t = static_cast<const PathTarget*>(context);
  if (!EnsureFolder(t->folderBase, t->path, t->split)) return ArchiveResult::BadArguments;
  // The file is made new: a file of the target's name that is there already (an earlier entry of
  // the same name, an earlier extraction, or somebody else's) is never opened for writing, and the
  // entry fails instead of overwriting it.
  *file = Sys().OpenFile(t->target, platform::FileMode::CreateNew);
  return *file != platform::INVALID_FILE ? ArchiveResult::Ok : ArchiveResult::OpenFailed;
}

}  // namespace

ArchiveResult ArchiveExtractEntry(ArchiveHandle handle, int32_t index, const char16_t* path,
                                  platform::FileIdentity* written) {
  if (path == nullptr || path[0] == 0) return Record(ArchiveResult::BadArguments);
  ArchiveReader* r = nullptr;
  ArchiveResult res = StandOn(handle, index, &r);
  ArchiveEntry entry{};
  if (res == ArchiveResult::Ok) res = CurrentEntry(r, index, &entry);
  if (res != ArchiveResult::Ok) return Record(res);

  bool absolute = IsAbsolute(path);
  if (!absolute && r->base[0] == 0) return Record(ArchiveResult::BadArguments);
  res = CheckName(r, path, absolute);
  if (res != ArchiveResult::Ok) return Record(res);
  size_t pathLength = platform::TextLength(path);

  if ((entry.attributes & platform::FILE_ATTR_DIRECTORY) != 0) {
    bool ok = absolute ? EnsureFolder(u"", path, pathLength) : EnsureFolder(r->base, path, pathLength);
    return Record(ok ? ArchiveResult::Ok : ArchiveResult::BadArguments);
  }

  // Split at the last separator: the folder part keeps it.
  size_t split = 0;
  for (size_t i = 0; i < pathLength; ++i)
    if (IsSeparator(path[i])) split = i + 1;
  const char16_t* fileName = path + split;
  const char16_t* folderBase = (split == 0 || !absolute) ? r->base : u"";
  char16_t target[ARCHIVE_MAX_PATH + 1];
  if (!JoinPath(target, folderBase, path, split, fileName)) return Record(ArchiveResult::BadArguments);

  PathTarget made{folderBase, path, split, target};
  FileHandle file = platform::INVALID_FILE;
  res = ExtractThrough(r, entry, MakeAtPath, &made, &file);
  if (file == platform::INVALID_FILE) return Record(res);
  // The file this extraction made, known by the handle it wrote through: its attributes are set
  // through that handle, and a failure removes that very file, whatever the name leads to by then.
  platform::FileIdentity identity{};
  bool known = Sys().IdentityOf(file, &identity);
  if (res == ArchiveResult::Ok && written != nullptr) {
    if (known) *written = identity;
    else res = ArchiveResult::WriteFailed;
  }
  if (res == ArchiveResult::Ok) Sys().SetAttributesOf(file, entry.attributes);
  Sys().CloseFile(file);
  if (res != ArchiveResult::Ok) {
    // No partial or empty file stays.
    if (known) Sys().RemoveIdentified(target, identity);
    else Sys().RemoveFile(target);
  }
  return Record(res);
}

ArchiveResult ArchiveExtractToFile(ArchiveHandle handle, int32_t index, ArchiveFileMaker make, void* context,
                                   platform::FileHandle* file) {
  if (file != nullptr) *file = platform::INVALID_FILE;
  if (make == nullptr || file == nullptr) return Record(ArchiveResult::BadArguments);
  ArchiveReader* r = nullptr;
  ArchiveResult res = StandOn(handle, index, &r);
  ArchiveEntry entry{};
  if (res == ArchiveResult::Ok) res = CurrentEntry(r, index, &entry);
  if (res == ArchiveResult::Ok) res = ExtractThrough(r, entry, make, context, file);
  return Record(res);
}

ArchiveResult ArchiveExtractToMemory(ArchiveHandle handle, int32_t index, void* buffer, uint32_t capacity,
                                     uint32_t* size) {
  if (size != nullptr) *size = 0;
  if ((buffer == nullptr && capacity > 0) || size == nullptr) return Record(ArchiveResult::BadArguments);
  ArchiveReader* r = nullptr;
  ArchiveResult res = StandOn(handle, index, &r);
  if (res == ArchiveResult::Ok) res = OpenEntryData(r);
  if (res != ArchiveResult::Ok) return Record(res);
  res = CopyEntryToMemory(r, static_cast<uint8_t*>(buffer), capacity, size);
  CloseEntryData(r);
  if (res != ArchiveResult::Ok) *size = 0;
  return Record(res);
}

bool ArchiveIsReader(ArchiveHandle handle) {
  return handle != nullptr && handle->kind == ARCHIVE_KIND_READER;
}

ArchiveResult ArchiveClose(ArchiveHandle handle) {
  ArchiveResult res = CheckHandle(handle);
  if (res != ArchiveResult::Ok) return Record(res);
  ReleaseReader(handle->reader);
  handle->reader = nullptr;
  handle->kind = 0;
  std::free(handle);
  return Record(ArchiveResult::Ok);
}

ArchiveResult ArchiveLastResult() {
  return static_cast<ArchiveResult>(g_lastResult.load(std::memory_order_relaxed));
}

int32_t ArchiveResultText(ArchiveResult code, char16_t* buffer, uint32_t capacity) {
  if (code == ArchiveResult::Recent) code = ArchiveLastResult();
  const char16_t* text = u"unknown zip result code";
  switch (code) {
    case ArchiveResult::Ok: text = u"Success"; break;
    case ArchiveResult::DuplicateHandleFailed: text = u"Culdn't duplicate handle"; break;
    case ArchiveResult::OpenFailed: text = u"Couldn't create/open file"; break;
    case ArchiveResult::NoMemory: text = u"Failed to allocate memory"; break;
    case ArchiveResult::WriteFailed: text = u"Error writing to file"; break;
    case ArchiveResult::NotFound: text = u"File not found in the zipfile"; break;
    case ArchiveResult::MoreData: text = u"Still more data to unzip"; break;
    case ArchiveResult::Corrupt: text = u"Zipfile is corrupt or not a zipfile"; break;
    case ArchiveResult::ReadFailed: text = u"Error reading file"; break;
    case ArchiveResult::PasswordRequired: text = u"Correct password required"; break;
    case ArchiveResult::BadArguments: text = u"Caller: faulty arguments"; break;
    case ArchiveResult::NotMemoryArchive: text = u"Caller: can only get memory of a memory zipfile"; break;
    case ArchiveResult::MemoryTooSmall: text = u"Caller: not enough space allocated for memory zipfile"; break;
    case ArchiveResult::PreviousError: text = u"Caller: there was a previous error"; break;
    case ArchiveResult::AlreadyEnded: text = u"Caller: additions to the zip have already been ended"; break;
    case ArchiveResult::SizeMismatch: text = u"Zip-bug: the anticipated size turned out wrong"; break;
    case ArchiveResult::PartiallyExtracted: text = u"Caller: the file had already been partially unzipped"; break;
    case ArchiveResult::ModeMismatch: text = u"Caller: mixing creation and opening of zip"; break;
    case ArchiveResult::ReservedName: text = u"Caller: the name is a device name or holds a zero byte"; break;
    case ArchiveResult::NotInitialised: text = u"Zip-bug: internal initialisation not completed"; break;
    case ArchiveResult::SeekUnseekable: text = u"Zip-bug: trying to seek the unseekable"; break;
    case ArchiveResult::CannotChangeMind: text = u"Zip-bug: tried to change mind, but not allowed"; break;
    case ArchiveResult::InflateFailed: text = u"Zip-bug: an internal error during flation"; break;
    default: break;
  }
  size_t length = platform::TextLength(text);
  if (buffer != nullptr && capacity > 0) platform::TextCopy(buffer, capacity, text);
  return static_cast<int32_t>(length);
}
