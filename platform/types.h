// Basic types shared by every layer. No <windows.h> here: the values that must match the Windows
// headers are checked against them in platform/win32.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// Opaque handles of the seam. A window, a thread and an open device are pointer-sized values, as
// on Windows; 0 is "none" for windows and threads, INVALID_DEVICE for devices and files.
using WindowHandle = void*;
using ThreadHandle = void*;
using DeviceHandle = intptr_t;
constexpr DeviceHandle INVALID_DEVICE = -1;

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16, "GUID layout");

inline bool SameGuid(const Guid& a, const Guid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.data4[i] != b.data4[i]) return false;
  return true;
}

struct Rect {
  int32_t left, top, right, bottom;
};

}  // namespace platform
