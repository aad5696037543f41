// The dispatch by command type and the USB bridge transports. Every SCSI command is one
// SCSI_PASS_THROUGH_DIRECT request, built zeroed on the stack, whose data moves directly between
// the device and the buffer it points at: a page block, as the adapter's alignment wants it (the
// transports' own blocks here, the callers' blocks for the data of a command).
#include "nvme/bridge.h"

#include <cstring>

#include "core/app_state.h"
#include "core/drive_record.h"
#include "core/page_block.h"
#include "core/trace.h"
#include "nvme/storage_records.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

using Cdb = uint8_t[16];

// Sends one SCSI command. Returns false, with the system error recorded, when the request itself
// fails; otherwise stores the SCSI status the bridge returned.
bool SendScsi(platform::DeviceHandle device, const Cdb& cdb, uint8_t dataIn, void* data,
              uint32_t length, uint8_t* scsiStatus) {
  // Zeroed as bytes: the record has alignment gaps that a member-wise zeroing may leave alone.
  ScsiRequest request;
  std::memset(&request, 0, sizeof(request));
  request.sptd.length = sizeof(ScsiPassThroughDirect);
  request.sptd.cdbLength = SPTD_CDB_LENGTH;
  request.sptd.senseInfoLength = SPTD_SENSE_LENGTH;
  request.sptd.dataIn = dataIn;
  request.sptd.dataTransferLength = length;
  request.sptd.timeOutValue = SPTD_TIMEOUT_SECONDS;
  request.sptd.dataBuffer =
      static_cast<decltype(request.sptd.dataBuffer)>(reinterpret_cast<uintptr_t>(data));
  request.sptd.senseInfoOffset = offsetof(ScsiRequest, sense);
  std::memcpy(request.sptd.cdb, cdb, sizeof(Cdb));

  uint32_t returned = 0;
  uint32_t error = 0;
  if (!platform::Io().Control(device, IOCTL_SCSI_PASS_THROUGH_DIRECT_CODE, &request,
                              sizeof(request), &request, sizeof(request), &returned, &error)) {
    RecordSystemError(error);
    return false;
  }
  *scsiStatus = request.sptd.scsiStatus;
  return true;
}

// What a SCSI status that is not GOOD makes of the command: with a status byte to report it in,
// a CHECK CONDITION is reported there and the operation returns 1; any other status, or one
// nobody asked to hear of, is a device error. Returns 0 for GOOD: the sequence goes on.
int StatusResult(uint8_t scsiStatus, uint8_t* statusOut) {
  if (scsiStatus == SPTD_STATUS_GOOD) return 0;
  if (statusOut != nullptr && scsiStatus == SPTD_STATUS_CHECK_CONDITION) {
    *statusOut = BRIDGE_STATUS_CHECK_CONDITION;
    return NVME_RESULT_OK;
  }
  return NVME_RESULT_DEVICE_ERROR;
}

// Sends one phase of a bridge command. Returns 0 when the phase went through with GOOD and the
// sequence goes on, otherwise the operation's result.
int SendPhase(platform::DeviceHandle device, const Cdb& cdb, uint8_t dataIn, void* data,
              uint32_t length, uint8_t* statusOut) {
  uint8_t status = SPTD_STATUS_GOOD;
  if (!SendScsi(device, cdb, dataIn, data, length, &status)) return NVME_RESULT_IO_FAILED;
  return StatusResult(status, statusOut);
}

// The ASMedia direction code: none 0, device to host 1, host to device 2.
uint8_t AsmDirectionCode(uint32_t direction) {
  if (direction == NVME_DATA_READ) return 1;
  if (direction == NVME_DATA_WRITE) return 2;
  return 0;
}

uint8_t DataInFor(uint32_t direction) {
  if (direction == NVME_DATA_READ) return SPTD_DATA_IN;
  if (direction == NVME_DATA_WRITE) return SPTD_DATA_OUT;
  return SPTD_DATA_UNSPECIFIED;
}

void PutBigEndian32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

void PutBigEndian24(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 16);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value);
}

// The JMicron command block: "NVME", the command at byte 8, the power-control mode at byte 72.
// The completion block the bridge returns has the same mark and the completion entry at byte 8.
constexpr uint32_t JMI_BLOCK_BYTES = 512;
constexpr size_t JMI_COMMAND_AT = 8;
constexpr size_t JMI_MODE_AT = 72;
constexpr size_t JMI_COMPLETION_AT = 8;
static_assert(JMI_COMPLETION_AT + NVME_COMPLETION_BYTES <= JMI_BLOCK_BYTES);

constexpr uint8_t JMI_MARK[4] = {'N', 'V', 'M', 'E'};

void JmiBlock(uint8_t* block) {
  std::memset(block, 0, JMI_BLOCK_BYTES);
  std::memcpy(block, JMI_MARK, sizeof(JMI_MARK));
}

void JmiCdb(Cdb& cdb, uint8_t operation, uint32_t length) {
  std::memset(cdb, 0, sizeof(Cdb));
  cdb[0] = 0xA1;
  cdb[1] = operation;
  PutBigEndian24(cdb + 3, length);
}

constexpr uint32_t ASM_INFO_BYTES = 16;
constexpr uint32_t INQUIRY_BUFFER_BYTES = 4096;

}  // namespace

int IO_USB_ASM_NvmeCmd(platform::DeviceHandle device, uint32_t direction, NvmeCommand* command,
                       void* buffer, uint32_t length, uint8_t* statusOut) {
  const uint8_t code = AsmDirectionCode(direction);
  const uint32_t dataLength = direction == NVME_DATA_NONE ? 0 : length;

  // The command goes out of a page block, and the completion entry comes back into it.
  PageBlock record(sizeof(NvmeCommand));
  if (record.data() == nullptr) return NVME_RESULT_IO_FAILED;
  std::memcpy(record.data(), command, sizeof(NvmeCommand));

  Cdb cdb{0xEA, 0x5A, 0x80, 0x00, code};
  PutBigEndian32(cdb + 10, sizeof(NvmeCommand));
  if (int r = SendPhase(device, cdb, SPTD_DATA_OUT, record.data(), sizeof(NvmeCommand), statusOut)) return r;

  std::memset(cdb, 0, sizeof(cdb));
  cdb[0] = direction == NVME_DATA_WRITE ? 0xEA : 0xEB;
  cdb[1] = 0x5A;
  cdb[2] = 0x81;
  cdb[4] = code;
  PutBigEndian32(cdb + 10, dataLength);
  if (int r = SendPhase(device, cdb, DataInFor(direction), buffer, dataLength, statusOut)) return r;

  // The completion entry comes back over the first 16 bytes of the command.
  std::memset(cdb, 0, sizeof(cdb));
  cdb[0] = 0xEB;
  cdb[1] = 0x5A;
  cdb[2] = 0x82;
  cdb[4] = code;
  PutBigEndian32(cdb + 10, NVME_COMPLETION_BYTES);
  if (int r = SendPhase(device, cdb, SPTD_DATA_IN, record.data(), NVME_COMPLETION_BYTES, statusOut)) return r;
  std::memcpy(command, record.data(), NVME_COMPLETION_BYTES);
  return CompletionStatus(record.data()) == 0 ? NVME_RESULT_OK : NVME_RESULT_DEVICE_ERROR;
}

int IO_USB_JMI_NvmeCmd(platform::DeviceHandle device, uint32_t direction, NvmeCommand* command,
                       void* buffer, uint32_t length, uint8_t* statusOut) {
  const uint32_t dataLength = direction == NVME_DATA_NONE ? 0 : length;
  PageBlock page(JMI_BLOCK_BYTES);
  uint8_t* block = page.data();
  if (block == nullptr) return NVME_RESULT_IO_FAILED;
  JmiBlock(block);
  std::memcpy(block + JMI_COMMAND_AT, command, sizeof(NvmeCommand));

  Cdb cdb;
  JmiCdb(cdb, 0x80, JMI_BLOCK_BYTES);
  if (int r = SendPhase(device, cdb, SPTD_DATA_OUT, block, JMI_BLOCK_BYTES, statusOut)) return r;

  uint8_t operation = 0x81;
  if (direction == NVME_DATA_READ) operation = 0x82;
  if (direction == NVME_DATA_WRITE) operation = 0x83;
  if (direction != NVME_DATA_WRITE && buffer != nullptr && dataLength != 0)
    std::memset(buffer, 0, dataLength);
  JmiCdb(cdb, operation, dataLength);
  if (int r = SendPhase(device, cdb, DataInFor(direction), buffer, dataLength, statusOut)) return r;

  // The completion block: "NVME", then the completion entry from byte 8.
  std::memset(block, 0, JMI_BLOCK_BYTES);
  JmiCdb(cdb, 0x8F, JMI_BLOCK_BYTES);
  if (int r = SendPhase(device, cdb, SPTD_DATA_IN, block, JMI_BLOCK_BYTES, statusOut)) return r;
  if (std::memcmp(block, JMI_MARK, sizeof(JMI_MARK)) != 0) return NVME_RESULT_DEVICE_ERROR;
  std::memcpy(command, block + JMI_COMPLETION_AT, NVME_COMPLETION_BYTES);
  return CompletionStatus(block + JMI_COMPLETION_AT) == 0 ? NVME_RESULT_OK : NVME_RESULT_DEVICE_ERROR;
}

int IO_USB_ASM_Identify(platform::DeviceHandle device, uint32_t direction,
                        const NvmeCommand* command, void* buffer, uint32_t length,
                        uint8_t* statusOut) {
  Cdb cdb{};
  cdb[0] = 0xE6;
  cdb[1] = command->opcode;
  cdb[3] = static_cast<uint8_t>(command->cdw10);
  cdb[7] = static_cast<uint8_t>(command->nsid);
  if (int r = SendPhase(device, cdb, DataInFor(direction), buffer, length, statusOut)) return r;
  return NVME_RESULT_OK;
}

int IO_USB_ASM_ReadInfo(platform::DeviceHandle device, char16_t* text, size_t capacity) {
  PageBlock page(ASM_INFO_BYTES);
  const uint8_t* reply = page.data();
  if (reply == nullptr) return NVME_RESULT_IO_FAILED;
  Cdb cdb{0xEB, 0x5A, 0x02};
  cdb[13] = 0x10;
  if (int r = SendPhase(device, cdb, SPTD_DATA_IN, page.data(), ASM_INFO_BYTES, nullptr)) return r;
  // The reply is text of at most 16 characters, terminated only when shorter.
  size_t n = 0;
  while (n < ASM_INFO_BYTES && reply[n] != 0) ++n;
  platform::AnsiToWide(reinterpret_cast<const char*>(reply), static_cast<ptrdiff_t>(n), text,
                       capacity);
  return NVME_RESULT_OK;
}

int32_t IO_USB_GetBridgeType(platform::DeviceHandle device) {
  PageBlock page(INQUIRY_BUFFER_BYTES);
  const uint8_t* reply = page.data();
  if (reply == nullptr) return CMD_TYPE_NONE;
  Cdb cdb{0x12, 0x00, 0x00, 0x00, 0x26};
  uint8_t status = 0;
  if (!SendScsi(device, cdb, SPTD_DATA_IN, page.data(), INQUIRY_BUFFER_BYTES, &status)) return CMD_TYPE_NONE;
  if (status != SPTD_STATUS_GOOD) return CMD_TYPE_NONE;
  if (reply[36] == 0x60) {
    if (reply[37] != 0x23) return CMD_TYPE_NONE;
    char16_t info[ASM_INFO_CHARS];
    IO_USB_ASM_ReadInfo(device, info, ASM_INFO_CHARS);
    return CMD_TYPE_ASM;
  }
  if (reply[36] == 0x30 && reply[37] == 0x35) return CMD_TYPE_JMI;
  return CMD_TYPE_NONE;
}

int IO_USB_ASM_PowerCtrl(platform::DeviceHandle device, uint8_t mode) {
  DebugTrace(u"IO_USB_ASM_PowerCtrl IN %d", static_cast<int>(mode));
  Cdb cdb{0xEA, 0x5A, mode};
  uint8_t status = 0;
  if (!SendScsi(device, cdb, SPTD_DATA_OUT, nullptr, 0, &status)) return NVME_RESULT_IO_FAILED;
  DebugTrace(u"IO_USB_ASM_PowerCtrl Success OUT ");
  return NVME_RESULT_OK;
}

int IO_USB_JMI_PowerCtrl(platform::DeviceHandle device, uint8_t mode) {
  DebugTrace(u"IO_USB_JMI_PowerCtrl IN %d", static_cast<int>(mode));
  PageBlock page(JMI_BLOCK_BYTES);
  uint8_t* block = page.data();
  if (block == nullptr) return NVME_RESULT_IO_FAILED;
  JmiBlock(block);
  block[JMI_MODE_AT] = mode;
  uint8_t status = 0;
  Cdb cdb;
  JmiCdb(cdb, 0x80, JMI_BLOCK_BYTES);
  if (!SendScsi(device, cdb, SPTD_DATA_OUT, block, JMI_BLOCK_BYTES, &status))
    return NVME_RESULT_IO_FAILED;
  JmiCdb(cdb, 0x81, 0);
  if (!SendScsi(device, cdb, SPTD_DATA_IN, block, 0, &status)) return NVME_RESULT_IO_FAILED;
  std::memset(block, 0, JMI_BLOCK_BYTES);
  JmiCdb(cdb, 0x8F, JMI_BLOCK_BYTES);
  SendScsi(device, cdb, SPTD_DATA_IN, block, JMI_BLOCK_BYTES, &status);
  DebugTrace(u"IO_USB_JMI_PowerCtrl Success OUT");
  return NVME_RESULT_OK;
}

int SendVendorCmd(int32_t iCmdType, platform::DeviceHandle device, uint32_t direction,
                  uint8_t opcode, uint32_t cdw12, uint32_t cdw13, uint32_t cdw14, uint32_t cdw15,
                  void* buffer, uint32_t length) {
  if (iCmdType == CMD_TYPE_NVME)
    return IO_NVMe_PassThrough(device, direction, opcode, cdw12, cdw13, cdw14, cdw15, buffer,
                               length);
  NvmeCommand command = VendorCommand(opcode, length, cdw12, cdw13, cdw14, cdw15);
  if (iCmdType == CMD_TYPE_ASM)
    return IO_USB_ASM_NvmeCmd(device, direction, &command, buffer, length, nullptr);
  if (iCmdType == CMD_TYPE_JMI)
    return IO_USB_JMI_NvmeCmd(device, direction, &command, buffer, length, nullptr);
  return NVME_RESULT_BAD_CMD_TYPE;
}

int IdentifyCmd(int32_t iCmdType, platform::DeviceHandle device, uint32_t cns, uint32_t nsid,
                void* buffer, uint32_t length, uint8_t* statusOut) {
  if (iCmdType == CMD_TYPE_NVME) return IO_NVMe_Identify(device, cns, nsid, buffer, length);
  NvmeCommand command = IdentifyCommand(cns, nsid);
  if (iCmdType == CMD_TYPE_ASM)
    return IO_USB_ASM_Identify(device, NVME_DATA_READ, &command, buffer, length, statusOut);
  if (iCmdType == CMD_TYPE_JMI)
    return IO_USB_JMI_NvmeCmd(device, NVME_DATA_READ, &command, buffer, length, statusOut);
  return NVME_RESULT_BAD_CMD_TYPE;
}
