// The sample package against its layout written out by hand, and the ZIP writer against archive
// bytes written out by hand.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/profile.h"
#include "tests/support/test_env.h"
#include "tools/sample/sample_package.h"
#include "tools/sample/zip_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); }
Bytes Ascii(const char* text) { return Bytes(text, text + std::strlen(text)); }

TEST(SampleImage, LayoutByTheTable) {
  const Bytes image = MakeSampleImage();
  ASSERT_EQ(667648u, image.size());
  EXPECT_EQ(Ascii("CMFG"), Slice(image, 0, 4));
  const Bytes table = {
      0x01, 0, 0, 0, 0x02, 0, 0, 0,     // range 0: pages 1..2
      0x03, 0, 0, 0, 0xA0, 0, 0, 0,     // range 1: pages 3..160
      0xA1, 0, 0, 0, 0xA1, 0, 0, 0,     // range 2: page 161, the configuration page
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // ranges 3..7: (0, 0)
  };
  EXPECT_EQ(table, Slice(image, 16, 64));
  EXPECT_EQ(Ascii("CONF"), Slice(image, 659456, 4));
  EXPECT_EQ(Ascii("3.2.F.2F"), Slice(image, 138609, 8));
  // No other dot before the version: it is the first window the search meets.
  EXPECT_EQ(nullptr, std::memchr(image.data(), '.', 138610));
  EXPECT_EQ(Bytes(4, 0), Slice(image, 663560, 4));
  // The trailer CRC over bytes 0..79, 4016 zero bytes and pages 1..161.
  uLong crc = crc32(0, image.data(), 80);
  const Bytes zeros(4016, 0);
  crc = crc32(crc, zeros.data(), 4016);
  crc = crc32(crc, image.data() + 4096, 663552 - 4096);
  const Bytes stored = Slice(image, 663564, 4);
  EXPECT_EQ(static_cast<uint32_t>(crc),
            stored[0] | (stored[1] << 8) | (stored[2] << 16) | (static_cast<uint32_t>(stored[3]) << 24));
  EXPECT_EQ(image, MakeSampleImage());  // the same every time
}

TEST(SampleIni, TheFormOfTheInformationFile) {
  EXPECT_EQ(
      "[UPDATEINFO]\r\n"
      "TITLE=Quorvela Q7 Firmware Update (sample package)\r\n"
      "NEWVERSION=3.2.F.2A\r\n"
      "SOCID=7C63\r\n"
      "ModelName=QUORVELA Q7\r\n"
      "FWVersion=3.2.F.P7;3.2.F.2A\r\n"
      "iInternalFWVersionCheckPart=3\r\n"
      "BeforeMessage=Warning ! <BR>If FW is not back compatible, The user data will be erased.\r\n"
      "AfterMessage=Update FW OK !<BR>Reboot System Now ?\r\n"
      "PowerCtrl=2\r\n",
      MakeSampleIni());
}

class SampleFiles : public testenv::Environment {};

// Read back with the system's own private-profile functions (the real ones under Wine).
TEST_F(SampleFiles, TheInformationFileReadsThroughTheProfileFunctions) {
  std::string ini = MakeSampleIni();
  ASSERT_TRUE(WriteBytesToFile(Scratch() + "/QuorvelaInfo.ini", Bytes(ini.begin(), ini.end())));
  std::u16string path = ScratchW() + u"/QuorvelaInfo.ini";
  platform::System& sys = platform::Sys();
  char16_t value[1024];
  auto read = [&](const char16_t* key) {
    sys.ProfileString(u"UPDATEINFO", key, u"", value, 1024, path.c_str());
    return std::u16string(value);
  };
  EXPECT_EQ(u"Quorvela Q7 Firmware Update (sample package)", read(u"TITLE"));
  EXPECT_EQ(u"3.2.F.2A", read(u"NEWVERSION"));
  EXPECT_EQ(u"7C63", read(u"SOCID"));
  EXPECT_EQ(u"QUORVELA Q7", read(u"ModelName"));
  EXPECT_EQ(u"3.2.F.P7;3.2.F.2A", read(u"FWVersion"));
  EXPECT_EQ(u"Update FW OK !<BR>Reboot System Now ?", read(u"AfterMessage"));
  EXPECT_EQ(3, sys.ProfileInt(u"UPDATEINFO", u"iInternalFWVersionCheckPart", 0, path.c_str()));
  EXPECT_EQ(2, sys.ProfileInt(u"UPDATEINFO", u"PowerCtrl", 0, path.c_str()));
}

#ifdef _WIN32
// The program reads its information file from bytes it holds, not by path: its reading must give
// what GetPrivateProfileStringW and GetPrivateProfileIntW give for the same file (keys, sections
// and their case, blanks and tabs, quotes, defaults, cut lengths, comments, a UTF-16 file and a
// UTF-8 one with its byte-order mark).
TEST_F(SampleFiles, HeldBytesReadAsTheProfileFunctionsReadTheFile) {
  const std::string files[] = {
      "[UPDATEINFO]\r\nTITLE = spaced value \r\nquoted=\"in quotes\"\r\n;TITLE=comment\r\nkey=a=b\r\nempty=\r\n"
      "[other]\r\nTITLE=other section\r\n[ updateinfo ]\r\nlate=later section\r\nTITLE=second\r\n"
      "num=+12abc\r\nneg=-3\r\nword=abc\r\n[UPDATEINFO]\r\ndup=first\r\ndup=second\r\nnum=+12abc\r\nneg=-3\r\n"
      "word=abc\r\n",
      std::string("\xFF\xFE[\0U\0]\0\r\0\n\0k\0=\0v\0\r\0\n\0", 22),
      "\xEF\xBB\xBF[UPDATEINFO]\r\nTITLE=tabbed\t\t\r\nkey\t=a=b\r\n"};
  const struct {
    const char16_t *section, *key, *fallback;
    uint32_t capacity;
  } reads[] = {{u"UPDATEINFO", u"TITLE", u"-", 64},   {u"updateinfo", u"title", u"-", 64},
               {u"UPDATEINFO", u"quoted", u"-", 64},  {u"UPDATEINFO", u"key", u"-", 64},
               {u"UPDATEINFO", u"empty", u"-", 64},   {u"UPDATEINFO", u"missing", u"  fallback  ", 64},
               {u"UPDATEINFO", u"TITLE", u"-", 5},    {u"UPDATEINFO", u"late", u"-", 64},
               {u"other", u"TITLE", u"-", 64},        {u"U", u"k", u"-", 64},
               {u"UPDATEINFO", u"dup", u"-", 64}};
  const char16_t* ints[] = {u"num", u"neg", u"word", u"missing"};
  for (size_t f = 0; f < std::size(files); ++f) {
    std::string name = Scratch() + "/profile" + std::to_string(f) + ".ini";
    ASSERT_TRUE(WriteBytesToFile(name, Bytes(files[f].begin(), files[f].end())));
    std::u16string path = testenv::Widen(name);
    const auto* bytes = reinterpret_cast<const uint8_t*>(files[f].data());
    for (const auto& r : reads) {
      char16_t byPath[64] = {}, held[64] = {};
      uint32_t n = platform::Sys().ProfileString(r.section, r.key, r.fallback, byPath, r.capacity, path.c_str());
      EXPECT_EQ(platform::ProfileStringIn(bytes, files[f].size(), r.section, r.key, r.fallback, held, r.capacity), n);
      EXPECT_EQ(std::u16string(held), std::u16string(byPath)) << f << " " << testenv::Narrow(r.key);
    }
    for (const char16_t* key : ints)
      EXPECT_EQ(platform::ProfileIntIn(bytes, files[f].size(), u"UPDATEINFO", key, 77),
                platform::Sys().ProfileInt(u"UPDATEINFO", key, 77, path.c_str()))
          << f << " " << testenv::Narrow(key);
  }
}
#endif

TEST(ZipWriter, OneStoredMemberByteForByte) {
  ZipMember m;
  m.name = "a.txt";
  m.data = Ascii("abc");
  m.deflate = false;
  const Bytes expect = {
      // local header
      0x50, 0x4B, 0x03, 0x04, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00,  // signature, version 1.0, flags, stored
      0x00, 0x60, 0x21, 0x58,                                      // 12:00:00, 2024-01-01
      0xC2, 0x41, 0x24, 0x35, 0x03, 0, 0, 0, 0x03, 0, 0, 0,        // CRC, sizes
      0x05, 0x00, 0x00, 0x00, 'a', '.', 't', 'x', 't', 'a', 'b', 'c',
      // central directory record, at 38
      0x50, 0x4B, 0x01, 0x02, 0x14, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x60, 0x21, 0x58, 0xC2, 0x41, 0x24, 0x35, 0x03, 0, 0, 0, 0x03, 0, 0, 0,
      0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // name, extra, comment, disk, internal
      0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // attributes, local header at 0
      'a', '.', 't', 'x', 't',
      // end record
      0x50, 0x4B, 0x05, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
      0x33, 0x00, 0x00, 0x00, 0x26, 0x00, 0x00, 0x00, 0x02, 0x00, 'h', 'i',
  };
  EXPECT_EQ(expect, BuildZip({m}, "hi"));
}

TEST(ZipWriter, DeflatedMemberInflatesBack) {
  ZipMember m;
  m.name = "dir/image.fw";
  m.data = MakeSampleImage();
  m.dosDate = DosDate(2030, 12, 31);
  m.dosTime = DosTime(23, 59, 58);
  const Bytes zip = BuildZip({m});
  ASSERT_GT(zip.size(), 30u);
  EXPECT_EQ((Bytes{0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, 0x08, 0x00}), Slice(zip, 0, 10));
  EXPECT_EQ((Bytes{0x7D, 0xBF, 0x9F, 0x65}), Slice(zip, 10, 4));  // 23:59:58, 2030-12-31
  uint32_t packed = zip[18] | (zip[19] << 8) | (zip[20] << 16) | (static_cast<uint32_t>(zip[21]) << 24);
  uint32_t size = zip[22] | (zip[23] << 8) | (zip[24] << 16) | (static_cast<uint32_t>(zip[25]) << 24);
  EXPECT_EQ(667648u, size);
  ASSERT_LT(30 + 12 + packed, zip.size());
  z_stream z{};
  ASSERT_EQ(Z_OK, inflateInit2(&z, -15));
  Bytes out(size);
  z.next_in = const_cast<Bytef*>(zip.data() + 30 + 12);
  z.avail_in = packed;
  z.next_out = out.data();
  z.avail_out = size;
  EXPECT_EQ(Z_STREAM_END, inflate(&z, Z_FINISH));
  inflateEnd(&z);
  EXPECT_EQ(m.data, out);
}

TEST(ZipWriter, FolderEntriesAndLimits) {
  ZipMember folder;
  folder.name = "sub/";
  const Bytes zip = BuildZip({folder});
  ASSERT_FALSE(zip.empty());
  EXPECT_EQ(0x00, zip[8]);                 // a folder is stored
  EXPECT_EQ(0x30, zip[30 + 4 + 38]);       // archive and directory bits in the directory record
  ZipMember unnamed;
  EXPECT_TRUE(BuildZip({unnamed}).empty());
  EXPECT_TRUE(BuildZip({}, std::string(70000, 'c')).empty());
}

#ifndef _WIN32
// Python's zipfile, a reader that shares nothing with ours, reads the sample package.
TEST_F(SampleFiles, PythonReadsTheSamplePackage) {
  if (std::system("python3 -c 'import zipfile' 2>/dev/null") != 0) GTEST_SKIP() << "no python3";
  std::string zip = Scratch() + "/sample.zip";
  ASSERT_TRUE(WriteSamplePackage(zip));
  std::string script =
      "import sys, zipfile, zlib\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.testzip() is None\n"
      "names = [i.filename for i in z.infolist()]\n"
      "assert names == ['QuorvelaInfo.ini', 'Micron-B47R.fw'], names\n"
      "i = z.getinfo('Micron-B47R.fw')\n"
      "assert i.compress_type == zipfile.ZIP_DEFLATED and i.file_size == 667648\n"
      "assert z.getinfo('QuorvelaInfo.ini').compress_type == zipfile.ZIP_STORED\n"
      "assert i.date_time == (2024, 1, 1, 12, 0, 0)\n"
      "d = z.read('Micron-B47R.fw')\n"
      "assert d[:4] == b'CMFG' and d[138609:138617] == b'3.2.F.2F'\n"
      "assert z.read('QuorvelaInfo.ini').startswith(b'[UPDATEINFO]\\r\\nTITLE=')\n";
  std::string scriptPath = Scratch() + "/check.py";
  ASSERT_TRUE(WriteBytesToFile(scriptPath, Bytes(script.begin(), script.end())));
  EXPECT_EQ(0, std::system(("python3 " + scriptPath + " " + zip).c_str()));
}
#endif

}  // namespace
