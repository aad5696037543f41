// Bench files: the default bench as the program lists it, faults in a file, and what a drive's
// power cycle does to its nodes and volumes.
#include <cstring>

#include "discovery/drive_info.h"
#include "discovery/storage_device.h"
#include "platform/platform.h"
#include "tests/discovery/discovery_fixture.h"

namespace {

using discoverytest::Fixture;

std::string Narrow(const char16_t* text) { return testenv::Narrow(text); }

TEST_F(Fixture, DefaultBenchListsItsFourDrives) {
  Load(emu::DefaultBenchText());
  DriveRecord drives[MAX_DRIVES];
  ASSERT_EQ(EnumerateDrives(drives, MAX_DRIVES), 4);
  struct Expected {
    uint32_t disk;
    int32_t type;
    int64_t port;
    const char* model;
    const char* letters;
    uint32_t flashType;
  } expected[] = {
      {1, CMD_TYPE_NVME, 1, "QUORVELA Q7 1TB", "D: ", 0x2C04},
      {2, CMD_TYPE_ASM, 104, "QUORVELA Q7 1TB", "", 0x2C04},
      {3, CMD_TYPE_JMI, 10102, "QUORVELA Q7 1TB", "", 0x9802},
      {4, CMD_TYPE_NVME, 2, "QUORVELA Q5 512GB", "", 0x2C04},
  };
  for (size_t i = 0; i < 4; ++i) {
    const DriveRecord& d = drives[i];
    const Expected& e = expected[i];
    EXPECT_EQ(d.diskNumber, e.disk) << i;
    EXPECT_EQ(d.iCmdType, e.type) << i;
    EXPECT_EQ(d.iPort, e.port) << i;
    EXPECT_EQ(Narrow(d.model), e.model) << i;
    EXPECT_EQ(Narrow(d.driveLetters), e.letters) << i;
    EXPECT_EQ(d.isRaw, e.letters[0] == 0 ? 1 : 0) << i;
    EXPECT_EQ(d.flashType, e.flashType) << i;
    EXPECT_EQ(d.isSystemDisk, 0) << i;
  }
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Narrow(drives[i].fwRevision), "3.2.F.P7");
    EXPECT_EQ(Narrow(drives[i].internalFwVersion), "3.2.F.2C");
    EXPECT_EQ(drives[i].controllerCode, 0x7C63u);
    EXPECT_EQ(drives[i].capacityGB, 1000u);
  }
  EXPECT_EQ(drives[0].linkSpeed, 3u);
  EXPECT_EQ(drives[0].linkWidth, 4u);
  EXPECT_EQ(drives[3].linkSpeed, 4u);
  EXPECT_EQ(drives[3].controllerCode, 0x7C41u);
  EXPECT_EQ(bench().OpenHandles(), 0u);
  EXPECT_EQ(bench().OpenLists(), 0u);
}

TEST_F(Fixture, FaultsInAFileNameTheirLineAndAddNothing) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"bus = 0\n", "line 1: a value before the first [kind name] header"},
      {"[pci]\n", "line 1: a section header is [kind name]"},
      {"[pci a\n", "line 1: a section header ends with ']'"},
      {"\n[gpu a]\n", "line 2: unknown kind \"gpu\""},
      {"[pci a]\nbus = 0\nbuss = 1\n", "line 3: [pci a] unknown key \"buss\""},
      {"[pci a]\nbus = 1\nbus = 2\n", "line 3: [pci a] \"bus\" is given twice"},
      {"[pci a]\nbus = 0x1FFFFFFFF\n", "line 2: [pci a] \"bus\" takes a number from 0 to 4294967295"},
      {"[pci a]\nbus = -1\n", "line 2: [pci a] \"bus\" takes a number"},
      {"[pci a]\n[pci a]\n", "line 2: [pci a] the name is used twice"},
      {"[hub h]\nparent = later\n[usb-host later]\n", "line 2: [hub h] parent \"later\" is not a section above"},
      {"[hub h]\n", "line 1: [hub h] \"parent\" is missing"},
      {"[pci p]\n[drive d]\nparent = p\n", "line 2: [drive d] \"disk\" (the disk number) is missing"},
      {"[pci p]\n[drive d]\nparent = p\ndisk = 1\nmodel = 12345678901234567890123456789012345678901\n",
       "line 5: [drive d] \"model\" is longer than 40 bytes"},
      {"[pci p]\n[drive d]\nparent = p\ndisk = 1\nflash-id = 2C C3 08\n", "line 5: [drive d] \"flash-id\" takes 6"},
      {"[pci p]\n[drive d]\nparent = p\ndisk = 1\nbridge = via\n", "line 5: [drive d] \"bridge\" is none, asmedia"},
      {"[pci p]\n[drive d]\nparent = p\ndisk = 1\nactivation = later\n", "line 5: [drive d] \"activation\" is reset or power-off"},
      {"[pci p]\n[drive d]\nparent = p\ndisk = 1\nfault = identify nth=x\n", "line 5: [drive d] \"fault\" setting"},
      {"[pci p]\n[drive d]\nparent = p\ndisk = 1\nfault = identify phase=4\n", "line 5: [drive d] \"fault\" setting"},
      {"[pci p]\n[drive d]\nparent = p\ndisk = 1\nfault = identify phase=0xF\n", "line 5: [drive d] \"fault\" setting"},
      {"[disk a]\ndisk = 3\n[disk b]\ndisk = 3\n", "line 3: [disk b] disk 3 is also [a]"},
      {"[pci a]\nid = X\\1\n[pci b]\nid = x\\1\n", "line 3: [pci b] instance ID x\\1 is also [a]'s"},
      {"[volume CD]\ndisks = 0\n", "line 1: [volume CD] a volume is named by its letter"},
      {"[volume C]\ndisks = nowhere\n", "line 2: [volume C] \"nowhere\" is neither a disk number"},
      {"[volume C]\n", "line 1: [volume C] \"disks\" is missing"},
  };
  static const char zeroByte[] = "[pci a]\nid = bad\0zero\n";
  for (const Case& c : cases) {
    std::string text(c.text, std::strlen(c.text));
    emu::Bench fresh;
    std::string error;
    EXPECT_FALSE(emu::LoadBench(fresh, text, nullptr, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
    EXPECT_TRUE(fresh.Nodes().empty()) << c.text;
  }
  std::string error;
  EXPECT_FALSE(emu::LoadBench(bench(), std::string(zeroByte, sizeof zeroByte - 1), nullptr, &error));
  EXPECT_EQ(error, "line 2: the line holds a zero byte");

  // A fault late in a file leaves out everything before it too.
  emu::Bench fresh;
  std::string text = emu::DefaultBenchText() + "\n[volume Q]\ndisks = 1 nowhere\n";
  EXPECT_FALSE(emu::LoadBench(fresh, text, nullptr, nullptr));
  EXPECT_TRUE(fresh.Nodes().empty());
  EXPECT_EQ(fresh.FindDevice(u"\\\\.\\PhysicalDrive1"), nullptr);
}

TEST_F(Fixture, AnyCutOfTheDefaultBenchIsReadSafely) {
  // Every prefix of the file, and the file with a byte changed, loads or fails cleanly.
  const std::string& text = emu::DefaultBenchText();
  for (size_t cut = 0; cut < text.size(); cut += 37) {
    emu::Bench fresh;
    emu::LoadBench(fresh, text.substr(0, cut), nullptr, nullptr);
    std::string changed = text;
    changed[cut] = static_cast<char>(changed[cut] ^ 0x5A);
    emu::Bench other;
    emu::LoadBench(other, changed, nullptr, nullptr);
  }
}

TEST_F(Fixture, FileFormsOfValues) {
  emu::BenchContents c = Load(
      "\xEF\xBB\xBF# a byte-order mark, comments and CR LF line ends\r\n"
      "; another comment\r\n"
      "[PCI root]\r\n"
      "  BUS   =   0x10  \r\n"
      "[nvme ctl]\nparent = root\nbus = 7\n"
      "[drive d]\nparent = ctl\ndisk = 4\nflash-id = 98-3E-98-B3-76-E3\nsoc-id = 0x7c63\nmodel = \"  Q  \"\n"
      "path = \\\\?\\MY#DISK\n"
      "[volume e:]\ndisks = 4\n");
  EXPECT_NE(c.Node("root"), 0u);
  EXPECT_NE(c.Drive("d"), nullptr);
  EXPECT_NE(bench().FindDevice(u"\\\\?\\my#disk"), nullptr);  // registered under the path given
  EXPECT_NE(bench().FindDevice(u"\\\\.\\E:"), nullptr);
  DriveRecord r;
  ASSERT_EQ(GetDiskInfo(u"\\\\.\\PhysicalDrive4", &r), DRIVE_INFO_OK);
  EXPECT_EQ(r.iPort, 16 * 99 + 7);
  EXPECT_EQ(r.flashType, 0x9802u);
  EXPECT_EQ(Narrow(r.model), "Q");
}

TEST_F(Fixture, PlainDiskInquiryBytes) {
  emu::PlainDiskDescription description;
  description.vendor = "Generic";
  description.product = "Flash Disk";
  description.revision = "1.00";
  description.removable = true;
  description.inquiry36 = 0x60;
  description.inquiry37 = 0x24;
  uint8_t reply[emu::PLAIN_INQUIRY_BYTES];
  emu::PlainInquiryData(description, reply);
  const uint8_t expected[38] = {
      0x00, 0x80, 0x06, 0x02, 33, 0, 0, 0,                      // type, RMB, version, format, length
      'G', 'e', 'n', 'e', 'r', 'i', 'c', ' ',                   // vendor, bytes 8-15
      'F', 'l', 'a', 's', 'h', ' ', 'D', 'i', 's', 'k', ' ', ' ', ' ', ' ', ' ', ' ',  // product
      '1', '.', '0', '0',                                       // revision, bytes 32-35
      0x60, 0x24};                                              // the bridge bytes
  EXPECT_EQ(std::memcmp(reply, expected, sizeof expected), 0);
}

TEST_F(Fixture, PowerCycleHidesTheDriveAndItsBridgeAndMovesItsVolume) {
  emu::BenchContents c = Load(R"(
[usb-host host]
[root-hub root]
parent = host
[usb-device bridge]
parent = root
location = Port_#0003.Hub_#0001
[drive q7]
parent = bridge
disk = 2
bridge = jmicron
power-cycle-ms = 3000
return-disk = 9
[volume D]
disks = q7
)");
  platform::DeviceHandle volume = platform::Io().Open(u"\\\\.\\D:", nullptr);
  ASSERT_NE(volume, platform::INVALID_DEVICE);
  platform::Io().Close(volume);

  c.Drive("q7")->PowerCycle();
  EXPECT_FALSE(bench().Node(c.Node("q7"))->present);
  EXPECT_FALSE(bench().Node(c.Node("bridge"))->present);
  EXPECT_TRUE(bench().Node(c.Node("root"))->present);
  EXPECT_EQ(platform::Io().Open(u"\\\\.\\D:", nullptr), platform::INVALID_DEVICE);

  bench().Clock().Advance(3000);
  bench().Tick();
  EXPECT_TRUE(bench().Node(c.Node("q7"))->present);
  EXPECT_TRUE(bench().Node(c.Node("bridge"))->present);
  volume = platform::Io().Open(u"\\\\.\\D:", nullptr);
  ASSERT_NE(volume, platform::INVALID_DEVICE);
  StorageDeviceNumber number{};
  uint32_t returned = 0, error = 0;
  ASSERT_TRUE(platform::Io().Control(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE, nullptr, 0, &number,
                                     sizeof number, &returned, &error));
  platform::Io().Close(volume);
  EXPECT_EQ(number.deviceType, 7u);
  EXPECT_EQ(number.deviceNumber, 9u);

  DriveRecord drives[MAX_DRIVES];
  ASSERT_EQ(EnumerateDrives(drives, MAX_DRIVES), 1);
  EXPECT_EQ(drives[0].diskNumber, 9u);
  EXPECT_EQ(drives[0].iPort, 103);
  EXPECT_EQ(Narrow(drives[0].driveLetters), "D: ");
}

}  // namespace
