#include <windows.h>

#include "platform/messages.h"
#include "platform/win32/internal.h"

// The seam's own values are the Windows ones.
static_assert(platform::MSG_INITDIALOG == WM_INITDIALOG && platform::MSG_COMMAND == WM_COMMAND);
static_assert(platform::MSG_TIMER == WM_TIMER && platform::MSG_DEVICECHANGE == WM_DEVICECHANGE);
static_assert(platform::MSG_APP == WM_APP && platform::NOTIFY_SELENDOK == CBN_SELENDOK);
static_assert(platform::ID_OK == IDOK && platform::ID_CANCEL == IDCANCEL && platform::ID_YES == IDYES);
static_assert(platform::BOX_OKCANCEL == MB_OKCANCEL && platform::BOX_YESNO == MB_YESNO);
static_assert(platform::BOX_ICONWARNING == MB_ICONWARNING && platform::BOX_ICONINFORMATION == MB_ICONINFORMATION);

namespace platform {

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

}  // namespace platform
