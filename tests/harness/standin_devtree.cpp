// Stand-ins for the SetupAPI and CfgMgr32 functions of the device tree, served from the bench's
// device nodes. They keep the documented contracts:
//   - a record whose cbSize is not sizeof of that record in this process is refused with
//     ERROR_INVALID_USER_BUFFER;
//   - a buffer that is too small fails with ERROR_INSUFFICIENT_BUFFER and reports the size
//     needed (CR_BUFFER_SMALL with as much as fits for a device instance ID);
//   - an enumeration past its end fails with ERROR_NO_MORE_ITEMS;
//   - a device information set or an SP_DEVINFO_DATA / SP_DEVICE_INTERFACE_DATA that the set did
//     not hand out is refused (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER);
//   - properties carry their types (REG_DWORD, REG_SZ, REG_MULTI_SZ, DEVPROP_TYPE_UINT32), and a
//     missing one fails as the system says (ERROR_INVALID_DATA, ERROR_NOT_FOUND);
//   - CM_Get_Parent of a node at the top of the tree fails with CR_NO_SUCH_DEVNODE.
// A device information set is a snapshot of the tree when it was made, as the system's is.
#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/harness/harness.h"

namespace harness {
namespace {

struct InterfaceEntry {
  size_t member;
  GUID interfaceClass;
  std::u16string path;
};

struct DeviceInfoSet {
  std::vector<emu::EmuNode> members;
  std::vector<InterfaceEntry> interfaces;  // only in a set made with DIGCF_DEVICEINTERFACE
};

std::mutex g_mutex;
std::set<DeviceInfoSet*>& Sets() {
  static auto* sets = new std::set<DeviceInfoSet*>();
  return *sets;
}

BOOL Failed(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

HDEVINFO NoSet(DWORD error) {
  ::SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

GUID ToGuid(const platform::Guid& g) {
  GUID out;
  std::memcpy(&out, &g, sizeof out);
  return out;
}

// The set a handle names; null, with ERROR_INVALID_HANDLE, for one the harness did not hand out
// or has destroyed.
DeviceInfoSet* FindSet(HDEVINFO handle) {
  auto* set = static_cast<DeviceInfoSet*>(handle);
  if (Sets().count(set) != 0) return set;
  ::SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// The member an SP_DEVINFO_DATA names: one this set handed out, for the same device node. Null,
// with the error, for a record of the wrong size or one the set did not hand out.
const emu::EmuNode* MemberOf(DeviceInfoSet* set, const SP_DEVINFO_DATA* data) {
  if (data != nullptr && data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  for (const emu::EmuNode& m : set->members)
    if (data != nullptr && data->Reserved == reinterpret_cast<ULONG_PTR>(&m) && data->DevInst == m.node) return &m;
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

// A property value the two-call way: the size it needs always, the value only when it fits.
BOOL GiveValue(const std::vector<uint8_t>& value, PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) {
  DWORD needed = static_cast<DWORD>(value.size());
  if (requiredSize != nullptr) *requiredSize = needed;
  if (bufferSize < needed) return Failed(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, value.data(), needed);
  return TRUE;
}

void Describe(const emu::EmuNode& member, SP_DEVINFO_DATA* data) {
  std::memset(&data->ClassGuid, 0, sizeof data->ClassGuid);
  data->DevInst = member.node;
  data->Reserved = reinterpret_cast<ULONG_PTR>(&member);
}

// The type of each registry property the bench may hold.
bool RegistryPropertyType(DWORD property, DWORD* type) {
  switch (property) {
    case SPDRP_DEVICEDESC:
    case SPDRP_FRIENDLYNAME:
    case SPDRP_LOCATION_INFORMATION:
      *type = REG_SZ;
      return true;
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS:
    case SPDRP_LOCATION_PATHS:
      *type = REG_MULTI_SZ;
      return true;
    case SPDRP_BUSNUMBER:
    case SPDRP_ADDRESS:
      *type = REG_DWORD;
      return true;
    default:
      return false;
  }
}

// Whether the bytes are a registry value of the type: a DWORD is 4 bytes, a text ends in its
// terminator, a list of texts in an empty one.
bool RegistryValueOfType(DWORD type, const std::vector<uint8_t>& bytes) {
  auto charAt = [&bytes](size_t fromEnd) {
    size_t at = bytes.size() - 2 * fromEnd;
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
  };
  switch (type) {
    case REG_DWORD:
      return bytes.size() == 4;
    case REG_SZ:
      return bytes.size() >= 2 && bytes.size() % 2 == 0 && charAt(1) == 0;
    case REG_MULTI_SZ:
      return bytes.size() >= 2 && bytes.size() % 2 == 0 && charAt(1) == 0 && (bytes.size() == 2 || charAt(2) == 0);
    default:
      return false;
  }
}

// The PCI link properties (DEVPKEY_PciDevice_*), the only device properties the bench holds.
constexpr GUID PCI_DEVICE_PROPERTIES = {0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
bool DevicePropertyType(const DEVPROPKEY& key, DEVPROPTYPE* type) {
  if (!IsEqualGUID(key.fmtid, PCI_DEVICE_PROPERTIES) || key.pid < 9 || key.pid > 12) return false;
  *type = DEVPROP_TYPE_UINT32;
  return true;
}

bool HasClass(const emu::EmuNode& node, const GUID& g) {
  for (const platform::Guid& c : node.interfaceClasses)
    if (IsEqualGUID(ToGuid(c), g)) return true;
  return false;
}

// A node of the tree as it is now: CR_SUCCESS, CR_INVALID_DEVNODE for a number the tree never
// gave out, CR_NO_SUCH_DEVINST for a device that has gone.
CONFIGRET FindNode(DEVINST node, emu::EmuNode* out) {
  if (node == 0) return CR_INVALID_DEVNODE;
  for (emu::EmuNode& n : TheBench().Snapshot()) {
    if (n.node != node) continue;
    if (!n.present) return CR_NO_SUCH_DEVINST;
    *out = std::move(n);
    return CR_SUCCESS;
  }
  return CR_INVALID_DEVNODE;
}

HDEVINFO WINAPI StandInSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
  Count("SetupDiGetClassDevsW");
  constexpr DWORD known = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
  if ((flags & ~known) != 0) return NoSet(ERROR_INVALID_FLAGS);
  if (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) return NoSet(ERROR_INVALID_PARAMETER);
  if (enumerator != nullptr || (flags & DIGCF_DEFAULT) != 0) {
    // Lists by enumerator and default interfaces are not served: say so rather than answer wrong.
    EventLine("harness: not served: SetupDiGetClassDevsW with an enumerator or DIGCF_DEFAULT");
    return NoSet(ERROR_CALL_NOT_IMPLEMENTED);
  }
  bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  auto* set = new DeviceInfoSet();
  for (emu::EmuNode& n : TheBench().Snapshot()) {
    if ((flags & DIGCF_PRESENT) && !n.present) continue;
    // A class GUID without DIGCF_DEVICEINTERFACE names a setup class, which no bench node has.
    bool member = allClasses ? (!interfaces || !n.interfaceClasses.empty())
                             : interfaces && HasClass(n, *classGuid);
    if (member) set->members.push_back(std::move(n));
  }
  if (interfaces) {
    for (size_t i = 0; i < set->members.size(); ++i)
      for (const platform::Guid& c : set->members[i].interfaceClasses)
        if (allClasses || IsEqualGUID(ToGuid(c), *classGuid))
          set->interfaces.push_back(InterfaceEntry{i, ToGuid(c), set->members[i].interfacePath});
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  Sets().insert(set);
  ::SetLastError(ERROR_SUCCESS);
  return set;
}

BOOL WINAPI StandInSetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  Count("SetupDiDestroyDeviceInfoList");
  std::lock_guard<std::mutex> lock(g_mutex);
  DeviceInfoSet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  Sets().erase(set);
  delete set;
  return TRUE;
}

BOOL WINAPI StandInSetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
  Count("SetupDiEnumDeviceInfo");
  std::lock_guard<std::mutex> lock(g_mutex);
  DeviceInfoSet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  if (data == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Failed(ERROR_INVALID_USER_BUFFER);
  if (index >= set->members.size()) return Failed(ERROR_NO_MORE_ITEMS);
  Describe(set->members[index], data);
  return TRUE;
}

BOOL WINAPI StandInSetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                               DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  Count("SetupDiEnumDeviceInterfaces");
  std::lock_guard<std::mutex> lock(g_mutex);
  DeviceInfoSet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  if (interfaceClass == nullptr || data == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Failed(ERROR_INVALID_USER_BUFFER);
  const emu::EmuNode* only = device != nullptr ? MemberOf(set, device) : nullptr;
  if (device != nullptr && only == nullptr) return FALSE;
  DWORD seen = 0;
  for (const InterfaceEntry& e : set->interfaces) {
    if (!IsEqualGUID(e.interfaceClass, *interfaceClass)) continue;
    if (only != nullptr && &set->members[e.member] != only) continue;
    if (seen++ != index) continue;
    data->InterfaceClassGuid = e.interfaceClass;
    data->Flags = set->members[e.member].present ? SPINT_ACTIVE : 0;
    data->Reserved = reinterpret_cast<ULONG_PTR>(&e);
    return TRUE;
  }
  return Failed(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI StandInSetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                    PDWORD requiredSize, PSP_DEVINFO_DATA device) {
  Count("SetupDiGetDeviceInterfaceDetailW");
  std::lock_guard<std::mutex> lock(g_mutex);
  DeviceInfoSet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  if (data == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Failed(ERROR_INVALID_USER_BUFFER);
  const InterfaceEntry* entry = nullptr;
  for (const InterfaceEntry& e : set->interfaces)
    if (data->Reserved == reinterpret_cast<ULONG_PTR>(&e)) entry = &e;
  if (entry == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  // The buffer is the fixed part, then the path with its terminator.
  constexpr DWORD fixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  DWORD needed = static_cast<DWORD>(fixed + (entry->path.size() + 1) * sizeof(WCHAR));
  if (detail == nullptr) {
    if (detailSize != 0) return Failed(ERROR_INVALID_USER_BUFFER);
  } else {
    if (detailSize < fixed + sizeof(WCHAR) || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
      return Failed(ERROR_INVALID_USER_BUFFER);
  }
  if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) return Failed(ERROR_INVALID_USER_BUFFER);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr || detailSize < needed) return Failed(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail->DevicePath, entry->path.c_str(), (entry->path.size() + 1) * sizeof(WCHAR));
  if (device != nullptr) Describe(set->members[entry->member], device);
  return TRUE;
}

BOOL WINAPI StandInSetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD property,
                                                     PDWORD propertyType, PBYTE buffer, DWORD bufferSize,
                                                     PDWORD requiredSize) {
  Count("SetupDiGetDeviceRegistryPropertyW");
  std::lock_guard<std::mutex> lock(g_mutex);
  DeviceInfoSet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  const emu::EmuNode* member = MemberOf(set, device);
  if (member == nullptr) return FALSE;
  if (property >= SPDRP_MAXIMUM_PROPERTY) return Failed(ERROR_INVALID_REG_PROPERTY);
  if (buffer == nullptr && bufferSize != 0) return Failed(ERROR_INVALID_USER_BUFFER);
  auto it = member->registryProperties.find(property);
  DWORD type = 0;
  if (it == member->registryProperties.end() || !RegistryPropertyType(property, &type) ||
      !RegistryValueOfType(type, it->second))
    return Failed(ERROR_INVALID_DATA);
  if (propertyType != nullptr) *propertyType = type;
  return GiveValue(it->second, buffer, bufferSize, requiredSize);
}

BOOL WINAPI StandInSetupDiGetDevicePropertyW(HDEVINFO handle, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                             DEVPROPTYPE* propertyType, PBYTE buffer, DWORD bufferSize,
                                             PDWORD requiredSize, DWORD flags) {
  Count("SetupDiGetDevicePropertyW");
  std::lock_guard<std::mutex> lock(g_mutex);
  if (flags != 0) return Failed(ERROR_INVALID_FLAGS);
  DeviceInfoSet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  const emu::EmuNode* member = MemberOf(set, device);
  if (member == nullptr) return FALSE;
  if (key == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (propertyType == nullptr || (buffer == nullptr && bufferSize != 0)) return Failed(ERROR_INVALID_USER_BUFFER);
  for (const auto& [k, value] : member->deviceProperties) {
    DEVPROPKEY stored;
    std::memcpy(&stored.fmtid, &k.fmtid, sizeof stored.fmtid);
    stored.pid = k.pid;
    if (!IsEqualGUID(stored.fmtid, key->fmtid) || stored.pid != key->pid) continue;
    DEVPROPTYPE type = 0;
    if (!DevicePropertyType(stored, &type) || (type == DEVPROP_TYPE_UINT32 && value.size() != 4))
      return Failed(ERROR_INVALID_DATA);
    *propertyType = type;
    return GiveValue(value, buffer, bufferSize, requiredSize);
  }
  return Failed(ERROR_NOT_FOUND);
}

CONFIGRET WINAPI StandInCM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
  Count("CM_Get_Parent");
  if (flags != 0) return CR_INVALID_FLAG;
  if (parent == nullptr) return CR_INVALID_POINTER;
  emu::EmuNode n;
  CONFIGRET result = FindNode(node, &n);
  if (result != CR_SUCCESS) return result;
  if (n.parent == 0) return CR_NO_SUCH_DEVNODE;  // the top of the tree
  *parent = n.parent;
  return CR_SUCCESS;
}

// The ID with its terminator when there is room for it; exactly the ID's characters, without a
// terminator, when the buffer holds those and no more; as much as fits, with CR_BUFFER_SMALL,
// otherwise.
CONFIGRET WINAPI StandInCM_Get_Device_IDW(DEVINST node, PWSTR buffer, ULONG length, ULONG flags) {
  Count("CM_Get_Device_IDW");
  if (flags != 0) return CR_INVALID_FLAG;
  if (buffer == nullptr) return CR_INVALID_POINTER;
  emu::EmuNode n;
  CONFIGRET result = FindNode(node, &n);
  if (result != CR_SUCCESS) return result;
  size_t size = n.instanceId.size();
  size_t copied = size < length ? size : length;
  std::memcpy(buffer, n.instanceId.data(), copied * sizeof(WCHAR));
  if (copied < size) return CR_BUFFER_SMALL;
  if (size < length) buffer[size] = 0;
  return CR_SUCCESS;
}

const StandIn STAND_INS[] = {
    {"SetupDiGetClassDevsW", reinterpret_cast<void*>(&StandInSetupDiGetClassDevsW)},
    {"SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(&StandInSetupDiDestroyDeviceInfoList)},
    {"SetupDiEnumDeviceInfo", reinterpret_cast<void*>(&StandInSetupDiEnumDeviceInfo)},
    {"SetupDiEnumDeviceInterfaces", reinterpret_cast<void*>(&StandInSetupDiEnumDeviceInterfaces)},
    {"SetupDiGetDeviceInterfaceDetailW", reinterpret_cast<void*>(&StandInSetupDiGetDeviceInterfaceDetailW)},
    {"SetupDiGetDeviceRegistryPropertyW", reinterpret_cast<void*>(&StandInSetupDiGetDeviceRegistryPropertyW)},
    {"SetupDiGetDevicePropertyW", reinterpret_cast<void*>(&StandInSetupDiGetDevicePropertyW)},
    {"CM_Get_Parent", reinterpret_cast<void*>(&StandInCM_Get_Parent)},
    {"CM_Get_Device_IDW", reinterpret_cast<void*>(&StandInCM_Get_Device_IDW)},
};

}  // namespace

std::span<const StandIn> DeviceTreeStandIns() { return STAND_INS; }

bool IsDeviceTreeName(const char* name) {
  return std::strncmp(name, "SetupDi", 7) == 0 || std::strncmp(name, "CM_", 3) == 0;
}

}  // namespace harness
