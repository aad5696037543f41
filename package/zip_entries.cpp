// The ZIP reader's entries: the record of an entry (its local header checked against the
// directory, its attributes and times) and its data (traditional PKWARE decryption, stored or
// raw-deflated, the CRC-32 at the end), delivered into a file or into memory.
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "package/zip_reader_private.h"
#include "platform/platform.h"
#include "platform/text.h"

using platform::FileHandle;
using platform::Sys;

namespace zipreader {

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
};

namespace {

constexpr uint32_t LOCAL_HEADER_SIZE = 30;
constexpr uint64_t UNIX_EPOCH_AS_FILETIME = 116444736000000000ull;

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

}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

// Delivers up to n bytes of the open entry. Ok with a count and whether the end of the entry was
// reached, or a failure: PasswordRequired (check byte), ReadFailed (a short read), Corrupt (the
// compressed data runs out, the deflate stream ends early, or the entry ends with a CRC-32 other
// than the directory's), InflateFailed (damaged data).
ArchiveResult ReadEntryData(ArchiveReader* r, uint8_t* out, uint32_t n, uint32_t* count, bool* end) {
  EntryData* d = r->data;
  *count = 0;
  *end = false;
  if (d == nullptr) return ArchiveResult::Corrupt;
  if (d->remainingUncompressed == 0) {
    *end = true;  // an empty entry, or one already delivered whole
    return d->crc == d->expectedCrc ? ArchiveResult::Ok : ArchiveResult::Corrupt;
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
          *count = produced;
          return ArchiveResult::Corrupt;
        }
        break;
      }
      if (err != Z_OK) return ArchiveResult::InflateFailed;  // damaged data, or data ran out
    }
  }
  *count = produced;
  if (*end && d->crc != d->expectedCrc) return ArchiveResult::Corrupt;
  return ArchiveResult::Ok;
}

}  // namespace

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
      if (file != platform::INVALID_FILE)
        Sys().SetFileTimes(file, entry.creationTime, entry.accessTime, entry.writeTime);
      return ArchiveResult::Ok;
    }
    if (count == 0) return ArchiveResult::InflateFailed;
  }
}

ArchiveResult CopyEntryToMemory(ArchiveReader* r, uint8_t* buffer, uint32_t capacity, uint32_t* size) {
  if (r->data->remainingUncompressed > capacity) return ArchiveResult::MemoryTooSmall;
  uint32_t count = 0;
  bool end = false;
  ArchiveResult res = ReadEntryData(r, buffer, capacity, &count, &end);
  if (res == ArchiveResult::Ok) *size = count;
  return res;
}

}  // namespace zipreader
