// Command dispatch by command type, and the two USB bridge transports (ASMedia and JMicron) that
// carry an NVMe command as vendor SCSI commands through SCSI pass-through.
//
// Every SCSI command's status is examined, and so is the NVMe completion the last phase of a
// command returns. A failed request is -4; a status other than GOOD, a completion with a status,
// or a JMicron completion block without its "NVME" mark is -8 (NVME_RESULT_DEVICE_ERROR), and
// the remaining phases are not sent. statusOut, where an operation takes it, may be null. When
// given, a SCSI CHECK CONDITION on any phase sets it to 2 and the operation returns 1 at once
// without the remaining phases (discovery takes it for a drive it cannot use).
#pragma once
#include <cstddef>
#include <cstdint>

#include "nvme/nvme_command.h"
#include "platform/types.h"

constexpr uint8_t BRIDGE_STATUS_CHECK_CONDITION = 2;

// The bridge controls the update sends after the commit: ASMedia mode 1 resets the bridge, JMicron
// mode 5 resets the NVMe controller behind it. Either takes the drive off the bus and brings it
// back, and the controller reset activates the committed image.
constexpr uint8_t ASM_POWER_MODE_CYCLE = 1;
constexpr uint8_t JMI_POWER_MODE_CYCLE = 5;

// Room for the ASMedia bridge's information text (16 characters and the terminator).
constexpr size_t ASM_INFO_CHARS = 17;

// A vendor command (framed as VendorCommand does) on the drive's command path. Callers pass the
// signature dwords, a 4096-byte buffer (zeroed before a read) and length 4096. Returns 1, -4, -8
// when the drive or the bridge reported an error, or -5 for a command type other than 0, 1, 2
// (nothing sent). On failure the buffer keeps what it held on the native path; behind a bridge a
// read that failed may have brought data in, which the caller must not use.
int SendVendorCmd(int32_t iCmdType, platform::DeviceHandle device, uint32_t direction,
                  uint8_t opcode, uint32_t cdw12, uint32_t cdw13, uint32_t cdw14, uint32_t cdw15,
                  void* buffer, uint32_t length);

// Identify (CNS, NSID) on the drive's command path. statusOut becomes 2 only when a bridge
// answered with CHECK CONDITION; the native path never touches it.
int IdentifyCmd(int32_t iCmdType, platform::DeviceHandle device, uint32_t cns, uint32_t nsid,
                void* buffer, uint32_t length, uint8_t* statusOut);

// One NVMe command and its data through a bridge: 1, -4 or -8. For direction 0 the buffer may be
// null with length 0. Both transports write the completion entry the bridge returned over the
// first 16 bytes of the command; the JMicron one zeroes the caller's buffer before a read or a
// command without data.
int IO_USB_ASM_NvmeCmd(platform::DeviceHandle device, uint32_t direction, NvmeCommand* command,
                       void* buffer, uint32_t length, uint8_t* statusOut);
int IO_USB_JMI_NvmeCmd(platform::DeviceHandle device, uint32_t direction, NvmeCommand* command,
                       void* buffer, uint32_t length, uint8_t* statusOut);

// The ASMedia Identify shortcut: one SCSI command carrying opcode, CNS and NSID.
int IO_USB_ASM_Identify(platform::DeviceHandle device, uint32_t direction,
                        const NvmeCommand* command, void* buffer, uint32_t length,
                        uint8_t* statusOut);

// The bridge kind of a USB disk by its INQUIRY reply: CMD_TYPE_ASM, CMD_TYPE_JMI or
// CMD_TYPE_NONE. Never fails.
int32_t IO_USB_GetBridgeType(platform::DeviceHandle device);

// The ASMedia bridge's 16-byte information reply as text (at most 16 characters, within
// capacity). 1, -4, or -8 for a status other than GOOD (the text is left alone then).
int IO_USB_ASM_ReadInfo(platform::DeviceHandle device, char16_t* text, size_t capacity);

// Bridge power control: 1 or -4. The SCSI status is not looked at: a bridge may end the very
// request that resets it.
int IO_USB_ASM_PowerCtrl(platform::DeviceHandle device, uint8_t mode);
int IO_USB_JMI_PowerCtrl(platform::DeviceHandle device, uint8_t mode);
