// Firmware transfer and activation on every command path, and the firmware name of drives that
// keep it in the legacy information block.
#pragma once
#include <cstdint>

#include "core/progress.h"
#include "platform/types.h"

constexpr uint8_t FW_SLOT = 1;
constexpr uint8_t FW_COMMIT_ACTION_REPLACE = 1;  // active from the next controller reset

// Sends the image in chunks of at most 4096 bytes and reports the progress (10 .. 90) as it goes.
// image is a page block (platform::Sys().PageAlloc): a bridge moves each chunk straight from it.
// The caller owns it, whatever the result. Returns 1, -4, -8 when a bridge or the drive reported
// an error for a chunk, or -5 for an unknown command type. A failed chunk ends the download.
int DownloadFW(int32_t iCmdType, platform::DeviceHandle device, uint8_t* image, uint32_t size,
               ProgressReport progress = nullptr);
// The native transfer (STORAGE_HW_FIRMWARE_DOWNLOAD per chunk).
int IO_NVMe_FwDownload(platform::DeviceHandle device, const uint8_t* image, uint32_t size,
                       ProgressReport progress = nullptr);

// Firmware Commit of the downloaded image into slot with the commit action. 1, -4, -8 or -5.
// A commit the drive completes with a status of CommitAwaitsReset (bridges), or the native error
// 0x30207, counts as success: the image is committed and runs after a reset. AppState's
// commitNeedsReset then says so.
int FWCommit(int32_t iCmdType, platform::DeviceHandle device, uint8_t slot, uint8_t action);
// The native activate (STORAGE_HW_FIRMWARE_ACTIVATE); the error 0x30207 counts as success.
int IO_NVMe_FwActivate(platform::DeviceHandle device, uint8_t slot, uint8_t action);
// Firmware Commit statuses (status code type 1) that mean the image was committed and is
// activated by a reset: 0x10B conventional reset, 0x110 NVM subsystem reset, 0x111 controller
// level reset. Every other status, 0x106 and 0x107 among them, is a failure.
bool CommitAwaitsReset(uint16_t status);

// What a native drive reports of its firmware slots.
struct FirmwareSlots {
  uint8_t activeSlot;
  uint8_t pendingSlot;  // the slot whose firmware runs from the next reset; 0 when none waits
  char16_t pendingRevision[17];  // that slot's revision, as far as the drive tells it
  uint32_t error;       // the system error of a request that failed
};
// Asks the storage driver for the drive's firmware information (IOCTL_STORAGE_FIRMWARE_GET_INFO,
// for the controller). 1, -4 when the request failed, -8 when the reply is not one.
int IO_NVMe_FwGetInfo(platform::DeviceHandle device, FirmwareSlots* slots);

// Reads the legacy information block, puts name (ANSI, at most 8 bytes) into its firmware-name
// field at bytes 88-95 and writes bytes 0-143 back. Returns the failing command's code (a read
// that failed writes nothing), or 1.
int WriteVendorFwName(int32_t iCmdType, platform::DeviceHandle device, const char16_t* name);
