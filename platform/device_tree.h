// The device tree: device lists by interface class, device nodes and their parents, instance IDs,
// registry and device properties, and the i-th interface path of a class. The walks above this
// seam (port IDs, link values) are plain functions in discovery/.
#pragma once
#include "platform/types.h"

namespace platform {

using DeviceList = intptr_t;  // 0 or INVALID_LIST: no list
constexpr DeviceList INVALID_LIST = -1;
using DeviceNode = uint32_t;  // DEVINST; 0 is none

// Flags of a device list, as SetupDiGetClassDevsW takes them.
constexpr uint32_t DEVLIST_PRESENT = 0x02;
constexpr uint32_t DEVLIST_ALLCLASSES = 0x04;
constexpr uint32_t DEVLIST_PROFILE = 0x08;
constexpr uint32_t DEVLIST_DEVICEINTERFACE = 0x10;

// Registry properties that the walks read.
constexpr uint32_t REGPROP_LOCATION_INFORMATION = 0x0D;
constexpr uint32_t REGPROP_BUSNUMBER = 0x15;

struct PropertyKey {
  Guid fmtid;
  uint32_t pid;
};

class DeviceTree {
 public:
  virtual ~DeviceTree() = default;
  // A list of the present members of an interface class (guid given) or of all devices (guid
  // null). Returns INVALID_LIST when none can be built.
  virtual DeviceList GetClassDevs(const Guid* guid, uint32_t flags) = 0;
  virtual void DestroyList(DeviceList list) = 0;
  // The index-th member of a list; false past the end.
  virtual bool EnumMember(DeviceList list, uint32_t index, DeviceNode* node) = 0;
  // The device path of the index-th interface of the class in the list; false when there is none
  // or the path does not fit.
  virtual bool GetInterfacePath(DeviceList list, const Guid& guid, uint32_t index, char16_t* path,
                                uint32_t capacity) = 0;
  // A registry property of a member (SetupDiGetDeviceRegistryPropertyW): with buffer null or size
  // 0 it only reports the required size. Returns false when the property is missing or does not
  // fit; *required is set either way (0 when missing).
  virtual bool GetRegistryProperty(DeviceList list, DeviceNode node, uint32_t property, void* buffer,
                                   uint32_t size, uint32_t* required) = 0;
  // A device property of a member (SetupDiGetDevicePropertyW).
  virtual bool GetDeviceProperty(DeviceList list, DeviceNode node, const PropertyKey& key,
                                 void* buffer, uint32_t size) = 0;
  // CM_Get_Parent and CM_Get_Device_IDW.
  virtual bool GetParent(DeviceNode node, DeviceNode* parent) = 0;
  virtual bool GetDeviceId(DeviceNode node, char16_t* id, uint32_t capacity) = 0;
};

}  // namespace platform
