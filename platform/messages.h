// Window message, notification and message-box values the dialog logic uses. They are the Win32
// values; platform/win32 checks them against <windows.h>.
#pragma once
#include <cstdint>

namespace platform {

constexpr uint32_t MSG_INITDIALOG = 0x0110;
constexpr uint32_t MSG_COMMAND = 0x0111;
constexpr uint32_t MSG_TIMER = 0x0113;
constexpr uint32_t MSG_DEVICECHANGE = 0x0219;
constexpr uint32_t MSG_APP = 0x8000;

constexpr uint16_t NOTIFY_SELENDOK = 9;

constexpr int ID_OK = 1;
constexpr int ID_CANCEL = 2;
constexpr int ID_YES = 6;
constexpr int ID_NO = 7;

constexpr uint32_t BOX_OK = 0x00;
constexpr uint32_t BOX_OKCANCEL = 0x01;
constexpr uint32_t BOX_YESNO = 0x04;
constexpr uint32_t BOX_ICONWARNING = 0x30;
constexpr uint32_t BOX_ICONINFORMATION = 0x40;

constexpr uint16_t LowWord(uintptr_t v) { return static_cast<uint16_t>(v & 0xFFFF); }
constexpr uint16_t HighWord(uintptr_t v) { return static_cast<uint16_t>((v >> 16) & 0xFFFF); }

}  // namespace platform
