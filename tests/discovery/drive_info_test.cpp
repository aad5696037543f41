// Drive information: the command path of a disk, the record filled from Identify and the vendor
// blocks, the enumeration with volume letters, and finding a drive again by its port ID.
#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "core/app_state.h"
#include "discovery/drive_info.h"
#include "discovery/storage_device.h"
#include "nvme/flash_id.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/discovery/discovery_fixture.h"

namespace {

using discoverytest::AllZero;
using discoverytest::Fixture;

// The progress a search reports, in order.
std::vector<int> g_reported;
void Report(int percent) { g_reported.push_back(percent); }

std::string Narrow(const char16_t* text) { return testenv::Narrow(text); }

// One native drive on bus 1 below a root port, PCIe Gen3 x4; its description ends the text so a
// test can add keys to it.
std::string NativeTree(int disk) {
  return R"(
[pci root]
bus = 0
[pci port]
parent = root
bus = 0
[nvme controller]
parent = port
bus = 1
link-speed = 3
link-width = 4
max-link-speed = 4
max-link-width = 4
[drive q7]
parent = controller
disk = )" + std::to_string(disk) + "\n";
}

// A USB host with one root hub, for bridged drives and sticks.
const char* USB_HOST = R"(
[usb-host host]
[root-hub root-hub]
parent = host
)";

std::string Bridged(const std::string& name, int port, int disk, const std::string& keys) {
  return "[usb-device " + name + "-bridge]\nparent = root-hub\nlocation = Port_#000" + std::to_string(port) +
         ".Hub_#0001\n[drive " + name + "]\nparent = " + name + "-bridge\ndisk = " + std::to_string(disk) + "\n" +
         keys + "\n";
}

TEST_F(Fixture, OpenDriveDecidesTheCommandPathByBusAndBridge) {
  Load(NativeTree(0) + USB_HOST + Bridged("asm", 1, 1, "bridge = asmedia") + Bridged("jmi", 2, 2, "bridge = jmicron") +
       Bridged("odd", 3, 3, "bridge = asmedia\ninquiry = 60 24") + R"(
[disk sata]
disk = 4
[usb-device stick-port]
parent = root-hub
location = Port_#0005.Hub_#0001
[disk stick]
parent = stick-port
disk = 5
bus-type = usb
[disk raid]
disk = 6
bus-type = raid
vendor = NVMe
product = QUORVELA Q7 1TB
serial = QV7A24110009
[drive mute]
parent = controller
disk = 7
fault = identify repeat=0
[drive tiny]
parent = controller
disk = 8
blocks = 31249999
)");
  const std::pair<int, int32_t> expected[] = {{0, CMD_TYPE_NVME}, {1, CMD_TYPE_ASM}, {2, CMD_TYPE_JMI},
                                              {3, CMD_TYPE_NONE}, {4, CMD_TYPE_NONE}, {5, CMD_TYPE_NONE},
                                              {6, CMD_TYPE_NONE}};
  for (const auto& [disk, type] : expected) {
    std::u16string path = u"\\\\.\\PhysicalDrive" + testenv::Widen(std::to_string(disk));
    int32_t cmdType = 77;
    platform::DeviceHandle h = OpenDrive(path.c_str(), &cmdType);
    ASSERT_NE(h, platform::INVALID_DEVICE) << disk;
    EXPECT_EQ(cmdType, type) << disk;
    platform::Io().Close(h);
    DriveRecord record;
    std::memset(&record, 0xAB, sizeof record);
    int result = GetDiskInfo(path.c_str(), &record);
    EXPECT_EQ(result, type == CMD_TYPE_NONE ? DRIVE_INFO_NOT_USABLE : DRIVE_INFO_OK) << disk;
    if (result != DRIVE_INFO_OK) {
      EXPECT_TRUE(AllZero(record)) << disk;
    }
  }
  int32_t cmdType = 77;
  EXPECT_EQ(OpenDrive(u"\\\\.\\PhysicalDrive9", &cmdType), platform::INVALID_DEVICE);
  EXPECT_EQ(cmdType, 77);
  DriveRecord record;
  EXPECT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive9", &record), DRIVE_INFO_NO_PATH);
  // Every disk is described: a drive that was read by its index, any other by why not, with its
  // descriptor's texts (the SATA disk is no NVMe drive; the mute drive does not answer Identify;
  // the tiny one answers, so it is no drive the updater failed to reach).
  DriveRecord drives[MAX_DRIVES];
  DisksSeen disks;
  std::memset(&disks, 0xAB, sizeof disks);
  ASSERT_EQ(EnumerateDrives(drives, MAX_DRIVES, &disks), 3);
  const std::tuple<uint32_t, DiskReason, int32_t, const char*, const char*> seen[] = {
      {0, DiskReason::DRIVE, 0, nullptr, nullptr}, {1, DiskReason::DRIVE, 1, nullptr, nullptr},
      {2, DiskReason::DRIVE, 2, nullptr, nullptr},
      {3, DiskReason::UNKNOWN_BRIDGE, -1, "Quorvela USB Enclosure", "QV0000000000000001"},
      {4, DiskReason::NOT_NVME, -1, nullptr, nullptr},
      {5, DiskReason::UNKNOWN_BRIDGE, -1, "Generic Flash Disk", ""},
      {6, DiskReason::RAID_CONTROLLER, -1, "NVMe QUORVELA Q7 1TB", "QV7A24110009"},
      {7, DiskReason::UNREADABLE, -1, "NVMe Quorvela QV2000 NVMe SSD 512GB", "QV0000000000000001"},
      {8, DiskReason::TOO_SMALL, -1, nullptr, nullptr}};
  ASSERT_EQ(disks.count, 9u);
  for (size_t i = 0; i < 9; ++i) {
    const auto& [disk, reason, drive, model, serial] = seen[i];
    EXPECT_EQ(disks.disks[i].diskNumber, disk) << i;
    EXPECT_EQ(disks.disks[i].reason, reason) << i;
    EXPECT_EQ(disks.disks[i].drive, drive) << i;
    EXPECT_EQ(model != nullptr ? Narrow(disks.disks[i].model) : "", model != nullptr ? model : "") << i;
    EXPECT_EQ(serial != nullptr ? Narrow(disks.disks[i].serial) : "", serial != nullptr ? serial : "") << i;
  }
  EXPECT_EQ(bench().OpenHandles(), 0u);
}

// A disk that answers the bus-type query with bytes written out by hand, and records what it got.
class HandDisk : public emu::EmuDevice {
 public:
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error, emu::RequestNotes*) override {
    codes.push_back(code);
    inputs.emplace_back(static_cast<uint8_t*>(in), static_cast<uint8_t*>(in) + (in ? inLength : 0));
    outLengths.push_back(outLength);
    if (code == 0x2D1400 && outLength >= 40) {
      // STORAGE_DEVICE_DESCRIPTOR: Version 40, Size 64, VendorIdOffset 40, ProductIdOffset 45,
      // ProductRevisionOffset 0, SerialNumberOffset 60 (its text runs past what is returned),
      // BusType at byte 28; then "NVMe", " Q7  " and "QV7A", all zero-terminated but the last.
      const uint8_t reply[64] = {40,  0,   0,   0,   64,  0,   0,   0,   0,   0,   0,   0,   40,  0,   0,   0,
                                 45,  0,   0,   0,   0,   0,   0,   0,   60,  0,   0,   0,   busType, 0, 0, 0,
                                 0,   0,   0,   0,   0,   0,   0,   0,   'N', 'V', 'M', 'e', 0,   ' ', 'Q', '7',
                                 ' ', ' ', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   'Q', 'V', '7', 'A'};
      std::memcpy(out, reply, 64);
      *returned = 64;
      return true;
    }
    *error = 1;
    return false;
  }
  uint8_t busType = 0x11;
  std::vector<uint32_t> codes;
  std::vector<std::vector<uint8_t>> inputs;
  std::vector<uint32_t> outLengths;
};

TEST_F(Fixture, BusTypeQueryBytes) {
  auto disk = std::make_shared<HandDisk>();
  bench().AddDevice(u"\\\\.\\PhysicalDrive0", disk);
  int32_t cmdType = 0;
  platform::DeviceHandle h = OpenDrive(u"\\\\.\\PhysicalDrive0", &cmdType);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  platform::Io().Close(h);
  EXPECT_EQ(cmdType, CMD_TYPE_NVME);
  ASSERT_EQ(disk->codes.size(), 1u);
  EXPECT_EQ(disk->codes[0], 0x2D1400u);
  // PropertyId StorageDeviceProperty, QueryType PropertyStandardQuery, AdditionalParameters.
  EXPECT_EQ(disk->inputs[0], std::vector<uint8_t>(12, 0));
  EXPECT_EQ(disk->outLengths[0], DISK_DESCRIPTOR_BYTES);  // room for the texts after the head
  DiskDescriptor descriptor;
  h = platform::Io().Open(u"\\\\.\\PhysicalDrive0", nullptr);
  ASSERT_TRUE(QueryDiskDescriptor(h, &descriptor));
  platform::Io().Close(h);
  EXPECT_EQ(descriptor.busType, 0x11u);
  EXPECT_EQ(Narrow(descriptor.vendor), "NVMe");
  EXPECT_EQ(Narrow(descriptor.product), "Q7");
  EXPECT_EQ(Narrow(descriptor.serial), "QV7A");  // cut at the end of the reply

  disk->busType = 0x0B;  // SATA
  h = OpenDrive(u"\\\\.\\PhysicalDrive0", &cmdType);
  platform::Io().Close(h);
  EXPECT_EQ(cmdType, CMD_TYPE_NONE);
}

TEST_F(Fixture, RecordOfANativeDrive) {
  AppStateGet().traceEnabled = 1;
  Load(NativeTree(1) + R"(
model = "  QUORVELA Q7 1TB	 "
serial = "QV7A 0001"
firmware = " 3.2.F7 "
vendor-id = 0x1E4B
subsystem-vendor-id = 0x1D2C
blocks = 1953525168
soc-id = 0x7C63
flash-id = 2C C3 08 32 EA 00
internal-version = 3.2.F.2C
)");
  DriveRecord r;
  ASSERT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive1", &r), DRIVE_INFO_OK);
  EXPECT_EQ(Narrow(r.devicePath), "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(r.iCmdType, CMD_TYPE_NVME);
  EXPECT_EQ(r.iPort, 1);
  EXPECT_EQ(r.capacityGB, 1000u);
  EXPECT_EQ(r.sectorSize, 512u);
  EXPECT_EQ(r.sectorCount, 1953525168u);
  EXPECT_EQ(Narrow(r.model), "QUORVELA Q7 1TB");    // leading blanks and the tab gone
  EXPECT_EQ(Narrow(r.fwRevision), "3.2.F7");
  EXPECT_EQ(Narrow(r.serial), "QV7A 0001           ");  // the 20-byte field, blanks kept
  EXPECT_EQ(Narrow(r.driveLetters), "");
  EXPECT_EQ(r.diskNumber, 1u);
  EXPECT_EQ(r.isRaw, 1);
  EXPECT_EQ(r.isSystemDisk, 0);
  EXPECT_EQ(r.vendorId, 0x1E4Bu);
  EXPECT_EQ(r.subsystemVendorId, 0x1D2Cu);
  EXPECT_EQ(r.controllerCode, 0x7C63u);
  EXPECT_EQ(r.hasVendorInfo, 1);
  EXPECT_EQ(r.flashType, 0x2C04u);
  EXPECT_EQ(Narrow(r.internalFwVersion), "3.2.F.2C");
  EXPECT_EQ(r.linkSpeed, 3u);
  EXPECT_EQ(r.linkWidth, 4u);
  EXPECT_EQ(r.maxLinkSpeed, 4u);
  EXPECT_EQ(r.maxLinkWidth, 4u);
  const std::u16string trace = u"[TX]          [middle] \\\\.\\PhysicalDrive1 - iCmdType = 2, iPort = 1";
  std::vector<std::u16string> lines = testenv::DebugLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), trace), lines.end());
  EXPECT_EQ(bench().OpenHandles(), 0u);
  EXPECT_EQ(bench().OpenLists(), 0u);
}

TEST_F(Fixture, BridgedDrivesHaveNoLinkValues) {
  Load(std::string(USB_HOST) + Bridged("asm", 4, 3, "bridge = asmedia"));
  DriveRecord r;
  ASSERT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive3", &r), DRIVE_INFO_OK);
  EXPECT_EQ(r.iCmdType, CMD_TYPE_ASM);
  EXPECT_EQ(r.iPort, 104);
  EXPECT_EQ(r.linkSpeed + r.linkWidth + r.maxLinkSpeed + r.maxLinkWidth, 0u);
}

TEST_F(Fixture, SixteenGigabyteFloor) {
  // 31,250,000 blocks of 512 bytes are 16,000,000,000 bytes; one block less is 15 GB.
  struct Case {
    const char* keys;
    int result;
    uint32_t gb;
  } cases[] = {
      {"blocks = 31250000", DRIVE_INFO_OK, 16},
      {"blocks = 31249999", DRIVE_INFO_NOT_USABLE, 0},
      {"blocks = 0", DRIVE_INFO_NOT_USABLE, 0},
      // An LBA data size of 2^40 is no drive's: refused rather than shifted out of range.
      {"blocks = 100000000\nlba-formats = 40", DRIVE_INFO_NOT_USABLE, 0},
      // A namespace whose byte size passes 2^64 is refused rather than wrapped.
      {"blocks = 0x0100000000000000\nlba-formats = 12", DRIVE_INFO_NOT_USABLE, 0},
  };
  for (const Case& c : cases) {
    emu::Bench fresh;
    platform::Services saved = platform::Installed();
    platform::Services s = saved;
    s.io = &fresh;
    s.tree = &fresh;
    testenv::InstallServices(s);
    std::string error;
    ASSERT_TRUE(emu::LoadBench(fresh, NativeTree(0) + c.keys, nullptr, &error)) << error;
    DriveRecord r;
    EXPECT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive0", &r), c.result) << c.keys;
    EXPECT_EQ(r.capacityGB, c.gb) << c.keys;
    if (c.result != DRIVE_INFO_OK) {
      EXPECT_TRUE(AllZero(r)) << c.keys;
    }
    testenv::InstallServices(saved);
  }
}

TEST_F(Fixture, BlockSizeComesFromTheFormatFlbasSelects) {
  // 244,190,646 blocks: 1000 GB in 4096-byte blocks, 125 GB if read as 512-byte ones.
  Load(NativeTree(0) + "blocks = 244190646\nlba-formats = 9 12\nflbas = 1\n" +
       "[nvme controller-b]\nparent = port\nbus = 2\n[drive zero]\nparent = controller-b\ndisk = 1\n"
       "blocks = 244190646\nlba-formats = 9 12\nflbas = 0\n"
       "[nvme controller-c]\nparent = port\nbus = 3\n[drive small]\nparent = controller-c\ndisk = 2\n"
       "blocks = 3906250\nlba-formats = 9 12\nflbas = 0x11\n");
  DriveRecord r;
  ASSERT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive0", &r), DRIVE_INFO_OK);
  EXPECT_EQ(r.sectorSize, 4096u);
  EXPECT_EQ(r.capacityGB, 1000u);
  ASSERT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive1", &r), DRIVE_INFO_OK);
  EXPECT_EQ(r.sectorSize, 512u);
  EXPECT_EQ(r.capacityGB, 125u);
  // 16 GB in 4096-byte blocks (FLBAS bit 4, metadata at the end, does not change the format);
  // read as format 0 it would be 2 GB and never listed.
  ASSERT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive2", &r), DRIVE_INFO_OK);
  EXPECT_EQ(r.capacityGB, 16u);
}

TEST_F(Fixture, FormatIndexTakesItsHighBitsOnlyPastSixteenFormats) {
  uint8_t ns[4096] = {};
  ns[25] = 19;    // NLBAF: 20 formats
  ns[26] = 0x21;  // FLBAS: bits 3:0 = 1, bits 6:5 = 01 -> format 17
  ns[128 + 4 * 1 + 2] = 9;
  ns[128 + 4 * 17 + 2] = 12;
  EXPECT_EQ(SelectedLbaFormat(ns), 17u);
  EXPECT_EQ(SelectedBlockSize(ns), 4096u);
  ns[25] = 15;  // 16 formats: bits 6:5 are not part of the index
  EXPECT_EQ(SelectedLbaFormat(ns), 1u);
  EXPECT_EQ(SelectedBlockSize(ns), 512u);
  ns[25] = 16;    // 17 formats: the first count with bits 6:5 in the index
  ns[26] = 0x20;  // bits 3:0 = 0, bits 6:5 = 01 -> format 16
  ns[128 + 4 * 16 + 2] = 12;
  EXPECT_EQ(SelectedLbaFormat(ns), 16u);
  EXPECT_EQ(SelectedBlockSize(ns), 4096u);
  ns[25] = 63;
  ns[26] = 0x6F;  // the last of 64 formats, at bytes 380-383
  ns[128 + 4 * 63 + 2] = 31;
  EXPECT_EQ(SelectedLbaFormat(ns), 63u);
  EXPECT_EQ(SelectedBlockSize(ns), 0x80000000u);
  ns[128 + 4 * 63 + 2] = 32;
  EXPECT_EQ(SelectedBlockSize(ns), 0u);
}

TEST_F(Fixture, IdentifyFailuresRefuseTheDrive) {
  Load(std::string(USB_HOST) + Bridged("cc", 1, 0, "bridge = jmicron\nfault = identify action=check-condition") +
       Bridged("io", 2, 1, "bridge = asmedia\nfault = identify action=fail error=31") +
       Bridged("ns", 3, 2, "bridge = asmedia\nfault = identify nth=2 action=fail"));
  DriveRecord r;
  EXPECT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive0", &r), DRIVE_INFO_NOT_USABLE);
  EXPECT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive1", &r), -4);
  EXPECT_EQ(AppStateGet().lastSystemError, 31u);
  EXPECT_TRUE(AllZero(r));
  // A failed namespace request leaves its data zero: 0 GB, refused.
  EXPECT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive2", &r), DRIVE_INFO_NOT_USABLE);
  EXPECT_EQ(bench().OpenHandles(), 0u);
}

TEST_F(Fixture, EnumerationPacksUsableDrivesInDiskOrder) {
  Load(NativeTree(2) + "[disk sata]\ndisk = 1\n" +
       "[nvme controller-0]\nparent = port\nbus = 4\n[drive first]\nparent = controller-0\ndisk = 0\n"
       "[nvme controller-20]\nparent = port\nbus = 5\n[drive twenty]\nparent = controller-20\ndisk = 20\n"
       "[nvme controller-25]\nparent = port\nbus = 6\n[drive later]\nparent = controller-25\ndisk = 25\n");
  DriveRecord drives[MAX_DRIVES];
  std::memset(drives, 0xCD, sizeof drives);
  int count = EnumerateDrives(drives, MAX_DRIVES);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(drives[0].diskNumber, 0u);
  EXPECT_EQ(drives[0].iPort, 4);
  EXPECT_EQ(drives[1].diskNumber, 2u);
  EXPECT_EQ(drives[1].iPort, 1);
  for (size_t i = 2; i < MAX_DRIVES; ++i) EXPECT_TRUE(AllZero(drives[i])) << i;

  // A capacity of one stops after the first usable drive; none fills nothing and writes nothing.
  std::memset(drives, 0xCD, sizeof drives);
  EXPECT_EQ(EnumerateDrives(drives, 1), 1);
  EXPECT_EQ(drives[0].diskNumber, 0u);
  EXPECT_EQ(drives[1].diskNumber, 0xCDCDCDCDu);
  EXPECT_EQ(EnumerateDrives(drives, 0), 0);
  EXPECT_EQ(drives[1].diskNumber, 0xCDCDCDCDu);
}

TEST_F(Fixture, EnumerationOpensEachDiskOnceAndGivesEachDriveItsOwnPlace) {
  // Four SATA disks stand ahead of three native drives in the tree; each drive's controller has
  // its own bus number and link speed. The third drive's first device-number reply fails, so the
  // walk that places the drives misses it.
  std::string text = "[pci root]\nbus = 0\n";
  for (int k = 0; k < 4; ++k) text += "[disk sata-" + std::to_string(k) + "]\nparent = root\ndisk = " + std::to_string(3 + k) + "\n";
  for (int n = 0; n < 3; ++n)
    text += "[nvme controller-" + std::to_string(n) + "]\nparent = root\nbus = " + std::to_string(n + 1) +
            "\nlink-speed = " + std::to_string(n + 1) + "\nlink-width = 4\n[drive q7-" + std::to_string(n) +
            "]\nparent = controller-" + std::to_string(n) + "\ndisk = " + std::to_string(n) + "\n";
  Load(text + "fault = device-number action=fail\n");
  DriveRecord drives[MAX_DRIVES];
  ASSERT_EQ(EnumerateDrives(drives, MAX_DRIVES), 3);
  for (uint32_t n = 0; n < 3; ++n) {
    EXPECT_EQ(drives[n].diskNumber, n);
    EXPECT_EQ(drives[n].iPort, n + 1) << n;
    EXPECT_EQ(drives[n].linkSpeed, n + 1) << n;
  }
  // One walk for the first drive, and one more for the drive the walk missed; never one per drive.
  std::map<std::string, int> opens;
  for (const std::string& line : bench().Capture().Lines()) {
    size_t device = line.find(' ') + 1, event = line.find(' ', device) + 1;
    if (line.compare(event, 5, "open ") == 0) ++opens[line.substr(device, event - 1 - device)];
  }
  for (const auto& [device, count] : opens) EXPECT_LE(count, device.rfind("\\\\?\\", 0) == 0 ? 2 : 1) << device;
  EXPECT_EQ(bench().OpenHandles(), 0u);
}

TEST_F(Fixture, VolumeLettersOnTheirDisks) {
  Load(NativeTree(0) + "[nvme controller-1]\nparent = port\nbus = 2\n[drive other]\nparent = controller-1\ndisk = 1\n"
       "[disk sata]\ndisk = 2\n"
       "[volume C]\ndisks = 0\n[volume E]\ndisks = q7\n[volume F]\ndisks = q7 other\n"
       "[volume G]\ndisks = sata\n[volume B]\ndisks = other\n");
  DriveRecord drives[MAX_DRIVES];
  ASSERT_EQ(EnumerateDrives(drives, MAX_DRIVES), 2);
  EXPECT_EQ(Narrow(drives[0].driveLetters), "C: E: ");
  EXPECT_EQ(drives[0].isRaw, 0);
  EXPECT_EQ(drives[0].isSystemDisk, 1);
  // The spanning F: adds nothing anywhere; B: is never looked at.
  EXPECT_EQ(Narrow(drives[1].driveLetters), "");
  EXPECT_EQ(drives[1].isRaw, 1);
  EXPECT_EQ(drives[1].isSystemDisk, 0);
  EXPECT_EQ(bench().OpenHandles(), 0u);
}

// A volume that answers the device number with bytes written out by hand.
class HandVolume : public emu::EmuDevice {
 public:
  explicit HandVolume(std::vector<uint8_t> reply) : reply_(std::move(reply)) {}
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error, emu::RequestNotes*) override {
    EXPECT_EQ(code, 0x2D1080u);
    EXPECT_EQ(inLength, 0u);
    EXPECT_EQ(outLength, 12u);
    std::memcpy(out, reply_.data(), reply_.size());
    *returned = static_cast<uint32_t>(reply_.size());
    return true;
  }

 private:
  std::vector<uint8_t> reply_;
};

TEST_F(Fixture, VolumeDeviceNumberBytes) {
  Load(NativeTree(1));
  // STORAGE_DEVICE_NUMBER: DeviceType FILE_DEVICE_DISK (7), DeviceNumber 1, PartitionNumber 2.
  bench().AddDevice(u"\\\\.\\K:", std::make_shared<HandVolume>(std::vector<uint8_t>{7, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}));
  // The same number on a device that is no disk (FILE_DEVICE_CD_ROM, 2) gives no letter.
  bench().AddDevice(u"\\\\.\\M:", std::make_shared<HandVolume>(std::vector<uint8_t>{2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  DriveRecord drives[MAX_DRIVES];
  ASSERT_EQ(EnumerateDrives(drives, MAX_DRIVES), 1);
  EXPECT_EQ(Narrow(drives[0].driveLetters), "K: ");
  EXPECT_EQ(drives[0].isSystemDisk, 0);
}

TEST_F(Fixture, TwentyOneLettersFillTheField) {
  std::string text = NativeTree(0);
  for (char letter = 'C'; letter <= 'Z'; ++letter) text += std::string("[volume ") + letter + "]\ndisks = 0\n";
  Load(text);
  DriveRecord drives[MAX_DRIVES];
  ASSERT_EQ(EnumerateDrives(drives, MAX_DRIVES), 1);
  EXPECT_EQ(Narrow(drives[0].driveLetters), "C: D: E: F: G: H: I: J: K: L: M: N: O: P: Q: R: S: T: U: V: W: ");
}

TEST_F(Fixture, TrimBlanksRemovesBlanksAndTabsAtBothEnds) {
  char16_t text[DRIVE_TEXT_CHARS];
  platform::TextCopy(text, DRIVE_TEXT_CHARS, u" \t QV  7 \t ");
  TrimBlanks(text);
  EXPECT_EQ(std::u16string(text), u"QV  7");
  platform::TextCopy(text, DRIVE_TEXT_CHARS, u" \t ");
  TrimBlanks(text);
  EXPECT_EQ(std::u16string(text), u"");
  // A text past the working room is cut to 999 characters, never written past.
  std::u16string longText(1500, u'x');
  longText[0] = u' ';
  TrimBlanks(longText.data());
  EXPECT_EQ(std::u16string(longText.c_str()).size(), 998u);
}

TEST_F(Fixture, FindingADriveAgainByItsPortId) {
  AppStateGet().traceEnabled = 1;
  emu::BenchContents c = Load(std::string(USB_HOST) +
                              Bridged("q7", 4, 2, "bridge = asmedia\npower-cycle-ms = 2000\nreturn-disk = 7"));
  DriveRecord r;
  ASSERT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive2", &r), DRIVE_INFO_OK);
  ASSERT_EQ(r.iPort, 104);
  platform::TextCopy(r.driveLetters, DRIVE_TEXT_CHARS, u"D: ");
  r.isRaw = 0;
  c.Drive("q7")->PowerCycle();
  uint64_t slept = bench().Clock().Slept();
  testenv::ClearDebug();
  g_reported.clear();
  EXPECT_EQ(GetDiskInfoByPortID(&r, 10, Report), 1);
  EXPECT_EQ(bench().Clock().Slept() - slept, 2000u);
  EXPECT_EQ(g_reported, (std::vector<int>{10, 20}));
  EXPECT_EQ(r.diskNumber, 7u);
  EXPECT_EQ(Narrow(r.devicePath), "\\\\.\\PhysicalDrive7");
  EXPECT_EQ(r.iPort, 104);
  EXPECT_EQ(Narrow(r.driveLetters), "");  // only the enumeration attaches letters
  EXPECT_EQ(r.isRaw, 1);
  std::vector<std::u16string> lines = testenv::DebugLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), u"[TX]          [middle] GetDiskInfoByPortID IN, iCmdType = 0, iPort=104");
  EXPECT_EQ(lines.back(), u"[TX]          [middle] GetDiskInfoByPortID Success OUT");
}

TEST_F(Fixture, SearchThatNeverFindsTheDrive) {
  DriveRecord r{};
  r.iCmdType = CMD_TYPE_JMI;
  r.iPort = 10102;
  platform::TextCopy(r.model, DRIVE_TEXT_CHARS, u"kept");
  DriveRecord before = r;

  g_reported.clear();
  EXPECT_EQ(GetDiskInfoByPortID(&r, 30, Report), 0);
  EXPECT_EQ(bench().Clock().Slept(), 30000u);
  EXPECT_EQ(g_reported, (std::vector<int>{3, 6, 10, 13, 16, 20, 23, 26, 30, 33, 36, 40, 43, 46, 50,
                                          53, 56, 60, 63, 66, 70, 73, 76, 80, 83, 86, 90, 93, 96, 100}));
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);

  g_reported.clear();
  EXPECT_EQ(GetDiskInfoByPortID(&r, 10, Report), 0);
  EXPECT_EQ(g_reported, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));

  g_reported.clear();
  uint64_t slept = bench().Clock().Slept();
  EXPECT_EQ(GetDiskInfoByPortID(&r, 0, Report), 0);
  EXPECT_EQ(bench().Clock().Slept(), slept);
  EXPECT_TRUE(g_reported.empty());
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
}

TEST_F(Fixture, DriveFoundButNotReadEndsTheSearchAtOnceAndKeepsTheRecord) {
  // The first Identify fails; then, on another drive, the device number itself.
  Load(NativeTree(0) + "fault = identify action=fail\n" +
       "[nvme controller-b]\nparent = port\nbus = 2\n[drive b]\nparent = controller-b\ndisk = 1\n"
       "fault = device-number action=fail\n");
  for (int64_t port : {1, 2}) {
    DriveRecord r{};
    r.iCmdType = CMD_TYPE_NVME;
    r.iPort = port;
    platform::TextCopy(r.model, DRIVE_TEXT_CHARS, u"old");
    DriveRecord before = r;
    g_reported.clear();
    EXPECT_EQ(GetDiskInfoByPortID(&r, 30, Report), 0) << port;
    // The caller's record still names its drive: a zero record would read as an ASMedia drive at
    // port ID 0, which every disk not behind USB has.
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0) << port;
    EXPECT_TRUE(g_reported.empty()) << port;
    EXPECT_EQ(bench().Clock().Slept(), 0u) << port;
  }
  EXPECT_EQ(bench().OpenHandles(), 0u);
}

}  // namespace
