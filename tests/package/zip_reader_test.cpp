// The ZIP reader on archives made by the tests' own writer: the operations and their
// results, the end-record search, the correction, the walk, names, attributes, times, and the
// sound behaviour where the format leaves a choice open or invites a fault.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "package/zip_reader.h"
#include "platform/text.h"
#include "tests/package/archive_test.h"
#include "tests/package/zip_builder.h"

using namespace packagetest;
using testenv::Narrow;
using testenv::Widen;

namespace {

std::string Text(ArchiveResult code, uint32_t capacity = 128, int32_t* length = nullptr) {
  char16_t buffer[128] = {};
  int32_t n = ArchiveResultText(code, buffer, capacity);
  if (length != nullptr) *length = n;
  return Narrow(buffer);
}

std::string Compressible(size_t size, uint32_t seed) {
  std::string s;
  uint32_t x = seed;
  while (s.size() < size) {
    x = x * 1103515245u + 12345u;
    s.append(1 + (x >> 28), static_cast<char>('a' + ((x >> 16) % 26)));
    s += "quorvela ";
  }
  s.resize(size);
  return s;
}

std::string Random(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

class ZipReader : public ArchiveTest {};

// ---- Results, handles ------------------------------------------------------------------------------

TEST(ZipResultText, EveryCodeHasItsText) {
  struct Row {
    uint32_t code;
    const char* text;
  } rows[] = {
      {0x00000000, "Success"},
      {0x00000100, "Culdn't duplicate handle"},
      {0x00000200, "Couldn't create/open file"},
      {0x00000300, "Failed to allocate memory"},
      {0x00000400, "Error writing to file"},
      {0x00000500, "File not found in the zipfile"},
      {0x00000600, "Still more data to unzip"},
      {0x00000700, "Zipfile is corrupt or not a zipfile"},
      {0x00000800, "Error reading file"},
      {0x00001000, "Correct password required"},
      {0x00010000, "Caller: faulty arguments"},
      {0x00020000, "Caller: can only get memory of a memory zipfile"},
      {0x00030000, "Caller: not enough space allocated for memory zipfile"},
      {0x00040000, "Caller: there was a previous error"},
      {0x00050000, "Caller: additions to the zip have already been ended"},
      {0x00060000, "Zip-bug: the anticipated size turned out wrong"},
      {0x00070000, "Caller: the file had already been partially unzipped"},
      {0x00080000, "Caller: mixing creation and opening of zip"},
      {0x00090000, "Caller: the name is a device name or holds a zero byte"},
      {0x01000000, "Zip-bug: internal initialisation not completed"},
      {0x02000000, "Zip-bug: trying to seek the unseekable"},
      {0x04000000, "Zip-bug: tried to change mind, but not allowed"},
      {0x05000000, "Zip-bug: an internal error during flation"},
      {0x00012345, "unknown zip result code"},
  };
  for (const Row& row : rows) {
    int32_t length = 0;
    EXPECT_EQ(Text(static_cast<ArchiveResult>(row.code), 128, &length), row.text) << std::hex << row.code;
    EXPECT_EQ(length, static_cast<int32_t>(std::strlen(row.text)));
  }
}

TEST(ZipResultText, CapacityCutsAndTheLengthIsAlwaysWhole) {
  int32_t length = 0;
  EXPECT_EQ(Text(ArchiveResult::Ok, 8, &length), "Success");
  EXPECT_EQ(length, 7);
  EXPECT_EQ(Text(ArchiveResult::Ok, 5, &length), "Succ");
  EXPECT_EQ(length, 7);
  EXPECT_EQ(ArchiveResultText(ArchiveResult::Corrupt, nullptr, 100), 35);
  char16_t untouched[4] = {u'x', 0, 0, 0};
  EXPECT_EQ(ArchiveResultText(ArchiveResult::Ok, untouched, 0), 7);
  EXPECT_EQ(untouched[0], u'x');
}

TEST_F(ZipReader, RecentStandsForTheLastResult) {
  ArchiveEntry e{};
  EXPECT_EQ(ArchiveGetEntry(nullptr, 0, &e), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveLastResult(), ArchiveResult::BadArguments);
  EXPECT_EQ(Text(ArchiveResult::Recent), "Caller: faulty arguments");
  EXPECT_EQ(ArchiveOpenFile(AtW("missing.zip").c_str(), nullptr), nullptr);
  EXPECT_EQ(Text(ArchiveResult::Recent), "Couldn't create/open file");
}

TEST_F(ZipReader, MissingOrForeignHandles) {
  ArchiveEntry e{};
  EXPECT_EQ(ArchiveSetBaseFolder(nullptr, u"x"), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveGetEntry(nullptr, -1, &e), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveExtractEntry(nullptr, 0, u"x"), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveClose(nullptr), ArchiveResult::BadArguments);
  EXPECT_FALSE(ArchiveIsReader(nullptr));
  ArchiveHandleRecord foreign{2, nullptr};
  EXPECT_EQ(ArchiveSetBaseFolder(&foreign, u"x"), ArchiveResult::ModeMismatch);
  EXPECT_EQ(ArchiveGetEntry(&foreign, -1, &e), ArchiveResult::ModeMismatch);
  EXPECT_EQ(ArchiveExtractEntry(&foreign, 0, u"x"), ArchiveResult::ModeMismatch);
  EXPECT_EQ(ArchiveClose(&foreign), ArchiveResult::ModeMismatch);
  EXPECT_FALSE(ArchiveIsReader(&foreign));
}

// ---- Opening -------------------------------------------------------------------------------------

TEST_F(ZipReader, EmptyArchiveHasNoEntries) {
  ArchiveHandle h = ArchiveOpenFile(Archive(BuildZip({})).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(ArchiveIsReader(h));
  ArchiveEntry e{};
  e.index = 99;
  EXPECT_EQ(ArchiveGetEntry(h, -1, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.index, 0);
  EXPECT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveGetEntry(h, -2, &e), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveExtractEntry(h, 0, u"x"), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveClose(h), ArchiveResult::Ok);
}

// Each refusal records OpenFailed (Corrupt for a directory that does not add up) and tells which
// kind of file it was.
TEST_F(ZipReader, WhatIsNotAnArchiveDoesNotOpen) {
  ZipLayout l;
  std::string good = BuildZip({{"a.txt", "hello"}}, &l);
  auto opens = [&](const std::string& bytes, ArchiveOpenFailure why) {
    ArchiveHandle h = ArchiveOpenFile(Archive(bytes).c_str(), nullptr);
    EXPECT_EQ(ArchiveLastOpenFailure(), why) << bytes.size();
    if (h == nullptr) {
      EXPECT_EQ(ArchiveLastResult(), why == ArchiveOpenFailure::DirectoryMismatch ? ArchiveResult::Corrupt
                                                                                 : ArchiveResult::OpenFailed);
      return false;
    }
    ArchiveClose(h);
    return true;
  };
  EXPECT_TRUE(opens(good, ArchiveOpenFailure::None));
  EXPECT_FALSE(opens("", ArchiveOpenFailure::NotAnArchive));
  EXPECT_FALSE(opens("PK\x05\x06", ArchiveOpenFailure::NotAnArchive));
  EXPECT_FALSE(opens(Random(5000, 7), ArchiveOpenFailure::NotAnArchive));
  std::string disk = good;
  Patch16(disk, l.endOffset + 4, 1);  // this disk 1
  EXPECT_FALSE(opens(disk, ArchiveOpenFailure::MultiDisk));
  std::string dirDisk = good;
  Patch16(dirDisk, l.endOffset + 6, 1);
  EXPECT_FALSE(opens(dirDisk, ArchiveOpenFailure::MultiDisk));
  std::string counts = good;
  Patch16(counts, l.endOffset + 8, 2);  // entries here 2, total 1
  EXPECT_FALSE(opens(counts, ArchiveOpenFailure::MultiDisk));
  std::string beyond = good;
  Patch32(beyond, l.endOffset + 16, static_cast<uint32_t>(l.endOffset));  // directory would end past the end record
  EXPECT_FALSE(opens(beyond, ArchiveOpenFailure::DirectoryOutside));
  // Two records counted, but after the first only 10 bytes are left before the end record: too
  // few for a second record.
  std::string tail = good.substr(0, l.endOffset) + std::string(10, 'j') + good.substr(l.endOffset);
  Patch16(tail, l.endOffset + 10 + 8, 2);
  Patch16(tail, l.endOffset + 10 + 10, 2);
  Patch32(tail, l.endOffset + 10 + 12, static_cast<uint32_t>(l.endOffset + 10 - l.centralOffset));
  EXPECT_FALSE(opens(tail, ArchiveOpenFailure::DirectoryMismatch));
  std::string cut = good.substr(0, good.size() - 3);  // the end record is cut short
  EXPECT_FALSE(opens(cut, ArchiveOpenFailure::Truncated));
  EXPECT_FALSE(opens(good.substr(0, l.centralOffset), ArchiveOpenFailure::Truncated));  // no end record
  EXPECT_EQ(ArchiveOpenFile(Widen(Scratch()).c_str(), nullptr), nullptr);  // a folder
  EXPECT_EQ(ArchiveLastOpenFailure(), ArchiveOpenFailure::CannotOpen);
  char16_t text[256];
  EXPECT_GT(ArchiveOpenFailureText(text, 256), 0);
  EXPECT_EQ(Narrow(text), "Couldn't create/open file (the file cannot be opened for reading)");
}

TEST_F(ZipReader, CommentOfSeveralKilobytesIsSearchedInLaterChunks) {
  std::string comment(5000, 'c');
  for (size_t i = 0; i < comment.size(); i += 61) comment[i] = '\n';
  std::string bytes = BuildZip({{"a.txt", "hello"}}, nullptr, comment);
  Fs().ResetCounts();
  ArchiveHandle h = ArchiveOpenFile(Archive(bytes).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_LE(Fs().largestRead.load(), 1028u);  // the search reads in chunks of 1,028 bytes
  EXPECT_GE(Fs().reads.load(), 5);            // and needed several of them
  ArchiveClose(h);
  // A comment longer than the search window: the end record is not found.
  std::string big = BuildZip({{"a.txt", "hello"}});
  Patch16(big, big.size() - 2, 65535);
  big += std::string(65535, 'c');
  EXPECT_EQ(ArchiveOpenFile(Archive(big, "big.zip").c_str(), nullptr), nullptr);
}

TEST_F(ZipReader, TheLastSignatureWinsAndChunksOverlap) {
  // Place the end record so that its signature straddles the boundary of the first two chunks:
  // the 4-byte overlap still finds it.
  std::string bytes = BuildZip({{"a.txt", "hello"}});
  size_t endRecord = bytes.size() - 22;
  // The first chunk covers the last 1,028 bytes; a comment of 1,028 - 22 + 2 bytes puts the
  // signature's first two bytes before it.
  std::string comment(1028 - 22 + 2, 'z');
  Patch16(bytes, endRecord + 20, static_cast<uint32_t>(comment.size()));
  bytes += comment;
  ArchiveHandle h = ArchiveOpenFile(Archive(bytes).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveEntry e{};
  EXPECT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::Ok);
  EXPECT_EQ(Narrow(e.name), "a.txt");
  ArchiveClose(h);
}

TEST_F(ZipReader, BytesBeforeTheArchiveAreCorrectedFor) {
  std::string prefix = "MZ" + Random(3000, 3);  // as a self-extracting stub would be
  std::string bytes = BuildZip({{"one.txt", Compressible(20000, 1)}, {"two.bin", Random(5000, 2), 0}}, nullptr, "", prefix);
  auto results = UnpackAll(Archive(bytes));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].result, ArchiveResult::Ok);
  EXPECT_EQ(results[1].result, ArchiveResult::Ok);
  EXPECT_EQ(ReadAll(Out("one.txt")), Compressible(20000, 1));
  EXPECT_EQ(ReadAll(Out("two.bin")), Random(5000, 2));
}

// ---- Entries -------------------------------------------------------------------------------------

TEST_F(ZipReader, WalkRestartsForAnEarlierEntryAndCachesTheLastOne) {
  std::vector<ZipItem> items;
  for (int i = 0; i < 6; ++i) items.push_back({"e" + std::to_string(i) + ".txt", "data " + std::to_string(i)});
  ArchiveHandle h = ArchiveOpenFile(Archive(BuildZip(items)).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveEntry e{};
  ASSERT_EQ(ArchiveGetEntry(h, 3, &e), ArchiveResult::Ok);
  EXPECT_EQ(Narrow(e.name), "e3.txt");
  EXPECT_EQ(e.index, 3);
  ASSERT_EQ(ArchiveGetEntry(h, 1, &e), ArchiveResult::Ok);
  EXPECT_EQ(Narrow(e.name), "e1.txt");
  EXPECT_EQ(e.index, 1);
  // The same index again: the cached record, without touching the file.
  Fs().ResetCounts();
  ArchiveEntry again{};
  ASSERT_EQ(ArchiveGetEntry(h, 1, &again), ArchiveResult::Ok);
  EXPECT_EQ(Fs().reads.load(), 0);
  EXPECT_EQ(Fs().seeks.load(), 0);
  EXPECT_EQ(std::memcmp(&again, &e, sizeof e), 0);
  ASSERT_EQ(ArchiveGetEntry(h, 5, &e), ArchiveResult::Ok);
  EXPECT_EQ(Narrow(e.name), "e5.txt");
  ASSERT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::Ok);
  EXPECT_EQ(Narrow(e.name), "e0.txt");
  EXPECT_EQ(ArchiveGetEntry(h, 6, &e), ArchiveResult::BadArguments);
  EXPECT_EQ(e.index, 0);
  EXPECT_EQ(e.name[0], 0);
  ArchiveClose(h);
}

TEST_F(ZipReader, AnEntryBehindABrokenRecordCannotBeReachedAndNothingIsRetried) {
  std::vector<ZipItem> items;
  for (int i = 0; i < 5; ++i) items.push_back({"e" + std::to_string(i) + ".txt", "data " + std::to_string(i)});
  ZipLayout l;
  std::string bytes = BuildZip(items, &l);
  Patch32(bytes, l.centralOffsets[2], 0x12345678);  // the third record's signature
  ArchiveHandle h = ArchiveOpenFile(Archive(bytes).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveEntry e{};
  EXPECT_EQ(ArchiveGetEntry(h, 1, &e), ArchiveResult::Ok);
  EXPECT_EQ(ArchiveGetEntry(h, 4, &e), ArchiveResult::Corrupt);
  EXPECT_EQ(ArchiveGetEntry(h, 3, &e), ArchiveResult::Corrupt);
  EXPECT_EQ(ArchiveExtractEntry(h, 4, u"e4.txt"), ArchiveResult::Corrupt);
  EXPECT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::Ok);  // a restart reaches the first ones again
  EXPECT_EQ(Narrow(e.name), "e0.txt");
  EXPECT_EQ(ArchiveGetEntry(h, 2, &e), ArchiveResult::Corrupt);
  ArchiveClose(h);
  EXPECT_FALSE(Exists(Out("e4.txt")));
}

TEST_F(ZipReader, AFirstRecordThatDoesNotReadGivesAFailureNotAnEntry) {
  ZipLayout l;
  std::string bytes = BuildZip({{"a.txt", "x"}}, &l);
  Patch32(bytes, l.centralOffsets[0], 0);
  ArchiveHandle h = ArchiveOpenFile(Archive(bytes).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveEntry e{};
  EXPECT_EQ(ArchiveGetEntry(h, -1, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.index, 1);
  EXPECT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::Corrupt);
  EXPECT_EQ(ArchiveExtractEntry(h, 0, u"a.txt"), ArchiveResult::Corrupt);
  ArchiveClose(h);
}

TEST_F(ZipReader, AttributesFollowTheHostSystem) {
  struct Case {
    uint16_t host;
    uint32_t external;
    uint32_t attributes;
  } cases[] = {
      {3, 0x81A40000, 0x20},   // Unix -rw-r--r--: archive
      {3, 0x81240000, 0x21},   // Unix -r--r--r--: read-only (bit 23 clear)
      {3, 0x41ED0010, 0x30},   // Unix folder: bit 30
      {0, 0x00000021, 0x21},   // DOS: archive, read-only
      {0, 0x00000007, 0x07},   // DOS: read-only, hidden, system, no archive bit
      {0, 0x00000010, 0x10},   // DOS folder: bit 4
      {7, 0x00000022, 0x22},   // 7, 11, 14 read the DOS bits too
      {11, 0x81800020, 0x20},  // NTFS with the embedded package's value
      {14, 0x00000001, 0x01},
      {19, 0x00800000, 0x20},  // any other host: the Unix bits
      {19, 0x00000000, 0x21},
  };
  std::vector<ZipItem> items;
  for (size_t i = 0; i < std::size(cases); ++i) {
    ZipItem item{"f" + std::to_string(i), "x", 0};
    item.madeBy = static_cast<uint16_t>((cases[i].host << 8) | 20);
    item.external = cases[i].external;
    items.push_back(item);
  }
  ArchiveHandle h = ArchiveOpenFile(Archive(BuildZip(items)).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  for (size_t i = 0; i < std::size(cases); ++i) {
    ArchiveEntry e{};
    ASSERT_EQ(ArchiveGetEntry(h, static_cast<int32_t>(i), &e), ArchiveResult::Ok);
    EXPECT_EQ(e.attributes, cases[i].attributes) << "host " << cases[i].host << " external " << std::hex << cases[i].external;
  }
  ArchiveClose(h);
}

TEST_F(ZipReader, TimesComeFromTheDosFieldsAndTheUtBlock) {
  uint64_t dos = 0;
  ASSERT_TRUE(platform::Sys().DosTimeToFileTime(static_cast<uint16_t>(DOS_2021_06_15_102030 >> 16),
                                                static_cast<uint16_t>(DOS_2021_06_15_102030 & 0xFFFF), &dos));
  auto ft = [](int64_t unix) { return static_cast<uint64_t>(unix * 10000000 + 116444736000000000ll); };
  std::vector<ZipItem> items(7);
  items[0] = {"dos.txt", "a"};
  items[1] = {"ut-all.txt", "b"};
  items[1].localExtra = UtExtra(7, 1700000000, 1700000100, 1600000000);
  items[2] = {"ut-write.txt", "c"};
  items[2].localExtra = UtExtra(1, 1700000000, 0, 0);
  items[3] = {"ut-after-other.txt", "d"};
  items[3].localExtra = std::string("ux\x0b\x00\x01\x04\x00\x00\x00\x00\x04\x00\x00\x00\x00", 15) + UtExtra(2, 0, 1234567890, 0);
  items[4] = {"ut-short.txt", "e"};  // flags promise three times, the block holds one
  items[4].localExtra = UtExtra(1, 1700000000, 0, 0);
  items[4].localExtra[4] = 7;
  items[5] = {"bad-date.txt", "f"};
  items[5].dosDateTime = 0;  // month 0: no calendar date
  items[6] = {"negative.txt", "g"};
  items[6].localExtra = UtExtra(1, -86400, 0, 0);
  ArchiveHandle h = ArchiveOpenFile(Archive(BuildZip(items)).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveEntry e{};
  ASSERT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.writeTime, dos);
  EXPECT_EQ(e.accessTime, dos);
  EXPECT_EQ(e.creationTime, dos);
  ASSERT_EQ(ArchiveGetEntry(h, 1, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.writeTime, ft(1700000000));
  EXPECT_EQ(e.accessTime, ft(1700000100));
  EXPECT_EQ(e.creationTime, ft(1600000000));
  ASSERT_EQ(ArchiveGetEntry(h, 2, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.writeTime, ft(1700000000));
  EXPECT_EQ(e.accessTime, dos);
  EXPECT_EQ(e.creationTime, dos);
  ASSERT_EQ(ArchiveGetEntry(h, 3, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.writeTime, dos);
  EXPECT_EQ(e.accessTime, ft(1234567890));
  ASSERT_EQ(ArchiveGetEntry(h, 4, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.writeTime, ft(1700000000));
  EXPECT_EQ(e.accessTime, dos);  // not read from beyond the block
  ASSERT_EQ(ArchiveGetEntry(h, 5, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.writeTime, 0u);
  EXPECT_EQ(e.accessTime, 0u);
  ASSERT_EQ(ArchiveGetEntry(h, 6, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.writeTime, ft(-86400));
  ArchiveClose(h);
  // Extraction gives the file its write time.
  auto results = UnpackAll(Archive(BuildZip(items), "again.zip"));
  ASSERT_EQ(results.size(), items.size());
  for (const auto& r : results) EXPECT_EQ(r.result, ArchiveResult::Ok) << Narrow(r.name);
  auto mtime = std::filesystem::last_write_time(FsPath(Out("ut-all.txt")));
  auto mtime2 = std::filesystem::last_write_time(FsPath(Out("ut-write.txt")));
  EXPECT_EQ(mtime, mtime2);  // both 1700000000
}

TEST_F(ZipReader, SizesComeFromTheDirectory) {
  std::string data = Compressible(50000, 9);
  ArchiveHandle h = ArchiveOpenFile(Archive(BuildZip({{"d.txt", data}})).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveEntry e{};
  ASSERT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::Ok);
  EXPECT_EQ(e.uncompressedSize, 50000);
  EXPECT_EQ(e.compressedSize, static_cast<int32_t>(RawDeflate(data).size()));
  ArchiveClose(h);
}

TEST_F(ZipReader, Utf8NamesAreDecoded) {
  ArchiveHandle h = ArchiveOpenFile(Archive(BuildZip({{"\xC3\xBC\xE5\x90\x8D.txt", "x"}})).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveEntry e{};
  ASSERT_EQ(ArchiveGetEntry(h, 0, &e), ArchiveResult::Ok);
  EXPECT_EQ(std::u16string(e.name), u"\u00FC\u540D.txt");
  ArchiveClose(h);
}

TEST_F(ZipReader, ANameOf300BytesIsCutAndTheNextEntryIsUntouched) {
  // The directory's name buffer holds 260 bytes: the rest of the name must not reach the
  // reader's own state, so the entry after it lists and extracts as usual.
  std::vector<ZipItem> items = {{std::string(300, 'n'), "long", 0}, {"second.txt", "second", 8}};
  auto results = UnpackAll(Archive(BuildZip(items)));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].entryResult, ArchiveResult::Ok);
  EXPECT_EQ(Narrow(results[0].name), std::string(259, 'n'));
  EXPECT_EQ(results[0].result, ArchiveResult::BadArguments);  // too long with the base folder
  EXPECT_EQ(results[1].entryResult, ArchiveResult::Ok);
  EXPECT_EQ(Narrow(results[1].name), "second.txt");
  EXPECT_EQ(results[1].result, ArchiveResult::Ok);
  EXPECT_EQ(FilesBelow(Out()), (std::vector<std::string>{"second.txt"}));
  EXPECT_EQ(ReadAll(Out("second.txt")), "second");
}

// ---- Names and where they land -------------------------------------------------------------------

TEST(ZipNames, SanitisingDropsPrefixesSeparatorsAndPatterns) {
  auto clean = [](const std::u16string& in) {
    char16_t buffer[260];
    platform::TextCopy(buffer, 260, in.c_str());
    ArchiveSanitiseName(buffer);
    return std::u16string(buffer);
  };
  EXPECT_EQ(clean(u"C:\\dir\\x.bin"), u"dir\\x.bin");
  EXPECT_EQ(clean(u"/abs/x"), u"abs/x");
  EXPECT_EQ(clean(u"a/../b"), u"b");
  EXPECT_EQ(clean(u"x\\..\\y/../z"), u"z");
  EXPECT_EQ(clean(u"a\\../b.txt"), u"b.txt");  // the mixed separators count too
  EXPECT_EQ(clean(u"a/..\\b.txt"), u"b.txt");
  EXPECT_EQ(clean(u"a/../../b"), u"../b");
  EXPECT_EQ(clean(u"../b"), u"../b");
  EXPECT_EQ(clean(u"\\\\server\\share\\f"), u"server\\share\\f");
  EXPECT_EQ(clean(u"C:/../x"), u"../x");  // still climbs: refused on extraction
  EXPECT_EQ(clean(u"a/b/../c"), u"c");  // everything up to and including the pattern goes
  EXPECT_EQ(clean(u"plain.txt"), u"plain.txt");
  EXPECT_EQ(clean(u""), u"");
  EXPECT_EQ(clean(u"c:"), u"");
}

TEST(ZipNames, ClimbingPathsAreRecognised) {
  EXPECT_TRUE(ArchivePathClimbs(u"../b"));
  EXPECT_TRUE(ArchivePathClimbs(u".."));
  EXPECT_TRUE(ArchivePathClimbs(u"a\\..\\..\\b"));
  EXPECT_TRUE(ArchivePathClimbs(u"a/.."));
  EXPECT_TRUE(ArchivePathClimbs(u"... /x"));
  EXPECT_TRUE(ArchivePathClimbs(u"..:stream"));
  EXPECT_TRUE(ArchivePathClimbs(u".. /x"));
  EXPECT_FALSE(ArchivePathClimbs(u"a/b"));
  EXPECT_FALSE(ArchivePathClimbs(u"./a"));
  EXPECT_FALSE(ArchivePathClimbs(u"..a/b"));
  EXPECT_FALSE(ArchivePathClimbs(u"a../b"));
  EXPECT_FALSE(ArchivePathClimbs(u".hidden"));
  EXPECT_FALSE(ArchivePathClimbs(u""));
}

TEST_F(ZipReader, NamesLandBelowTheBaseFolder) {
  std::vector<ZipItem> items = {
      {"C:\\dir\\x.bin", "1", 0}, {"/abs/x", "2", 0}, {"a/../b", "3", 0}, {"x\\..\\y/../z", "4", 0},
      {"sub/deeper/f.txt", "5", 0}, {"\xC3\xBC.txt", "6", 0},
  };
  auto results = UnpackAll(Archive(BuildZip(items)));
  ASSERT_EQ(results.size(), items.size());
  for (const auto& r : results) EXPECT_EQ(r.result, ArchiveResult::Ok) << Narrow(r.name);
  EXPECT_EQ(ReadAll(Out("dir/x.bin")), "1");
  EXPECT_EQ(ReadAll(Out("abs/x")), "2");
  EXPECT_EQ(ReadAll(Out("b")), "3");
  EXPECT_EQ(ReadAll(Out("z")), "4");
  EXPECT_EQ(ReadAll(Out("sub/deeper/f.txt")), "5");
  EXPECT_EQ(ReadAll(Out("\xC3\xBC.txt")), "6");
}

TEST_F(ZipReader, NamesThatStillClimbAreRefusedAndNothingLeavesTheBase) {
  std::vector<ZipItem> items = {
      {"a/../../b.txt", "climb", 0},
      {"../evil.txt", "climb", 0},
      {"ok/../../../../escape.txt", "climb", 0},
      {"..\\win.txt", "climb", 0},
      {"fine.txt", "stays", 0},
  };
  auto results = UnpackAll(Archive(BuildZip(items)));
  ASSERT_EQ(results.size(), items.size());
  EXPECT_EQ(Narrow(results[0].name), "../b.txt");
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(results[i].result, ArchiveResult::BadArguments) << i;
  EXPECT_EQ(results[4].result, ArchiveResult::Ok);
  // Only the one plain file exists, in the base folder; nothing next to it or above it.
  EXPECT_EQ(FilesBelow(Scratch()), (std::vector<std::string>{"out/fine.txt", "test.zip"}));
  // Even a caller that passes such a name itself is refused.
  ArchiveHandle h = ArchiveOpenFile(AtW("test.zip").c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveSetBaseFolder(h, Widen(Out()).c_str());
  EXPECT_EQ(ArchiveExtractEntry(h, 4, u"../up.txt"), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveExtractEntry(h, 4, u"a/../../up.txt"), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveExtractEntry(h, 4, u"inner/../same.txt"), ArchiveResult::BadArguments);
  ArchiveClose(h);
  EXPECT_FALSE(Exists(At("up.txt")));
}

TEST_F(ZipReader, DeviceNamesAndNamesWithAZeroByteAreRefusedBeforeAnythingIsMade) {
  // On Windows each of these would open a device (and report Success); a zero byte would cut the
  // name to "image.fw". The entries around them extract as before.
  std::vector<std::string> refused = {
      "CON", "prn.fw", "sub/Aux.tar.gz", "NUL", "nul .txt", "com1", "COM9.log", "lpt1.ini",
      "LPT9", "CONIN$", "conout$.txt", "deep/Com3/x.fw", "com0", "LPT\xC2\xB9.bin", "con:stream",
      std::string("image.fw\0.txt", 13)};
  std::vector<std::string> accepted = {"console.txt", "CONFIG.fw", "com10.txt", "lpt.txt", "nul_file",
                                       "sub/prn2.txt", "auxiliary/x.txt", "xcon"};
  std::vector<ZipItem> items;
  for (const auto& name : refused) items.push_back({name, "device", 0});
  for (const auto& name : accepted) items.push_back({name, "file", 0});
  auto results = UnpackAll(Archive(BuildZip(items)));
  ASSERT_EQ(results.size(), items.size());
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(results[i].entryResult, ArchiveResult::Ok) << i;  // listed as usual
    EXPECT_EQ(results[i].result, ArchiveResult::ReservedName) << i;
  }
  for (size_t i = refused.size(); i < items.size(); ++i)
    EXPECT_EQ(results[i].result, ArchiveResult::Ok) << Narrow(results[i].name);
  std::vector<std::string> files;
  for (const auto& name : accepted) files.push_back("out/" + name);
  files.push_back("test.zip");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(FilesBelow(Scratch()), files);
  EXPECT_FALSE(Exists(Out("deep")));
}

TEST_F(ZipReader, FolderEntriesMakeFoldersAndNoFile) {
  ZipItem unixFolder{"unixdir/", "", 0};
  unixFolder.external = 0x41ED0010;
  ZipItem dosFolder{"dosdir/inner/", "", 0};
  dosFolder.madeBy = (0 << 8) | 20;
  dosFolder.external = 0x10;
  ZipItem unixNoBit{"nobit/", "", 0};  // a Unix host without bit 30 is no folder: a file fails
  unixNoBit.external = 0x81A40000;
  auto results = UnpackAll(Archive(BuildZip({unixFolder, dosFolder, unixNoBit})));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].result, ArchiveResult::Ok);
  EXPECT_EQ(results[1].result, ArchiveResult::Ok);
  EXPECT_NE(results[2].result, ArchiveResult::Ok);
  EXPECT_TRUE(IsFolder(Out("unixdir")));
  EXPECT_TRUE(IsFolder(Out("dosdir/inner")));
  EXPECT_TRUE(FilesBelow(Out()).empty());
}

TEST_F(ZipReader, AbsoluteTargetsAreTakenAsGiven) {
  ArchiveHandle h = ArchiveOpenFile(Archive(BuildZip({{"f.txt", "abs"}})).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveSetBaseFolder(h, Widen(Out()).c_str());
  std::u16string target = AtW("elsewhere/g.txt");
  EXPECT_EQ(ArchiveExtractEntry(h, 0, target.c_str()), ArchiveResult::Ok);
  ArchiveClose(h);
  EXPECT_EQ(ReadAll(At("elsewhere/g.txt")), "abs");
}

TEST_F(ZipReader, PathsLongerThan259AreRefusedNotCut) {
  // A base folder of exactly the length that leaves room for "f.txt" and not one more character.
  std::string base = Scratch() + "/";
  size_t baseLength = Widen(base).size();
  ASSERT_LT(baseLength, 200u);
  std::string pad(259 - baseLength - 1 - 5, 'p');  // base + pad + "/" + "f.txt" = 259
  std::string folder = base + pad;
  std::string archive = BuildZip({{"f.txt", "fits"}, {"ff.txt", "too long"}, {"d/g.txt", "too long"}});
  ArchiveHandle h = ArchiveOpenFile(Archive(archive).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ArchiveSetBaseFolder(h, Widen(folder).c_str()), ArchiveResult::Ok);
  EXPECT_EQ(ArchiveExtractEntry(h, 0, u"f.txt"), ArchiveResult::Ok);
  EXPECT_EQ(ArchiveExtractEntry(h, 1, u"ff.txt"), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveExtractEntry(h, 2, u"d/g.txt"), ArchiveResult::BadArguments);
  ArchiveClose(h);
  EXPECT_EQ(ReadAll(folder + "/f.txt"), "fits");
  EXPECT_FALSE(Exists(folder + "/ff.txt"));
  EXPECT_FALSE(Exists(folder + "/ff.tx"));
  EXPECT_FALSE(Exists(folder + "/d"));
  // The base folder itself: 259 with its separator is accepted, 260 refused, the old one kept.
  h = ArchiveOpenFile(AtW("test.zip").c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  std::u16string longest(258, u'q');
  longest[0] = u'/';
  EXPECT_EQ(ArchiveSetBaseFolder(h, longest.c_str()), ArchiveResult::Ok);
  longest += u'q';
  EXPECT_EQ(ArchiveSetBaseFolder(h, longest.c_str()), ArchiveResult::BadArguments);
  longest += u'/';
  EXPECT_EQ(ArchiveSetBaseFolder(h, longest.c_str()), ArchiveResult::BadArguments);
  EXPECT_EQ(ArchiveSetBaseFolder(h, u""), ArchiveResult::BadArguments);
  ArchiveClose(h);
}

// ---- Entry data ----------------------------------------------------------------------------------

TEST_F(ZipReader, StoredAndDeflatedDataComeOutWhole) {
  std::vector<ZipItem> items = {
      {"stored.bin", Random(100000, 1), 0},
      {"deflated.txt", Compressible(400000, 2), 8},
      {"random-deflated.bin", Random(70000, 3), 8},
      {"small.txt", "tiny", 8},
  };
  auto results = UnpackAll(Archive(BuildZip(items)));
  ASSERT_EQ(results.size(), items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(results[i].result, ArchiveResult::Ok) << items[i].name;
    EXPECT_EQ(ReadAll(Out(items[i].name)), items[i].data) << items[i].name;
  }
}

TEST_F(ZipReader, DataMovesInLargeBlocksNotBytes) {
  std::string data = Compressible(1 << 20, 5);
  std::string archive = BuildZip({{"big.txt", data}});
  ArchiveHandle h = ArchiveOpenFile(Archive(archive).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveSetBaseFolder(h, Widen(Out()).c_str());
  Fs().ResetCounts();
  ASSERT_EQ(ArchiveExtractEntry(h, 0, u"big.txt"), ArchiveResult::Ok);
  size_t compressed = archive.size();
  EXPECT_LE(Fs().reads.load(), static_cast<int>(compressed / 16384 + 8));
  EXPECT_LE(Fs().writes.load(), static_cast<int>(data.size() / 16384 + 2));
  EXPECT_LE(Fs().largestRead.load(), 16384u);
  ArchiveClose(h);
  EXPECT_EQ(ReadAll(Out("big.txt")), data);
}

TEST_F(ZipReader, EmptyEntriesExtractAsEmptyFiles) {
  std::vector<ZipItem> items = {{"empty-stored", "", 0}, {"empty-deflated", "", 8}};
  ZipItem described{"empty-described", "", 8};
  described.descriptor = true;
  items.push_back(described);
  auto results = UnpackAll(Archive(BuildZip(items)));
  ASSERT_EQ(results.size(), 3u);
  for (const auto& r : results) {
    EXPECT_EQ(r.result, ArchiveResult::Ok) << Narrow(r.name);
    EXPECT_EQ(ReadAll(Out(Narrow(r.name))), "") << Narrow(r.name);
  }
}

TEST_F(ZipReader, DataDescriptorsUseTheDirectoryValues) {
  ZipItem item{"described.txt", Compressible(70000, 8), 8};
  item.descriptor = true;
  ZipItem stored{"described.bin", Random(30000, 8), 0};
  stored.descriptor = true;
  auto results = UnpackAll(Archive(BuildZip({item, stored})));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].result, ArchiveResult::Ok);
  EXPECT_EQ(results[1].result, ArchiveResult::Ok);
  EXPECT_EQ(ReadAll(Out("described.txt")), item.data);
  EXPECT_EQ(ReadAll(Out("described.bin")), stored.data);
}

TEST_F(ZipReader, ACrcMismatchFailsAndRemovesThePartialFile) {
  ZipItem deflated{"image.fw", Compressible(100000, 4), 8};
  deflated.crc = Crc(deflated.data) ^ 1;
  ZipItem stored{"image2.fw", Random(50000, 4), 0};
  stored.crc = Crc(stored.data) ^ 0x80000000u;
  ZipItem good{"good.txt", "good", 8};
  auto results = UnpackAll(Archive(BuildZip({deflated, stored, good})));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].result, ArchiveResult::Corrupt);
  EXPECT_EQ(results[1].result, ArchiveResult::Corrupt);
  EXPECT_EQ(results[2].result, ArchiveResult::Ok);
  EXPECT_EQ(FilesBelow(Out()), (std::vector<std::string>{"good.txt"}));
  // Into memory alike: the two bad entries fail and deliver no size.
  std::string held = BuildZip({deflated, stored, good});
  ArchiveHandle h = ArchiveOpenMemory(held.data(), static_cast<uint32_t>(held.size()), nullptr);
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> buffer(deflated.data.size());
  for (int32_t i = 0; i < 3; ++i) {
    uint32_t size = 99;
    EXPECT_EQ(ArchiveExtractToMemory(h, i, buffer.data(), static_cast<uint32_t>(buffer.size()), &size),
              i < 2 ? ArchiveResult::Corrupt : ArchiveResult::Ok) << i;
    EXPECT_EQ(size, i < 2 ? 0u : 4u) << i;
  }
  ArchiveClose(h);
  // The same with a damaged data byte, the headers honest.
  ZipLayout l;
  std::string bytes = BuildZip({{"flip.bin", Random(40000, 6), 0}}, &l);
  bytes[l.dataOffsets[0] + 20000] ^= 0x10;
  results = UnpackAll(Archive(bytes, "flip.zip"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].result, ArchiveResult::Corrupt);
  EXPECT_FALSE(Exists(Out("flip.bin")));
}

TEST_F(ZipReader, StoredDataThatRunsOutFails) {
  ZipItem item{"short.bin", Random(1000, 1), 0};
  item.rawData = item.data.substr(0, 600);
  item.compressedSize = 600;  // both headers: 600 compressed bytes for 1000 uncompressed
  auto results = UnpackAll(Archive(BuildZip({item, {"next.txt", "next", 0}})));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].result, ArchiveResult::Corrupt);
  EXPECT_EQ(results[1].result, ArchiveResult::Ok);
  EXPECT_FALSE(Exists(Out("short.bin")));
}

TEST_F(ZipReader, DeflateStreamsThatEndEarlyOrAreDamagedFail) {
  ZipItem early{"early.txt", Compressible(5000, 1), 8};
  early.uncompressedSize = 6000;  // the stream ends 1000 bytes before the size says
  ZipItem damaged{"damaged.txt", Compressible(5000, 2), 8};
  std::string deflated = RawDeflate(damaged.data);
  deflated[0] = static_cast<char>(0xFF);  // an invalid block type
  damaged.rawData = deflated;
  ZipItem truncated{"truncated.txt", Compressible(50000, 3), 8};
  std::string cut = RawDeflate(truncated.data);
  truncated.rawData = cut.substr(0, cut.size() / 2);
  auto results = UnpackAll(Archive(BuildZip({early, damaged, truncated})));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].result, ArchiveResult::Corrupt);
  EXPECT_EQ(results[1].result, ArchiveResult::InflateFailed);
  EXPECT_EQ(results[2].result, ArchiveResult::InflateFailed);
  EXPECT_TRUE(FilesBelow(Out()).empty());
}

TEST_F(ZipReader, ALocalHeaderThatFailsItsCheckGivesCorruptAndNoFile) {
  std::string data = "checked data";
  ZipItem method{"method.txt", data, 8};
  method.localMethod = 0;
  ZipItem name{"name.txt", data, 8};
  name.localNameLength = 5;
  ZipItem crc{"crc.txt", data, 8};
  crc.localCrc = 1;
  ZipLayout l;
  std::string bytes = BuildZip({method, name, crc, {"sig.txt", data, 8}, {"ok.txt", data, 8}}, &l);
  Patch32(bytes, l.localOffsets[3], 0x04034B51);
  ArchiveHandle h = ArchiveOpenFile(Archive(bytes).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveSetBaseFolder(h, Widen(Out()).c_str());
  for (int32_t i = 0; i < 4; ++i) {
    ArchiveEntry e{};
    EXPECT_EQ(ArchiveGetEntry(h, i, &e), ArchiveResult::Corrupt) << i;
    EXPECT_EQ(ArchiveExtractEntry(h, i, u"target.txt"), ArchiveResult::Corrupt) << i;
  }
  EXPECT_EQ(ArchiveExtractEntry(h, 4, u"ok.txt"), ArchiveResult::Ok);
  ArchiveClose(h);
  EXPECT_EQ(FilesBelow(Out()), (std::vector<std::string>{"ok.txt"}));
  // A method other than stored and deflated (12, bzip2) fails the check too.
  ZipItem bzip{"bzip.txt", data, 12};
  bzip.rawData = data;
  auto results = UnpackAll(Archive(BuildZip({bzip}), "bzip.zip"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].entryResult, ArchiveResult::Corrupt);
  EXPECT_NE(results[0].result, ArchiveResult::Ok);
  EXPECT_FALSE(Exists(Out("bzip.txt")));
}

TEST_F(ZipReader, AnEntryThatFailsMakesNoFolderEither) {
  ZipLayout l;
  std::string bytes = BuildZip({{"deep/er/x.txt", "x", 0}, {"deep2/y.txt", Compressible(3000, 1), 8}}, &l);
  Patch32(bytes, l.localOffsets[0], 0);  // the first one's local header is no header
  bytes[l.dataOffsets[1] + 10] ^= 0x55;  // the second one's data is damaged
  ArchiveHandle h = ArchiveOpenFile(Archive(bytes).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ArchiveSetBaseFolder(h, Widen(Out()).c_str());
  EXPECT_EQ(ArchiveExtractEntry(h, 0, u"deep/er/x.txt"), ArchiveResult::Corrupt);
  EXPECT_NE(ArchiveExtractEntry(h, 1, u"deep2/y.txt"), ArchiveResult::Ok);
  ArchiveClose(h);
  EXPECT_FALSE(Exists(Out("deep")));
  EXPECT_FALSE(Exists(Out("deep2/y.txt")));
}

TEST_F(ZipReader, DataBeyondTheEndOfTheFileIsAReadFailure) {
  ZipItem item{"far.bin", Random(2000, 1), 0};
  item.compressedSize = 5000000;
  item.uncompressedSize = 5000000;
  auto results = UnpackAll(Archive(BuildZip({item})));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].result, ArchiveResult::ReadFailed);
  EXPECT_FALSE(Exists(Out("far.bin")));
}

// A truncated archive: every prefix of a valid one (none opens), and every cut of its entries
// area with the directory and end record kept behind it (the directory then points at data that
// is missing or is the directory itself). Never a hang or a crash, a failure code for what cannot
// be read, and every file that exists afterwards is complete.
TEST_F(ZipReader, EveryTruncationFailsCleanly) {
  std::vector<ZipItem> items = {{"a.txt", Compressible(3000, 1), 8}, {"b.bin", Random(700, 2), 0}, {"c/", "", 0}};
  items[2].external = 0x41ED0010;
  ZipLayout l;
  std::string full = BuildZip(items, &l);
  for (size_t cut = 0; cut < full.size(); ++cut) {
    ArchiveHandle h = ArchiveOpenFile(Archive(full.substr(0, cut), "prefix.zip").c_str(), nullptr);
    EXPECT_EQ(h, nullptr) << cut;
    if (cut >= 4) {
      EXPECT_EQ(ArchiveLastOpenFailure(), ArchiveOpenFailure::Truncated) << cut;
    }
    if (h != nullptr) ArchiveClose(h);
  }
  std::string directory = full.substr(l.centralOffset);
  for (size_t cut = 0; cut < l.centralOffset; cut += cut < 80 ? 1 : 7) {
    std::filesystem::remove_all(FsPath(Out()));
    std::string bytes = full.substr(0, cut) + directory;
    Patch32(bytes, bytes.size() - 22 + 16, static_cast<uint32_t>(cut));
    auto results = UnpackAll(Archive(bytes, "cut.zip"));
    ASSERT_EQ(results.size(), items.size()) << cut;
    for (size_t i = 0; i < 2; ++i) {
      bool whole = l.dataOffsets[i] + (i == 0 ? RawDeflate(items[0].data).size() : items[1].data.size()) <= cut;
      if (whole) {
        EXPECT_EQ(results[i].result, ArchiveResult::Ok) << "cut " << cut << " " << i;
      } else {
        EXPECT_NE(results[i].result, ArchiveResult::Ok) << "cut " << cut << " " << i;
        EXPECT_FALSE(Exists(Out(items[i].name))) << "cut " << cut << " " << i;
      }
    }
    for (const std::string& f : FilesBelow(Out())) {
      for (const auto& item : items) {
        if (item.name == f) {
          EXPECT_EQ(ReadAll(Out(f)), item.data) << "cut " << cut;
        }
      }
    }
  }
}

TEST_F(ZipReader, ATargetThatCannotBeCreatedGivesOpenFailed) {
  std::filesystem::create_directories(FsPath(Out("taken.txt")));
  auto results = UnpackAll(Archive(BuildZip({{"taken.txt", "x", 0}})));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].result, ArchiveResult::OpenFailed);
  EXPECT_TRUE(IsFolder(Out("taken.txt")));
}

// A file is always made new: a file of the name that is there already (an earlier extraction,
// somebody else's, or an earlier entry of the same name) is never opened for writing, and the
// entry fails with OpenFailed, whether its own data is good or not.
TEST_F(ZipReader, AnEntryNeverOverwritesAFileOfItsName) {
  std::filesystem::create_directories(FsPath(Out()));
  WriteAll(Out("same.txt"), "an older and longer text");
  std::string good = Compressible(30000, 1);
  ZipItem badCrc{"image.fw", Random(20000, 2), 0};
  badCrc.crc = Crc(badCrc.data) ^ 1;
  ZipItem damaged{"image.fw", Compressible(30000, 3), 8};
  damaged.rawData = RawDeflate(damaged.data).substr(0, 100);
  auto results = UnpackAll(Archive(BuildZip(
      {{"same.txt", "second", 0}, {"image.fw", good, 8}, badCrc, damaged, {"image.fw", "good too", 8}})));
  ASSERT_EQ(results.size(), 5u);
  for (size_t i : {0, 2, 3, 4}) EXPECT_EQ(results[i].result, ArchiveResult::OpenFailed) << i;
  EXPECT_EQ(results[1].result, ArchiveResult::Ok);
  EXPECT_EQ(ReadAll(Out("same.txt")), "an older and longer text");
  EXPECT_EQ(ReadAll(Out("image.fw")), good);
}

// Once an extracted file is closed, its name is made to lead to another user's file (a link, or
// their file moved into its place): the entry's read-only attribute, and the removal of a file
// whose data failed its check, still reach only the file the extraction wrote.
TEST_F(ZipReader, ANameThatLeadsElsewhereOnceWrittenChangesNothingThere) {
  std::filesystem::create_directories(FsPath(Out()));
  const std::string theirs = At("theirs.txt");
  WriteAll(theirs, "theirs");
  auto writable = [](const std::string& path) {
    return (std::filesystem::status(FsPath(path)).permissions() & std::filesystem::perms::owner_write) !=
           std::filesystem::perms::none;
  };
  auto swapOnceWritten = [&](const std::string& name, bool link) {
    Fs().afterClose = [this, theirs, name, link, done = false]() mutable {
      if (done || !Exists(Out(name))) return;
      done = true;
      std::filesystem::rename(FsPath(Out(name)), FsPath(Out(name + ".moved")));
      if (link) EXPECT_TRUE(testenv::MakeLink(theirs, Out(name)));
      else WriteAll(Out(name), "theirs too");
    };
  };
  ZipItem readOnly{"ro.txt", "mine", 0};
  readOnly.external = 0x81240000;  // -r--r--r--
  swapOnceWritten("ro.txt", true);
  auto results = UnpackAll(Archive(BuildZip({readOnly}), "ro.zip"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].result, ArchiveResult::Ok);
  EXPECT_TRUE(writable(theirs));
  EXPECT_FALSE(writable(Out("ro.txt.moved")));

  ZipItem bad{"bad.bin", Random(1000, 7), 0};
  bad.crc = Crc(bad.data) ^ 1;
  swapOnceWritten("bad.bin", false);
  results = UnpackAll(Archive(BuildZip({bad}), "bad.zip"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].result, ArchiveResult::Corrupt);
  EXPECT_EQ(ReadAll(Out("bad.bin")), "theirs too");
  Fs().afterClose = nullptr;
}

TEST_F(ZipReader, TheBaseFolderStartsAsTheCurrentFolder) {
  std::u16string path = Archive(BuildZip({{"cwd.txt", "here", 0}}));
  std::filesystem::create_directories(FsPath(At("cwd")));
  char16_t previous[260] = {};
  platform::Sys().CurrentFolder(previous, 260);
  ASSERT_TRUE(platform::Sys().SetCurrentFolder(AtW("cwd").c_str()));
  ArchiveHandle h = ArchiveOpenFile(path.c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ArchiveExtractEntry(h, 0, u"cwd.txt"), ArchiveResult::Ok);
  ArchiveClose(h);
  platform::Sys().SetCurrentFolder(previous);
  EXPECT_EQ(ReadAll(At("cwd/cwd.txt")), "here");
}

}  // namespace
