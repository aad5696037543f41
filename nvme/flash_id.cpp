// Flash identification from the drive's vendor blocks, and the flash ID table.
#include "nvme/flash_id.h"

#include <cstring>

#include "core/page_block.h"
#include "core/trace.h"
#include "nvme/bridge.h"
#include "nvme/nvme_command.h"
#include "platform/text.h"

namespace {

struct FlashRow {
  const char16_t* ids[3];  // null past the last
  uint32_t code;
  const char16_t* name;
};

// Searched top to bottom; the first row one of whose ID texts occurs in the drive's ID decides.
constexpr FlashRow FLASH_TABLE[] = {
    {{u"89C40832A6", u"89D48932A6", nullptr}, 0x8901, u"Intel-B17A"},
    {{u"2CD48932A6", nullptr, nullptr}, 0x2C01, u"Micron-B17A"},
    {{u"2CC41832A2", nullptr, nullptr}, 0x2C02, u"Micron-B27A"},
    {{u"2CC30832E6", u"2CD38932E6", nullptr}, 0x2C03, u"Micron-B27B"},
    {{u"2CC30832EA", u"2CD38932EA", u"2CE38A32EA"}, 0x2C04, u"Micron-B47R"},
    {{u"983C98B376F2", nullptr, nullptr}, 0x9801, u"TSB-BiCS3"},
    {{u"983E98B376E3", u"98499AB37EE3", nullptr}, 0x9802, u"TSB-BiCS4"},
    {{u"453E98B37663", nullptr, nullptr}, 0x4501, u"Sandisk-BiCS4"},
    {{u"453C98B3F663", nullptr, nullptr}, 0x4502, u"Sandisk-BiCS4.5"},
    {{u"453E98B37672", nullptr, nullptr}, 0x4503, u"Sandisk-BiCS3"},
    {{u"AD89285300B0", nullptr, nullptr}, 0xAD01, u"Hynix-3DV6"},
    {{u"9BC4284920", nullptr, nullptr}, 0x9B02, u"YMTC-X2-9060"},
    {{u"9BC3482510", u"9BC4492510", nullptr}, 0x9B01, u"YMTC-X1-9050"},
};
constexpr size_t FLASH_ROWS = sizeof(FLASH_TABLE) / sizeof(FLASH_TABLE[0]);
constexpr const char16_t* UNKNOWN_NAME = u"Unknow";

// Fields of the flash information block (vendor 0xE6/3).
constexpr uint8_t FLASH_INFO_VALID = 0x5A;
constexpr size_t FLASH_INFO_SOC_ID_AT = 2;
constexpr size_t FLASH_INFO_FLASH_ID_AT = 16;
constexpr size_t FLASH_INFO_VERSION_AT = 32;
constexpr size_t FLASH_INFO_VERSION_BYTES = 8;

// Fields of the legacy information block (vendor 0xF2/0).
constexpr size_t LEGACY_MARKER_AT = 280;
constexpr uint16_t LEGACY_MARKER_SOC_ID = 0x06E8;
constexpr size_t LEGACY_SOC_ID_AT = 1582;
constexpr size_t LEGACY_COUNT_A_AT = 295;
constexpr size_t LEGACY_COUNT_B_AT = 296;
constexpr size_t LEGACY_ENTRIES_AT = 1352;
constexpr uint32_t LEGACY_ENTRIES_MAX_BYTES = 192;  // 32 entries
// A drive that reports this SoC ID in its flash information block keeps it.
constexpr uint32_t SOC_ID_KEPT = 0x7C41;

static_assert(LEGACY_ENTRIES_AT + LEGACY_ENTRIES_MAX_BYTES <= VENDOR_BLOCK_BYTES);
static_assert(LEGACY_SOC_ID_AT + 2 <= VENDOR_BLOCK_BYTES);

uint16_t Le16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

}  // namespace

int ReadFlashInfo(int32_t iCmdType, platform::DeviceHandle device, DriveRecord* record) {
  // A page block: behind a bridge the reply moves straight into it.
  PageBlock page(VENDOR_BLOCK_BYTES);
  uint8_t* block = page.data();
  if (block == nullptr) return NVME_RESULT_IO_FAILED;

  int result = SendVendorCmd(iCmdType, device, NVME_DATA_READ, NVME_OPC_VENDOR_READ,
                             VENDOR_SUB_FLASH_INFO, 0, VENDOR_SIGNATURE_CDW14,
                             VENDOR_SIGNATURE_CDW15, block, VENDOR_BLOCK_BYTES);
  if (result == NVME_RESULT_OK && block[0] == FLASH_INFO_VALID) {
    record->controllerCode = Le16(block + FLASH_INFO_SOC_ID_AT);
    std::memcpy(record->flashId, block + FLASH_INFO_FLASH_ID_AT, FLASH_ID_BYTES);
    record->hasVendorInfo = 1;
    // Eight characters, terminated only when shorter.
    char version[FLASH_INFO_VERSION_BYTES + 1] = {};
    std::memcpy(version, block + FLASH_INFO_VERSION_AT, FLASH_INFO_VERSION_BYTES);
    platform::AnsiToWide(version, -1, record->internalFwVersion, DRIVE_TEXT_CHARS);
  }

  std::memset(block, 0, VENDOR_BLOCK_BYTES);
  result = SendVendorCmd(iCmdType, device, NVME_DATA_READ, NVME_OPC_LEGACY_READ, VENDOR_SUB_LEGACY,
                         0, VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15, block,
                         VENDOR_BLOCK_BYTES);
  if (result != NVME_RESULT_OK) return result;

  if (Le16(block + LEGACY_MARKER_AT) == LEGACY_MARKER_SOC_ID &&
      record->controllerCode != SOC_ID_KEPT)
    record->controllerCode = Le16(block + LEGACY_SOC_ID_AT);

  if (record->flashId[0] == 0) {
    const uint32_t count =
        static_cast<uint32_t>(block[LEGACY_COUNT_A_AT]) * block[LEGACY_COUNT_B_AT] * FLASH_ID_BYTES;
    if (count <= LEGACY_ENTRIES_MAX_BYTES) {
      for (uint32_t offset = 0; offset < count; offset += FLASH_ID_BYTES) {
        const uint8_t* entry = block + LEGACY_ENTRIES_AT + offset;
        if (entry[0] != 0) {
          std::memcpy(record->flashId, entry, FLASH_ID_BYTES);
          break;
        }
      }
    }
  }

  record->flashType = FlashIdToType(record->flashId);
  return NVME_RESULT_OK;
}

uint32_t FlashIdToType(const uint8_t flashId[FLASH_ID_BYTES]) {
  char16_t text[16];
  platform::FormatText(text, 16, u"%02X%02X%02X%02X%02X%02X", flashId[0], flashId[1], flashId[2],
                       flashId[3], flashId[4], flashId[5]);
  for (const FlashRow& row : FLASH_TABLE) {
    for (const char16_t* id : row.ids) {
      if (id != nullptr && FindNoCase(text, id) >= 0) return row.code;
    }
  }
  return FLASH_TYPE_UNKNOWN;
}

int FlashTypeToName(uint32_t code, char16_t* name) {
  if (code == FLASH_TYPE_UNKNOWN) {
    platform::TextCopy(name, FLASH_TYPE_NAME_CHARS, UNKNOWN_NAME);
    return 0;
  }
  for (const FlashRow& row : FLASH_TABLE) {
    if (row.code == code) {
      platform::TextCopy(name, FLASH_TYPE_NAME_CHARS, row.name);
      return 1;
    }
  }
  return 1;
}

size_t FlashTypeCount() { return FLASH_ROWS; }

uint32_t FlashTypeCodeAt(size_t index) {
  return index < FLASH_ROWS ? FLASH_TABLE[index].code : FLASH_TYPE_UNKNOWN;
}

const char16_t* FlashTypeNameAt(size_t index) {
  return index < FLASH_ROWS ? FLASH_TABLE[index].name : nullptr;
}
