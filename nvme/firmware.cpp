// Firmware Image Download in chunks with progress, Firmware Commit, and the legacy firmware name.
#include "nvme/firmware.h"

#include <cstring>

#include "app/app_state.h"
#include "app/trace.h"
#include "discovery/drive_record.h"
#include "nvme/bridge.h"
#include "nvme/nvme_command.h"
#include "nvme/page_block.h"
#include "nvme/storage_records.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr uint32_t CHUNK_BYTES = FW_DOWNLOAD_CHUNK_BYTES;

// The legacy block's firmware-name field, and the part of the block written back.
constexpr size_t LEGACY_NAME_AT = 88;
constexpr size_t LEGACY_NAME_BYTES = 8;
constexpr size_t LEGACY_KEPT_BYTES = 144;
constexpr size_t ANSI_NAME_BYTES = 128;

// Percent of the image sent, in steps of 10. The product is taken in 64 bits so that no image
// size can overflow it.
uint32_t ProgressOf(uint32_t sent, uint32_t size) {
  return static_cast<uint32_t>((static_cast<uint64_t>(sent) * 10 / size) * 10);
}

// Posts the progress when it moved on since the last post.
void ReportProgress(uint32_t sent, uint32_t size, uint32_t* lastProgress) {
  const uint32_t progress = ProgressOf(sent, size);
  if (progress == *lastProgress) return;
  DebugTrace(u"DownloadFW %3d%%", static_cast<int>(progress));
  platform::Ui().Post(AppStateGet().dialogWindow, WM_UPDATE_PROGRESS, 0,
                      static_cast<intptr_t>(progress));
  *lastProgress = progress;
}

void ReleaseImage(uint8_t* image) {
  if (image != nullptr) platform::Sys().PageFree(image);
}

}  // namespace

int IO_NVMe_FwDownload(platform::DeviceHandle device, uint8_t* image, uint32_t size) {
  auto* request = static_cast<uint8_t*>(platform::Sys().PageAlloc(FW_DOWNLOAD_REQUEST_BYTES));
  if (request == nullptr) {
    RecordSystemError(NVME_ERROR_NO_MEMORY);
    ReleaseImage(image);
    return NVME_RESULT_IO_FAILED;
  }
  uint32_t sent = 0;
  uint32_t lastProgress = 0;
  while (sent < size) {
    ReportProgress(sent, size, &lastProgress);
    const uint32_t chunk = size - sent < CHUNK_BYTES ? size - sent : CHUNK_BYTES;
    StorageHwFirmwareDownload header{};
    header.version = sizeof(StorageHwFirmwareDownload);
    header.size = chunk + sizeof(StorageHwFirmwareDownload);
    header.flags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER_VALUE;
    header.slot = FW_SLOT;
    header.offset = sent;
    header.bufferSize = chunk;
    std::memcpy(request, &header, offsetof(StorageHwFirmwareDownload, imageBuffer));
    std::memcpy(request + offsetof(StorageHwFirmwareDownload, imageBuffer), image + sent, chunk);
    // A last chunk shorter than the one before must not carry that one's tail.
    std::memset(request + offsetof(StorageHwFirmwareDownload, imageBuffer) + chunk, 0,
                FW_DOWNLOAD_REQUEST_BYTES - offsetof(StorageHwFirmwareDownload, imageBuffer) - chunk);

    uint32_t returned = 0;
    uint32_t error = 0;
    if (!platform::Io().Control(device, IOCTL_STORAGE_FIRMWARE_DOWNLOAD_CODE, request, header.size,
                                nullptr, 0, &returned, &error)) {
      RecordSystemError(error);
      platform::Sys().PageFree(request);
      ReleaseImage(image);
      return NVME_RESULT_IO_FAILED;
    }
    sent += chunk;
  }
  platform::Sys().PageFree(request);
  return NVME_RESULT_OK;
}

int DownloadFW(int32_t iCmdType, platform::DeviceHandle device, uint8_t* image, uint32_t size) {
  DebugTrace(u"DownloadFW IN");
  if (iCmdType == CMD_TYPE_NVME) {
    const int result = IO_NVMe_FwDownload(device, image, size);
    if (result == NVME_RESULT_OK) DebugTrace(u"DownloadFW Success OUT");
    return result;
  }

  uint32_t sent = 0;
  uint32_t dwordOffset = 0;
  uint32_t lastProgress = 0;
  while (sent < size) {
    ReportProgress(sent, size, &lastProgress);
    const uint32_t chunk = size - sent < CHUNK_BYTES ? size - sent : CHUNK_BYTES;
    NvmeCommand command{};
    command.opcode = NVME_OPC_FW_DOWNLOAD;
    command.cdw10 = (chunk - 1) >> 2;  // NUMD, zero-based
    command.cdw11 = dwordOffset;       // OFST
    int result;
    if (iCmdType == CMD_TYPE_ASM) {
      result = IO_USB_ASM_NvmeCmd(device, NVME_DATA_WRITE, &command, image + sent, chunk, nullptr);
    } else if (iCmdType == CMD_TYPE_JMI) {
      result = IO_USB_JMI_NvmeCmd(device, NVME_DATA_WRITE, &command, image + sent, chunk, nullptr);
    } else {
      ReleaseImage(image);
      return NVME_RESULT_BAD_CMD_TYPE;
    }
    if (result != NVME_RESULT_OK) {
      ReleaseImage(image);
      return result;
    }
    sent += chunk;
    dwordOffset += ((chunk - 1) >> 2) + 1;
  }
  DebugTrace(u"DownloadFW Success OUT");
  return NVME_RESULT_OK;
}

int IO_NVMe_FwActivate(platform::DeviceHandle device, uint8_t slot, uint8_t action) {
  StorageHwFirmwareActivate request{};
  request.version = sizeof(StorageHwFirmwareActivate);
  request.size = sizeof(StorageHwFirmwareActivate);
  request.flags = action == FW_COMMIT_ACTION_REPLACE
                      ? STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER_VALUE
                      : STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER_VALUE |
                            STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE_VALUE;
  request.slot = slot;
  uint32_t returned = 0;
  uint32_t error = 0;
  if (platform::Io().Control(device, IOCTL_STORAGE_FIRMWARE_ACTIVATE_CODE, &request,
                             sizeof(request), nullptr, 0, &returned, &error))
    return NVME_RESULT_OK;
  RecordSystemError(error);
  return error == FW_ACTIVATE_ERROR_ACCEPTED ? NVME_RESULT_OK : NVME_RESULT_IO_FAILED;
}

int FWCommit(int32_t iCmdType, platform::DeviceHandle device, uint8_t slot, uint8_t action) {
  DebugTrace(u"FW Commit IN");
  int result;
  if (iCmdType == CMD_TYPE_NVME) {
    result = IO_NVMe_FwActivate(device, slot, action);
  } else if (iCmdType == CMD_TYPE_ASM || iCmdType == CMD_TYPE_JMI) {
    NvmeCommand command{};
    command.opcode = NVME_OPC_FW_COMMIT;
    command.cdw10 = static_cast<uint32_t>(slot & 0x7) | (static_cast<uint32_t>(action & 0x7) << 3);
    result = iCmdType == CMD_TYPE_ASM
                 ? IO_USB_ASM_NvmeCmd(device, NVME_DATA_NONE, &command, nullptr, 0, nullptr)
                 : IO_USB_JMI_NvmeCmd(device, NVME_DATA_NONE, &command, nullptr, 0, nullptr);
  } else {
    return NVME_RESULT_BAD_CMD_TYPE;
  }
  if (result == NVME_RESULT_OK) DebugTrace(u"FW Commit Success OUT ");
  return result;
}

int WriteVendorFwName(int32_t iCmdType, platform::DeviceHandle device, const char16_t* name) {
  // Page blocks: behind a bridge the blocks move straight between them and the drive.
  PageBlock readPage(VENDOR_BLOCK_BYTES), writePage(VENDOR_BLOCK_BYTES);
  uint8_t* read = readPage.data();
  uint8_t* write = writePage.data();
  if (read == nullptr || write == nullptr) return NVME_RESULT_IO_FAILED;
  int result = SendVendorCmd(iCmdType, device, NVME_DATA_READ, NVME_OPC_LEGACY_READ, 0, 0,
                             VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15, read,
                             VENDOR_BLOCK_BYTES);
  if (result != NVME_RESULT_OK) return result;

  std::memcpy(write, read, LEGACY_KEPT_BYTES);
  char ansi[ANSI_NAME_BYTES] = {};
  platform::WideToAnsi(name != nullptr ? name : u"", ansi, sizeof(ansi));
  std::memset(write + LEGACY_NAME_AT, 0, LEGACY_NAME_BYTES);
  size_t n = 0;
  while (n < LEGACY_NAME_BYTES && ansi[n] != 0) ++n;
  std::memcpy(write + LEGACY_NAME_AT, ansi, n);

  return SendVendorCmd(iCmdType, device, NVME_DATA_WRITE, NVME_OPC_LEGACY_WRITE, 0, 0,
                       VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15, write, VENDOR_BLOCK_BYTES);
}
