// The ZIP reader on archives written by real writers: Info-ZIP zip and Python's zipfile, made by
// tests/package/make_archives.py. On the host the suite runs the script at test time (zip and
// python3 are needed); the Windows build runs it at build time into <build>/tests/package/archives,
// which the suite reads under Wine (or from QV_PACKAGE_ARCHIVES).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <filesystem>

#include "package/zip_reader.h"
#include "tests/package/archive_test.h"
#include "tests/package/zip_builder.h"

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace packagetest;
using testenv::Narrow;
using testenv::Widen;

namespace {

constexpr int64_t MTIME = 1700000000;  // as make_archives.py sets them
constexpr int64_t ATIME = 1700000100;
constexpr uint16_t DOS_DATE = (41 << 9) | (6 << 5) | 15;  // 2021-06-15
constexpr uint16_t DOS_TIME = (10 << 11) | (20 << 5) | 15;  // 10:20:30

uint64_t FileTime(int64_t unix) { return static_cast<uint64_t>(unix * 10000000 + 116444736000000000ll); }

std::string g_archives;

class ArchivesFolder : public ::testing::Environment {
 public:
  void SetUp() override {
#ifdef _WIN32
    const char* env = std::getenv("QV_PACKAGE_ARCHIVES");
    // Made absolute at once: the tests may move the current folder (RemovePackageFolder does).
    std::filesystem::path folder = env != nullptr && *env != 0 ? env : "archives";
    g_archives = testenv::Narrow(std::filesystem::absolute(folder).generic_u16string());
#else
    g_archives = (std::filesystem::temp_directory_path() / ("qv-package-archives-" + std::to_string(getpid()))).string();
    std::string command = std::string("python3 '") + QV_MAKE_ARCHIVES + "' '" + g_archives + "'";
    if (std::system(command.c_str()) != 0) g_archives.clear();
    made_ = true;
#endif
  }
  void TearDown() override {
    if (made_ && !g_archives.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(g_archives, ec);
    }
  }

 private:
  bool made_ = false;
};

[[maybe_unused]] const auto* g_folder = ::testing::AddGlobalTestEnvironment(new ArchivesFolder);

struct DiskInfo {
  bool found = false;
  int64_t mtime = 0;
  int64_t atime = 0;
  bool writable = false;
};

DiskInfo Stat(const std::string& path) {
  DiskInfo d;
#ifdef _WIN32
  struct _stat64 st {};
  std::u16string w = Widen(path);
  if (_wstat64(reinterpret_cast<const wchar_t*>(w.c_str()), &st) != 0) return d;
  d.writable = (st.st_mode & _S_IWRITE) != 0;
#else
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return d;
  d.writable = (st.st_mode & 0200) != 0;
#endif
  d.found = true;
  d.mtime = st.st_mtime;
  d.atime = st.st_atime;
  return d;
}

class RealArchives : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    ASSERT_FALSE(g_archives.empty()) << "make_archives.py failed (are zip and python3 installed?)";
    ASSERT_TRUE(Exists(g_archives + "/done")) << "no archives in " << g_archives;
  }
  static std::string Archives(const std::string& name) { return g_archives + "/" + name; }
  static std::string Source(const std::string& name) { return g_archives + "/src/" + name; }

  // Unpacks an archive of the folder into Out() and indexes the results by name.
  std::map<std::string, Unpacked> Unpack(const std::string& archive, const char* password = nullptr) {
    std::map<std::string, Unpacked> out;
    for (const Unpacked& u : UnpackAll(Widen(Archives(archive)), password)) out[Narrow(u.name)] = u;
    return out;
  }

  void ExpectSame(const std::string& name, const std::string& source) {
    auto got = ReadAll(Out(name));
    auto want = ReadAll(Source(source));
    ASSERT_TRUE(want.has_value()) << source;
    ASSERT_TRUE(got.has_value()) << name << " was not extracted";
    EXPECT_TRUE(*got == *want) << name << " differs from " << source;
  }
};

TEST_F(RealArchives, InfoZipDeflatedStoredAndFolders) {
  auto r = Unpack("infozip.zip");
  std::vector<std::string> files = {"text.txt", "blob.raw", "big.bin", "empty.txt", "sub/readonly.txt",
                                    "sub/deeper/nested.txt"};
  std::vector<std::string> folders = {"sub/", "sub/deeper/", "emptydir/"};
  ASSERT_EQ(r.size(), files.size() + folders.size());
  for (const auto& [name, u] : r) {
    EXPECT_EQ(u.entryResult, ArchiveResult::Ok) << name;
    EXPECT_EQ(u.result, ArchiveResult::Ok) << name;
    // Info-ZIP's local "UT" field holds the write and access times.
    EXPECT_EQ(u.entry.writeTime, FileTime(MTIME)) << name;
    // (zip reads the folders before it records them, which moves their access times)
    if (name.back() != '/') {
      EXPECT_EQ(u.entry.accessTime, FileTime(ATIME)) << name;
    }
    // The creation time is the DOS time (local time, as zip wrote it) read back as local time.
    int64_t creation = static_cast<int64_t>(u.entry.creationTime) - static_cast<int64_t>(FileTime(MTIME));
#ifdef _WIN32
    EXPECT_LE(creation < 0 ? -creation : creation, 3600ll * 10000000) << name;
#else
    EXPECT_EQ(creation, 0) << name;
#endif
  }
  EXPECT_EQ(r["blob.raw"].entry.compressedSize, 70000);  // stored (-n .raw)
  EXPECT_LT(r["big.bin"].entry.compressedSize, 300000);   // deflated
  EXPECT_EQ(r["text.txt"].entry.attributes, 0x20u);
  EXPECT_EQ(r["sub/readonly.txt"].entry.attributes, 0x21u);
  for (const auto& f : folders) EXPECT_EQ(r[f].entry.attributes, 0x30u) << f;
  for (const auto& f : files) {
    DiskInfo d = Stat(Out(f));  // before the content is read (reading may move the access time)
    ASSERT_TRUE(d.found) << f;
    EXPECT_EQ(d.mtime, MTIME) << f;
    EXPECT_EQ(d.atime, ATIME) << f;
    EXPECT_EQ(d.writable, f != "sub/readonly.txt") << f;
    ExpectSame(f, f);
  }
  EXPECT_TRUE(IsFolder(Out("emptydir")));
  EXPECT_TRUE(IsFolder(Out("sub/deeper")));
}

// The program reads its own package where it holds it, in memory: every entry of the real
// writers' archives comes out of memory byte for byte as out of a file, into a buffer of exactly
// its size; one byte less is MemoryTooSmall, and nothing is written past the buffer (AddressSanitizer
// sees the exact-size buffers).
TEST_F(RealArchives, EntriesExtractIntoMemoryAsIntoFiles) {
  for (const char* archive : {"infozip.zip", "streamed.zip", "python.zip"}) {
    auto bytes = ReadAll(Archives(archive));
    ASSERT_TRUE(bytes.has_value()) << archive;
    std::vector<uint8_t> held(bytes->begin(), bytes->end());
    ArchiveHandle h = ArchiveOpenMemory(held.data(), static_cast<uint32_t>(held.size()), nullptr);
    ASSERT_NE(h, nullptr) << archive;
    std::map<std::string, Unpacked> files = Unpack(archive);
    ArchiveEntry count{};
    ArchiveGetEntry(h, -1, &count);
    ASSERT_EQ(static_cast<size_t>(count.index), files.size()) << archive;
    for (int32_t i = 0; i < count.index; ++i) {
      ArchiveEntry e{};
      ASSERT_EQ(ArchiveGetEntry(h, i, &e), ArchiveResult::Ok) << archive << " " << i;
      if ((e.attributes & platform::FILE_ATTR_DIRECTORY) != 0) continue;
      std::string name = Narrow(e.name);
      auto file = ReadAll(Out(name));
      ASSERT_TRUE(file.has_value()) << archive << " " << name;
      std::vector<uint8_t> exact(static_cast<size_t>(e.uncompressedSize));
      uint32_t size = 99;
      EXPECT_EQ(ArchiveExtractToMemory(h, i, exact.data(), static_cast<uint32_t>(exact.size()), &size), ArchiveResult::Ok)
          << archive << " " << name;
      EXPECT_EQ(size, exact.size());
      EXPECT_TRUE(std::string(exact.begin(), exact.end()) == *file) << archive << " " << name;
      if (exact.empty()) continue;
      std::vector<uint8_t> shorter(exact.size() - 1);
      EXPECT_EQ(ArchiveExtractToMemory(h, i, shorter.data(), static_cast<uint32_t>(shorter.size()), &size),
                ArchiveResult::MemoryTooSmall)
          << archive << " " << name;
      EXPECT_EQ(size, 0u);
    }
    ArchiveClose(h);
    MakeWritable(Out());  // the read-only entry would keep the folder under Windows
    std::filesystem::remove_all(FsPath(Out()));
  }
}

// Entry comments lie between one directory record and the next: the walk must step over them.
TEST_F(RealArchives, InfoZipEntryCommentsAndAnArchiveCommentOfFiveKilobytes) {
  auto r = Unpack("comment.zip");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r["text.txt"].result, ArchiveResult::Ok);
  EXPECT_EQ(r["big.bin"].result, ArchiveResult::Ok);
  ExpectSame("text.txt", "text.txt");
  ExpectSame("big.bin", "big.bin");
}

TEST_F(RealArchives, InfoZipPasswordWithTheRightPassword) {
  auto r = Unpack("password.zip", "secret");
  ASSERT_EQ(r.size(), 4u);
  for (const auto& [name, u] : r) {
    EXPECT_EQ(u.result, ArchiveResult::Ok) << name;
    ExpectSame(name, name);
  }
  EXPECT_EQ(r["blob.raw"].entry.compressedSize, 70012);  // stored: 12 header bytes more
}

TEST_F(RealArchives, InfoZipPasswordMissingOrWrongLeavesNothing) {
  int passwordRequired = 0;
  for (const char* password : {static_cast<const char*>(nullptr), "wrong", "secreT"}) {
    std::filesystem::remove_all(FsPath(Out()));
    auto r = Unpack("password.zip", password);
    ASSERT_EQ(r.size(), 4u);
    for (const char* name : {"text.txt", "blob.raw", "big.bin"}) {
      ArchiveResult result = r[name].result;
      // A wrong key passes the one check byte once in 256 times; then the data fails instead.
      EXPECT_TRUE(result == ArchiveResult::PasswordRequired || result == ArchiveResult::Corrupt ||
                  result == ArchiveResult::InflateFailed)
          << name << " " << std::hex << static_cast<uint32_t>(result);
      if (result == ArchiveResult::PasswordRequired) ++passwordRequired;
      EXPECT_FALSE(Exists(Out(name))) << name;
    }
    EXPECT_EQ(r["empty.txt"].result, ArchiveResult::Ok);  // nothing to decrypt
  }
  // The check byte (the high byte of the DOS time, flag bit 3) stops nearly all of them.
  EXPECT_GE(passwordRequired, 7);
}

TEST_F(RealArchives, InfoZipStreamedWithDataDescriptors) {
  auto r = Unpack("streamed.zip");
  ASSERT_EQ(r.size(), 3u);
  for (const auto& [name, u] : r) {
    EXPECT_EQ(u.result, ArchiveResult::Ok) << name;
    EXPECT_EQ(u.entry.writeTime, FileTime(MTIME)) << name;
    ExpectSame(name, name);
  }
  auto s = Unpack("stdin.zip");
  ASSERT_EQ(s.size(), 1u);
  ASSERT_EQ(s["-"].result, ArchiveResult::Ok);
  ExpectSame("-", "big.bin");
  EXPECT_NE(s["-"].entry.writeTime, 0u);  // the time of the zip run: no "UT" field, the DOS time
  EXPECT_EQ(s["-"].entry.writeTime, s["-"].entry.creationTime);
  EXPECT_EQ(s["-"].entry.attributes, 0x20u);
  std::filesystem::remove_all(FsPath(Out()));  // the same names again: each file is made new
  auto p = Unpack("streamed_password.zip", "secret");
  ASSERT_EQ(p.size(), 2u);
  for (const auto& [name, u] : p) {
    EXPECT_EQ(u.result, ArchiveResult::Ok) << name;
    ExpectSame(name, name);
  }
}

TEST_F(RealArchives, PythonZipfileUnixAttributesAndFolderEntries) {
  auto r = Unpack("python.zip");
  ASSERT_EQ(r.size(), 13u);
  for (const auto& [name, u] : r) EXPECT_EQ(u.result, ArchiveResult::Ok) << name;
  for (const char* f : {"sub/", "sub/deeper/", "emptydir/"}) EXPECT_EQ(r[f].entry.attributes, 0x30u) << f;
  for (const char* f : {"text.txt", "big.bin", "sub/deeper/nested.txt", "empty.txt", "blob.raw"}) {
    EXPECT_EQ(r[f].entry.attributes, 0x20u) << f;
    ExpectSame(f, f);
  }
  EXPECT_EQ(r["sub/readonly.txt"].entry.attributes, 0x21u);
  EXPECT_FALSE(Stat(Out("sub/readonly.txt")).writable);
  ExpectSame("sub/readonly.txt", "sub/readonly.txt");
  EXPECT_EQ(r["empty.txt"].entry.compressedSize, 2);  // an empty deflate stream
  EXPECT_TRUE(IsFolder(Out("emptydir")));
  // A UTF-8 name (zipfile sets flag bit 11, which the reader does not need).
  const std::string unicode = "\xC3\xBCn\xC3\xAF" "code-\xE5\x90\x8D\xE5\x89\x8D.txt";
  ASSERT_TRUE(r.count(unicode));
  EXPECT_EQ(ReadAll(Out(unicode))->size(), 500u);
  // DOS host: read-only, hidden and system from the low bits, no archive bit.
  EXPECT_EQ(r["dos-hidden.txt"].entry.attributes, 0x07u);
  // NTFS host with the embedded package's external attributes: archive only.
  EXPECT_EQ(r["ntfs.txt"].entry.attributes, 0x20u);
  EXPECT_EQ(r["dosdir/"].entry.attributes, 0x10u);
  EXPECT_TRUE(IsFolder(Out("dosdir")));
  // No "UT" field: all three times are the DOS time read as local time.
  uint64_t dos = 0;
  ASSERT_TRUE(platform::Sys().DosTimeToFileTime(DOS_DATE, DOS_TIME, &dos));
#ifndef _WIN32
  std::tm t{};
  t.tm_year = 121, t.tm_mon = 5, t.tm_mday = 15, t.tm_hour = 10, t.tm_min = 20, t.tm_sec = 30, t.tm_isdst = -1;
  EXPECT_EQ(dos, FileTime(static_cast<int64_t>(mktime(&t))));
#endif
  for (const auto& [name, u] : r) {
    EXPECT_EQ(u.entry.writeTime, dos) << name;
    EXPECT_EQ(u.entry.accessTime, dos) << name;
    EXPECT_EQ(u.entry.creationTime, dos) << name;
  }
  DiskInfo d = Stat(Out("ntfs.txt"));
  EXPECT_EQ(FileTime(d.mtime), dos);
}

TEST_F(RealArchives, PythonZipfileNamesAreSanitisedAndClimbingOnesRefused) {
  auto list = UnpackAll(Widen(Archives("traversal.zip")));
  ASSERT_EQ(list.size(), 8u);
  struct Want {
    const char* name;
    ArchiveResult result;
  } want[] = {
      {"../b.txt", ArchiveResult::BadArguments},      // a/../../b.txt
      {"../evil.txt", ArchiveResult::BadArguments},   // ../evil.txt
      {"abs/x.txt", ArchiveResult::Ok},               // /abs/x.txt
      {"dir\\x.bin", ArchiveResult::Ok},              // C:\dir\x.bin
      {"z.txt", ArchiveResult::Ok},                   // x\..\y/../z.txt
      {"b.txt", ArchiveResult::Ok},                   // a/../b.txt
      {"../tmp/escape.txt", ArchiveResult::BadArguments},
      {"ok.txt", ArchiveResult::Ok},
  };
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(Narrow(list[i].name), want[i].name) << i;
    EXPECT_EQ(list[i].result, want[i].result) << i;
  }
  EXPECT_EQ(FilesBelow(Scratch()),
            (std::vector<std::string>{"out/abs/x.txt", "out/b.txt", "out/dir/x.bin", "out/ok.txt", "out/z.txt"}));
  EXPECT_EQ(ReadAll(Out("dir/x.bin")), "drive prefix\n");
  EXPECT_EQ(ReadAll(Out("z.txt")), "two patterns\n");
  std::string parent = std::filesystem::path(FsPath(Scratch())).parent_path().string();
  EXPECT_FALSE(Exists(parent + "/b.txt"));
  EXPECT_FALSE(Exists(parent + "/evil.txt"));
  EXPECT_FALSE(Exists(parent + "/tmp/escape.txt"));
}

// The directory must add up. Real archives with the end record's count, or the ZIP64 records in
// front of it, changed by hand: an archive whose directory holds more records than its end record
// counts (one image would quietly go missing) does not open at all, and nothing is extracted. A
// count higher than the records present keeps the failure of the entries that are not there.
TEST_F(RealArchives, ADirectoryThatDoesNotAddUpIsDamagedAndNothingIsExtracted) {
  auto endRecord = [](const std::string& bytes) { return bytes.rfind(std::string("PK\x05\x06", 4)); };
  auto withCount = [&](std::string bytes, int delta, bool zero = false) {
    size_t end = endRecord(bytes);
    uint32_t count = static_cast<uint8_t>(bytes[end + 10]) | (static_cast<uint8_t>(bytes[end + 11]) << 8);
    count = zero ? 0 : count + delta;
    Patch16(bytes, end + 8, count);
    Patch16(bytes, end + 10, count);
    return bytes;
  };
  std::string infozip = *ReadAll(Archives("infozip.zip"));
  std::string python = *ReadAll(Archives("python.zip"));
  std::string zip64 = *ReadAll(Archives("zip64.zip"));
  // zip -fz: the classic record's offset is a placeholder. Given the real offset and a count of 0,
  // the classic record alone would describe an archive of no entries.
  std::string zip64Classic = zip64;
  size_t locator = zip64.rfind(std::string("PK\x06\x07", 4));
  ASSERT_NE(locator, std::string::npos);
  size_t zip64End = zip64.rfind(std::string("PK\x06\x06", 4));
  size_t directory = zip64.find(std::string("PK\x01\x02", 4));
  Patch32(zip64Classic, endRecord(zip64) + 12, static_cast<uint32_t>(zip64End - directory));
  Patch32(zip64Classic, endRecord(zip64) + 16, static_cast<uint32_t>(directory));
  zip64Classic = withCount(zip64Classic, 0, true);
  struct Row {
    const char* what;
    std::string bytes;
    ArchiveOpenFailure failure;
  } rows[] = {
      {"Info-ZIP, one record more than counted", withCount(infozip, -1), ArchiveOpenFailure::DirectoryMismatch},
      {"zipfile, one record more than counted", withCount(python, -1), ArchiveOpenFailure::DirectoryMismatch},
      {"Info-ZIP, a count of 0", withCount(infozip, 0, true), ArchiveOpenFailure::DirectoryMismatch},
      {"zip -fz, as written", zip64, ArchiveOpenFailure::Zip64},
      {"zip -fz, a classic record of its own", zip64Classic, ArchiveOpenFailure::Zip64},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(FsPath(Out()));
    EXPECT_TRUE(UnpackAll(Archive(row.bytes, "damaged.zip")).empty()) << row.what;
    EXPECT_EQ(ArchiveLastResult(), ArchiveResult::Corrupt) << row.what;
    EXPECT_EQ(ArchiveLastOpenFailure(), row.failure) << row.what;
    EXPECT_TRUE(FilesBelow(Out()).empty()) << row.what;
  }
  // One more than the records present: the records there extract, the missing one fails alone.
  auto list = UnpackAll(Archive(withCount(infozip, +1), "high.zip"));
  ASSERT_EQ(list.size(), 10u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(list[i].result, ArchiveResult::Ok) << Narrow(list[i].name);
  EXPECT_EQ(list[9].entryResult, ArchiveResult::ReadFailed);  // its record would run past the file
  EXPECT_NE(list[9].result, ArchiveResult::Ok);
  EXPECT_EQ(FilesBelow(Out()).size(), 6u);
}

// Names in code page 437 without the UTF-8 flag, as Info-ZIP stores a name it cannot read as
// UTF-8: both decode to the same name with U+FFFD, and the later entry fails instead of
// overwriting the earlier file. The stored bytes stay at hand, for the package check to tell them
// apart.
TEST_F(RealArchives, InfoZipCodePage437NamesDecodeToOneName) {
  auto list = UnpackAll(Widen(Archives("cp437.zip")));
  ASSERT_EQ(list.size(), 2u);
  const std::string decoded = "readme-\xEF\xBF\xBD.txt";  // U+FFFD in UTF-8
  EXPECT_EQ(Narrow(list[0].name), decoded);
  EXPECT_EQ(Narrow(list[1].name), decoded);
  EXPECT_EQ(list[0].result, ArchiveResult::Ok);
  EXPECT_EQ(list[1].result, ArchiveResult::OpenFailed);
  EXPECT_EQ(ReadAll(Out(decoded)), "a umlaut (0x84 in code page 437)\n");
  ArchiveHandle h = ArchiveOpenFile(Widen(Archives("cp437.zip")).c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  for (int32_t i : {1, 0}) {
    uint8_t name[16] = {};
    uint32_t length = 0;
    ASSERT_EQ(ArchiveGetStoredName(h, i, name, sizeof name, &length), ArchiveResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), i == 0 ? "readme-\x84.txt" : "readme-\x94.txt");
  }
  uint32_t length = 99;
  EXPECT_EQ(ArchiveGetStoredName(h, 2, nullptr, 0, &length), ArchiveResult::BadArguments);
  EXPECT_EQ(length, 0u);
  ArchiveClose(h);
}

}  // namespace
