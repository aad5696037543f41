// The internal version inside an image, image file reading, and the comparison with the drive's.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "platform/platform.h"
#include "tests/support/test_env.h"
#include "tools/sample/sample_package.h"
#include "tools/sample/zip_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The search on exactly these bytes (an allocation of their size, so that AddressSanitizer sees
// any read past them). Returns the version, or "-" when none is found.
std::string Find(const std::string& bytes) {
  Bytes image(bytes.begin(), bytes.end());
  char out[INTERNAL_VERSION_BUFFER];
  std::memset(out, 'Z', sizeof(out));
  bool found = FindInternalVersion(image.data(), image.size(), out);
  EXPECT_EQ(found, out[0] != 0);
  return found ? std::string(out) : "-";
}

TEST(FindInternalVersion, WindowsAndWalks) {
  EXPECT_EQ("3.2.F.2F", Find(std::string("xx3.2.F.2F\0yy", 13)));
  EXPECT_EQ("-", Find("1..2.3.4"));                       // a second dot in a row ends the walk
  EXPECT_EQ("-", Find(std::string("1..2.3\0", 7)));         // nor does it count towards the three
  EXPECT_EQ("1.2.3.4", Find(std::string("a1.2.3.4\0", 9)));  // the window starts at the 1
  EXPECT_EQ("1.2.3.", Find(std::string("1.2.3.\0", 7)));      // an early end still counts
  EXPECT_EQ("1.2.3.4-", Find("1.2.3.4-xyz"));               // all 8 window bytes are copied
  EXPECT_EQ("-", Find("1.2.3"));
  EXPECT_EQ("-", Find(""));
  EXPECT_EQ("-", Find("no dots at all"));
}

TEST(FindInternalVersion, SkipsSevenBytesAfterAFailedDot) {
  // The first window (at the x) fails; the search goes on from byte 8, so the version starting at
  // byte 5 is never seen, and the window at byte 7 has only two dots.
  EXPECT_EQ("-", Find("x.yy!1.2.3.4"));
  // A dot at byte 0 has its window start before the image: it fails, and the search goes on
  // from byte 7.
  EXPECT_EQ("-", Find(".1.2.3.4"));
  EXPECT_EQ("9.8.7.6", Find(".abcdef9.8.7.6"));
}

TEST(FindInternalVersion, WindowAtTheVeryEndIsReadOnlyToTheEnd) {
  EXPECT_EQ("1.2.3.4", Find("zz1.2.3.4"));
  EXPECT_EQ("1.2.3.", Find("zz1.2.3."));
}

TEST(FindInternalVersion, NullArguments) {
  char out[INTERNAL_VERSION_BUFFER] = {'x'};
  EXPECT_FALSE(FindInternalVersion(nullptr, 100, out));
  EXPECT_EQ(0, out[0]);
  const uint8_t bytes[] = {'1', '.', '2', '.', '3', '.', '4'};
  EXPECT_FALSE(FindInternalVersion(bytes, sizeof(bytes), nullptr));
}

class VersionFiles : public testenv::Environment {
 protected:
  std::u16string Write(const std::string& name, const Bytes& bytes) {
    std::string path = Scratch() + "/" + name;
    EXPECT_TRUE(WriteBytesToFile(path, bytes));
    return ScratchW() + u"/" + testenv::Widen(name);
  }
  std::u16string WriteText(const std::string& name, const std::string& text) {
    return Write(name, Bytes(text.begin(), text.end()));
  }
};

TEST_F(VersionFiles, ReadFileDataGivesTheSizeOrReadsTheStart) {
  std::u16string path = WriteText("a.bin", "0123456789");
  EXPECT_EQ(10, ReadFileData(path.c_str(), 0, nullptr));
  char buffer[16] = {};
  EXPECT_EQ(4, ReadFileData(path.c_str(), 4, buffer));
  EXPECT_EQ(std::string("0123"), std::string(buffer));
  EXPECT_EQ(10, ReadFileData(path.c_str(), 16, buffer));
  EXPECT_EQ(0, ReadFileData((ScratchW() + u"/missing.bin").c_str(), 0, nullptr));
  EXPECT_EQ(0, ReadFileData((ScratchW() + u"/missing.bin").c_str(), 16, buffer));
  EXPECT_EQ(0, ReadFileData(ScratchW().c_str(), 0, nullptr));  // a folder is no file
  EXPECT_EQ(0, ReadFileData(WriteText("empty.bin", "").c_str(), 0, nullptr));
}

TEST_F(VersionFiles, TheSampleImageCarries3_2_F_2F) {
  std::u16string path = Write("Micron-B47R.fw", MakeSampleImage());
  char16_t version[INTERNAL_VERSION_BUFFER];
  ASSERT_TRUE(GetImageInternalVersion(path.c_str(), version, INTERNAL_VERSION_BUFFER));
  EXPECT_EQ(u"3.2.F.2F", std::u16string(version));
  char16_t small[4];
  ASSERT_TRUE(GetImageInternalVersion(path.c_str(), small, 4));
  EXPECT_EQ(u"3.2", std::u16string(small));
  EXPECT_FALSE(GetImageInternalVersion((ScratchW() + u"/none.fw").c_str(), version, 10));
  EXPECT_EQ(0, version[0]);
}

TEST_F(VersionFiles, CheckWithThreePartsComparesUpToTheThirdDot) {
  std::u16string image = Write("Micron-B47R.fw", MakeSampleImage());  // 3.2.F.2F
  EXPECT_EQ(1, CheckInternalVersion(u"3.2.F.2A", 3, image.c_str()));
  EXPECT_EQ(1, CheckInternalVersion(u"3.2.F.2F", 3, image.c_str()));
  EXPECT_EQ(0, CheckInternalVersion(u"3.2.E.2F", 3, image.c_str()));
  EXPECT_EQ(0, CheckInternalVersion(u"3.2.f.2F", 3, image.c_str()));  // letters keep their case
  EXPECT_EQ(0, CheckInternalVersion(u"3.2.F.2A", 4, image.c_str()));
  EXPECT_EQ(1, CheckInternalVersion(u"3.2.F.2F", 4, image.c_str()));
  EXPECT_EQ(1, CheckInternalVersion(u"3.2.X.2A", 2, image.c_str()));
  // Fewer dots than parts in the first 8 characters: the whole strings are compared.
  EXPECT_EQ(0, CheckInternalVersion(u"3.2.F.2A", 7, image.c_str()));
  EXPECT_EQ(1, CheckInternalVersion(u"3.2.F.2F", 7, image.c_str()));
  EXPECT_EQ(0, CheckInternalVersion(u"3.2.F.2FX", 7, image.c_str()));
}

TEST_F(VersionFiles, CheckWithNoPartsAgreesWithAnyImageThatHasAVersion) {
  std::u16string image = Write("Micron-B47R.fw", MakeSampleImage());
  EXPECT_EQ(1, CheckInternalVersion(u"9.9.9.9", 0, image.c_str()));
  EXPECT_EQ(1, CheckInternalVersion(u"anything", 0, image.c_str()));
  EXPECT_EQ(0, CheckInternalVersion(u".2.F.2F", 0, image.c_str()));  // a leading dot: no cut
  std::u16string none = WriteText("none.fw", "no version here");
  EXPECT_EQ(0, CheckInternalVersion(u"9.9.9.9", 0, none.c_str()));
  EXPECT_EQ(0, CheckInternalVersion(u"9.9.9.9", 0, (ScratchW() + u"/missing.fw").c_str()));
  EXPECT_EQ(0, CheckInternalVersion(u"", 0, image.c_str()));
}

}  // namespace
