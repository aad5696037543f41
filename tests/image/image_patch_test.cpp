// Configuration carry-over, the configuration fields and the CRC, on images built byte by byte.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "image/firmware_image.h"
#include "tests/support/test_env.h"
#include "tools/sample/sample_package.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ImagePatch : public testenv::Environment {};

uint32_t Le32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The CRC of the sample image by its layout, worked out with zlib on the literal spans: bytes
// 0..79, 4016 zero bytes, then pages 1 to 161 (bytes 4096 to 663,551).
uint32_t SampleCrcByHand(const Bytes& image) {
  uLong crc = crc32(0, image.data(), 80);
  Bytes zeros(4016, 0);
  crc = crc32(crc, zeros.data(), 4016);
  crc = crc32(crc, image.data() + 4096, 663552 - 4096);
  return static_cast<uint32_t>(crc);
}

// A small image: page 0 with the table, one page per range, the trailer page last.
Bytes SmallImage(uint32_t pages, std::vector<std::pair<uint32_t, uint32_t>> ranges) {
  Bytes image(pages * 4096, 0x5A);
  std::memcpy(image.data(), "CMFG", 4);
  for (size_t i = 0; i < 8; ++i) {
    auto r = i < ranges.size() ? ranges[i] : std::make_pair(0u, 0u);
    for (int k = 0; k < 4; ++k) {
      image[16 + 8 * i + k] = static_cast<uint8_t>(r.first >> (8 * k));
      image[20 + 8 * i + k] = static_cast<uint8_t>(r.second >> (8 * k));
    }
  }
  return image;
}

TEST_F(ImagePatch, KeepWithoutBlockLeavesTheSampleImageAsItWas) {
  const Bytes original = MakeSampleImage();
  Bytes image = original;
  EXPECT_EQ(IMAGE_OK, CarryOverConfig(image.data(), image.size(), nullptr, u"Vendor_Fw_Name", u"KEEP"));
  EXPECT_EQ(original, image);
  for (const char16_t* keep : {u"keep", u"Keep", u"kEEp"}) {
    EXPECT_EQ(IMAGE_OK, CarryOverConfig(image.data(), image.size(), nullptr, u"Vendor_Fw_Name", keep));
    EXPECT_EQ(original, image);
  }
}

TEST_F(ImagePatch, BlockLandsOnTheConfigurationPageAndTheCrcInTheTrailer) {
  const Bytes original = MakeSampleImage();
  Bytes image = original;
  // The trailer's zero word is set again even when it held something.
  image[663560] = 0x77;
  Bytes block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_EQ(IMAGE_OK, CarryOverConfig(image.data(), image.size(), block.data(), u"Vendor_Fw_Name",
                                      u"3.2.F.2A"));
  Bytes expectBlock = block;
  std::memcpy(expectBlock.data() + 1064, "3.2.F.2A", 8);
  EXPECT_TRUE(std::equal(expectBlock.begin(), expectBlock.end(), image.begin() + 659456));
  EXPECT_EQ(0u, Le32(image, 663560));
  EXPECT_EQ(SampleCrcByHand(image), Le32(image, 663564));
  EXPECT_NE(Le32(original, 663564), Le32(image, 663564));
  // Nothing else moved.
  for (size_t i = 0; i < image.size(); ++i) {
    if (i >= 659456 && i < 659456 + 4096) continue;
    if (i >= 663560 && i < 663568) continue;
    ASSERT_EQ(original[i], image[i]) << "byte " << i;
  }
}

TEST_F(ImagePatch, PageZeroBeyondTheTableCountsAsZero) {
  Bytes image = MakeSampleImage();
  uint32_t before = Le32(image, 663564);
  image[80] ^= 0xFF;
  image[4095] ^= 0xFF;
  ASSERT_EQ(IMAGE_OK, CarryOverConfig(image.data(), image.size(), nullptr, u"VID", u"KEEP"));
  EXPECT_EQ(before, Le32(image, 663564));
  image[79] ^= 0xFF;  // the last table byte does count
  ASSERT_EQ(IMAGE_OK, CarryOverConfig(image.data(), image.size(), nullptr, u"VID", u"KEEP"));
  EXPECT_NE(before, Le32(image, 663564));
}

// The header and ranges 0 and 1 enter the CRC before the block is copied; a table whose
// configuration page is page 0 shows the order.
TEST_F(ImagePatch, HeaderAndFirstRangesCountAsTheyWereBeforeTheCopy) {
  Bytes image = SmallImage(2, {{0, 0}, {0, 0}, {0, 0}});
  const Bytes original = image;
  Bytes block(4096, 0x11);
  ASSERT_EQ(IMAGE_OK, CarryOverConfig(image.data(), image.size(), block.data(), u"VID", u"KEEP"));
  uLong crc = crc32(0, original.data(), 80);
  Bytes zeros(4016, 0);
  crc = crc32(crc, zeros.data(), 4016);
  crc = crc32(crc, original.data(), 4096);  // range 0
  crc = crc32(crc, original.data(), 4096);  // range 1
  crc = crc32(crc, block.data(), 4096);     // range 2, now the block
  EXPECT_EQ(static_cast<uint32_t>(crc), Le32(image, 4096 + 12));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin()));
}

TEST_F(ImagePatch, UnknownKeyStillCopiesTheBlockAndRenewsTheCrc) {
  Bytes image = MakeSampleImage();
  Bytes block(4096, 0xC3);
  ASSERT_EQ(IMAGE_OK, CarryOverConfig(image.data(), image.size(), block.data(), u"NoSuchKey", u"x"));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + 659456));
  EXPECT_EQ(SampleCrcByHand(image), Le32(image, 663564));
}

TEST_F(ImagePatch, ImageWithoutMagicIsNotTouched) {
  AppStateGet().traceEnabled = 1;
  Bytes image = MakeSampleImage();
  image[3] = 'X';
  const Bytes original = image;
  Bytes block(4096, 1);
  EXPECT_EQ(IMAGE_NOT_CONFIG, CarryOverConfig(image.data(), image.size(), block.data(),
                                              u"Vendor_Fw_Name", u"3.2.F.2A"));
  EXPECT_EQ(original, image);
  auto lines = testenv::DebugLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(u"[TX]          [middle] Not Config FW", lines.back());
  Bytes tiny = {'C', 'M', 'F'};
  EXPECT_EQ(IMAGE_NOT_CONFIG, CarryOverConfig(tiny.data(), tiny.size(), nullptr, u"VID", u"1"));
}

// Tables that point outside the image: refused, untouched, nothing read or written out of
// bounds (each image is its own exact-size allocation, so AddressSanitizer sees any stray byte).
TEST_F(ImagePatch, TablesOutsideTheImageAreRefused) {
  struct Case {
    const char* what;
    uint32_t pages;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
  };
  const Case cases[] = {
      {"configuration range past the end", 4, {{1, 1}, {2, 2}, {4, 4}}},
      {"trailer page past the end", 4, {{1, 1}, {2, 2}, {3, 3}}},
      {"range 0 past the end", 4, {{1, 9}, {2, 2}, {2, 2}}},
      {"range 1 past the end", 4, {{1, 1}, {2, 5}, {2, 2}}},
      {"range with first after last", 4, {{2, 1}, {1, 1}, {2, 2}}},
      {"configuration range reversed", 4, {{1, 1}, {1, 1}, {2, 1}}},
      {"last page 0xFFFFFFFF", 4, {{1, 1}, {1, 1}, {2, 0xFFFFFFFF}}},
      {"whole 32-bit range", 4, {{0, 0xFFFFFFFF}, {1, 1}, {2, 2}}},
      {"trailer one past the last 32-bit page", 4, {{1, 1}, {1, 1}, {0xFFFFFFFE, 0xFFFFFFFE}}},
  };
  for (const Case& c : cases) {
    Bytes image = SmallImage(c.pages, c.ranges);
    const Bytes original = image;
    Bytes block(4096, 0xEE);
    EXPECT_EQ(IMAGE_BAD_LAYOUT, CarryOverConfig(image.data(), image.size(), block.data(),
                                                u"Vendor_Fw_Name", u"3.2.F.2A"))
        << c.what;
    EXPECT_EQ(original, image) << c.what;
  }
  // A partial last page does not hold a trailer.
  Bytes image = SmallImage(4, {{1, 1}, {2, 2}, {2, 2}});
  image.resize(3 * 4096 + 100);
  EXPECT_EQ(IMAGE_BAD_LAYOUT, CarryOverConfig(image.data(), image.size(), nullptr, u"VID", u"KEEP"));
  // The magic alone, without room for the table.
  Bytes header(40, 0);
  std::memcpy(header.data(), "CMFG", 4);
  EXPECT_EQ(IMAGE_BAD_LAYOUT, CarryOverConfig(header.data(), header.size(), nullptr, u"VID", u"1"));
  // The smallest image that fits: page 0, one configuration page, the trailer.
  Bytes smallest = SmallImage(3, {{0, 0}, {0, 0}, {1, 1}});
  EXPECT_EQ(IMAGE_OK, CarryOverConfig(smallest.data(), smallest.size(), nullptr, u"VID", u"1"));
}

// ---- the configuration fields

class ConfigFields : public testenv::Environment {
 protected:
  Bytes block = Bytes(4096, 0xEE);
  std::string Text(size_t at, size_t n) const { return std::string(block.begin() + at, block.begin() + at + n); }
  uint16_t U16(size_t at) const { return static_cast<uint16_t>(block[at] | (block[at + 1] << 8)); }
  void ExpectOnlyChanged(size_t at, size_t n) const {
    for (size_t i = 0; i < block.size(); ++i) {
      if (i >= at && i < at + n) continue;
      ASSERT_EQ(0xEE, block[i]) << "byte " << i;
    }
  }
};

TEST_F(ConfigFields, FirmwareNameFillsEightBytesOrIsPaddedWithZeros) {
  SetConfigField(block.data(), u"Vendor_Fw_Name", u"3.2.F.2A");
  EXPECT_EQ("3.2.F.2A", Text(1064, 8));
  ExpectOnlyChanged(1064, 8);
  SetConfigField(block.data(), u"vendor_fw_name", u"3.2");
  EXPECT_EQ(std::string("3.2\0\0\0\0\0", 8), Text(1064, 8));
  ExpectOnlyChanged(1064, 8);
}

TEST_F(ConfigFields, LongTextsAreCutAtTheFieldWidth) {
  const char16_t* model = u"QUORVELA Q7 1TB NVME SOLID STATE DRIVE 12345";  // 45 characters
  SetConfigField(block.data(), u"Vendor_Model_Name", model);
  EXPECT_EQ("QUORVELA Q7 1TB NVME SOLID STATE DRIVE 1", Text(1072, 40));
  ExpectOnlyChanged(1072, 40);
  Bytes b2(4096, 0xEE);
  block.swap(b2);
  std::u16string longSerial(300, u'S');
  SetConfigField(block.data(), u"DRV_SERIAL_NUMBER", longSerial.c_str());
  EXPECT_EQ(std::string(20, 'S'), Text(1040, 20));
  ExpectOnlyChanged(1040, 20);
  block.assign(4096, 0xEE);
  SetConfigField(block.data(), u"Workorder", u"WO-1");
  EXPECT_EQ(std::string("WO-1") + std::string(16, '\0'), Text(528, 20));
  ExpectOnlyChanged(528, 20);
}

TEST_F(ConfigFields, NumbersAreParsedInTheFieldsBaseAndKeepTheirLow16Bits) {
  struct Case {
    const char16_t* key;
    const char16_t* value;
    size_t at;
    uint16_t expect;
  };
  const Case cases[] = {
      {u"VID", u"12AB", 1032, 0x12AB},      {u"VID", u"0x12AB", 1032, 0x12AB},
      {u"VID", u"zz", 1032, 0},             {u"VID", u"12345", 1032, 0x2345},
      {u"vid", u"  12ab", 1032, 0x12AB},    {u"VID", u"0x", 1032, 0},
      {u"VID", u"12G4", 1032, 0x12},        {u"VID", u"-1", 1032, 0xFFFF},
      {u"VID", u"123456789AB", 1032, 0xFFFF},
      {u"DID", u"5013", 1034, 0x5013},      {u"SSVID", u"1E4B", 1036, 0x1E4B},
      {u"SSDID", u"1202", 1038, 0x1202},    {u"Vendor_Capacity", u"1000", 1592, 1000},
      {u"Vendor_Capacity", u"70000", 1592, 70000 & 0xFFFF},
      {u"Vendor_Capacity", u"0x10", 1592, 0},
  };
  for (const Case& c : cases) {
    block.assign(4096, 0xEE);
    SetConfigField(block.data(), c.key, c.value);
    EXPECT_EQ(c.expect, U16(c.at)) << testenv::Narrow(c.key) << "=" << testenv::Narrow(c.value);
    ExpectOnlyChanged(c.at, 2);
  }
}

TEST_F(ConfigFields, KeepUnknownKeysAndMissingTextsChangeNothing) {
  for (const char16_t* keep : {u"KEEP", u"keep", u"Keep"}) SetConfigField(block.data(), u"VID", keep);
  SetConfigField(block.data(), u"Vendor_Fw_Name", u"KEEP");
  SetConfigField(block.data(), u"Vendor_Fw_Nam", u"X");
  SetConfigField(block.data(), u"", u"X");
  SetConfigField(block.data(), nullptr, u"X");
  SetConfigField(block.data(), u"VID", nullptr);
  SetConfigField(nullptr, u"VID", u"1");
  EXPECT_EQ(Bytes(4096, 0xEE), block);
  SetConfigField(block.data(), u"Vendor_Fw_Name", u"KEEPER");  // only the whole word is KEEP
  EXPECT_EQ(std::string("KEEPER\0\0", 8), Text(1064, 8));
}

// ---- CRC-32

TEST(Crc32, StandardCheckAndChaining) {
  EXPECT_EQ(0x352441C2u, Crc32Update("abc", 3, 0));
  EXPECT_EQ(0x352441C2u, Crc32Update("c", 1, Crc32Update("ab", 2, 0)));
  EXPECT_EQ(0xCBF43926u, Crc32Update("123456789", 9, 0));
  EXPECT_EQ(0x12345678u, Crc32Update("", 0, 0x12345678u));
  EXPECT_EQ(0u, Crc32Update(nullptr, 0, 0));
}

}  // namespace
