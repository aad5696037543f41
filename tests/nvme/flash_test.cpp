// Flash identification: the flash ID table, the names, and ReadFlashInfo over the flash
// information block and the legacy information block, whatever those contain.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nvme/flash_id.h"
#include "platform/text.h"
#include "tests/nvme/nvme_fixture.h"

using namespace nvmetest;

namespace {

struct Row {
  std::vector<std::string> ids;
  uint32_t code;
  std::u16string name;
};

// The flash ID table, in its order.
const Row kTable[] = {
    {{"89C40832A6", "89D48932A6"}, 0x8901, u"Intel-B17A"},
    {{"2CD48932A6"}, 0x2C01, u"Micron-B17A"},
    {{"2CC41832A2"}, 0x2C02, u"Micron-B27A"},
    {{"2CC30832E6", "2CD38932E6"}, 0x2C03, u"Micron-B27B"},
    {{"2CC30832EA", "2CD38932EA", "2CE38A32EA"}, 0x2C04, u"Micron-B47R"},
    {{"983C98B376F2"}, 0x9801, u"TSB-BiCS3"},
    {{"983E98B376E3", "98499AB37EE3"}, 0x9802, u"TSB-BiCS4"},
    {{"453E98B37663"}, 0x4501, u"Sandisk-BiCS4"},
    {{"453C98B3F663"}, 0x4502, u"Sandisk-BiCS4.5"},
    {{"453E98B37672"}, 0x4503, u"Sandisk-BiCS3"},
    {{"AD89285300B0"}, 0xAD01, u"Hynix-3DV6"},
    {{"9BC4284920"}, 0x9B02, u"YMTC-X2-9060"},
    {{"9BC3482510", "9BC4492510"}, 0x9B01, u"YMTC-X1-9050"},
};

// Six bytes from hex digits, starting at digit `at` of a 12-digit text filled with zeros.
std::vector<uint8_t> IdBytes(const std::string& hex, size_t at = 0) {
  std::string digits(12, '0');
  digits.replace(at, hex.size(), hex);
  std::vector<uint8_t> out(6);
  for (size_t i = 0; i < 6; ++i) out[i] = static_cast<uint8_t>(std::stoi(digits.substr(2 * i, 2), nullptr, 16));
  return out;
}

}  // namespace

TEST(FlashTable, EveryIdTextGivesItsRowAnywhereInTheDigits) {
  for (const Row& row : kTable) {
    for (const std::string& id : row.ids) {
      for (size_t at = 0; at + id.size() <= 12; ++at) {
        const auto bytes = IdBytes(id, at);
        EXPECT_EQ(FlashIdToType(bytes.data()), row.code) << id << " at digit " << at;
      }
    }
  }
  const uint8_t b47r[6] = {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00};
  EXPECT_EQ(FlashIdToType(b47r), 0x2C04u);
  char16_t name[FLASH_TYPE_NAME_CHARS] = {};
  EXPECT_EQ(FlashTypeToName(FlashIdToType(b47r), name), 1);
  EXPECT_EQ(std::u16string(name), u"Micron-B47R");

  // Near misses and nothing.
  const uint8_t nearMiss[6] = {0x2C, 0xC3, 0x08, 0x32, 0xEB, 0x00};
  const uint8_t zero[6] = {};
  const uint8_t cut[6] = {0x98, 0x3C, 0x98, 0xB3, 0x76, 0xF3};  // a twelve-digit text must match whole
  EXPECT_EQ(FlashIdToType(nearMiss), FLASH_TYPE_UNKNOWN);
  EXPECT_EQ(FlashIdToType(zero), FLASH_TYPE_UNKNOWN);
  EXPECT_EQ(FlashIdToType(cut), FLASH_TYPE_UNKNOWN);
}

TEST(FlashTable, NamesAndTheWalkFollowTheTableOrder) {
  ASSERT_EQ(FlashTypeCount(), sizeof(kTable) / sizeof(kTable[0]));
  for (size_t i = 0; i < FlashTypeCount(); ++i) {
    EXPECT_EQ(FlashTypeCodeAt(i), kTable[i].code) << i;
    EXPECT_EQ(std::u16string(FlashTypeNameAt(i)), kTable[i].name) << i;
    char16_t name[FLASH_TYPE_NAME_CHARS] = {};
    EXPECT_EQ(FlashTypeToName(kTable[i].code, name), 1);
    EXPECT_EQ(std::u16string(name), kTable[i].name);
  }
  EXPECT_EQ(FlashTypeNameAt(FlashTypeCount()), nullptr);
  EXPECT_EQ(FlashTypeCodeAt(FlashTypeCount()), FLASH_TYPE_UNKNOWN);

  char16_t name[FLASH_TYPE_NAME_CHARS] = {};
  EXPECT_EQ(FlashTypeToName(0xFFFF, name), 0);
  EXPECT_EQ(std::u16string(name), u"Unknow");
  // Code 0 (no legacy block) and other unlisted codes: 1, and the name is left alone.
  char16_t kept[FLASH_TYPE_NAME_CHARS] = u"keep";
  EXPECT_EQ(FlashTypeToName(0, kept), 1);
  EXPECT_EQ(std::u16string(kept), u"keep");
  EXPECT_EQ(FlashTypeToName(0x2C05, kept), 1);
  EXPECT_EQ(std::u16string(kept), u"keep");
}

class FlashInfo : public NvmeTest {
 protected:
  void SetUp() override {
    NvmeTest::SetUp();
    flashBlock.assign(4096, 0);
    legacyBlock.assign(4096, 0);
    device->answer = [this](const Seen& s) {
      Reply r;
      if (s.code != kProtocolCommand) return r;
      if (s.in[80] == 0xE6 && U32(s.in, 128) == 3) {
        if (!flashOk) return Fail(1117);
        r.bytes = flashBlock;
      } else if (s.in[80] == 0xF2 && U32(s.in, 128) == 0) {
        if (!legacyOk) return Fail(1117);
        r.bytes = legacyBlock;
      }
      r.at = 144;
      return r;
    };
    record = DriveRecord{};
  }
  void Put(std::vector<uint8_t>& block, size_t at, std::initializer_list<int> bytes) {
    for (int b : bytes) block[at++] = static_cast<uint8_t>(b);
  }
  std::vector<uint8_t> FlashId() const { return std::vector<uint8_t>(record.flashId, record.flashId + 6); }

  std::vector<uint8_t> flashBlock, legacyBlock;
  bool flashOk = true, legacyOk = true;
  DriveRecord record;
};

TEST_F(FlashInfo, ValidFlashBlockFillsTheRecord) {
  Put(flashBlock, 0, {0x5A, 0x00, 0x63, 0x7C});
  Put(flashBlock, 16, {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00});
  Put(flashBlock, 32, {'Q', 'V', 'F', 'W', '1', '2', '3', '4', 'Z', 'Z'});  // no terminator
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  ASSERT_EQ(device->seen.size(), 2u);
  EXPECT_EQ(device->seen[0].in[80], 0xE6);
  EXPECT_EQ(U32(device->seen[0].in, 128), 3u);
  EXPECT_EQ(device->seen[1].in[80], 0xF2);
  EXPECT_EQ(U32(device->seen[1].in, 128), 0u);
  EXPECT_EQ(record.controllerCode, 0x7C63u);
  EXPECT_EQ(FlashId(), Bytes({0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00}));
  EXPECT_EQ(record.hasVendorInfo, 1);
  EXPECT_EQ(std::u16string(record.internalFwVersion), u"QVFW1234");
  EXPECT_EQ(record.flashType, 0x2C04u);
}

TEST_F(FlashInfo, LegacyLayoutMarkerGivesTheSocIdUnless7C41) {
  Put(legacyBlock, 280, {0xE8, 0x06});
  Put(legacyBlock, 1582, {0x41, 0x7C});
  Put(flashBlock, 0, {0x5A, 0x00, 0x63, 0x7C});
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(record.controllerCode, 0x7C41u);

  record = DriveRecord{};
  Put(flashBlock, 2, {0x41, 0x7C});
  Put(legacyBlock, 1582, {0x63, 0x7C});
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(record.controllerCode, 0x7C41u);

  // Another marker: the legacy SoC ID is not read.
  record = DriveRecord{};
  Put(flashBlock, 2, {0x63, 0x7C});
  Put(legacyBlock, 280, {0xE9, 0x06});
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(record.controllerCode, 0x7C63u);
}

TEST_F(FlashInfo, BlockWithout5ALeadsToTheLegacyBlock) {
  Put(flashBlock, 0, {0x5B, 0x00, 0x63, 0x7C});
  Put(flashBlock, 16, {0x89, 0xC4, 0x08, 0x32, 0xA6, 0x00});
  Put(flashBlock, 32, {'V', '1'});
  Put(legacyBlock, 280, {0xE8, 0x06});
  Put(legacyBlock, 1582, {0x63, 0x7C});
  Put(legacyBlock, 295, {2, 3});
  Put(legacyBlock, 1352 + 12, {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00});  // entry 2
  Put(legacyBlock, 1352 + 24, {0x89, 0xC4, 0x08, 0x32, 0xA6, 0x00});  // entry 4
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(record.hasVendorInfo, 0);
  EXPECT_EQ(record.internalFwVersion[0], 0);
  EXPECT_EQ(record.controllerCode, 0x7C63u);
  EXPECT_EQ(FlashId(), Bytes({0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00}));
  EXPECT_EQ(record.flashType, 0x2C04u);

  // A failed flash information read is no error either.
  record = DriveRecord{};
  flashOk = false;
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(record.hasVendorInfo, 0);
  EXPECT_EQ(record.flashType, 0x2C04u);
}

TEST_F(FlashInfo, LegacyEntryCountOf192IsSearchedAndOf240IsNot) {
  Put(legacyBlock, 295, {4, 8});
  Put(legacyBlock, 1352 + 31 * 6, {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00});  // the 32nd entry
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(FlashId(), Bytes({0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00}));
  EXPECT_EQ(record.flashType, 0x2C04u);

  record = DriveRecord{};
  Put(legacyBlock, 295, {5, 8});
  Put(legacyBlock, 1352, {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00});
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(FlashId(), Bytes({0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(record.flashType, FLASH_TYPE_UNKNOWN);

  // An ID from a valid flash block is not replaced by the legacy entries.
  record = DriveRecord{};
  Put(legacyBlock, 295, {1, 1});
  Put(flashBlock, 0, {0x5A});
  Put(flashBlock, 16, {0x9B, 0xC4, 0x28, 0x49, 0x20, 0x00});
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(record.flashType, 0x9B02u);
}

TEST_F(FlashInfo, FailedLegacyReadLeavesTheFlashType) {
  Put(flashBlock, 0, {0x5A, 0x00, 0x63, 0x7C});
  Put(flashBlock, 16, {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00});
  legacyOk = false;
  EXPECT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), -4);
  EXPECT_EQ(record.flashType, 0u);
  EXPECT_EQ(record.hasVendorInfo, 1);
  EXPECT_EQ(record.controllerCode, 0x7C63u);
  EXPECT_EQ(ReadFlashInfo(CMD_TYPE_NONE, handle, &record), -5);
}

TEST_F(FlashInfo, HostileBlocksAreReadWithinThemselves) {
  flashBlock.assign(4096, 0xFF);
  flashBlock[0] = 0x5A;
  legacyBlock.assign(4096, 0xFF);
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(record.hasVendorInfo, 1);
  EXPECT_EQ(platform::TextLengthMax(record.internalFwVersion, DRIVE_TEXT_CHARS), 8u);
  EXPECT_EQ(record.controllerCode, 0xFFFFu);
  EXPECT_EQ(record.flashType, FLASH_TYPE_UNKNOWN);

  record = DriveRecord{};
  flashBlock[0] = 0x00;
  ASSERT_EQ(ReadFlashInfo(CMD_TYPE_NVME, handle, &record), 1);
  EXPECT_EQ(FlashId(), Bytes({0, 0, 0, 0, 0, 0})) << "255 x 255 entries are not searched";
  EXPECT_EQ(record.internalFwVersion[0], 0);
}
