// Stand-ins for CreateFileW, DeviceIoControl and CloseHandle. A path in the device namespace
// (\\.\ or \\?\, but not a long file path such as \\?\C:\...) opens a device of the bench;
// every other file passes through to the system. A device handle is a real handle (the NUL
// device, opened for the purpose), so a call that is not rewritten still behaves.
//
// DeviceIoControl goes as the I/O manager carries a buffered request: the caller's buffers are
// probed, the control code's access bits are checked against the handle's access, the input is
// copied into a system buffer that the device answers in, and only the bytes the device returned
// are copied back to the caller's output, and only when the request succeeded.
#include <windows.h>
#include <ntddscsi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/harness/harness.h"

namespace harness {
namespace {

struct DeviceHandleEntry {
  platform::DeviceHandle bench;
  DWORD access;
};

std::mutex g_handlesMutex;
std::map<HANDLE, DeviceHandleEntry>& Handles() {
  static auto* handles = new std::map<HANDLE, DeviceHandleEntry>();
  return *handles;
}

bool Lookup(HANDLE handle, DeviceHandleEntry* entry) {
  std::lock_guard<std::mutex> lock(g_handlesMutex);
  auto it = Handles().find(handle);
  if (it == Handles().end()) return false;
  *entry = it->second;
  return true;
}

BOOL Failed(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix != 0; ++text, ++prefix)
    if (*text != *prefix) return false;
  return true;
}
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix != 0; ++text, ++prefix)
    if (::towlower(*text) != ::towlower(*prefix)) return false;
  return true;
}

// A path in the device namespace, where the bench's disks and volumes are: a path that begins
// with \\.\ or \\?\ and goes on with anything but a drive-letter path, UNC, a pipe or a mailslot.
bool IsDevicePath(const wchar_t* path) {
  if (path == nullptr || !(StartsWith(path, L"\\\\.\\") || StartsWith(path, L"\\\\?\\"))) return false;
  const wchar_t* rest = path + 4;
  bool driveLetterPath = rest[0] != 0 && rest[1] == L':' && (rest[2] == L'\\' || rest[2] == L'/');
  return !driveLetterPath && !StartsWithNoCase(rest, L"UNC\\") && !StartsWithNoCase(rest, L"pipe\\") &&
         !StartsWithNoCase(rest, L"mailslot\\");
}

// \\.\X: is a volume.
bool IsVolumePath(const wchar_t* path) {
  return StartsWith(path, L"\\\\.\\") && path[4] != 0 && path[5] == L':' && path[6] == 0;
}

bool Readable(DWORD protect) {
  DWORD p = protect & 0xFF;
  return (protect & PAGE_GUARD) == 0 && p != PAGE_NOACCESS && p != PAGE_EXECUTE;
}
bool Writable(DWORD protect) {
  DWORD p = protect & 0xFF;
  return (protect & PAGE_GUARD) == 0 &&
         (p == PAGE_READWRITE || p == PAGE_WRITECOPY || p == PAGE_EXECUTE_READWRITE || p == PAGE_EXECUTE_WRITECOPY);
}

// Whether every byte of [address, address + length) is committed memory the caller may read (or
// write): what the I/O manager's probe of a user buffer finds.
bool Accessible(const void* address, size_t length, bool write) {
  if (length == 0) return true;
  if (address == nullptr) return false;
  auto at = reinterpret_cast<uintptr_t>(address);
  uintptr_t end = at + length;
  if (end < at) return false;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) return false;
    if (info.State != MEM_COMMIT || !(write ? Writable(info.Protect) : Readable(info.Protect))) return false;
    at = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  }
  return true;
}

// The access a control code asks of the handle (bits 14-15 of the code).
bool AccessAllowed(DWORD code, DWORD access) {
  DWORD needed = (code >> 14) & 3;
  bool read = (access & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL | MAXIMUM_ALLOWED)) != 0;
  bool write = (access & (GENERIC_WRITE | FILE_WRITE_DATA | GENERIC_ALL | MAXIMUM_ALLOWED)) != 0;
  return (!(needed & FILE_READ_ACCESS) || read) && (!(needed & FILE_WRITE_ACCESS) || write);
}

// The checks the storage stack makes of a request's lengths before its device sees it. Returns
// ERROR_SUCCESS when the request may go on.
DWORD CheckLengths(DWORD code, const void* in, DWORD inLength, DWORD outLength) {
  switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
      return outLength < sizeof(STORAGE_DEVICE_NUMBER) ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS;
    case IOCTL_STORAGE_QUERY_PROPERTY:
      // STATUS_INFO_LENGTH_MISMATCH: less than a whole STORAGE_PROPERTY_QUERY.
      return inLength < sizeof(STORAGE_PROPERTY_QUERY) ? ERROR_BAD_LENGTH : ERROR_SUCCESS;
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: {
      // The record of this process's pointer size, given both ways, its Length that very size,
      // the sense area inside the output, and the data buffer the caller's own memory.
      if (inLength < sizeof(SCSI_PASS_THROUGH_DIRECT) || outLength < sizeof(SCSI_PASS_THROUGH_DIRECT))
        return ERROR_INVALID_PARAMETER;
      SCSI_PASS_THROUGH_DIRECT record;
      std::memcpy(&record, in, sizeof record);
      if (record.Length != sizeof(SCSI_PASS_THROUGH_DIRECT) || record.CdbLength > 16) return ERROR_INVALID_PARAMETER;
      if (record.SenseInfoLength != 0 &&
          (record.SenseInfoOffset < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
           static_cast<uint64_t>(record.SenseInfoOffset) + record.SenseInfoLength > outLength))
        return ERROR_INVALID_PARAMETER;
      if (record.DataTransferLength != 0 &&
          !Accessible(record.DataBuffer, record.DataTransferLength, record.DataIn == SCSI_IOCTL_DATA_IN))
        return ERROR_NOACCESS;
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_SUCCESS;
  }
}

HANDLE WINAPI StandInCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (!IsDevicePath(path)) return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
  Count("CreateFileW");
  // A disk or a volume opens only as an existing file; a volume only shared for writing.
  if (disposition != OPEN_EXISTING || (IsVolumePath(path) && (share & FILE_SHARE_WRITE) == 0)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  uint32_t error = 0;
  platform::DeviceHandle device = TheBench().Open(reinterpret_cast<const char16_t*>(path), &error);
  if (device == platform::INVALID_DEVICE) {
    ::SetLastError(error != 0 ? error : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD e = ::GetLastError();
    TheBench().Close(device);
    ::SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  {
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    Handles()[handle] = DeviceHandleEntry{device, access};
  }
  ::SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI StandInDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                   DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped) {
  DeviceHandleEntry entry;
  if (!Lookup(handle, &entry))
    return ::DeviceIoControl(handle, code, in, inLength, out, outLength, returned, overlapped);
  Count("DeviceIoControl");
  PauseBeforeRequest(code);
  // Without an OVERLAPPED the count of returned bytes is where the call reports its result.
  if (overlapped == nullptr && returned == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (returned != nullptr) *returned = 0;
  if (!Accessible(in, inLength, false) || !Accessible(out, outLength, true)) return Failed(ERROR_NOACCESS);
  if (!AccessAllowed(code, entry.access)) return Failed(ERROR_ACCESS_DENIED);
  DWORD error = CheckLengths(code, in, inLength, outLength);
  if (error != ERROR_SUCCESS) return Failed(error);

  uint32_t n = 0, e = 0;
  bool ok = false;
  if ((code & 3) == METHOD_BUFFERED) {
    std::vector<uint8_t> system(std::max(inLength, outLength), 0);
    if (inLength != 0) std::memcpy(system.data(), in, inLength);
    ok = TheBench().Control(entry.bench, code, inLength != 0 ? system.data() : nullptr, inLength,
                            outLength != 0 ? system.data() : nullptr, outLength, &n, &e);
    if (ok && n != 0) std::memcpy(out, system.data(), std::min<uint32_t>(n, outLength));
  } else {
    ok = TheBench().Control(entry.bench, code, in, inLength, out, outLength, &n, &e);
  }
  if (!ok) return Failed(e != 0 ? e : ERROR_IO_DEVICE);
  if (returned != nullptr) *returned = std::min<uint32_t>(n, outLength);
  ::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI StandInCloseHandle(HANDLE handle) {
  platform::DeviceHandle device = platform::INVALID_DEVICE;
  {
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    auto it = Handles().find(handle);
    if (it != Handles().end()) {
      device = it->second.bench;
      Handles().erase(it);
    }
  }
  if (device != platform::INVALID_DEVICE) {
    Count("CloseHandle");
    TheBench().Close(device);
  }
  ForgetToken(handle);
  return ::CloseHandle(handle);
}

const StandIn STAND_INS[] = {
    {"CreateFileW", reinterpret_cast<void*>(&StandInCreateFileW)},
    {"DeviceIoControl", reinterpret_cast<void*>(&StandInDeviceIoControl)},
    {"CloseHandle", reinterpret_cast<void*>(&StandInCloseHandle)},
};

}  // namespace

std::span<const StandIn> DeviceIoStandIns() { return STAND_INS; }

}  // namespace harness
