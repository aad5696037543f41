#include "discovery/drive_info.h"

#include <cstring>

#include "core/app_state.h"
#include "core/page_block.h"
#include "core/trace.h"
#include "discovery/device_walks.h"
#include "discovery/storage_device.h"
#include "nvme/bridge.h"
#include "nvme/firmware.h"
#include "nvme/flash_id.h"
#include "nvme/nvme_command.h"
#include "nvme/storage_records.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

// Identify Controller.
constexpr size_t IDC_VID = 0;
constexpr size_t IDC_SSVID = 2;
constexpr size_t IDC_SERIAL = 4;
constexpr size_t IDC_SERIAL_BYTES = 20;
constexpr size_t IDC_MODEL = 24;
constexpr size_t IDC_MODEL_BYTES = 40;
constexpr size_t IDC_FIRMWARE = 64;
constexpr size_t IDC_FIRMWARE_BYTES = 8;
// Identify Namespace.
constexpr size_t IDNS_NSZE = 0;
constexpr size_t IDNS_NLBAF = 25;
constexpr size_t IDNS_FLBAS = 26;
constexpr size_t IDNS_LBAF = 128;  // 4 bytes per format: MS, LBADS, RP
constexpr size_t IDNS_LBADS_IN_FORMAT = 2;

constexpr uint64_t BYTES_PER_GB = 1000000000ull;
constexpr uint32_t CAPACITY_FLOOR_GB = static_cast<uint32_t>(MIN_CAPACITY_BYTES / BYTES_PER_GB);
static_assert(CAPACITY_FLOOR_GB == 16);

constexpr size_t ANSI_TEXT_BYTES = 260;
constexpr uint32_t RETRY_SLEEP_MS = 1000;
constexpr char16_t VOLUME_FIRST = u'C';
constexpr char16_t VOLUME_LAST = u'Z';
constexpr size_t VOLUME_ENTRY_CHARS = 3;  // "X: "

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// A drive text: its bytes end at the end of the field or at the first zero byte, and are read in
// the system's ANSI code page into at most DRIVE_TEXT_CHARS units.
void DriveText(const uint8_t* field, size_t length, char16_t* out) {
  char text[ANSI_TEXT_BYTES] = {};
  std::memcpy(text, field, length);
  platform::AnsiToWide(text, -1, out, DRIVE_TEXT_CHARS);
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// The disk number of a "\\.\PhysicalDrive<n>" path, any case; 0 when it holds none.
uint32_t DiskNumberOfPath(const char16_t* path) {
  static const char16_t prefix[] = u"\\\\.\\PHYSICALDRIVE";
  size_t i = 0;
  for (; prefix[i] != 0; ++i) {
    char16_t c = path[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != prefix[i]) return 0;
  }
  const char16_t* p = path + i;
  while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) ++p;
  bool negative = false;
  if (*p == u'+' || *p == u'-') negative = *p++ == u'-';
  uint32_t n = 0;
  for (; *p >= u'0' && *p <= u'9'; ++p) n = n * 10 + static_cast<uint32_t>(*p - u'0');
  return negative ? 0 - n : n;
}

// Model, firmware revision and serial number from Identify Controller data: the model and the
// revision without surrounding blanks, the serial as the drive pads it.
void ReadIdentityTexts(const uint8_t* controller, DriveRecord* record) {
  DriveText(controller + IDC_MODEL, IDC_MODEL_BYTES, record->model);
  TrimBlanks(record->model);
  DriveText(controller + IDC_FIRMWARE, IDC_FIRMWARE_BYTES, record->fwRevision);
  TrimBlanks(record->fwRevision);
  DriveText(controller + IDC_SERIAL, IDC_SERIAL_BYTES, record->serial);
}

// Whether firmware committed to a native drive waits for activation at the next reset. A drive
// that does not answer is taken as one without: it is offered as it always was.
void ReadActivationState(const char16_t* path, platform::DeviceHandle device, DriveRecord* record) {
  FirmwareSlots slots;
  int result = IO_NVMe_FwGetInfo(device, &slots);
  if (result != NVME_RESULT_OK) {
    DebugTrace(u"%s - no answer to the firmware information request (%d, error %u); it is offered as before", path,
               result, slots.error);
    return;
  }
  record->activationPending = slots.pendingSlot != 0 ? 1 : 0;
  if (record->activationPending)
    DebugTrace(u"%s - firmware %s in slot %d waits for activation at the next reset", path, slots.pendingRevision,
               static_cast<int>(slots.pendingSlot));
}

// The rest of GetDiskInfo, with the drive open and both Identify blocks at hand. The disk's place
// in the tree comes from places, or from a walk of its own when places is null.
// *answered tells whether the drive answered Identify Controller.
int FillRecord(const char16_t* path, platform::DeviceHandle device, int32_t cmdType, uint8_t* controller,
               uint8_t* ns, DiskPlaces* places, DriveRecord* record, bool* answered) {
  uint8_t status = 0;
  int result = IdentifyCmd(cmdType, device, IDENTIFY_CNS_CONTROLLER, 0, controller, IDENTIFY_BYTES, &status);
  if (result != NVME_RESULT_OK) return result;
  if (status == BRIDGE_STATUS_CHECK_CONDITION) return DRIVE_INFO_NOT_USABLE;
  *answered = true;

  // A failed namespace request leaves the block zero, and the size check below refuses the drive.
  status = 0;
  IdentifyCmd(cmdType, device, IDENTIFY_CNS_NAMESPACE, 1, ns, IDENTIFY_BYTES, &status);

  uint32_t sectorSize = SelectedBlockSize(ns);
  uint64_t sectorCount = Le64(ns + IDNS_NSZE);
  // A size beyond 64 bits is no drive's: it is refused rather than wrapped into a small one.
  if (sectorSize == 0 || sectorCount > UINT64_MAX / sectorSize) return DRIVE_INFO_NOT_USABLE;
  uint32_t capacityGB = static_cast<uint32_t>(sectorCount * sectorSize / BYTES_PER_GB);
  if (capacityGB < CAPACITY_FLOOR_GB) return DRIVE_INFO_NOT_USABLE;

  platform::TextCopy(record->devicePath, DRIVE_TEXT_CHARS, path);
  record->capacityGB = capacityGB;
  record->sectorSize = sectorSize;
  record->sectorCount = sectorCount;
  record->vendorId = Le16(controller + IDC_VID);
  record->subsystemVendorId = Le16(controller + IDC_SSVID);
  record->iCmdType = cmdType;
  ReadIdentityTexts(controller, record);
  record->diskNumber = DiskNumberOfPath(path);
  record->isRaw = 1;

  ReadFlashInfo(cmdType, device, record);

  platform::DeviceNode disk = 0;
  bool placed = LookUpDiskNode(places, record->diskNumber, &disk);
  record->iPort = placed ? PortIdOfDisk(cmdType, disk) : 0;
  DebugTrace(u"%s - iCmdType = %d, iPort = %I64d", path, static_cast<int>(cmdType),
             static_cast<long long>(record->iPort));

  if (cmdType == CMD_TYPE_NVME) {
    if (placed)
      GetControllerLinkInfo(DiskControllerOf(disk), &record->linkSpeed, &record->linkWidth, &record->maxLinkSpeed,
                            &record->maxLinkWidth);
    ReadActivationState(path, device, record);
  }
  return DRIVE_INFO_OK;
}

enum class PortSearch { Found, Unreadable, Absent };

// Disks that one port ID can name at once: more than the disks a system lists.
constexpr int MAX_DISKS_AT_PORT = 64;

// One look at the drive's port ID: every disk there is opened, and only one of the wanted command
// type is read. The one with the wanted serial number wins, else the first that could be read.
// Unreadable: a disk of that type is there but none could be read.
PortSearch SearchPort(const DriveRecord& wanted, DriveRecord* found) {
  bool haveAny = false, unreadable = false;
  for (int skip = 0; skip < MAX_DISKS_AT_PORT; ++skip) {
    platform::DeviceHandle disk = OpenDiskByPort(wanted.iCmdType, wanted.iPort, skip);
    if (disk == platform::INVALID_DEVICE) break;
    bool sameType = QueryCommandType(disk) == wanted.iCmdType;
    StorageDeviceNumber number;
    bool numbered = sameType && DeviceNumberOf(disk, &number);
    platform::Io().Close(disk);
    if (!sameType) continue;
    DriveRecord candidate;
    char16_t path[DRIVE_TEXT_CHARS];
    if (numbered) platform::FormatText(path, DRIVE_TEXT_CHARS, u"\\\\.\\PhysicalDrive%d", static_cast<int>(number.deviceNumber));
    if (!numbered || GetDiskInfo(path, &candidate) != DRIVE_INFO_OK || candidate.iCmdType != wanted.iCmdType) {
      unreadable = true;
      continue;
    }
    if (platform::TextEqual(candidate.serial, wanted.serial)) {
      // The same drive without the flash information it gave before: that read failed, and such a
      // record would send the drive down the legacy path, where its configuration block is not
      // carried over. It is not taken for the drive.
      if (wanted.hasVendorInfo && !candidate.hasVendorInfo) {
        unreadable = true;
        continue;
      }
      *found = candidate;
      return PortSearch::Found;
    }
    if (!haveAny) *found = candidate;
    haveAny = true;
  }
  if (haveAny) return PortSearch::Found;
  return unreadable ? PortSearch::Unreadable : PortSearch::Absent;
}

}  // namespace

uint32_t SelectedLbaFormat(const uint8_t* identifyNamespace) {
  uint8_t flbas = identifyNamespace[IDNS_FLBAS];
  uint32_t index = flbas & 0x0F;
  // NLBAF counts from 0: 16 or more means more than 16 formats.
  if (identifyNamespace[IDNS_NLBAF] >= 16) index |= static_cast<uint32_t>((flbas >> 5) & 0x03) << 4;
  return index;
}

uint32_t SelectedBlockSize(const uint8_t* identifyNamespace) {
  uint32_t lbads = identifyNamespace[IDNS_LBAF + 4 * SelectedLbaFormat(identifyNamespace) + IDNS_LBADS_IN_FORMAT];
  return lbads < 32 ? 1u << lbads : 0;
}

void TrimBlanks(char16_t* text) {
  char16_t work[TRIM_CHARS];
  size_t length = platform::TextCopy(work, TRIM_CHARS, text);
  size_t start = 0;
  while (start < length && IsBlank(work[start])) ++start;
  size_t end = length;
  while (end > start && IsBlank(work[end - 1])) --end;
  std::memcpy(text, work + start, (end - start) * sizeof(char16_t));
  text[end - start] = 0;
}

namespace {

// A text of the descriptor reply: at its offset (0, or one inside the head, is none) up to its
// terminator, or to the end of what the disk returned.
void DescriptorText(const uint8_t* reply, uint32_t returned, uint32_t offset, char16_t* out) {
  out[0] = 0;
  if (offset < sizeof(StorageDeviceDescriptorHead) || offset >= returned) return;
  size_t length = 0;
  while (offset + length < returned && reply[offset + length] != 0 && length + 1 < ANSI_TEXT_BYTES) ++length;
  DriveText(reply + offset, length, out);
  TrimBlanks(out);
}

// The command type of a disk on the bus: the NVMe driver's, a known bridge's behind USB, or none.
int32_t CommandTypeOf(platform::DeviceHandle device, uint32_t busType) {
  if (busType == BUS_TYPE_NVME) return CMD_TYPE_NVME;
  if (busType == BUS_TYPE_USB) return IO_USB_GetBridgeType(device);
  return CMD_TYPE_NONE;
}

// Why a disk on a bus that gives it no command type holds no drive the updater reads.
DiskReason ReasonOfBus(uint32_t busType) {
  switch (busType) {
    case BUS_TYPE_RAID: return DiskReason::RAID_CONTROLLER;
    case BUS_TYPE_USB: return DiskReason::UNKNOWN_BRIDGE;
    case BUS_TYPE_SATA:
    case BUS_TYPE_ATA: return DiskReason::NOT_NVME;
    default: return DiskReason::OTHER_BUS;
  }
}

// The disk as its descriptor (zero-filled when it gave none) describes it.
void DescribeDisk(const char16_t* path, const DiskDescriptor& descriptor, DiskSeen* disk) {
  disk->diskNumber = DiskNumberOfPath(path);
  disk->busType = descriptor.busType;
  if (descriptor.vendor[0] != 0 && descriptor.product[0] != 0)
    platform::FormatText(disk->model, DRIVE_TEXT_CHARS, u"%s %s", descriptor.vendor, descriptor.product);
  else
    platform::TextCopy(disk->model, DRIVE_TEXT_CHARS, descriptor.vendor[0] != 0 ? descriptor.vendor : descriptor.product);
  platform::TextCopy(disk->serial, DRIVE_TEXT_CHARS, descriptor.serial);
}

}  // namespace

bool QueryDiskDescriptor(platform::DeviceHandle device, DiskDescriptor* descriptor) {
  std::memset(descriptor, 0, sizeof *descriptor);
  StorageDevicePropertyQuery query{};
  query.propertyId = STORAGE_DEVICE_PROPERTY_ID;
  query.queryType = PROPERTY_STANDARD_QUERY;
  uint8_t reply[DISK_DESCRIPTOR_BYTES] = {};
  uint32_t returned = 0, error = 0;
  if (!platform::Io().Control(device, IOCTL_STORAGE_QUERY_PROPERTY_CODE, &query, sizeof query, reply, sizeof reply,
                              &returned, &error) ||
      returned < sizeof(StorageDeviceDescriptorHead))
    return false;
  if (returned > sizeof reply) returned = sizeof reply;
  StorageDeviceDescriptorHead head;
  std::memcpy(&head, reply, sizeof head);
  descriptor->busType = head.busType;
  DescriptorText(reply, returned, head.vendorIdOffset, descriptor->vendor);
  DescriptorText(reply, returned, head.productIdOffset, descriptor->product);
  DescriptorText(reply, returned, head.serialNumberOffset, descriptor->serial);
  return true;
}

int32_t QueryCommandType(platform::DeviceHandle device) {
  DiskDescriptor descriptor;
  return QueryDiskDescriptor(device, &descriptor) ? CommandTypeOf(device, descriptor.busType) : CMD_TYPE_NONE;
}

platform::DeviceHandle OpenDrive(const char16_t* path, int32_t* cmdType) {
  platform::DeviceHandle device = platform::Io().Open(path, nullptr);
  if (device == platform::INVALID_DEVICE) return device;
  *cmdType = QueryCommandType(device);
  return device;
}

bool DriveRecordFilled(const DriveRecord& drive) {
  bool usableType = drive.iCmdType == CMD_TYPE_ASM || drive.iCmdType == CMD_TYPE_JMI || drive.iCmdType == CMD_TYPE_NVME;
  return usableType && drive.devicePath[0] != 0;
}

bool SameDrive(const DriveRecord& a, const DriveRecord& b) {
  return a.iCmdType == b.iCmdType && platform::TextEqual(a.serial, b.serial) && platform::TextEqual(a.model, b.model);
}

int CheckDriveBehindHandle(int32_t cmdType, platform::DeviceHandle device, const DriveRecord& expected) {
  PageBlock controller(IDENTIFY_BYTES);
  if (controller.data() == nullptr) return NVME_RESULT_IO_FAILED;
  uint8_t status = 0;
  int result = IdentifyCmd(cmdType, device, IDENTIFY_CNS_CONTROLLER, 0, controller.data(), IDENTIFY_BYTES, &status);
  if (result == NVME_RESULT_OK && status == BRIDGE_STATUS_CHECK_CONDITION) return DRIVE_INFO_NOT_USABLE;
  if (result != NVME_RESULT_OK) return result;
  DriveRecord seen{};
  seen.iCmdType = cmdType;
  ReadIdentityTexts(controller.data(), &seen);
  return SameDrive(seen, expected) ? DRIVE_INFO_OK : DRIVE_INFO_OTHER_DRIVE;
}

namespace {

// GetDiskInfo, looking the disk's place up in places (null: a walk of its own). seen, when given,
// learns the disk's descriptor and, when no drive was read, why not.
int ReadDiskInfo(const char16_t* path, DiskPlaces* places, DriveRecord* record, DiskSeen* seen) {
  std::memset(record, 0, sizeof *record);
  DiskSeen ignored;
  if (seen == nullptr) seen = &ignored;
  std::memset(seen, 0, sizeof *seen);
  seen->drive = -1;
  platform::DeviceHandle device = platform::Io().Open(path, nullptr);
  if (device == platform::INVALID_DEVICE) return DRIVE_INFO_NO_PATH;
  DiskDescriptor descriptor;
  bool described = QueryDiskDescriptor(device, &descriptor);
  DescribeDisk(path, descriptor, seen);
  int32_t cmdType = described ? CommandTypeOf(device, descriptor.busType) : CMD_TYPE_NONE;
  if (cmdType == CMD_TYPE_NONE) {
    platform::Io().Close(device);
    seen->reason = described ? ReasonOfBus(descriptor.busType) : DiskReason::UNREADABLE;
    return DRIVE_INFO_NOT_USABLE;
  }
  // Both Identify blocks are page blocks, as the direct pass-through of a bridge wants them.
  int result = NVME_RESULT_IO_FAILED;
  bool answered = false;
  {
    PageBlock controller(IDENTIFY_BYTES), ns(IDENTIFY_BYTES);
    if (controller.data() != nullptr && ns.data() != nullptr)
      result = FillRecord(path, device, cmdType, controller.data(), ns.data(), places, record, &answered);
  }
  platform::Io().Close(device);
  if (result != DRIVE_INFO_OK) std::memset(record, 0, sizeof *record);
  // A drive that answers but is too small is not the updater's; one that does not answer may be.
  if (result != DRIVE_INFO_OK) seen->reason = answered ? DiskReason::TOO_SMALL : DiskReason::UNREADABLE;
  return result;
}

}  // namespace

int GetDiskInfo(const char16_t* path, DriveRecord* record) { return ReadDiskInfo(path, nullptr, record, nullptr); }

int EnumerateDrives(DriveRecord* drives, int capacity, DisksSeen* disks) {
  if (disks != nullptr) std::memset(disks, 0, sizeof *disks);
  if (drives == nullptr || capacity <= 0) return 0;
  std::memset(drives, 0, sizeof(DriveRecord) * static_cast<size_t>(capacity));
  int count = 0;
  // Walked once, when the first usable drive needs its place, and shared by all of them.
  DiskPlaces places{};
  for (uint32_t n = 0; n < MAX_PROBED_DISKS && count < capacity; ++n) {
    char16_t path[DRIVE_TEXT_CHARS];
    platform::FormatText(path, DRIVE_TEXT_CHARS, u"\\\\.\\PhysicalDrive%d", static_cast<int>(n));
    DiskSeen seen;
    int result = ReadDiskInfo(path, &places, &drives[count], &seen);
    if (result == DRIVE_INFO_OK) seen.drive = count++;
    // A number that opens no disk holds none.
    if (disks != nullptr && result != DRIVE_INFO_NO_PATH) disks->disks[disks->count++] = seen;
  }

  for (char16_t letter = VOLUME_FIRST; letter <= VOLUME_LAST; ++letter) {
    char16_t path[8];
    platform::FormatText(path, 8, u"\\\\.\\%c:", static_cast<int>(letter));
    platform::DeviceHandle volume = platform::Io().Open(path, nullptr);
    if (volume == platform::INVALID_DEVICE) continue;
    StorageDeviceNumber number;
    if (DeviceNumberOf(volume, &number) && number.deviceType == FILE_DEVICE_DISK_TYPE) {
      for (int i = 0; i < count; ++i) {
        DriveRecord& drive = drives[i];
        if (drive.diskNumber != number.deviceNumber) continue;
        drive.isRaw = 0;
        if (platform::TextLength(drive.driveLetters) + VOLUME_ENTRY_CHARS < DRIVE_TEXT_CHARS) {
          char16_t entry[VOLUME_ENTRY_CHARS + 1];
          platform::FormatText(entry, sizeof entry / sizeof entry[0], u"%c: ", static_cast<int>(letter));
          platform::TextAppend(drive.driveLetters, DRIVE_TEXT_CHARS, entry);
        }
        if (letter == u'C') drive.isSystemDisk = 1;
        break;
      }
      for (uint32_t i = 0; disks != nullptr && letter == u'C' && i < disks->count; ++i)
        if (disks->disks[i].diskNumber == number.deviceNumber) disks->disks[i].isSystemDisk = 1;
    }
    platform::Io().Close(volume);
  }
  return count;
}

int GetDiskInfoByPortID(DriveRecord* record, int attempts, ProgressReport progress) {
  int32_t cmdType = record->iCmdType;
  int64_t port = record->iPort;
  DebugTrace(u"GetDiskInfoByPortID IN, iCmdType = %d, iPort=%I64d", static_cast<int>(cmdType),
             static_cast<long long>(port));
  for (int k = 1; k <= attempts; ++k) {
    DriveRecord found;
    PortSearch search = SearchPort(*record, &found);
    if (search == PortSearch::Found) {
      *record = found;
      DebugTrace(u"GetDiskInfoByPortID Success OUT");
      return 1;
    }
    if (search == PortSearch::Unreadable) return 0;
    platform::Time().Sleep(RETRY_SLEEP_MS);
    if (progress != nullptr) progress(static_cast<int>(100 * static_cast<int64_t>(k) / attempts));
  }
  return 0;
}
