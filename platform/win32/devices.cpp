// Devices on Win32: device I/O (CreateFileW, DeviceIoControl) and the device tree on SetupAPI and
// CfgMgr32.
#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>
#include <winioctl.h>

#include <cstring>

#include "platform/win32/internal.h"

// The seam's values and records are the Windows ones.
static_assert(platform::DEVLIST_PRESENT == DIGCF_PRESENT && platform::DEVLIST_ALLCLASSES == DIGCF_ALLCLASSES);
static_assert(platform::DEVLIST_PROFILE == DIGCF_PROFILE &&
              platform::DEVLIST_DEVICEINTERFACE == DIGCF_DEVICEINTERFACE);
static_assert(platform::REGPROP_LOCATION_INFORMATION == SPDRP_LOCATION_INFORMATION);
static_assert(platform::REGPROP_BUSNUMBER == SPDRP_BUSNUMBER);
static_assert(sizeof(platform::Guid) == sizeof(GUID));
static_assert(sizeof(platform::PropertyKey) == sizeof(DEVPROPKEY));
static_assert(offsetof(platform::PropertyKey, pid) == offsetof(DEVPROPKEY, pid));
static_assert(sizeof(platform::DeviceNode) == sizeof(DEVINST));
static_assert(sizeof(platform::DeviceList) == sizeof(HDEVINFO));

// The fixed part of the interface detail record: 6 bytes on 32-bit Windows (a DWORD and one
// WCHAR, packed), 8 on 64-bit. Its cbSize is always taken from sizeof.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 8 ? 8 : 6));
static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28));

namespace platform {
namespace {

HDEVINFO Set(DeviceList list) { return reinterpret_cast<HDEVINFO>(list); }

GUID ToGuid(const Guid& g) {
  GUID out;
  std::memcpy(&out, &g, sizeof out);
  return out;
}

// The member of a list with the device node.
bool FindMember(HDEVINFO set, DeviceNode node, SP_DEVINFO_DATA* data) {
  for (DWORD i = 0;; ++i) {
    std::memset(data, 0, sizeof *data);
    data->cbSize = sizeof *data;
    if (!::SetupDiEnumDeviceInfo(set, i, data)) return false;
    if (data->DevInst == node) return true;
  }
}

}  // namespace

DeviceHandle Win32DeviceIo::Open(const char16_t* path, uint32_t* error) {
  HANDLE h = ::CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = ::GetLastError();
    return INVALID_DEVICE;
  }
  return reinterpret_cast<DeviceHandle>(h);
}

bool Win32DeviceIo::Control(DeviceHandle device, uint32_t code, void* in, uint32_t inLength, void* out,
                            uint32_t outLength, uint32_t* returned, uint32_t* error) {
  DWORD n = 0;
  BOOL ok = ::DeviceIoControl(reinterpret_cast<HANDLE>(device), code, in, inLength, out, outLength, &n, nullptr);
  if (returned != nullptr) *returned = n;
  if (!ok && error != nullptr) *error = ::GetLastError();
  return ok != 0;
}

void Win32DeviceIo::Close(DeviceHandle device) {
  if (device != INVALID_DEVICE) ::CloseHandle(reinterpret_cast<HANDLE>(device));
}

DeviceList Win32DeviceTree::GetClassDevs(const Guid* guid, uint32_t flags) {
  GUID g;
  if (guid != nullptr) g = ToGuid(*guid);
  HDEVINFO set = ::SetupDiGetClassDevsW(guid != nullptr ? &g : nullptr, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) return INVALID_LIST;
  return reinterpret_cast<DeviceList>(set);
}

void Win32DeviceTree::DestroyList(DeviceList list) {
  if (list != INVALID_LIST && list != 0) ::SetupDiDestroyDeviceInfoList(Set(list));
}

bool Win32DeviceTree::EnumMember(DeviceList list, uint32_t index, DeviceNode* node) {
  SP_DEVINFO_DATA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = sizeof data;
  if (!::SetupDiEnumDeviceInfo(Set(list), index, &data)) return false;
  *node = data.DevInst;
  return true;
}

bool Win32DeviceTree::GetInterfacePath(DeviceList list, const Guid& guid, uint32_t index, char16_t* path,
                                       uint32_t capacity) {
  GUID g = ToGuid(guid);
  SP_DEVICE_INTERFACE_DATA interfaceData;
  std::memset(&interfaceData, 0, sizeof interfaceData);
  interfaceData.cbSize = sizeof interfaceData;
  if (!::SetupDiEnumDeviceInterfaces(Set(list), nullptr, &g, index, &interfaceData)) return false;
  // The size first, then the detail into a block of that size.
  DWORD required = 0;
  ::SetupDiGetDeviceInterfaceDetailW(Set(list), &interfaceData, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(
      ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, required + sizeof(WCHAR)));
  if (detail == nullptr) return false;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  bool ok = ::SetupDiGetDeviceInterfaceDetailW(Set(list), &interfaceData, detail, required, nullptr, nullptr) != 0;
  if (ok) {
    // The block has one zeroed character more than the system asked for, so the path ends in it.
    size_t length = 0;
    size_t room = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    while (length < room && detail->DevicePath[length] != 0) ++length;
    ok = capacity > 0 && length + 1 <= capacity;
    if (ok) {
      std::memcpy(path, detail->DevicePath, length * sizeof(char16_t));
      path[length] = 0;
    }
  }
  ::HeapFree(::GetProcessHeap(), 0, detail);
  return ok;
}

bool Win32DeviceTree::GetRegistryProperty(DeviceList list, DeviceNode node, uint32_t property, void* buffer,
                                          uint32_t size, uint32_t* required) {
  if (required != nullptr) *required = 0;
  SP_DEVINFO_DATA data;
  if (!FindMember(Set(list), node, &data)) return false;
  DWORD type = 0, need = 0;
  BOOL ok = ::SetupDiGetDeviceRegistryPropertyW(Set(list), &data, property, &type, static_cast<PBYTE>(buffer),
                                                buffer != nullptr ? size : 0, &need);
  DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  if (required != nullptr && (ok || error == ERROR_INSUFFICIENT_BUFFER)) *required = need;
  return ok && buffer != nullptr;
}

bool Win32DeviceTree::GetDeviceProperty(DeviceList list, DeviceNode node, const PropertyKey& key, void* buffer,
                                        uint32_t size) {
  SP_DEVINFO_DATA data;
  if (buffer == nullptr || !FindMember(Set(list), node, &data)) return false;
  DEVPROPKEY k;
  std::memcpy(&k, &key, sizeof k);
  DEVPROPTYPE type = 0;
  DWORD need = 0;
  return ::SetupDiGetDevicePropertyW(Set(list), &data, &k, &type, static_cast<PBYTE>(buffer), size, &need, 0) != 0;
}

bool Win32DeviceTree::GetParent(DeviceNode node, DeviceNode* parent) {
  DEVINST p = 0;
  if (::CM_Get_Parent(&p, node, 0) != CR_SUCCESS) return false;
  *parent = p;
  return true;
}

bool Win32DeviceTree::GetDeviceId(DeviceNode node, char16_t* id, uint32_t capacity) {
  if (capacity == 0) return false;
  std::memset(id, 0, capacity * sizeof(char16_t));
  // One character is kept back, so the ID ends in a terminator whatever the call writes.
  if (::CM_Get_Device_IDW(node, reinterpret_cast<PWSTR>(id), capacity - 1, 0) != CR_SUCCESS) {
    id[0] = 0;
    return false;
  }
  id[capacity - 1] = 0;
  return true;
}

}  // namespace platform
