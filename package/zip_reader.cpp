// The ZIP package reader. See zip_reader.h; the choices it makes where the format leaves one open
// are described in package/README.md.
#include "package/zip_reader.h"

#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"

using platform::FileHandle;
using platform::SeekFrom;

namespace {

constexpr uint32_t BUFFER_SIZE = 16384;           // input and output buffers
constexpr uint32_t NAME_BUFFER = 260;             // directory name buffer, bytes
constexpr uint32_t END_RECORD_WINDOW = 65535;     // the end-record search reads at most this much
constexpr uint32_t END_RECORD_CHUNK = 1024;       // each chunk starts this much earlier
constexpr uint32_t END_RECORD_READ = 1028;        // and is this long (overlap of 4)
constexpr uint32_t END_RECORD_SIZE = 22;
constexpr uint32_t DIR_RECORD_SIZE = 46;
constexpr uint32_t LOCAL_HEADER_SIZE = 30;
constexpr uint32_t SIG_DIR_RECORD = 0x02014B50;
constexpr uint32_t SIG_LOCAL_HEADER = 0x04034B50;
constexpr uint32_t SIG_ZIP64_LOCATOR = 0x07064B50;
constexpr uint32_t ZIP64_LOCATOR_SIZE = 20;  // it ends where the end record begins
constexpr uint32_t DIRECTORY_WALK_READ = 4096;  // the walk at open reads the directory in these
constexpr uint64_t UNIX_EPOCH_AS_FILETIME = 116444736000000000ull;

std::atomic<uint32_t> g_lastResult{0};
std::atomic<uint32_t> g_lastOpenFailure{0};

ArchiveResult Record(ArchiveResult result) {
  g_lastResult.store(static_cast<uint32_t>(result), std::memory_order_relaxed);
  return result;
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

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

// The read state of the entry whose data is open.
struct EntryData {
  uint8_t* input;  // BUFFER_SIZE bytes
  uint32_t inputPos;
  uint32_t inputLen;
  z_stream stream;
  bool inflateReady;
  uint32_t crc;
  uint32_t expectedCrc;
  uint64_t remainingCompressed;
  uint64_t remainingUncompressed;
  uint64_t dataPosition;  // archive offset of the next compressed byte (before the correction)
  uint16_t method;
  bool encrypted;
  uint32_t keys[3];
  uint32_t headerLeft;  // encryption-header bytes still to skip
  uint8_t checkByte;
  bool endedEarly;  // the deflate stream ended before the uncompressed size was reached
};

}  // namespace

struct ArchiveReader {
  FileHandle file;
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
  DirRecord record;
  uint8_t recordName[NAME_BUFFER];
  uint32_t recordNameLength;  // bytes kept (at most NAME_BUFFER)
  EntryData* data;
  ArchiveEntry cached;
  int32_t cachedIndex;
  char* password;
  uint8_t* output;  // BUFFER_SIZE bytes, from the first extraction on
  char16_t base[ARCHIVE_MAX_PATH + 1];
};

namespace {

using platform::Sys;

// ---- Reading the source -------------------------------------------------------------------------

// Reads exactly length bytes at an archive position (relative to the initial offset).
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

// Checks the local header of the current entry against its directory record; yields the archive
// positions of the local extra field and of the data. Any mismatch or short read: Corrupt.
ArchiveResult CheckLocalHeader(ArchiveReader* r, uint64_t* extraPos, uint32_t* extraLength,
                               uint64_t* dataPos) {
  const DirRecord& d = r->record;
  uint8_t h[LOCAL_HEADER_SIZE];
  if (ReadAt(r, d.localHeaderOffset + r->correction, h, LOCAL_HEADER_SIZE) != ArchiveResult::Ok)
    return ArchiveResult::Corrupt;
  if (U32(h) != SIG_LOCAL_HEADER) return ArchiveResult::Corrupt;
  uint16_t flags = U16(h + 6);
  uint16_t method = U16(h + 8);
  if (method != d.method || (method != 0 && method != Z_DEFLATED)) return ArchiveResult::Corrupt;
  // The DOS time at h + 10 is read and not compared.
  if ((flags & 8) == 0) {
    if (U32(h + 14) != d.crc || U32(h + 18) != d.compressedSize || U32(h + 22) != d.uncompressedSize)
      return ArchiveResult::Corrupt;
  }
  uint16_t nameLength = U16(h + 26);
  if (nameLength != d.nameLength) return ArchiveResult::Corrupt;
  uint16_t localExtra = U16(h + 28);
  *extraPos = static_cast<uint64_t>(d.localHeaderOffset) + LOCAL_HEADER_SIZE + nameLength;
  *extraLength = localExtra;
  *dataPos = *extraPos + localExtra;
  return ArchiveResult::Ok;
}

// ---- Entry records ------------------------------------------------------------------------------

uint32_t AttributesFor(uint16_t versionMadeBy, uint32_t e) {
  uint32_t host = versionMadeBy >> 8;
  bool directory = (e & 0x40000000u) != 0;
  bool readOnly = (e & 0x00800000u) == 0;
  bool hidden = false, system = false, archive = true;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    readOnly = (e & 0x01) != 0;
    hidden = (e & 0x02) != 0;
    system = (e & 0x04) != 0;
    directory = (e & 0x10) != 0;
    archive = (e & 0x20) != 0;
  }
  uint32_t a = 0;
  if (directory) a |= platform::FILE_ATTR_DIRECTORY;
  if (archive) a |= platform::FILE_ATTR_ARCHIVE;
  if (hidden) a |= platform::FILE_ATTR_HIDDEN;
  if (readOnly) a |= platform::FILE_ATTR_READONLY;
  if (system) a |= platform::FILE_ATTR_SYSTEM;
  return a;
}

uint64_t UnixToFileTime(int32_t t) {
  return static_cast<uint64_t>(static_cast<int64_t>(t) * 10000000 +
                               static_cast<int64_t>(UNIX_EPOCH_AS_FILETIME));
}

// The "UT" extended-timestamp block of a local extra field. Times that the flags announce but
// that would lie beyond the block or the field are not read.
void ScanExtendedTimestamp(const uint8_t* extra, uint32_t length, ArchiveEntry* entry) {
  if (length < 5) return;
  uint32_t pos = 0;
  while (pos + 4 < length) {
    uint32_t blockSize = extra[pos + 2];  // only the low byte of the 16-bit size
    if (extra[pos] == 'U' && extra[pos + 1] == 'T') {
      uint32_t end = pos + 4 + blockSize;
      if (end > length) end = length;
      uint8_t flags = extra[pos + 4];
      uint32_t p = pos + 5;
      uint64_t* targets[3] = {&entry->writeTime, &entry->accessTime, &entry->creationTime};
      for (int bit = 0; bit < 3; ++bit) {
        if ((flags & (1u << bit)) == 0) continue;
        if (p + 4 > end) break;
        *targets[bit] = UnixToFileTime(static_cast<int32_t>(U32(extra + p)));
        p += 4;
      }
      return;
    }
    pos += 4 + blockSize;
  }
}

// Fills an entry record from the current directory record (the reader stands on it).
ArchiveResult FillEntry(ArchiveReader* r, ArchiveEntry* entry) {
  uint64_t extraPos = 0, dataPos = 0;
  uint32_t extraLength = 0;
  ArchiveResult res = CheckLocalHeader(r, &extraPos, &extraLength, &dataPos);
  if (res != ArchiveResult::Ok) return ArchiveResult::Corrupt;
  uint8_t* extra = nullptr;
  if (extraLength > 0) {
    if (!r->canSeek) return ArchiveResult::ReadFailed;
    extra = static_cast<uint8_t*>(std::malloc(extraLength));
    if (extra == nullptr) return ArchiveResult::NoMemory;
    if (ReadAt(r, extraPos + r->correction, extra, extraLength) != ArchiveResult::Ok) {
      std::free(extra);
      return ArchiveResult::ReadFailed;
    }
  }
  const DirRecord& d = r->record;
  entry->index = static_cast<int32_t>(r->currentIndex);
  entry->name[0] = 0;
  platform::Utf8ToWide(reinterpret_cast<const char*>(r->recordName),
                       static_cast<ptrdiff_t>(r->recordNameLength), entry->name, 260);
  ArchiveSanitiseName(entry->name);
  entry->attributes = AttributesFor(d.versionMadeBy, d.externalAttributes);
  entry->compressedSize = static_cast<int32_t>(d.compressedSize);
  entry->uncompressedSize = static_cast<int32_t>(d.uncompressedSize);
  uint64_t dosTime = 0;
  if (!Sys().DosTimeToFileTime(static_cast<uint16_t>(d.dosDateTime >> 16),
                               static_cast<uint16_t>(d.dosDateTime & 0xFFFF), &dosTime))
    dosTime = 0;  // not a calendar date: no time (the file keeps the time of its extraction)
  entry->accessTime = entry->creationTime = entry->writeTime = dosTime;
  if (extra != nullptr) ScanExtendedTimestamp(extra, extraLength, entry);
  std::free(extra);
  r->cached = *entry;
  r->cachedIndex = entry->index;
  return ArchiveResult::Ok;
}

// ---- Entry data ---------------------------------------------------------------------------------

uint32_t CrcByte(uint32_t crc, uint8_t b) {
  static const auto* table = get_crc_table();
  return static_cast<uint32_t>(table[(crc ^ b) & 0xFF]) ^ (crc >> 8);
}

void UpdateKeys(uint32_t keys[3], uint8_t c) {
  keys[0] = CrcByte(keys[0], c);
  keys[1] = keys[1] + (keys[0] & 0xFF);
  keys[1] = keys[1] * 134775813u + 1;
  keys[2] = CrcByte(keys[2], static_cast<uint8_t>(keys[1] >> 24));
}

uint8_t DecryptByte(const uint32_t keys[3]) {
  uint32_t temp = (keys[2] & 0xFFFF) | 2;
  return static_cast<uint8_t>(((temp * (temp ^ 1)) >> 8) & 0xFF);
}

void CloseEntryData(ArchiveReader* r) {
  EntryData* d = r->data;
  if (d == nullptr) return;
  if (d->inflateReady) inflateEnd(&d->stream);
  std::free(d->input);
  std::free(d);
  r->data = nullptr;
}

ArchiveResult OpenEntryData(ArchiveReader* r) {
  if (!r->recordOk) return ArchiveResult::Corrupt;
  CloseEntryData(r);
  uint64_t extraPos = 0, dataPos = 0;
  uint32_t extraLength = 0;
  ArchiveResult res = CheckLocalHeader(r, &extraPos, &extraLength, &dataPos);
  if (res != ArchiveResult::Ok) return res;
  auto* d = static_cast<EntryData*>(std::calloc(1, sizeof(EntryData)));
  if (d == nullptr) return ArchiveResult::NoMemory;
  d->input = static_cast<uint8_t*>(std::malloc(BUFFER_SIZE));
  if (d->input == nullptr) {
    std::free(d);
    return ArchiveResult::NoMemory;
  }
  const DirRecord& rec = r->record;
  d->method = rec.method;
  if (d->method == Z_DEFLATED) {
    d->stream.zalloc = Z_NULL;
    d->stream.zfree = Z_NULL;
    d->stream.opaque = Z_NULL;
    if (inflateInit2(&d->stream, -MAX_WBITS) != Z_OK) {
      std::free(d->input);
      std::free(d);
      return ArchiveResult::InflateFailed;
    }
    d->inflateReady = true;
  }
  d->crc = 0;
  d->expectedCrc = rec.crc;
  d->remainingCompressed = rec.compressedSize;
  d->remainingUncompressed = rec.uncompressedSize;
  d->dataPosition = dataPos;
  d->encrypted = (rec.flags & 1) != 0;
  if (d->encrypted) {
    d->headerLeft = 12;
    d->checkByte = (rec.flags & 8) != 0 ? static_cast<uint8_t>((rec.dosDateTime >> 8) & 0xFF)
                                        : static_cast<uint8_t>(rec.crc >> 24);
    d->keys[0] = 0x12345678;
    d->keys[1] = 0x23456789;
    d->keys[2] = 0x34567890;
    for (const char* p = r->password; p != nullptr && *p != 0; ++p)
      UpdateKeys(d->keys, static_cast<uint8_t>(*p));
  }
  r->data = d;
  return ArchiveResult::Ok;
}

// Delivers up to n bytes of the open entry. Ok with a count and whether the end of the entry was
// reached, or a failure: PasswordRequired (check byte), ReadFailed (a short read), Corrupt (the
// compressed data runs out, or the deflate stream ends early), InflateFailed (damaged data).
ArchiveResult ReadEntryData(ArchiveReader* r, uint8_t* out, uint32_t n, uint32_t* count, bool* end) {
  EntryData* d = r->data;
  *count = 0;
  *end = false;
  if (d == nullptr) return ArchiveResult::Corrupt;
  if (d->remainingUncompressed == 0) {
    *end = true;  // an empty entry, or one already delivered whole
    return ArchiveResult::Ok;
  }
  uint32_t space = d->remainingUncompressed < n ? static_cast<uint32_t>(d->remainingUncompressed) : n;
  uint32_t produced = 0;
  while (produced < space) {
    if (d->inputPos == d->inputLen && d->remainingCompressed > 0) {
      uint32_t want = d->remainingCompressed < BUFFER_SIZE ? static_cast<uint32_t>(d->remainingCompressed)
                                                          : BUFFER_SIZE;
      ArchiveResult res = ReadAt(r, d->dataPosition + r->correction, d->input, want);
      if (res != ArchiveResult::Ok) return res;
      d->dataPosition += want;
      d->remainingCompressed -= want;
      d->inputPos = 0;
      d->inputLen = want;
      if (d->encrypted) {
        for (uint32_t i = 0; i < want; ++i) {
          uint8_t c = d->input[i] ^ DecryptByte(d->keys);
          UpdateKeys(d->keys, c);
          d->input[i] = c;
        }
      }
    }
    while (d->headerLeft > 0 && d->inputPos < d->inputLen) {
      uint8_t c = d->input[d->inputPos++];
      d->headerLeft -= 1;
      if (d->headerLeft == 0 && c != d->checkByte) return ArchiveResult::PasswordRequired;
    }
    if (d->headerLeft > 0) {
      if (d->remainingCompressed == 0) return ArchiveResult::Corrupt;  // ran out in the header
      continue;
    }
    uint32_t avail = d->inputLen - d->inputPos;
    if (avail == 0 && d->remainingCompressed == 0 && d->method == 0)
      return ArchiveResult::Corrupt;  // the stored data ran out before its size
    if (d->method == 0) {
      uint32_t k = space - produced < avail ? space - produced : avail;
      std::memcpy(out + produced, d->input + d->inputPos, k);
      d->crc = static_cast<uint32_t>(crc32(d->crc, out + produced, k));
      d->inputPos += k;
      produced += k;
      d->remainingUncompressed -= k;
      if (d->remainingUncompressed == 0) {
        *end = true;
        break;
      }
    } else {
      d->stream.next_in = d->input + d->inputPos;
      d->stream.avail_in = avail;
      d->stream.next_out = out + produced;
      d->stream.avail_out = space - produced;
      int err = inflate(&d->stream, Z_SYNC_FLUSH);
      uint32_t consumed = avail - d->stream.avail_in;
      uint32_t made = (space - produced) - d->stream.avail_out;
      d->inputPos += consumed;
      d->crc = static_cast<uint32_t>(crc32(d->crc, out + produced, made));
      produced += made;
      d->remainingUncompressed -= made;
      if (err == Z_STREAM_END || d->remainingUncompressed == 0) {
        *end = true;
        if (d->remainingUncompressed != 0) {
          d->endedEarly = true;
          *count = produced;
          return ArchiveResult::Corrupt;
        }
        break;
      }
      if (err != Z_OK) return ArchiveResult::InflateFailed;  // damaged data, or data ran out
    }
  }
  *count = produced;
  return ArchiveResult::Ok;
}

// Delivers the whole open entry into file (or only reads and checks it, for no file) through the
// output buffer; at the end its CRC-32 must be the directory's, and the file gets the entry's times.
ArchiveResult CopyEntryData(ArchiveReader* r, FileHandle file, const ArchiveEntry& entry) {
  for (;;) {
    uint32_t count = 0;
    bool end = false;
    ArchiveResult res = ReadEntryData(r, r->output, BUFFER_SIZE, &count, &end);
    if (res != ArchiveResult::Ok) return res;
    if (count > 0 && file != platform::INVALID_FILE) {
      uint32_t written = 0;
      if (!Sys().WriteFile(file, r->output, count, &written) || written != count) return ArchiveResult::WriteFailed;
    }
    if (end) {
      if (r->data->crc != r->data->expectedCrc) return ArchiveResult::Corrupt;
      if (file != platform::INVALID_FILE)
        Sys().SetFileTimes(file, entry.creationTime, entry.accessTime, entry.writeTime);
      return ArchiveResult::Ok;
    }
    if (count == 0) return ArchiveResult::InflateFailed;
  }
}

// Delivers the whole open entry into buffer; at the end its CRC-32 must be the directory's.
ArchiveResult CopyEntryToMemory(ArchiveReader* r, uint8_t* buffer, uint32_t capacity, uint32_t* size) {
  uint32_t produced = 0;
  for (;;) {
    uint32_t count = 0;
    bool end = false;
    // One byte more than the room left, so that an entry longer than the buffer is noticed.
    uint8_t* out = produced < capacity ? buffer + produced : r->output;
    uint32_t room = produced < capacity ? capacity - produced : 1;
    ArchiveResult res = ReadEntryData(r, out, room, &count, &end);
    if (res != ArchiveResult::Ok) return res;
    if (produced >= capacity && count > 0) return ArchiveResult::MemoryTooSmall;
    produced += count;
    if (end) {
      if (r->data->crc != r->data->expectedCrc) return ArchiveResult::Corrupt;
      *size = produced;
      return ArchiveResult::Ok;
    }
    if (count == 0) return ArchiveResult::InflateFailed;
  }
}

// ---- Folders and paths --------------------------------------------------------------------------

// A device name of n units, compared without regard to ASCII letter case.
bool IsDeviceName(const char16_t* name, size_t n) {
  auto same = [&](const char16_t* device, size_t length) {
    if (n < length) return false;
    for (size_t k = 0; k < length; ++k) {
      char16_t c = name[k];
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
      if (c != device[k]) return false;
    }
    return true;
  };
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    size_t length = platform::TextLength(device);
    if (n == length && same(device, length)) return true;
  }
  if (n == 4 && (same(u"COM", 3) || same(u"LPT", 3))) {
    char16_t digit = name[3];
    return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
  }
  return false;
}

bool IsAbsolute(const char16_t* path) {
  return IsSeparator(path[0]) || (path[0] != 0 && path[1] == u':');
}

// Joins up to three parts into out (capacity ARCHIVE_MAX_PATH + 1); false when too long.
bool JoinPath(char16_t* out, const char16_t* a, const char16_t* b, size_t bLength, const char16_t* c) {
  size_t la = platform::TextLength(a), lc = platform::TextLength(c);
  if (la + bLength + lc > ARCHIVE_MAX_PATH) return false;
  std::memcpy(out, a, la * sizeof(char16_t));
  std::memcpy(out + la, b, bLength * sizeof(char16_t));
  std::memcpy(out + la + bLength, c, lc * sizeof(char16_t));
  out[la + bLength + lc] = 0;
  return true;
}

// Ensures base (one level) and then every folder prefix of folder[0..length), outermost first.
// Creating a folder that exists is harmless, so each is simply created. False when a prefix
// would be longer than ARCHIVE_MAX_PATH.
bool EnsureFolder(const char16_t* base, const char16_t* folder, size_t length) {
  if (platform::TextLength(base) + length > ARCHIVE_MAX_PATH) return false;
  if (base[0] != 0) Sys().MakeFolder(base);
  char16_t path[ARCHIVE_MAX_PATH + 1];
  for (size_t i = 1; i <= length; ++i) {
    if (i < length && !IsSeparator(folder[i])) continue;
    if (IsSeparator(folder[i - 1]) && i == length) break;  // "a/b/": "a/b" was made already
    if (!JoinPath(path, base, folder, i, u"")) return false;
    Sys().MakeFolder(path);
  }
  return true;
}

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
  if (index != -1 && index == r->cachedIndex) {
    *entry = r->cached;
    return Record(ArchiveResult::Ok);
  }
  if (index == -1) {
    entry->index = static_cast<int32_t>(r->entryCount);
    entry->name[0] = 0;
    entry->attributes = 0;
    entry->accessTime = entry->creationTime = entry->writeTime = 0;
    entry->compressedSize = entry->uncompressedSize = 0;
    return Record(ArchiveResult::Ok);
  }
  res = WalkTo(r, static_cast<uint32_t>(index));
  if (res != ArchiveResult::Ok) return Record(res);
  ArchiveEntry fresh{};
  res = FillEntry(r, &fresh);
  if (res != ArchiveResult::Ok) return Record(res);
  *entry = fresh;
  return Record(ArchiveResult::Ok);
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

ArchiveResult ArchiveExtractEntry(ArchiveHandle handle, int32_t index, const char16_t* path,
                                  platform::FileIdentity* written) {
  ArchiveResult res = CheckHandle(handle);
  if (res != ArchiveResult::Ok) return Record(res);
  ArchiveReader* r = handle->reader;
  if (index < 0 || static_cast<uint32_t>(index) >= r->entryCount) return Record(ArchiveResult::BadArguments);
  if (path == nullptr || path[0] == 0) return Record(ArchiveResult::BadArguments);

  res = WalkTo(r, static_cast<uint32_t>(index));
  if (res != ArchiveResult::Ok) return Record(res);
  ArchiveEntry entry{};
  if (r->cachedIndex == index) {
    entry = r->cached;
  } else {
    res = FillEntry(r, &entry);
    if (res != ArchiveResult::Ok) return Record(res);
  }

  bool absolute = IsAbsolute(path);
  if (!absolute && (r->base[0] == 0 || ArchivePathClimbs(path))) return Record(ArchiveResult::BadArguments);
  size_t pathLength = platform::TextLengthMax(path, ARCHIVE_MAX_PATH + 1);
  if (pathLength > ARCHIVE_MAX_PATH) return Record(ArchiveResult::BadArguments);
  // Windows opens the device for a device name, and a zero byte in the stored name cuts it short
  // (the file would be written under another name): refused on every platform, before anything
  // is opened or made.
  if (ArchivePathNamesDevice(path) || std::memchr(r->recordName, 0, r->recordNameLength) != nullptr)
    return Record(ArchiveResult::ReservedName);

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

  // The data is opened (and its local header checked) before any folder or the target exists,
  // so that an entry whose data cannot be read leaves nothing behind.
  res = OpenEntryData(r);
  if (res != ArchiveResult::Ok) return Record(res);
  if (!EnsureFolder(folderBase, path, split)) {
    CloseEntryData(r);
    return Record(ArchiveResult::BadArguments);
  }
  if (r->output == nullptr) {
    r->output = static_cast<uint8_t*>(std::malloc(BUFFER_SIZE));
    if (r->output == nullptr) {
      CloseEntryData(r);
      return Record(ArchiveResult::NoMemory);
    }
  }
  // A file of the target's name that is there already (an earlier entry of the same name, an
  // earlier extraction) is only replaced by data that proves whole: the entry is read through and
  // checked first, and a failure leaves that file as it was.
  FileHandle existing = Sys().OpenFile(target, platform::FileMode::ReadExisting);
  if (existing != platform::INVALID_FILE) {
    Sys().CloseFile(existing);
    res = CopyEntryData(r, platform::INVALID_FILE, entry);
    CloseEntryData(r);
    if (res == ArchiveResult::Ok) res = OpenEntryData(r);
    if (res != ArchiveResult::Ok) return Record(res);
  }
  FileHandle file = Sys().OpenFile(target, platform::FileMode::CreateAlways);
  if (file == platform::INVALID_FILE) {
    CloseEntryData(r);
    return Record(ArchiveResult::OpenFailed);
  }
  res = CopyEntryData(r, file, entry);
  // The file this extraction made, known by the handle it wrote through.
  if (res == ArchiveResult::Ok && written != nullptr && !Sys().IdentityOf(file, written)) res = ArchiveResult::WriteFailed;
  Sys().CloseFile(file);
  CloseEntryData(r);
  if (res != ArchiveResult::Ok) {
    Sys().RemoveFile(target);  // the file this extraction wrote: no partial or empty file stays
  } else {
    uint32_t attributes = entry.attributes != 0 ? entry.attributes : platform::FILE_ATTR_NORMAL;
    Sys().SetAttributes(target, attributes);
  }
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
  if (r->output == nullptr) r->output = static_cast<uint8_t*>(std::malloc(BUFFER_SIZE));
  res = r->output == nullptr ? ArchiveResult::NoMemory
                             : CopyEntryToMemory(r, static_cast<uint8_t*>(buffer), capacity, size);
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

void ArchiveSanitiseName(char16_t* name) {
  static const char16_t* const patterns[] = {u"\\..\\", u"\\../", u"/../", u"/..\\"};
  for (;;) {
    size_t length = platform::TextLength(name);
    size_t drop = 0;
    if (length > 0 && name[1] == u':') {
      drop = 2;
    } else if (IsSeparator(name[0])) {
      drop = 1;
    } else {
      for (const char16_t* pattern : patterns) {
        ptrdiff_t at = platform::TextFind(name, pattern);
        if (at >= 0) {
          drop = static_cast<size_t>(at) + 4;
          break;
        }
      }
    }
    if (drop == 0) return;
    std::memmove(name, name + drop, (length - drop + 1) * sizeof(char16_t));
  }
}

namespace {

// True when test holds for some component of path (the text between separators), each given
// as its first unit and its length.
bool AnyComponent(const char16_t* path, bool (*test)(const char16_t* component, size_t length)) {
  size_t i = 0;
  for (;;) {
    size_t start = i;
    while (path[i] != 0 && !IsSeparator(path[i])) ++i;
    if (test(path + start, i - start)) return true;
    if (path[i] == 0) return false;
    ++i;
  }
}

// Dots and blanks only, with two dots or more, up to the first ':' (what follows names a stream).
bool NamesParent(const char16_t* c, size_t length) {
  size_t end = 0;
  while (end < length && c[end] != u':') ++end;
  size_t dots = 0;
  bool onlyDotsAndBlanks = end > 0;
  for (size_t k = 0; k < end; ++k) {
    if (c[k] == u'.') ++dots;
    else if (c[k] != u' ') onlyDotsAndBlanks = false;
  }
  return onlyDotsAndBlanks && dots >= 2;
}

// What Windows takes for the device: the component up to its first '.' or ':', without the blanks
// that end it.
bool NamesDevice(const char16_t* c, size_t length) {
  size_t end = 0;
  while (end < length && c[end] != u'.' && c[end] != u':') ++end;
  while (end > 0 && c[end - 1] == u' ') --end;
  return IsDeviceName(c, end);
}

}  // namespace

bool ArchivePathClimbs(const char16_t* path) { return AnyComponent(path, NamesParent); }

bool ArchivePathNamesDevice(const char16_t* path) { return AnyComponent(path, NamesDevice); }
