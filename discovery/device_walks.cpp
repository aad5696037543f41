#include "discovery/device_walks.h"

#include <cstring>

#include "core/drive_record.h"
#include "core/trace.h"
#include "discovery/storage_device.h"
#include "platform/platform.h"
#include "platform/text.h"

using platform::DeviceHandle;
using platform::DeviceList;
using platform::DeviceNode;

namespace {

bool ListValid(DeviceList list) { return list != platform::INVALID_LIST && list != 0; }

// The instance ID of a node into a DEVICE_ID_CHARS buffer; empty when it cannot be read.
void NodeId(DeviceNode node, char16_t* id) {
  id[0] = 0;
  if (!platform::Tree().GetDeviceId(node, id, DEVICE_ID_CHARS)) id[0] = 0;
  id[DEVICE_ID_CHARS - 1] = 0;
}

// The instance ID of a node's parent; empty when the node has none.
void ParentId(DeviceNode node, char16_t* id) {
  id[0] = 0;
  DeviceNode parent = 0;
  if (platform::Tree().GetParent(node, &parent)) NodeId(parent, id);
}

// A registry property in two steps: the size first, then, when the property exists, the value
// into the buffer, zero-filled beforehand. A missing property reads as zeros; so does one longer
// than the buffer, which is never written past its size.
void ReadRegistryProperty(DeviceList list, DeviceNode node, uint32_t property, void* buffer,
                          uint32_t size) {
  std::memset(buffer, 0, size);
  uint32_t required = 0;
  platform::Tree().GetRegistryProperty(list, node, property, nullptr, 0, &required);
  if (required == 0 || required > size) return;
  if (!platform::Tree().GetRegistryProperty(list, node, property, buffer, size, &required))
    std::memset(buffer, 0, size);
}

// The location text of a member, as the port number it names (0 without one).
int64_t LocationPort(DeviceList list, DeviceNode node) {
  char16_t location[DEVICE_ID_CHARS + 1];
  ReadRegistryProperty(list, node, platform::REGPROP_LOCATION_INFORMATION, location,
                       DEVICE_ID_CHARS * sizeof(char16_t));
  location[DEVICE_ID_CHARS] = 0;
  int64_t port = 0, hub = 0;
  ParseLocationText(location, &port, &hub);
  return port;
}

// SPDRP_BUSNUMBER of the node, looked up among all present devices; 0 when missing.
int32_t BusNumberOf(DeviceNode target) {
  DeviceList list = platform::Tree().GetClassDevs(nullptr, devclass::ALL_DEVICES);
  if (!ListValid(list)) return 0;
  uint32_t value = 0;
  DeviceNode node = 0;
  for (uint32_t i = 0; platform::Tree().EnumMember(list, i, &node); ++i) {
    if (node != target) continue;
    ReadRegistryProperty(list, node, platform::REGPROP_BUSNUMBER, &value, sizeof value);
    break;
  }
  platform::Tree().DestroyList(list);
  return static_cast<int32_t>(value);
}

uint64_t HubChain(const char16_t* hubId, uint64_t number, int level, int* digits) {
  DeviceList list = platform::Tree().GetClassDevs(&devclass::USB_HUB, devclass::WALK_MEMBERS);
  if (!ListValid(list)) return number;
  uint64_t result = number;
  DeviceNode node = 0;
  for (uint32_t i = 0; platform::Tree().EnumMember(list, i, &node); ++i) {
    char16_t id[DEVICE_ID_CHARS];
    NodeId(node, id);
    if (!platform::TextEqual(id, hubId)) continue;
    char16_t parentId[DEVICE_ID_CHARS];
    ParentId(node, parentId);
    char16_t first[DEVICE_ID_CHARS] = {}, second[DEVICE_ID_CHARS] = {};
    ParseInstanceIdHead(hubId, first, second);
    if (platform::TextEqual(second, u"ROOT_HUB")) {
      result = number * 100 + static_cast<uint64_t>(static_cast<int64_t>(GetHostControllerIndex(parentId)));
      ++*digits;
    } else {
      uint64_t next = number * 100 + static_cast<uint64_t>(LocationPort(list, node));
      ++*digits;
      // A loop in a broken tree ends the climb instead of the stack.
      result = level < MAX_HUB_LEVELS ? HubChain(parentId, next, level + 1, digits) : next;
    }
    break;
  }
  platform::Tree().DestroyList(list);
  return result;
}

// Walks the present disks in member order, opening each in turn and asking its device number;
// visit(node, number) is called for each disk that answers, with the disk closed again, until it
// returns true. A disk that does not open or does not answer is passed over.
template <typename Visit>
void ForEachNumberedDisk(Visit visit) {
  DeviceList list = platform::Tree().GetClassDevs(&devclass::DISK, devclass::WALK_MEMBERS);
  if (!ListValid(list)) return;
  DeviceNode node = 0;
  for (uint32_t i = 0; platform::Tree().EnumMember(list, i, &node); ++i) {
    DeviceHandle disk = OpenDeviceInterface(devclass::DISK, static_cast<int>(i));
    if (disk == platform::INVALID_DEVICE) continue;
    StorageDeviceNumber number;
    bool ok = DeviceNumberOf(disk, &number);
    platform::Io().Close(disk);
    if (ok && visit(node, number.deviceNumber)) break;
  }
  platform::Tree().DestroyList(list);
}

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Matches a literal at *p and moves past it.
bool MatchLiteral(const char16_t*& p, const char16_t* literal) {
  const char16_t* q = p;
  for (; *literal != 0; ++literal, ++q)
    if (*q != *literal) return false;
  p = q;
  return true;
}

// A decimal 64-bit number after any white space, with an optional sign; wraps as the system's
// scanf does rather than failing on overflow.
bool ScanInt64(const char16_t*& p, int64_t* value) {
  const char16_t* q = p;
  while (IsSpace(*q)) ++q;
  bool negative = false;
  if (*q == u'+' || *q == u'-') negative = *q++ == u'-';
  if (*q < u'0' || *q > u'9') return false;
  uint64_t v = 0;
  for (; *q >= u'0' && *q <= u'9'; ++q) v = v * 10 + static_cast<uint64_t>(*q - u'0');
  *value = static_cast<int64_t>(negative ? 0 - v : v);
  p = q;
  return true;
}

// Up to width characters that are not white space, after any white space; the field gets a
// terminator. False when there is none.
bool ScanField(const char16_t*& p, size_t width, char16_t* field) {
  while (IsSpace(*p)) ++p;
  size_t n = 0;
  while (n < width && *p != 0 && !IsSpace(*p)) field[n++] = *p++;
  if (n == 0) return false;
  field[n] = 0;
  return true;
}

}  // namespace

bool DeviceNumberOf(DeviceHandle device, StorageDeviceNumber* number) {
  std::memset(number, 0, sizeof *number);
  uint32_t returned = 0, error = 0;
  return platform::Io().Control(device, IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE, nullptr, 0, number,
                                sizeof *number, &returned, &error);
}

int ParseLocationText(const char16_t* text, int64_t* port, int64_t* hub) {
  if (text == nullptr) return 0;
  const char16_t* p = text;
  if (!MatchLiteral(p, u"Port_#") || !ScanInt64(p, port)) return 0;
  if (!MatchLiteral(p, u".Hub_#") || !ScanInt64(p, hub)) return 1;
  return 2;
}

int ParseInstanceIdHead(const char16_t* id, char16_t* first, char16_t* second) {
  if (id == nullptr) return 0;
  const char16_t* p = id;
  if (!ScanField(p, 4, first)) return 0;
  if (!ScanField(p, 8, second)) return 1;
  return 2;
}

DeviceHandle OpenDeviceInterface(const platform::Guid& guid, int index) {
  DeviceList list = platform::Tree().GetClassDevs(&guid, devclass::OPEN_INTERFACE);
  if (!ListValid(list)) {
    DebugTraceAlways(u"No HDEVINFO available for this GUID\n");
    return platform::INVALID_DEVICE;
  }
  char16_t path[INTERFACE_PATH_CHARS];
  if (index < 0 || !platform::Tree().GetInterfacePath(list, guid, static_cast<uint32_t>(index), path,
                                                       INTERFACE_PATH_CHARS)) {
    DebugTraceAlways(u"No SP_INTERFACE_DEVICE_DATA available for this GUID instance\n");
    platform::Tree().DestroyList(list);
    return platform::INVALID_DEVICE;
  }
  DeviceHandle device = platform::Io().Open(path, nullptr);
  platform::Tree().DestroyList(list);
  return device;
}

DeviceNode DiskControllerOf(DeviceNode disk) {
  DeviceNode parent = 0;
  return platform::Tree().GetParent(disk, &parent) ? parent : 0;
}

DeviceNode GetDiskControllerDevInst(const char16_t* path) {
  DeviceNode result = 0;
  ForEachNumberedDisk([&](DeviceNode node, uint32_t number) {
    char16_t text[DRIVE_TEXT_CHARS];
    platform::FormatText(text, DRIVE_TEXT_CHARS, u"\\\\.\\PHYSICALDRIVE%d", static_cast<int>(number));
    if (!platform::TextEqualNoCase(text, path)) return false;
    result = DiskControllerOf(node);
    return true;
  });
  return result;
}

int32_t GetParentBusNumber(DeviceNode node) {
  DeviceNode parent = 0;
  if (!platform::Tree().GetParent(node, &parent)) return 0;
  return BusNumberOf(parent);
}

int32_t GetGrandparentBusNumber(DeviceNode node) {
  DeviceNode parent = 0, grandparent = 0;
  if (!platform::Tree().GetParent(node, &parent) || !platform::Tree().GetParent(parent, &grandparent))
    return 0;
  return BusNumberOf(grandparent);
}

uint64_t GetUsbPortNumber(const char16_t* usbDeviceId, int* digits) {
  int counted = 0;
  if (digits == nullptr) digits = &counted;
  *digits = 0;
  DeviceList list = platform::Tree().GetClassDevs(&devclass::USB_DEVICE, devclass::WALK_MEMBERS);
  if (!ListValid(list)) return 0;
  uint64_t result = 0;
  DeviceNode node = 0;
  for (uint32_t i = 0; platform::Tree().EnumMember(list, i, &node); ++i) {
    char16_t id[DEVICE_ID_CHARS];
    NodeId(node, id);
    if (!platform::TextEqual(id, usbDeviceId)) continue;
    int64_t port = LocationPort(list, node);
    char16_t hubId[DEVICE_ID_CHARS];
    ParentId(node, hubId);
    *digits = 1;
    result = GetHubChainNumber(hubId, static_cast<uint64_t>(port), digits);
    break;
  }
  platform::Tree().DestroyList(list);
  return result;
}

uint64_t GetHubChainNumber(const char16_t* hubId, uint64_t number, int* digits) {
  int counted = 0;
  return HubChain(hubId, number, 0, digits != nullptr ? digits : &counted);
}

int GetHostControllerIndex(const char16_t* hostControllerId) {
  DeviceList list = platform::Tree().GetClassDevs(&devclass::USB_HOST_CONTROLLER, devclass::WALK_MEMBERS);
  if (!ListValid(list)) return 1;
  int index = -1;
  uint32_t count = 0;
  DeviceNode node = 0;
  for (; platform::Tree().EnumMember(list, count, &node); ++count) {
    char16_t id[DEVICE_ID_CHARS];
    NodeId(node, id);
    if (platform::TextEqual(id, hostControllerId)) {
      index = static_cast<int>(count);
      break;
    }
  }
  platform::Tree().DestroyList(list);
  return index >= 0 ? index + 1 : static_cast<int>(count) + 1;
}

uint64_t ReverseBase100(uint64_t number, int digits) {
  // One digit per level climbed, whatever its value: a digit 0 (no location information) keeps
  // its place instead of being taken for the end of the number.
  uint64_t acc = 0;
  uint64_t v = number;
  for (int i = 0; i < digits; ++i) {
    acc = acc * 100 + v % 100;
    v /= 100;
  }
  return acc;
}

int64_t PortIdOfDisk(int32_t cmdType, DeviceNode disk) {
  if (cmdType == CMD_TYPE_ASM || cmdType == CMD_TYPE_JMI) {
    char16_t usbDeviceId[DEVICE_ID_CHARS];
    ParentId(disk, usbDeviceId);
    int digits = 0;
    uint64_t chain = GetUsbPortNumber(usbDeviceId, &digits);
    return static_cast<int64_t>(ReverseBase100(chain, digits));
  }
  return static_cast<int64_t>(GetGrandparentBusNumber(disk)) * 99 +
         static_cast<int64_t>(GetParentBusNumber(disk));
}

bool FindDiskNode(uint32_t diskNumber, DeviceNode* disk) {
  bool found = false;
  ForEachNumberedDisk([&](DeviceNode node, uint32_t number) {
    if (number != diskNumber) return false;
    *disk = node;
    found = true;
    return true;
  });
  return found;
}

void WalkDiskPlaces(DiskPlaces* places) {
  *places = DiskPlaces{};
  places->walked = true;
  ForEachNumberedDisk([&](DeviceNode node, uint32_t number) {
    // The first disk that reports a number holds it, as a walk for that number alone would find.
    if (number < MAX_PROBED_DISKS && !places->known[number]) {
      places->known[number] = true;
      places->node[number] = node;
    }
    return false;
  });
}

bool LookUpDiskNode(DiskPlaces* places, uint32_t diskNumber, DeviceNode* disk) {
  if (places == nullptr || diskNumber >= MAX_PROBED_DISKS) return FindDiskNode(diskNumber, disk);
  // A number the last walk did not meet may belong to a disk that has arrived since.
  if (!places->walked || !places->known[diskNumber]) WalkDiskPlaces(places);
  if (!places->known[diskNumber]) return false;
  *disk = places->node[diskNumber];
  return true;
}

int64_t GetDiskPort(int32_t cmdType, uint32_t diskNumber) {
  DeviceNode disk = 0;
  return FindDiskNode(diskNumber, &disk) ? PortIdOfDisk(cmdType, disk) : 0;
}

DeviceHandle OpenDiskByPort(int32_t cmdType, int64_t port, int skip) {
  DeviceList list = platform::Tree().GetClassDevs(&devclass::DISK, devclass::WALK_MEMBERS);
  if (!ListValid(list)) return platform::INVALID_DEVICE;
  DeviceHandle result = platform::INVALID_DEVICE;
  DeviceNode node = 0;
  for (uint32_t i = 0; platform::Tree().EnumMember(list, i, &node); ++i) {
    if (PortIdOfDisk(cmdType, node) != port) continue;
    result = OpenDeviceInterface(devclass::DISK, static_cast<int>(i));
    if (result == platform::INVALID_DEVICE) continue;
    if (skip-- == 0) break;
    platform::Io().Close(result);
    result = platform::INVALID_DEVICE;
  }
  platform::Tree().DestroyList(list);
  return result;
}

void GetPciLinkInfo(const char16_t* path, uint32_t* linkSpeed, uint32_t* linkWidth,
                    uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth) {
  GetControllerLinkInfo(GetDiskControllerDevInst(path), linkSpeed, linkWidth, maxLinkSpeed, maxLinkWidth);
}

void GetControllerLinkInfo(DeviceNode controller, uint32_t* linkSpeed, uint32_t* linkWidth,
                           uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth) {
  // 0 is "no controller": the system may well have a device node numbered 0 (Wine has), whose
  // link values are not this disk's.
  if (controller == 0) return;
  DeviceList list = platform::Tree().GetClassDevs(nullptr, devclass::ALL_DEVICES);
  if (!ListValid(list)) return;
  DeviceNode node = 0;
  for (uint32_t i = 0; platform::Tree().EnumMember(list, i, &node); ++i) {
    if (node != controller) continue;
    *linkSpeed = *linkWidth = *maxLinkSpeed = *maxLinkWidth = 0;
    platform::Tree().GetDeviceProperty(list, node, devclass::PCI_CURRENT_LINK_SPEED, linkSpeed, 4);
    platform::Tree().GetDeviceProperty(list, node, devclass::PCI_CURRENT_LINK_WIDTH, linkWidth, 4);
    platform::Tree().GetDeviceProperty(list, node, devclass::PCI_MAX_LINK_SPEED, maxLinkSpeed, 4);
    platform::Tree().GetDeviceProperty(list, node, devclass::PCI_MAX_LINK_WIDTH, maxLinkWidth, 4);
    break;
  }
  platform::Tree().DestroyList(list);
}
