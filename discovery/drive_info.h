// Drive information: opening a disk and learning its command path, filling a drive record from
// Identify and the vendor blocks, enumerating the usable drives with their volume letters, and
// finding a known drive again by its port ID.
//
// A drive is usable when it is reached through the system's NVMe driver or an ASMedia or JMicron
// bridge, answers Identify, and holds at least 16 decimal gigabytes. The list holds only disks
// 0 to 19; a drive found again by its port ID may carry any disk number.
#pragma once
#include <cstdint>

#include "core/drive_record.h"
#include "core/progress.h"
#include "platform/types.h"

// Results of GetDiskInfo besides the command paths' own failure codes.
constexpr int DRIVE_INFO_OK = 1;
constexpr int DRIVE_INFO_NO_PATH = -1;     // the path could not be opened
constexpr int DRIVE_INFO_NOT_USABLE = -5;  // not an NVMe or recognised bridge disk, no Identify
                                           // data, or under 16 GB
constexpr int DRIVE_INFO_OTHER_DRIVE = -10; // the drive answering is not the drive expected

// Identify data is read in blocks of this size.
constexpr uint32_t IDENTIFY_BYTES = 4096;
// The working room of TrimBlanks: texts of up to 999 characters.
constexpr size_t TRIM_CHARS = 1000;

// Opens the path for reading and writing and decides the command type: CMD_TYPE_NVME for the
// NVMe bus, the bridge kind for a USB disk, CMD_TYPE_NONE for anything else or a failed query.
// Returns platform::INVALID_DEVICE when the path cannot be opened (cmdType then is not written).
// The caller closes the handle, whatever the type.
platform::DeviceHandle OpenDrive(const char16_t* path, int32_t* cmdType);

// The command type of an open disk: CMD_TYPE_NVME for the NVMe bus, the bridge kind for a USB
// disk, CMD_TYPE_NONE for anything else or a failed query.
int32_t QueryCommandType(platform::DeviceHandle device);

// What a disk's device descriptor says: its bus type and its texts, without surrounding blanks
// (empty when the disk gives none, or one that does not lie inside the reply).
struct DiskDescriptor {
  uint32_t busType;  // STORAGE_BUS_TYPE
  char16_t vendor[DRIVE_TEXT_CHARS];
  char16_t product[DRIVE_TEXT_CHARS];
  char16_t serial[DRIVE_TEXT_CHARS];
};
// Asks the disk for its descriptor, the head and the texts after it in one request; false when the
// request fails or returns less than the head. The descriptor is zero-filled first.
bool QueryDiskDescriptor(platform::DeviceHandle device, DiskDescriptor* descriptor);
// The descriptor's bytes are read into a buffer of this size; texts beyond it read as cut there.
constexpr uint32_t DISK_DESCRIPTOR_BYTES = 512;

// A record that was filled from a drive: it names a path and a usable command type. An all-zero
// record (a slot nothing was read into) reads as command type 0 and port ID 0 and must never
// stand for a drive.
bool DriveRecordFilled(const DriveRecord& drive);
// The identity of a drive: its command type, serial number and model. The port ID says where to
// look for a drive, not which drive is there.
bool SameDrive(const DriveRecord& a, const DriveRecord& b);
// Identifies the drive behind an open handle (Identify Controller through that handle, on the
// path of cmdType) and compares it with expected. Returns DRIVE_INFO_OK when command type, serial
// number and model agree, DRIVE_INFO_OTHER_DRIVE when they do not, DRIVE_INFO_NOT_USABLE when a
// bridge ends the command with CHECK CONDITION, or the failure code of Identify Controller.
int CheckDriveBehindHandle(int32_t cmdType, platform::DeviceHandle device, const DriveRecord& expected);

// Fills the record from the disk at path ("\\.\PhysicalDrive<n>"). Returns DRIVE_INFO_OK,
// DRIVE_INFO_NO_PATH, DRIVE_INFO_NOT_USABLE, or the failure code of Identify Controller. The
// record is zero-filled on every result but DRIVE_INFO_OK.
int GetDiskInfo(const char16_t* path, DriveRecord* record);

// Zero-fills the first capacity records, fills them with the usable drives among disks 0 to 19
// in disk-number order, attaches the volume letters C to Z, and returns how many it filled. The
// drives' places in the tree come from one walk over the disks, not from a walk per drive. With
// disks, it is filled (from zero) with every disk among them that opened: its drive's index, or why
// it has none (DiskReason), its bus type, its descriptor's texts and whether it is the system disk.
int EnumerateDrives(DriveRecord* drives, int capacity, DisksSeen* disks = nullptr);

// Looks for the drive of the record at its port ID up to attempts times, one second apart,
// reporting the share of the attempts made after each miss. Only a disk of the record's command type counts;
// where several share the command type and port ID, the one with the record's serial number wins,
// else the first. Returns 1 when it was found and the record filled anew; 0 when it was not found
// or found but could not be read (no further attempt then), which includes the drive reading
// without the flash information its record has. The record is never changed on 0.
int GetDiskInfoByPortID(DriveRecord* record, int attempts, ProgressReport progress = nullptr);

// Removes leading and trailing blanks and tabs in place (texts of up to 999 characters).
void TrimBlanks(char16_t* text);

// The index of the LBA format that FLBAS (byte 26) selects in Identify Namespace data: bits 3:0,
// with bits 6:5 above them when the namespace has more than 16 formats (NLBAF, byte 25, 16 or more).
uint32_t SelectedLbaFormat(const uint8_t* identifyNamespace);
// The logical block size of that format: 2 to the power of its LBADS; 0 when LBADS is 32 or more.
uint32_t SelectedBlockSize(const uint8_t* identifyNamespace);
