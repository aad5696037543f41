// The description of one emulated drive: what it reports (identity, vendor blocks, firmware),
// how it is attached (natively, or behind an ASMedia or JMicron bridge), under which disk number
// it appears, and how it misbehaves when a test asks it to. A bench file fills these records;
// MakeDrive (emu/drive.h) turns one into the devices of the bench.
//
// Texts are 8-bit, as the drive holds them. Every field has a value a plain drive would have, so
// a default-constructed DriveDescription is a usable native drive.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// One LBA format of Identify Namespace (bytes 128 + 4n): metadata size, LBA data size as a power
// of two, relative performance.
struct LbaFormat {
  uint16_t metadataSize = 0;
  uint8_t lbads = 9;  // 9: 512-byte blocks, 12: 4096-byte blocks
  uint8_t relativePerformance = 0;
};

// What Identify Controller and Identify Namespace report.
struct DriveIdentity {
  std::string model = "Quorvela QV2000 NVMe SSD 512GB";  // bytes 24-63, blank-padded
  std::string serial = "QV0000000000000001";               // bytes 4-23, blank-padded
  uint16_t vendorId = 0x1E4B;                              // bytes 0-1 (PCI vendor ID)
  uint16_t subsystemVendorId = 0x1E4B;                     // bytes 2-3
  uint64_t namespaceBlocks = 1000215216;                   // NSZE = NCAP = NUSE of namespace 1
  std::vector<LbaFormat> lbaFormats = {LbaFormat{}};       // at most 16; format 0 first
  uint8_t flbas = 0;                                       // Identify Namespace byte 26
};

// The flash information block, vendor command 0xE6 with CDW12 = 3.
struct FlashInfoDescription {
  bool answers = true;    // false: the controller completes 0xE6/3 with Invalid Field in Command
  uint8_t marker = 0x5A;  // byte 0; anything but 0x5A makes the block invalid
  uint16_t socId = 0x7C41;                                                // bytes 2-3
  std::array<uint8_t, 6> flashId = {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00};  // bytes 16-21
  std::string internalVersion = "3.2.F.2A";                               // bytes 32-39
};

// The legacy information block, vendor commands 0xF2 (read) and 0xF1 (write) with CDW12 = 0.
// The firmware name (bytes 88-95) is the drive's firmware name unless set here.
struct LegacyBlockDescription {
  uint16_t layoutMarker = 0x06E8;  // bytes 280-281
  uint8_t entryFactor1 = 1;        // byte 295
  uint8_t entryFactor2 = 1;        // byte 296
  // Flash ID entries from byte 1352 on, 6 bytes each. Empty: the flash information block's ID.
  std::vector<std::array<uint8_t, 6>> flashIds;
  uint16_t socId = 0x7C41;  // bytes 1582-1583
  // When 4096 bytes are given they are the whole block and the fields above are not used.
  std::vector<uint8_t> raw;
};

// The configuration block, vendor commands 0xE6 (read) and 0xE5 (write) with CDW12 = 1. Serial
// number, model name, firmware name, VID and SSVID come from the identity and the firmware.
struct ConfigBlockDescription {
  std::string workorder = "WO-2024-0001";  // bytes 528-547
  uint16_t deviceId = 0x5016;              // DID, bytes 1034-1035
  uint16_t subsystemDeviceId = 0x5016;     // SSDID, bytes 1038-1039
  uint16_t capacityGb = 512;               // Vendor_Capacity, bytes 1592-1593
  // When 4096 bytes are given they are the whole block and nothing is composed.
  std::vector<uint8_t> raw;
};

// The firmware the drive runs when the bench starts.
struct FirmwareDescription {
  std::string name = "QV1A0B12";  // firmware revision, Identify Controller bytes 64-71
  std::vector<uint8_t> image;     // the running image, when a test wants to see it; may be empty
};

enum class BridgeKind : uint8_t { None, ASMedia, JMicron };

// How the drive is attached. A native drive answers the storage driver's NVMe requests; a bridged
// drive is a USB disk that answers SCSI pass-through.
struct BridgeDescription {
  BridgeKind kind = BridgeKind::None;
  // INQUIRY reply bytes 36 and 37. DefaultInquiryBytes fills them for the kind; a test that wants
  // an unknown bridge speaking a known protocol sets them to something else.
  uint8_t inquiry36 = 0;
  uint8_t inquiry37 = 0;
  std::string vendor = "Quorvela";    // INQUIRY bytes 8-15
  std::string product = "USB Enclosure";  // bytes 16-31
  std::string revision = "0100";      // bytes 32-35
  std::string info = "ASM2362 fw 1.00";   // ASMedia: the 16 bytes of the info read (0xEB 0x5A 0x02)
};

// Sets inquiry36 and inquiry37 to what a bridge of the kind answers: ASMedia 0x60 0x23, JMicron
// 0x30 0x35, none 0 0.
void DefaultInquiryBytes(BridgeDescription& bridge);

// STORAGE_BUS_TYPE values the disk reports in its device descriptor.
constexpr uint8_t BUS_TYPE_USB = 0x07;
constexpr uint8_t BUS_TYPE_RAID = 0x08;
constexpr uint8_t BUS_TYPE_SATA = 0x0B;
constexpr uint8_t BUS_TYPE_NVME = 0x11;

// Classes of requests that a fault counts.
enum class RequestKind : uint8_t {
  Any,               // every device request the disk receives (each bridge phase counts)
  DeviceProperty,    // StorageDeviceProperty queries
  DeviceNumber,      // IOCTL_STORAGE_GET_DEVICE_NUMBER
  Inquiry,           // SCSI INQUIRY
  Identify,          // Identify, whichever way it arrives (property query, bridge, opcode 0x06)
  VendorRead,        // 0xE6 and 0xF2
  VendorWrite,       // 0xE5 and 0xF1
  FirmwareDownload,  // IOCTL_STORAGE_FIRMWARE_DOWNLOAD or opcode 0x11
  FirmwareCommit,    // IOCTL_STORAGE_FIRMWARE_ACTIVATE or opcode 0x10
  PowerControl,      // a bridge's power-control request
  FirmwareInfo,      // IOCTL_STORAGE_FIRMWARE_GET_INFO
  Activation,        // a reset (a restart, a bridge's power cycle) that activates a committed image
};

enum class FaultAction : uint8_t {
  FailRequest,      // the device request fails with `error`
  CheckCondition,   // the SCSI request ends with CHECK CONDITION (bridged drives)
  ErrorCompletion,  // the NVMe command completes with `status`
  KeepOld,          // Activation: the old firmware keeps running and the committed image is dropped
};

// One injected fault: the n-th request of a kind (counted from 1 since the drive was made) goes
// wrong as `action` says, and so do the ones after it up to `repeat` in all (0: every one from
// the n-th on). On a bridge a command counts once, at its first phase, and the fault strikes at
// phase `phase` (1 command, 2 data, 3 completion) of that command.
struct Fault {
  RequestKind kind = RequestKind::Any;
  uint32_t nth = 1;
  uint32_t repeat = 1;
  FaultAction action = FaultAction::FailRequest;
  uint32_t error = 1117;     // FailRequest: the system error (ERROR_IO_DEVICE)
  uint8_t phase = 1;         // bridged drives: the phase that goes wrong
  uint16_t status = 0x0006;  // ErrorCompletion: status code type << 8 | status code
  // FailRequest: the request takes effect before it fails. ErrorCompletion: the command is carried
  // out and then completes with `status` (a status that reports what was done, such as a commit
  // whose activation needs a reset).
  bool performed = false;
};

// When a committed image becomes active: at the next reset of the controller (a restart of the
// computer, a bridge's power cycle), or only when the drive loses power (a power-off of the
// computer, a bridge's power cycle), as some drives need; a warm restart keeps power on a drive.
enum class ActivationAt : uint8_t { Reset, PowerOff };

struct BehaviourDescription {
  uint32_t powerCycleDelayMs = 2000;  // a bridge control's reset: time off the bus
  ActivationAt activation = ActivationAt::Reset;
  bool neverReturn = false;           // after a power cycle the drive stays away
  int32_t returnDiskNumber = -1;      // after a power cycle: this disk number (-1: the same)
  bool refuseAdapterPropertyForNamespace = false;  // property 49 with a non-zero NSID fails
  // The adapter's AlignmentMask, as STORAGE_ADAPTER_DESCRIPTOR reports it: a SCSI pass-through
  // whose data buffer address has any of these bits set is refused. NVMe adapters and the USB
  // storage drivers commonly report 3 (dword alignment).
  uint32_t alignmentMask = 3;
  // The native drive's firmware information (STORAGE_HW_FIRMWARE_INFO): every download piece's
  // offset and size are multiples of ImagePayloadAlignment (the 4 KiB update granularity the
  // controller's Identify reports), and no piece is larger than ImagePayloadMaxSize.
  uint32_t firmwarePayloadAlignment = 4096;
  uint32_t firmwarePayloadMaxSize = 128 * 1024;
  std::vector<Fault> faults;
};

struct DriveDescription {
  std::string name;  // the bench file's name for the drive, for messages
  uint32_t diskNumber = 0;
  DriveIdentity identity;
  FlashInfoDescription flashInfo;
  LegacyBlockDescription legacy;
  ConfigBlockDescription config;
  FirmwareDescription firmware;
  BridgeDescription bridge;
  // STORAGE_BUS_TYPE of the device descriptor; 0: NVMe for a native drive, USB behind a bridge.
  // A SATA disk is a native drive with BUS_TYPE_SATA: it answers no NVMe request.
  uint8_t busType = 0;
  BehaviourDescription behaviour;
};

}  // namespace emu
