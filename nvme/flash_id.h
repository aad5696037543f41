// NAND flash identification: the drive's flash information block (vendor 0xE6/3) and legacy
// information block (vendor 0xF2/0), the flash ID table, and the flash-type names from which the
// firmware file names are formed ("<packageFolder>\<name>.fw").
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/drive_record.h"
#include "platform/types.h"

// Flash-type codes: the high byte is the JEDEC manufacturer code (first byte of the flash ID), the
// low byte a running number per manufacturer.
constexpr uint32_t FLASH_TYPE_UNKNOWN = 0xFFFF;
// Room a caller gives FlashTypeToName: the longest name and its terminator.
constexpr size_t FLASH_TYPE_NAME_CHARS = 16;

// Fills controllerCode, flashId, hasVendorInfo and internalFwVersion from the flash information
// block (when the drive answers it with a valid block), then reads the legacy information block
// for the SoC ID of the older layout and for a flash ID the first block did not give, and sets
// flashType. Returns the result code of the legacy-block read (1, or the command path's failure
// code, in which case flashType stays as it was).
int ReadFlashInfo(int32_t iCmdType, platform::DeviceHandle device, DriveRecord* record);

// The flash-type code of a 6-byte flash ID, or FLASH_TYPE_UNKNOWN.
uint32_t FlashIdToType(const uint8_t flashId[FLASH_ID_BYTES]);

// Writes the name of a listed code into name (room for FLASH_TYPE_NAME_CHARS) and returns 1; for
// FLASH_TYPE_UNKNOWN writes "Unknow" and returns 0; any other code returns 1 and leaves name as it
// was.
int FlashTypeToName(uint32_t code, char16_t* name);

// The rows of the flash ID table in their order, for tools that list the known flash types.
size_t FlashTypeCount();
uint32_t FlashTypeCodeAt(size_t index);         // FLASH_TYPE_UNKNOWN past the end
const char16_t* FlashTypeNameAt(size_t index);  // null past the end
