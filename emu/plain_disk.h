// Disks that are not NVMe drives as the updater reaches them, and volumes. A plain disk (a SATA
// disk, a USB stick, a USB disk behind a bridge of another make, a drive behind a RAID or VMD
// controller) answers the device descriptor with its bus type and its texts, the device number,
// and a SCSI INQUIRY; every NVMe request fails as it would on such a disk.
// A volume answers the device number of the disk it lies on, and fails it when it spans disks.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emu/bench.h"

namespace emu {

struct PlainDiskDescription {
  std::string name;
  uint32_t diskNumber = 0;
  uint8_t busType = 0x0B;  // STORAGE_BUS_TYPE: BusTypeSata
  bool removable = false;
  // INQUIRY: vendor (bytes 8-15), product (16-31), revision (32-35), and the vendor-specific
  // bytes 36 and 37 by which bridges are told apart.
  std::string vendor = "ATA";
  std::string product = "Disk";
  std::string revision = "1.0";
  uint8_t inquiry36 = 0;
  uint8_t inquiry37 = 0;
  std::string serial;  // the descriptor's serial number text; none when empty
};

class PlainDisk : public EmuDevice {
 public:
  explicit PlainDisk(const PlainDiskDescription& description) : description_(description) {}
  const PlainDiskDescription& Description() const { return description_; }
  uint32_t DiskNumber() const { return description_.diskNumber; }

  bool Present() override { return present_; }
  void SetPresent(bool present) { present_ = present; }

  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
               uint32_t* returned, uint32_t* error, RequestNotes* notes) override;

 private:
  bool ScsiPassThrough(void* in, uint32_t inLength, void* out, uint32_t outLength,
                       uint32_t* returned, uint32_t* error, RequestNotes* notes);
  PlainDiskDescription description_;
  bool present_ = true;
};

// What a volume lies on: one disk's presence and current number.
struct VolumeExtent {
  std::function<bool()> present;
  std::function<uint32_t()> diskNumber;
};

class Volume : public EmuDevice {
 public:
  Volume(char letter, std::vector<VolumeExtent> extents) : letter_(letter), extents_(std::move(extents)) {}
  char Letter() const { return letter_; }
  // A volume is there while every disk it lies on is.
  bool Present() override;
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
               uint32_t* returned, uint32_t* error, RequestNotes* notes) override;

 private:
  char letter_;
  std::vector<VolumeExtent> extents_;
};

// The bytes of a standard INQUIRY reply (38 bytes: the 36 of the standard data and the two
// vendor-specific bytes after them).
constexpr uint32_t PLAIN_INQUIRY_BYTES = 38;
void PlainInquiryData(const PlainDiskDescription& description, uint8_t out[PLAIN_INQUIRY_BYTES]);

}  // namespace emu
