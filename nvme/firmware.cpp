// Firmware Image Download in chunks with progress, Firmware Commit, and the legacy firmware name.
#include "nvme/firmware.h"

#include <atomic>
#include <cstring>

#include "core/app_state.h"
#include "core/drive_record.h"
#include "core/page_block.h"
#include "core/trace.h"
#include "nvme/bridge.h"
#include "nvme/nvme_command.h"
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

// Reports the progress when it moved on since the last report.
void ReportProgress(ProgressReport progress, uint32_t sent, uint32_t size, uint32_t* lastProgress) {
  const uint32_t percent = ProgressOf(sent, size);
  if (percent == *lastProgress) return;
  DebugTrace(u"DownloadFW %3d%%", static_cast<int>(percent));
  if (progress != nullptr) progress(static_cast<int>(percent));
  *lastProgress = percent;
}

// The drive took the image, and it runs from the next reset.
void NoteCommitAwaitsReset(const char16_t* what, uint32_t code) {
  std::atomic_ref<uint32_t>(AppStateGet().commitNeedsReset).store(1);
  DebugTraceAlways(u"FW Commit: the image is committed and is activated by a reset (%s 0x%X)", what, code);
}

}  // namespace

int IO_NVMe_FwDownload(platform::DeviceHandle device, const uint8_t* image, uint32_t size, ProgressReport progress) {
  PageBlock request(FW_DOWNLOAD_REQUEST_BYTES);
  if (request.data() == nullptr) return NVME_RESULT_IO_FAILED;
  uint32_t sent = 0;
  uint32_t lastProgress = 0;
  while (sent < size) {
    ReportProgress(progress, sent, size, &lastProgress);
    const uint32_t chunk = size - sent < CHUNK_BYTES ? size - sent : CHUNK_BYTES;
    StorageHwFirmwareDownload header{};
    header.version = sizeof(StorageHwFirmwareDownload);
    header.size = chunk + sizeof(StorageHwFirmwareDownload);
    header.flags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER_VALUE;
    header.slot = FW_SLOT;
    header.offset = sent;
    header.bufferSize = chunk;
    uint8_t* bytes = request.data();
    std::memcpy(bytes, &header, offsetof(StorageHwFirmwareDownload, imageBuffer));
    std::memcpy(bytes + offsetof(StorageHwFirmwareDownload, imageBuffer), image + sent, chunk);
    // A last chunk shorter than the one before must not carry that one's tail.
    std::memset(bytes + offsetof(StorageHwFirmwareDownload, imageBuffer) + chunk, 0,
                FW_DOWNLOAD_REQUEST_BYTES - offsetof(StorageHwFirmwareDownload, imageBuffer) - chunk);

    uint32_t returned = 0;
    uint32_t error = 0;
    if (!platform::Io().Control(device, IOCTL_STORAGE_FIRMWARE_DOWNLOAD_CODE, bytes, header.size,
                                nullptr, 0, &returned, &error)) {
      RecordSystemError(error);
      return NVME_RESULT_IO_FAILED;
    }
    sent += chunk;
  }
  return NVME_RESULT_OK;
}

int DownloadFW(int32_t iCmdType, platform::DeviceHandle device, uint8_t* image, uint32_t size,
               ProgressReport progress) {
  DebugTrace(u"DownloadFW IN");
  if (iCmdType == CMD_TYPE_NVME) {
    const int result = IO_NVMe_FwDownload(device, image, size, progress);
    if (result == NVME_RESULT_OK) DebugTrace(u"DownloadFW Success OUT");
    return result;
  }

  uint32_t sent = 0;
  uint32_t dwordOffset = 0;
  uint32_t lastProgress = 0;
  while (sent < size) {
    ReportProgress(progress, sent, size, &lastProgress);
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
      return NVME_RESULT_BAD_CMD_TYPE;
    }
    if (result != NVME_RESULT_OK) return result;
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
  if (error != FW_ACTIVATE_ERROR_ACCEPTED) return NVME_RESULT_IO_FAILED;
  NoteCommitAwaitsReset(u"error", error);
  return NVME_RESULT_OK;
}

bool CommitAwaitsReset(uint16_t status) {
  uint16_t code = status & 0x7FF;  // status code type and status code, without More and DNR
  return code == 0x10B || code == 0x110 || code == 0x111;
}

int IO_NVMe_FwGetInfo(platform::DeviceHandle device, FirmwareSlots* slots) {
  *slots = FirmwareSlots{};
  StorageHwFirmwareInfoQuery query{};
  query.version = sizeof(StorageHwFirmwareInfoQuery);
  query.size = sizeof(StorageHwFirmwareInfoQuery);
  query.flags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER_VALUE;
  alignas(StorageHwFirmwareInfo) uint8_t reply[FW_INFO_REPLY_BYTES] = {};
  uint32_t returned = 0, error = 0;
  if (!platform::Io().Control(device, IOCTL_STORAGE_FIRMWARE_GET_INFO_CODE, &query, sizeof query, reply,
                              sizeof reply, &returned, &error)) {
    slots->error = error;
    return NVME_RESULT_IO_FAILED;
  }
  // The head and at least one slot record, as the storage driver fills them.
  StorageHwFirmwareInfo info;
  if (returned < sizeof info || returned > sizeof reply) return NVME_RESULT_DEVICE_ERROR;
  std::memcpy(&info, reply, sizeof info);
  if (info.version < sizeof info || info.size < sizeof info || info.slotCount == 0 ||
      info.slotCount > FW_INFO_MAX_SLOTS)
    return NVME_RESULT_DEVICE_ERROR;
  slots->activeSlot = info.activeSlot;
  // NVMe reports no pending slot as 0, the storage driver as 0xFF.
  if (info.pendingActivateSlot == 0 || info.pendingActivateSlot == STORAGE_HW_FIRMWARE_INVALID_SLOT_VALUE) return NVME_RESULT_OK;
  slots->pendingSlot = info.pendingActivateSlot;
  // The records that arrived whole; the pending slot's tells its revision.
  size_t records = (returned - offsetof(StorageHwFirmwareInfo, slot)) / sizeof(StorageHwFirmwareSlotInfo);
  for (size_t i = 0; i < records && i < info.slotCount; ++i) {
    StorageHwFirmwareSlotInfo slot;
    std::memcpy(&slot, reply + offsetof(StorageHwFirmwareInfo, slot) + i * sizeof slot, sizeof slot);
    if (slot.slotNumber != info.pendingActivateSlot) continue;
    char revision[STORAGE_HW_FIRMWARE_REVISION_LENGTH_VALUE + 1] = {};
    std::memcpy(revision, slot.revision, STORAGE_HW_FIRMWARE_REVISION_LENGTH_VALUE);
    platform::AnsiToWide(revision, -1, slots->pendingRevision, sizeof slots->pendingRevision / sizeof(char16_t));
  }
  return NVME_RESULT_OK;
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
    // The completion entry came back over the command: a status that means "committed, activated
    // by a reset" is success, and the bridge's power cycle that follows is that reset. (A command
    // that failed before its completion keeps zeros there.)
    uint16_t status = CompletionStatus(reinterpret_cast<const uint8_t*>(&command));
    if (result == NVME_RESULT_DEVICE_ERROR && CommitAwaitsReset(status)) {
      NoteCommitAwaitsReset(u"status", status & 0x7FFu);
      result = NVME_RESULT_OK;
    }
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
