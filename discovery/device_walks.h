// Walks over the device tree that relate a disk to the devices above it: the port ID of a disk,
// the disk that has a given port ID, the PCIe link of the NVMe controller above a native disk,
// the parent node of a disk, and the N-th present interface of a class. Every walk builds its
// device lists afresh through platform::Tree() and releases them before it returns.
//
// The port ID is a signed 64-bit location number that survives a drive leaving and coming back
// (a bridge power cycle), while the disk number may not:
//   - bridge rule (CMD_TYPE_ASM, CMD_TYPE_JMI): base-100 digits, most significant first: the
//     1-based position of the USB host controller, the port on its root hub, the port on each
//     further hub going down, and last the bridge's own port. Port ID mod 100 is the bridge's port.
//   - PCI rule (every other type): grandparent bus number x 99 + parent bus number.
#pragma once
#include <cstdint>

#include "core/drive_record.h"
#include "platform/device_io.h"
#include "platform/device_tree.h"

struct StorageDeviceNumber;

namespace devclass {

// Interface classes.
constexpr platform::Guid DISK = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr platform::Guid USB_DEVICE = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr platform::Guid USB_HUB = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
constexpr platform::Guid USB_HOST_CONTROLLER = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

// Device list flags: walking the members of a class, opening one interface, and looking one
// device node up among all present devices.
constexpr uint32_t WALK_MEMBERS = platform::DEVLIST_PRESENT | platform::DEVLIST_PROFILE | platform::DEVLIST_DEVICEINTERFACE;
constexpr uint32_t OPEN_INTERFACE = platform::DEVLIST_PRESENT | platform::DEVLIST_DEVICEINTERFACE;
constexpr uint32_t ALL_DEVICES = platform::DEVLIST_PRESENT | platform::DEVLIST_ALLCLASSES;
static_assert(WALK_MEMBERS == 0x1A && OPEN_INTERFACE == 0x12 && ALL_DEVICES == 0x06);

// The PCIe link properties of a PCI device (DEVPKEY_PciDevice_*), 32-bit each.
constexpr platform::Guid PCI_DEVICE_PROPERTIES = {0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
constexpr platform::PropertyKey PCI_CURRENT_LINK_SPEED = {PCI_DEVICE_PROPERTIES, 9};
constexpr platform::PropertyKey PCI_CURRENT_LINK_WIDTH = {PCI_DEVICE_PROPERTIES, 10};
constexpr platform::PropertyKey PCI_MAX_LINK_SPEED = {PCI_DEVICE_PROPERTIES, 11};
constexpr platform::PropertyKey PCI_MAX_LINK_WIDTH = {PCI_DEVICE_PROPERTIES, 12};

}  // namespace devclass

// Device instance IDs and location texts are read into buffers of this many characters.
constexpr uint32_t DEVICE_ID_CHARS = 260;
// Room for an interface's device path.
constexpr uint32_t INTERFACE_PATH_CHARS = 1024;
// Hub levels the climb follows at most; a real USB tree has at most five hubs below the root hub.
constexpr int MAX_HUB_LEVELS = 16;

// Opens the index-th present interface of the class for reading and writing. Returns
// platform::INVALID_DEVICE when the list cannot be built or the interface does not exist (each
// with its trace line), or when the open fails.
platform::DeviceHandle OpenDeviceInterface(const platform::Guid& guid, int index);

// The parent of a disk's node (for a native disk, its NVMe controller), or 0.
platform::DeviceNode DiskControllerOf(platform::DeviceNode disk);
// The device node of the parent of the disk whose device number gives path
// ("\\.\PHYSICALDRIVE<n>", compared without regard to case), or 0. This and the path and number
// forms below ask for one disk with a walk of their own; a list rebuild walks once (DiskPlaces in
// drive_info.cpp) and asks the node forms.
platform::DeviceNode GetDiskControllerDevInst(const char16_t* path);

// The bus number (SPDRP_BUSNUMBER) of the node's parent or grandparent, or 0.
int32_t GetParentBusNumber(platform::DeviceNode node);
int32_t GetGrandparentBusNumber(platform::DeviceNode node);

// The hub-chain number of a USB device by its instance ID: its own port first, the host
// controller's position last, in base-100 digits. 0 when no USB device has that ID. digits, when
// given, receives how many digits the chain has (0 when no USB device has that ID): a digit may be
// 0 (a device without location information), so the number alone does not tell.
uint64_t GetUsbPortNumber(const char16_t* usbDeviceId, int* digits = nullptr);
// Climbs from the hub with the instance ID hubId, appending a base-100 digit per hub level and
// the host controller's position at the root hub. digits, when given, is raised by one per digit
// appended.
uint64_t GetHubChainNumber(const char16_t* hubId, uint64_t number, int* digits = nullptr);
// 1 + the position of the host controller among the present host controllers, or their count + 1
// when none has the ID.
int GetHostControllerIndex(const char16_t* hostControllerId);

// The base-100 digit reversal that turns a hub-chain number of the given number of digits into a
// port ID: 10001 of three digits (bridge port 1, a hub without location information, host
// controller 1) stays 10001, and 402 of two digits gives 204.
uint64_t ReverseBase100(uint64_t number, int digits);

// The device number a disk or volume reports (IOCTL_STORAGE_GET_DEVICE_NUMBER), zero-filled
// first; false when the request fails.
bool DeviceNumberOf(platform::DeviceHandle device, StorageDeviceNumber* number);

// The port ID of the disk with the given device number, by the rule of the command type; 0 when
// no present disk has that number.
int64_t GetDiskPort(int32_t cmdType, uint32_t diskNumber);
// The port ID of the disk whose node is disk, by the rule of the command type. It reads only the
// tree and sends the disk nothing.
int64_t PortIdOfDisk(int32_t cmdType, platform::DeviceNode disk);
// The node of the first present disk (in member order) that reports diskNumber, found by opening
// the disks one after the other and asking each its number; false when none does.
bool FindDiskNode(uint32_t diskNumber, platform::DeviceNode* disk);

// Where the disks that a list may hold (numbers below MAX_PROBED_DISKS) sit in the tree, from one
// walk that opens every present disk once and asks its number. A list rebuild looks each of its
// drives up here, so that it opens each disk once rather than once per drive.
struct DiskPlaces {
  bool walked;
  bool known[MAX_PROBED_DISKS];
  platform::DeviceNode node[MAX_PROBED_DISKS];  // node 0 is a node too: known tells
};
// Fills places from a walk over the present disks. The first disk that reports a number holds it.
void WalkDiskPlaces(DiskPlaces* places);
// The node of the disk with the number, as FindDiskNode finds it: from places, which is walked
// first when it never was, and again when it lacks the number (a disk may have arrived since);
// by a walk of its own when places is null or the number lies beyond the places.
bool LookUpDiskNode(DiskPlaces* places, uint32_t diskNumber, platform::DeviceNode* disk);
// Opens the first present disk whose port ID, by the rule of the command type, equals port; with
// skip, the disk after skip such disks that opened. The caller closes the handle.
// platform::INVALID_DEVICE when none does or none opens. Port IDs are places, not identities:
// under the PCI rule two controllers can share one, and every disk that is not behind a USB
// device measures 0 under the bridge rule, so the caller checks what it opened.
platform::DeviceHandle OpenDiskByPort(int32_t cmdType, int64_t port, int skip = 0);

// The PCIe link values of the NVMe controller above the disk path. The outputs are set (to 0 first)
// only when the controller is found; otherwise they are left as they were.
void GetPciLinkInfo(const char16_t* path, uint32_t* linkSpeed, uint32_t* linkWidth,
                    uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth);
// The same for a controller node; 0 is no controller.
void GetControllerLinkInfo(platform::DeviceNode controller, uint32_t* linkSpeed, uint32_t* linkWidth,
                           uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth);

// The parsers of the texts the walks read. A location text "Port_#0004.Hub_#0001" gives port 4
// and hub 1; they return the number of values read, as the wide scanf of the same format would.
int ParseLocationText(const char16_t* text, int64_t* port, int64_t* hub);
// Splits an instance ID as "%4s%8s" would: up to 4, then up to 8 characters that are not white
// space, each after any white space. Fields are DEVICE_ID_CHARS long. Returns the fields read.
int ParseInstanceIdHead(const char16_t* id, char16_t* first, char16_t* second);
