// The drive record: the one plain, fixed-size value that describes a drive everywhere. It is
// zero-filled as a whole and copied as a whole; an all-zero record is an empty slot.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

// Command types: which path every NVMe command to the drive takes.
constexpr int32_t CMD_TYPE_ASM = 0;    // behind an ASMedia USB bridge
constexpr int32_t CMD_TYPE_JMI = 1;    // behind a JMicron USB bridge
constexpr int32_t CMD_TYPE_NVME = 2;   // the system's NVMe driver
constexpr int32_t CMD_TYPE_NONE = 255; // nothing can be sent

constexpr size_t DRIVE_TEXT_CHARS = 64;          // text fields: 63 characters and the terminator
constexpr size_t MAX_DRIVES = 26;                // records in AppState::drives
constexpr uint32_t MAX_PROBED_DISKS = 20;        // disk numbers 0..19 are probed
constexpr uint64_t MIN_CAPACITY_BYTES = 16000000000ull;  // 16 decimal gigabytes
constexpr size_t MAX_DRIVE_LETTERS = 21;         // "X: " each, 63 characters
constexpr size_t FLASH_ID_BYTES = 6;

struct DriveRecord {
  char16_t devicePath[DRIVE_TEXT_CHARS];
  int32_t iCmdType;
  int64_t iPort;
  uint32_t capacityGB;
  uint32_t sectorSize;
  uint64_t sectorCount;
  char16_t model[DRIVE_TEXT_CHARS];
  char16_t fwRevision[DRIVE_TEXT_CHARS];
  char16_t serial[DRIVE_TEXT_CHARS];
  char16_t driveLetters[DRIVE_TEXT_CHARS];
  uint32_t diskNumber;
  uint8_t isRaw;
  uint8_t isSystemDisk;
  uint32_t vendorId;
  uint32_t subsystemVendorId;
  uint32_t controllerCode;
  uint32_t linkSpeed;
  uint32_t linkWidth;
  uint32_t maxLinkSpeed;
  uint32_t maxLinkWidth;
  uint8_t hasVendorInfo;
  uint8_t flashId[FLASH_ID_BYTES];
  uint32_t flashType;
  char16_t internalFwVersion[DRIVE_TEXT_CHARS];
  // A native drive's firmware information: 1 when firmware committed earlier waits for activation
  // at the next reset; 0 otherwise, also behind a bridge and for a drive that does not answer.
  uint8_t activationPending;
};

// A plain value: zero-filled with memset or {} and copied with = or memcpy, sharing nothing.
static_assert(std::is_trivially_copyable_v<DriveRecord>);
static_assert(std::is_standard_layout_v<DriveRecord>);
// The fields stand in the order of the table above; these offsets follow from natural alignment.
static_assert(offsetof(DriveRecord, devicePath) == 0);
static_assert(offsetof(DriveRecord, iCmdType) == 128);
static_assert(offsetof(DriveRecord, iPort) == 136);
static_assert(offsetof(DriveRecord, capacityGB) == 144);
static_assert(offsetof(DriveRecord, sectorSize) == 148);
static_assert(offsetof(DriveRecord, sectorCount) == 152);
static_assert(offsetof(DriveRecord, model) == 160);
static_assert(offsetof(DriveRecord, fwRevision) == 288);
static_assert(offsetof(DriveRecord, serial) == 416);
static_assert(offsetof(DriveRecord, driveLetters) == 544);
static_assert(offsetof(DriveRecord, diskNumber) == 672);
static_assert(offsetof(DriveRecord, isRaw) == 676);
static_assert(offsetof(DriveRecord, isSystemDisk) == 677);
static_assert(offsetof(DriveRecord, vendorId) == 680);
static_assert(offsetof(DriveRecord, controllerCode) == 688);
static_assert(offsetof(DriveRecord, maxLinkWidth) == 704);
static_assert(offsetof(DriveRecord, hasVendorInfo) == 708);
static_assert(offsetof(DriveRecord, flashId) == 709);
static_assert(offsetof(DriveRecord, flashType) == 716);
static_assert(offsetof(DriveRecord, internalFwVersion) == 720);
static_assert(offsetof(DriveRecord, activationPending) == 848);
static_assert(sizeof(DriveRecord) == 856);

// Why a disk that the walk over disks 0 to 19 found holds no drive the updater read. A disk of the
// package's model that is not reached for one of the reasons IsUnreachable names is accounted for
// by the console program; the others are only listed (list --all).
enum class DiskReason : uint32_t {
  DRIVE = 0,        // its drive was read: DisksSeen::disks[i].drive is its record
  NOT_NVME,         // the SATA or ATA bus: no NVMe drive
  RAID_CONTROLLER,  // the RAID bus: the controller runs in a RAID or Intel VMD/RST mode
  UNKNOWN_BRIDGE,   // a USB disk behind a bridge that is neither ASMedia's nor JMicron's as known
  OTHER_BUS,        // another bus (SCSI, SAS, ...): a storage driver that carries no NVMe command
  UNREADABLE,       // no device descriptor, or a path the updater knows without an answer to Identify
  TOO_SMALL,        // it answers Identify, but holds less than 16 GB (or tells no size)
};
constexpr bool IsUnreachable(DiskReason reason) {
  return reason == DiskReason::RAID_CONTROLLER || reason == DiskReason::UNKNOWN_BRIDGE ||
         reason == DiskReason::OTHER_BUS || reason == DiskReason::UNREADABLE;
}

// A disk the last walk saw, usable or not: its model and serial number as its device descriptor
// gives them (empty when it gives none).
struct DiskSeen {
  uint32_t diskNumber;
  uint32_t busType;  // STORAGE_BUS_TYPE; 0 when the disk gave no descriptor
  DiskReason reason;
  int32_t drive;         // the index of its record among the drives read; -1 for none
  uint8_t isSystemDisk;  // it holds volume C:
  char16_t model[DRIVE_TEXT_CHARS];   // the descriptor's vendor and product texts, one blank apart
  char16_t serial[DRIVE_TEXT_CHARS];  // the descriptor's serial number text
};
static_assert(std::is_trivially_copyable_v<DiskSeen>);
static_assert(offsetof(DiskSeen, reason) == 8);
static_assert(offsetof(DiskSeen, drive) == 12);
static_assert(offsetof(DiskSeen, isSystemDisk) == 16);
static_assert(offsetof(DiskSeen, model) == 18);
static_assert(offsetof(DiskSeen, serial) == 146);
static_assert(sizeof(DiskSeen) == 276);

// The disks of one walk that opened, in disk-number order.
struct DisksSeen {
  uint32_t count;
  DiskSeen disks[MAX_PROBED_DISKS];
};
