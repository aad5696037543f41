// Firmware transfer and activation on every command path, and the firmware name of drives that
// keep it in the legacy information block.
#pragma once
#include <cstdint>

#include "platform/types.h"

constexpr uint8_t FW_SLOT = 1;
constexpr uint8_t FW_COMMIT_ACTION_REPLACE = 1;  // active from the next controller reset

// Sends the image in chunks of at most 4096 bytes and posts WM_UPDATE_PROGRESS (10 .. 90) to
// AppState.dialogWindow as it goes. image is a page block (platform::Sys().PageAlloc); on any
// failure it has been released before the return and the caller must not touch it again; on
// success the caller keeps it. Returns 1, -4, -8 when a bridge or the drive reported an error for
// a chunk, or -5 for an unknown command type. A failed chunk ends the download.
int DownloadFW(int32_t iCmdType, platform::DeviceHandle device, uint8_t* image, uint32_t size);
// The native transfer (STORAGE_HW_FIRMWARE_DOWNLOAD per chunk), with the same image ownership.
int IO_NVMe_FwDownload(platform::DeviceHandle device, uint8_t* image, uint32_t size);

// Firmware Commit of the downloaded image into slot with the commit action. 1, -4, -8 or -5.
int FWCommit(int32_t iCmdType, platform::DeviceHandle device, uint8_t slot, uint8_t action);
// The native activate (STORAGE_HW_FIRMWARE_ACTIVATE); the error 0x30207 counts as success.
int IO_NVMe_FwActivate(platform::DeviceHandle device, uint8_t slot, uint8_t action);

// Reads the legacy information block, puts name (ANSI, at most 8 bytes) into its firmware-name
// field at bytes 88-95 and writes bytes 0-143 back. Returns the failing command's code (a read
// that failed writes nothing), or 1.
int WriteVendorFwName(int32_t iCmdType, platform::DeviceHandle device, const char16_t* name);
