// The NVMe admin command record that every command path carries, the framing of the vendor
// commands and of Identify, the result codes of the command paths, and the native path through
// the system's NVMe driver.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/types.h"

static_assert(std::endian::native == std::endian::little,
              "the command records are little-endian and are laid over memory as they are");

// Result codes of every command operation.
constexpr int NVME_RESULT_OK = 1;            // the request was carried out
constexpr int NVME_RESULT_IO_FAILED = -4;    // a device request failed; AppState.lastSystemError
constexpr int NVME_RESULT_BAD_CMD_TYPE = -5; // the command type is not 0, 1 or 2; nothing sent
// The request was carried, but the device reported an error: a protocol command record whose
// ReturnStatus is not success or whose ErrorCode is not 0, a SCSI status other than GOOD from a
// bridge, or an NVMe completion with a status. Nothing is recorded in AppState.lastSystemError;
// on a read the caller's buffer keeps what it held.
constexpr int NVME_RESULT_DEVICE_ERROR = -8;

// System error recorded for a data length no request can hold (ERROR_INVALID_PARAMETER).
constexpr uint32_t NVME_ERROR_INVALID_PARAMETER = 87;

// Data direction of a command.
constexpr uint32_t NVME_DATA_NONE = 0;
constexpr uint32_t NVME_DATA_WRITE = 1;  // host to device
constexpr uint32_t NVME_DATA_READ = 2;   // device to host

// Admin opcodes.
constexpr uint8_t NVME_OPC_IDENTIFY = 0x06;
constexpr uint8_t NVME_OPC_FW_COMMIT = 0x10;
constexpr uint8_t NVME_OPC_FW_DOWNLOAD = 0x11;
// Vendor opcodes: 0xE6 reads the flash information block (CDW12 3) or the configuration block
// (CDW12 1), 0xE5 writes the configuration block (CDW12 1), 0xF2 and 0xF1 read and write the
// legacy information block (CDW12 0).
constexpr uint8_t NVME_OPC_VENDOR_READ = 0xE6;
constexpr uint8_t NVME_OPC_VENDOR_WRITE_CONFIG = 0xE5;
constexpr uint8_t NVME_OPC_LEGACY_READ = 0xF2;
constexpr uint8_t NVME_OPC_LEGACY_WRITE = 0xF1;
constexpr uint32_t VENDOR_SUB_CONFIG = 1;
constexpr uint32_t VENDOR_SUB_FLASH_INFO = 3;
constexpr uint32_t VENDOR_SUB_LEGACY = 0;

// The vendor signature "TORVANEX": CDW15 holds "TORV", CDW14 "ANEX", the earlier letter in the
// lower-order byte.
constexpr uint32_t VENDOR_SIGNATURE_CDW14 = 0x58454E41;  // 'A' 'N' 'E' 'X'
constexpr uint32_t VENDOR_SIGNATURE_CDW15 = 0x56524F54;  // 'T' 'O' 'R' 'V'

// Every vendor block is this long.
constexpr uint32_t VENDOR_BLOCK_BYTES = 4096;
constexpr uint32_t VENDOR_NSID = 0xFFFFFFFF;

// Identify CNS values the drive discovery asks for.
constexpr uint32_t IDENTIFY_CNS_NAMESPACE = 0;
constexpr uint32_t IDENTIFY_CNS_CONTROLLER = 1;

// The 64-byte NVMe admin submission queue entry. Built zero-filled for each command; a bridge
// transport may overwrite its first 16 bytes with the completion entry, so a record serves one
// command only.
struct NvmeCommand {
  uint8_t opcode;
  uint8_t flags;       // fused operation, PSDT
  uint16_t commandId;
  uint32_t nsid;
  uint32_t cdw2;
  uint32_t cdw3;
  uint64_t metadata;
  uint64_t prp1;
  uint64_t prp2;
  uint32_t cdw10;
  uint32_t cdw11;
  uint32_t cdw12;
  uint32_t cdw13;
  uint32_t cdw14;
  uint32_t cdw15;
};
static_assert(sizeof(NvmeCommand) == 64);
static_assert(offsetof(NvmeCommand, opcode) == 0);
static_assert(offsetof(NvmeCommand, commandId) == 2);
static_assert(offsetof(NvmeCommand, nsid) == 4);
static_assert(offsetof(NvmeCommand, cdw2) == 8);
static_assert(offsetof(NvmeCommand, metadata) == 16);
static_assert(offsetof(NvmeCommand, prp1) == 24);
static_assert(offsetof(NvmeCommand, prp2) == 32);
static_assert(offsetof(NvmeCommand, cdw10) == 40);
static_assert(offsetof(NvmeCommand, cdw11) == 44);
static_assert(offsetof(NvmeCommand, cdw12) == 48);
static_assert(offsetof(NvmeCommand, cdw13) == 52);
static_assert(offsetof(NvmeCommand, cdw14) == 56);
static_assert(offsetof(NvmeCommand, cdw15) == 60);

// The 16-byte NVMe completion queue entry a bridge returns. Its fourth dword holds the command
// identifier (bits 15:0), the phase tag (bit 16) and the status field (bits 31:17): status code,
// status code type, more and do-not-retry.
constexpr uint32_t NVME_COMPLETION_BYTES = 16;
constexpr size_t NVME_COMPLETION_STATUS_AT = 14;  // the upper half of the fourth dword
// The status field of a completion entry (0: success).
uint16_t CompletionStatus(const uint8_t* entry);

// A vendor command: NSID 0xFFFFFFFF, CDW10 = length / 4 (a plain dword count), CDW11 0.
NvmeCommand VendorCommand(uint8_t opcode, uint32_t length, uint32_t cdw12, uint32_t cdw13,
                          uint32_t cdw14, uint32_t cdw15);
// Identify: opcode 0x06, NSID = nsid, CDW10 = CNS.
NvmeCommand IdentifyCommand(uint32_t cns, uint32_t nsid);

// The native path. device is an open physical disk; neither function opens or closes it.
// A vendor-framed admin command with its data (direction NVME_DATA_*): 1, -4, or -8 when the
// record does not report success (nothing is copied back then).
int IO_NVMe_PassThrough(platform::DeviceHandle device, uint32_t direction, uint8_t opcode,
                        uint32_t cdw12, uint32_t cdw13, uint32_t cdw14, uint32_t cdw15,
                        void* buffer, uint32_t length);
// Identify through the protocol-specific property query: 1 or -4. A namespace Identify (nsid not
// 0) that the adapter property refuses is asked once more through the device property.
int IO_NVMe_Identify(platform::DeviceHandle device, uint32_t cns, uint32_t nsid, void* buffer,
                     uint32_t length);
