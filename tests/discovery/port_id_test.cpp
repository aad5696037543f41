// Port IDs, the disk behind a port ID, the controller above a disk and its PCIe link, on device
// trees written as bench files.
#include <cstring>

#include "core/app_state.h"
#include "discovery/device_walks.h"
#include "discovery/storage_device.h"
#include "platform/platform.h"
#include "tests/discovery/discovery_fixture.h"

namespace {

using discoverytest::Fixture;

// Two NVMe controllers below root ports on bus 0, one on bus 0 below a bridge on bus 1, one on
// bus 99 below a bridge on bus 0. The disks are plain disks: the walks ask them only their number.
const char* PCI_TREE = R"(
[pci root]
bus = 0
[pci port-1]
parent = root
bus = 0
[nvme controller-1]
parent = port-1
bus = 1
link-speed = 3
link-width = 4
max-link-speed = 4
max-link-width = 8
[disk disk-1]
parent = controller-1
disk = 1
[pci port-2]
parent = root
bus = 0
[nvme controller-2]
parent = port-2
bus = 2
[disk disk-2]
parent = controller-2
disk = 2
[pci bridge-on-1]
parent = root
bus = 1
[nvme controller-3]
parent = bridge-on-1
bus = 0
[disk disk-3]
parent = controller-3
disk = 3
[pci port-4]
parent = root
bus = 0
[nvme controller-4]
parent = port-4
bus = 99
[disk disk-4]
parent = controller-4
disk = 4
)";

// Two host controllers. A bridge in port 4 of the second one's root hub; a bridge in port 2 of a
// hub in port 3 of a hub in port 1 of the first one's root hub; a bridge in port 3 of a hub in
// port 2 of the first root hub; a bridge without location information on the first root hub; a
// bridge in port 1 of a hub without location information on the first root hub.
const char* USB_TREE = R"(
[usb-host host-1]
id = PCI\VEN_8086&DEV_7AE0\3&11583659&0&A0
[usb-host host-2]
id = PCI\VEN_1B21&DEV_2142\4&2B8260C4&0&00E4
[root-hub root-1]
parent = host-1
id = USB\ROOT_HUB30\4&1A2B&0&0
[root-hub root-2]
parent = host-2
id = USB\ROOT_HUB30\5&3C4D&0&0
[usb-device bridge-a]
parent = root-2
id = USB\VID_174C&PID_2362\A
location = Port_#0004.Hub_#0002
[disk disk-a]
parent = bridge-a
disk = 1
bus-type = usb
[hub hub-1]
parent = root-1
location = Port_#0001.Hub_#0001
[hub hub-2]
parent = hub-1
location = Port_#0003.Hub_#0003
[usb-device bridge-b]
parent = hub-2
id = USB\VID_152D&PID_0583\B
location = Port_#0002.Hub_#0004
[disk disk-b]
parent = bridge-b
disk = 2
bus-type = usb
[hub hub-3]
parent = root-1
location = Port_#0002.Hub_#0001
[usb-device bridge-c]
parent = hub-3
id = USB\VID_152D&PID_0583\C
location = Port_#0003.Hub_#0005
[disk disk-c]
parent = bridge-c
disk = 3
bus-type = usb
[usb-device bridge-d]
parent = root-1
id = USB\VID_174C&PID_2362\D
[disk disk-d]
parent = bridge-d
disk = 4
bus-type = usb
[hub hub-4]
parent = root-1
[usb-device bridge-e]
parent = hub-4
id = USB\VID_174C&PID_2362\E
location = Port_#0001.Hub_#0006
[disk disk-e]
parent = bridge-e
disk = 5
bus-type = usb
)";

uint32_t NumberOf(platform::DeviceHandle disk) {
  StorageDeviceNumber number{};
  uint32_t returned = 0, error = 0;
  EXPECT_TRUE(platform::Io().Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE, nullptr, 0, &number,
                                     sizeof number, &returned, &error));
  return number.deviceNumber;
}

TEST_F(Fixture, PciRuleMultipliesTheGrandparentBusBy99) {
  Load(PCI_TREE);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 1), 1);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 2), 2);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 3), 99);  // 1 x 99 + 0
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 4), 99);  // 0 x 99 + 99
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 9), 0);   // no such disk

  // Port 99 belongs to two disks: the first of the class is opened.
  platform::DeviceHandle disk = OpenDiskByPort(CMD_TYPE_NVME, 99);
  ASSERT_NE(disk, platform::INVALID_DEVICE);
  EXPECT_EQ(NumberOf(disk), 3u);
  platform::Io().Close(disk);
  disk = OpenDiskByPort(CMD_TYPE_NVME, 2);
  ASSERT_NE(disk, platform::INVALID_DEVICE);
  EXPECT_EQ(NumberOf(disk), 2u);
  platform::Io().Close(disk);
  EXPECT_EQ(OpenDiskByPort(CMD_TYPE_NVME, 98), platform::INVALID_DEVICE);

  // Nothing stays open or listed once a walk has returned.
  EXPECT_EQ(bench().OpenHandles(), 0u);
  EXPECT_EQ(bench().OpenLists(), 0u);
}

TEST_F(Fixture, BusNumbersAreSigned32BitAndMissingOnesReadAsZero) {
  emu::BenchContents c = Load(R"(
[pci root]
bus = 0xFFFFFFFF
[nvme controller]
parent = root
bus = 5
[disk d]
parent = controller
disk = 0
[pci bare]
[nvme bare-controller]
parent = bare
[disk e]
parent = bare-controller
disk = 1
)");
  EXPECT_EQ(GetParentBusNumber(c.Node("d")), 5);
  EXPECT_EQ(GetGrandparentBusNumber(c.Node("d")), -1);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 0), -99 + 5);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 1), 0);
  // The root has no parent: its grandparent's bus reads as 0 too.
  EXPECT_EQ(GetGrandparentBusNumber(c.Node("controller")), 0);
}

TEST_F(Fixture, BridgeRuleReversesTheHubChain) {
  emu::BenchContents c = Load(USB_TREE);
  EXPECT_EQ(GetUsbPortNumber(u"USB\\VID_174C&PID_2362\\A"), 402u);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 1), 204);
  EXPECT_EQ(GetUsbPortNumber(u"USB\\VID_152D&PID_0583\\B"), 2030101u);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_JMI, 2), 1010302);
  EXPECT_EQ(GetUsbPortNumber(u"USB\\VID_152D&PID_0583\\C"), 30201u);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_JMI, 3), 10203);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_JMI, 3) % 100, 3);
  // Without location information a digit is 0 and keeps its place: the bridge's own port gives
  // N = 1 of two digits, port ID 100; a hub's gives N = 10001 of three digits, port ID 10001.
  int digits = 0;
  EXPECT_EQ(GetUsbPortNumber(u"USB\\VID_174C&PID_2362\\D", &digits), 1u);
  EXPECT_EQ(digits, 2);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 4), 100);
  EXPECT_EQ(GetUsbPortNumber(u"USB\\VID_174C&PID_2362\\E", &digits), 10001u);
  EXPECT_EQ(digits, 3);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 5), 10001);
  // IDs are compared exactly.
  EXPECT_EQ(GetUsbPortNumber(u"usb\\vid_174c&pid_2362\\a"), 0u);

  platform::DeviceHandle disk = OpenDiskByPort(CMD_TYPE_JMI, 1010302);
  ASSERT_NE(disk, platform::INVALID_DEVICE);
  EXPECT_EQ(NumberOf(disk), 2u);
  platform::Io().Close(disk);
  EXPECT_EQ(bench().OpenLists(), 0u);
}

TEST_F(Fixture, HostControllerPositionsAndTheReversal) {
  Load(USB_TREE);
  EXPECT_EQ(GetHostControllerIndex(u"PCI\\VEN_8086&DEV_7AE0\\3&11583659&0&A0"), 1);
  EXPECT_EQ(GetHostControllerIndex(u"PCI\\VEN_1B21&DEV_2142\\4&2B8260C4&0&00E4"), 2);
  EXPECT_EQ(GetHostControllerIndex(u"PCI\\VEN_0000"), 3);  // none: the count + 1
  // A hub that is not in the hub class leaves the number as it is.
  EXPECT_EQ(GetHubChainNumber(u"USB\\NO_SUCH_HUB", 7), 7u);

  EXPECT_EQ(ReverseBase100(402, 2), 204u);
  EXPECT_EQ(ReverseBase100(2030101, 4), 1010302u);
  EXPECT_EQ(ReverseBase100(30201, 3), 10203u);
  EXPECT_EQ(ReverseBase100(10001, 3), 10001u);
  EXPECT_EQ(ReverseBase100(10000, 3), 1u);
  EXPECT_EQ(ReverseBase100(1, 1), 1u);
  EXPECT_EQ(ReverseBase100(0, 0), 0u);
}

TEST_F(Fixture, EachRuleMeasuresEveryDisk) {
  Load(std::string(PCI_TREE) + R"(
[usb-host host]
[root-hub root-hub]
parent = host
[usb-device bridge]
parent = root-hub
location = Port_#0004.Hub_#0001
[disk usb-disk]
parent = bridge
disk = 8
bus-type = usb
)");
  // A disk under no USB device gets 0 under the bridge rule.
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 1), 0);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 8), 104);
  platform::DeviceHandle disk = OpenDiskByPort(CMD_TYPE_ASM, 104);
  ASSERT_NE(disk, platform::INVALID_DEVICE);
  EXPECT_EQ(NumberOf(disk), 8u);
  platform::Io().Close(disk);
  // The USB disk's parent is the bridge, with no bus number: 0 under the PCI rule.
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 8), 0);
}

TEST_F(Fixture, ControllerAndLinkOfADiskPathInAnyCase) {
  emu::BenchContents c = Load(PCI_TREE);
  EXPECT_EQ(GetDiskControllerDevInst(u"\\\\.\\PhysicalDrive1"), c.Node("controller-1"));
  EXPECT_EQ(GetDiskControllerDevInst(u"\\\\.\\physicaldrive2"), c.Node("controller-2"));
  EXPECT_EQ(GetDiskControllerDevInst(u"\\\\.\\PHYSICALDRIVE4"), c.Node("controller-4"));
  EXPECT_EQ(GetDiskControllerDevInst(u"\\\\.\\PhysicalDrive7"), 0u);
  EXPECT_EQ(GetDiskControllerDevInst(u"\\\\.\\PhysicalDrive"), 0u);

  uint32_t speed = 77, width = 77, maxSpeed = 77, maxWidth = 77;
  GetPciLinkInfo(u"\\\\.\\PhysicalDrive1", &speed, &width, &maxSpeed, &maxWidth);
  EXPECT_EQ(speed, 3u);
  EXPECT_EQ(width, 4u);
  EXPECT_EQ(maxSpeed, 4u);
  EXPECT_EQ(maxWidth, 8u);
  // A controller without the properties reads 0; a path without a controller leaves them.
  GetPciLinkInfo(u"\\\\.\\PhysicalDrive2", &speed, &width, &maxSpeed, &maxWidth);
  EXPECT_EQ(speed + width + maxSpeed + maxWidth, 0u);
  speed = width = maxSpeed = maxWidth = 77;
  GetPciLinkInfo(u"\\\\.\\PhysicalDrive7", &speed, &width, &maxSpeed, &maxWidth);
  EXPECT_EQ(speed, 77u);
  EXPECT_EQ(maxWidth, 77u);
}

TEST_F(Fixture, AbsentDevicesAreNotWalked) {
  Load(R"(
[pci root]
[nvme controller]
parent = root
bus = 3
[disk gone]
parent = controller
disk = 0
present = no
[disk here]
parent = controller
disk = 1
)");
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 0), 0);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 1), 3);
  EXPECT_EQ(OpenDeviceInterface(devclass::DISK, 1), platform::INVALID_DEVICE);
}

// A tree whose interface lists (flags 0x12) cannot be built, or come back empty, while the member
// lists still hold the disks.
class InterfaceFaults : public platform::DeviceTree {
 public:
  enum class Mode { NoList, EmptyList };
  InterfaceFaults(platform::DeviceTree& inner, Mode mode) : inner_(inner), mode_(mode) {}
  platform::DeviceList GetClassDevs(const platform::Guid* guid, uint32_t flags) override {
    if (flags == devclass::OPEN_INTERFACE && mode_ == Mode::NoList) return platform::INVALID_LIST;
    if (flags == devclass::OPEN_INTERFACE) {
      static const platform::Guid nothing = {0x0BADF00D, 0, 0, {0}};
      return inner_.GetClassDevs(&nothing, flags);
    }
    return inner_.GetClassDevs(guid, flags);
  }
  void DestroyList(platform::DeviceList list) override { inner_.DestroyList(list); }
  bool EnumMember(platform::DeviceList list, uint32_t index, platform::DeviceNode* node) override {
    return inner_.EnumMember(list, index, node);
  }
  bool GetInterfacePath(platform::DeviceList list, const platform::Guid& guid, uint32_t index, char16_t* path,
                        uint32_t capacity) override {
    return inner_.GetInterfacePath(list, guid, index, path, capacity);
  }
  bool GetRegistryProperty(platform::DeviceList list, platform::DeviceNode node, uint32_t property, void* buffer,
                           uint32_t size, uint32_t* required) override {
    return inner_.GetRegistryProperty(list, node, property, buffer, size, required);
  }
  bool GetDeviceProperty(platform::DeviceList list, platform::DeviceNode node, const platform::PropertyKey& key,
                         void* buffer, uint32_t size) override {
    return inner_.GetDeviceProperty(list, node, key, buffer, size);
  }
  bool GetParent(platform::DeviceNode node, platform::DeviceNode* parent) override {
    return inner_.GetParent(node, parent);
  }
  bool GetDeviceId(platform::DeviceNode node, char16_t* id, uint32_t capacity) override {
    return inner_.GetDeviceId(node, id, capacity);
  }

 private:
  platform::DeviceTree& inner_;
  Mode mode_;
};

TEST_F(Fixture, DiskLookupsWithoutInterfacesTraceTheirTwoLines) {
  Load(PCI_TREE);
  const std::u16string noList = u"[TX] No HDEVINFO available for this GUID\n";
  const std::u16string noData = u"[TX] No SP_INTERFACE_DEVICE_DATA available for this GUID instance\n";
  platform::Services saved = platform::Installed();
  for (auto mode : {InterfaceFaults::Mode::NoList, InterfaceFaults::Mode::EmptyList}) {
    InterfaceFaults faulty(bench(), mode);
    platform::Services s = saved;
    s.tree = &faulty;
    testenv::InstallServices(s);
    testenv::ClearDebug();
    EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 1), 0);
    EXPECT_EQ(OpenDiskByPort(CMD_TYPE_NVME, 1), platform::INVALID_DEVICE);
    EXPECT_EQ(GetDiskControllerDevInst(u"\\\\.\\PhysicalDrive1"), 0u);
    std::vector<std::u16string> lines = testenv::DebugLines();
    ASSERT_FALSE(lines.empty());
    for (const std::u16string& line : lines) EXPECT_EQ(line, mode == InterfaceFaults::Mode::NoList ? noList : noData);
    testenv::InstallServices(saved);
  }
  EXPECT_EQ(bench().OpenLists(), 0u);

  // An empty disk class: nothing to walk, nothing found, and opening its first interface traces.
  testenv::ClearDebug();
  emu::Bench empty;
  platform::Services s = saved;
  s.tree = &empty;
  s.io = &empty;
  testenv::InstallServices(s);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 0), 0);
  EXPECT_EQ(OpenDiskByPort(CMD_TYPE_ASM, 0), platform::INVALID_DEVICE);
  EXPECT_EQ(OpenDeviceInterface(devclass::DISK, 0), platform::INVALID_DEVICE);
  testenv::InstallServices(saved);
  EXPECT_EQ(testenv::DebugLines(), std::vector<std::u16string>{noData});
}

TEST_F(Fixture, TextParsersReadWhatTheScanfFormatsWouldRead) {
  int64_t port = -1, hub = -1;
  EXPECT_EQ(ParseLocationText(u"Port_#0004.Hub_#0001", &port, &hub), 2);
  EXPECT_EQ(port, 4);
  EXPECT_EQ(hub, 1);
  EXPECT_EQ(ParseLocationText(u"Port_# 12.Hub_#x", &port, &hub), 1);
  EXPECT_EQ(port, 12);
  port = 5;
  EXPECT_EQ(ParseLocationText(u"port_#0004.Hub_#0001", &port, &hub), 0);  // literals match exactly
  EXPECT_EQ(port, 5);
  EXPECT_EQ(ParseLocationText(u"Port_#", &port, &hub), 0);
  EXPECT_EQ(ParseLocationText(u"", &port, &hub), 0);
  EXPECT_EQ(ParseLocationText(u"Port_#99999999999999999999999", &port, &hub), 1);  // wraps, stays in bounds

  char16_t first[DEVICE_ID_CHARS] = {}, second[DEVICE_ID_CHARS] = {};
  EXPECT_EQ(ParseInstanceIdHead(u"USB\\ROOT_HUB30\\4&1A2B&0&0", first, second), 2);
  EXPECT_EQ(std::u16string(first), u"USB\\");
  EXPECT_EQ(std::u16string(second), u"ROOT_HUB");
  EXPECT_EQ(ParseInstanceIdHead(u"USB", first, second), 1);
  EXPECT_EQ(std::u16string(first), u"USB");
  EXPECT_EQ(ParseInstanceIdHead(u"", first, second), 0);
}

TEST_F(Fixture, PowerCycleKeepsThePortIdUnderANewDiskNumber) {
  emu::BenchContents c = Load(R"(
[usb-host host]
[root-hub root-hub]
parent = host
[usb-device bridge]
parent = root-hub
location = Port_#0004.Hub_#0001
[drive q7]
parent = bridge
disk = 2
bridge = asmedia
power-cycle-ms = 2500
return-disk = 6
)");
  ASSERT_EQ(GetDiskPort(CMD_TYPE_ASM, 2), 104);
  c.Drive("q7")->PowerCycle();
  EXPECT_FALSE(bench().Node(c.Node("bridge"))->present);
  EXPECT_EQ(OpenDiskByPort(CMD_TYPE_ASM, 104), platform::INVALID_DEVICE);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 2), 0);
  bench().Clock().Advance(2500);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 6), 104);
  platform::DeviceHandle disk = OpenDiskByPort(CMD_TYPE_ASM, 104);
  ASSERT_NE(disk, platform::INVALID_DEVICE);
  EXPECT_EQ(NumberOf(disk), 6u);
  platform::Io().Close(disk);
}

}  // namespace
