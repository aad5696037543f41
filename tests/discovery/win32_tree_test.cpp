// The Win32 device tree against the system's own device lists (under Wine, as far as Wine keeps
// them): lists are built and released, members and IDs read, and the walks find nothing where
// the system has nothing.
#include <cstdio>

#include "core/drive_record.h"
#include "discovery/device_walks.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/win32/win32_platform.h"
#include "tests/support/test_env.h"

namespace {

class Win32Tree : public testenv::Environment {
 protected:
  void SetUp() override {
    testenv::Environment::SetUp();
    saved_ = platform::Installed();
    platform::Services s = saved_;
    s.tree = &tree_;
    s.io = &io_;
    testenv::InstallServices(s);
  }
  void TearDown() override {
    testenv::InstallServices(saved_);
    testenv::Environment::TearDown();
  }
  platform::Win32DeviceTree tree_;
  platform::Win32DeviceIo io_;
  platform::Services saved_;
};

// A class no device has.
constexpr platform::Guid NO_CLASS = {0x7C63F00D, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

TEST_F(Win32Tree, ListsAreBuiltWalkedAndReleased) {
  for (const platform::Guid* guid : {&devclass::DISK, &devclass::USB_DEVICE, &devclass::USB_HUB,
                                     &devclass::USB_HOST_CONTROLLER, &NO_CLASS}) {
    platform::DeviceList list = tree_.GetClassDevs(guid, devclass::WALK_MEMBERS);
    ASSERT_NE(list, platform::INVALID_LIST);
    platform::DeviceNode node = 0;
    uint32_t i = 0;
    for (; i < 64 && tree_.EnumMember(list, i, &node); ++i) {
      char16_t id[DEVICE_ID_CHARS] = {};
      EXPECT_TRUE(tree_.GetDeviceId(node, id, DEVICE_ID_CHARS));
      EXPECT_GT(platform::TextLength(id), 0u);
      uint32_t required = 12345;
      tree_.GetRegistryProperty(list, node, platform::REGPROP_LOCATION_INFORMATION, nullptr, 0, &required);
      EXPECT_LT(required, 12345u);
    }
    // What the system has, for the log: Wine keeps few of these lists filled.
    std::printf("class %08X: %u present member(s)\n", static_cast<unsigned>(guid->data1), i);
    tree_.DestroyList(list);
  }
  platform::DeviceList list = tree_.GetClassDevs(&NO_CLASS, devclass::OPEN_INTERFACE);
  ASSERT_NE(list, platform::INVALID_LIST);
  platform::DeviceNode node = 0;
  EXPECT_FALSE(tree_.EnumMember(list, 0, &node));
  char16_t path[INTERFACE_PATH_CHARS];
  EXPECT_FALSE(tree_.GetInterfacePath(list, NO_CLASS, 0, path, INTERFACE_PATH_CHARS));
  tree_.DestroyList(list);

  // All devices, without a class: allowed only with the all-classes flag.
  list = tree_.GetClassDevs(nullptr, devclass::ALL_DEVICES);
  EXPECT_NE(list, platform::INVALID_LIST);
  tree_.DestroyList(list);
  EXPECT_EQ(tree_.GetClassDevs(nullptr, platform::DEVLIST_PRESENT), platform::INVALID_LIST);
}

TEST_F(Win32Tree, NodesClimbToTheRoot) {
  platform::DeviceList list = tree_.GetClassDevs(nullptr, devclass::ALL_DEVICES);
  ASSERT_NE(list, platform::INVALID_LIST);
  platform::DeviceNode node = 0;
  if (tree_.EnumMember(list, 0, &node)) {
    platform::DeviceNode parent = 0;
    int levels = 0;
    while (levels < 32 && tree_.GetParent(node, &parent)) {
      node = parent;
      ++levels;
    }
    EXPECT_LT(levels, 32);
  }
  tree_.DestroyList(list);
  char16_t tiny[2];
  EXPECT_FALSE(tree_.GetDeviceId(0x7FFFFFF0, tiny, 2));
}

TEST_F(Win32Tree, WalksFindNothingTheSystemDoesNotHave) {
  EXPECT_EQ(OpenDeviceInterface(NO_CLASS, 0), platform::INVALID_DEVICE);
  EXPECT_EQ(testenv::DebugLines(),
            std::vector<std::u16string>{u"[TX] No SP_INTERFACE_DEVICE_DATA available for this GUID instance\n"});
  EXPECT_EQ(GetDiskPort(CMD_TYPE_NVME, 987654), 0);
  EXPECT_EQ(GetDiskPort(CMD_TYPE_ASM, 987654), 0);
  EXPECT_EQ(OpenDiskByPort(CMD_TYPE_JMI, 987654321), platform::INVALID_DEVICE);
  EXPECT_EQ(GetDiskControllerDevInst(u"\\\\.\\PhysicalDrive987654"), 0u);
  uint32_t speed = 77, width = 77, maxSpeed = 77, maxWidth = 77;
  GetPciLinkInfo(u"\\\\.\\PhysicalDrive987654", &speed, &width, &maxSpeed, &maxWidth);
  EXPECT_EQ(speed + width + maxSpeed + maxWidth, 4u * 77);
  EXPECT_EQ(GetUsbPortNumber(u"USB\\VID_0000&PID_0000\\NONE"), 0u);
  EXPECT_EQ(GetHubChainNumber(u"USB\\NO_HUB", 5), 5u);
  EXPECT_GE(GetHostControllerIndex(u"PCI\\NO_CONTROLLER"), 1);
}

}  // namespace
