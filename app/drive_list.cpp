#include "app/drive_list.h"

#include <initializer_list>

#include "app/progress.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "core/trace.h"
#include "discovery/drive_info.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "resources/resource.h"

using platform::Ui;
using platform::WindowHandle;

namespace {

const char16_t kLinkSpeedNames[LINK_SPEED_NAMES][LINK_SPEED_NAME_CHARS] = {
    u"",
    u"PCIE Gen1 Signaling Speed (2.5 Gbps)",
    u"PCIE Gen2 Signaling Speed (5.0 Gbps)",
    u"PCIE Gen3 Signaling Speed (8.0 Gbps)",
    u"PCIE Gen4 Signaling Speed (16.0 Gbps)",
    u"PCIE Gen5 Signaling Speed (32.0 Gbps)",
    u"PCIE Gen6 Signaling Speed (64.0 Gbps)",
};

void ClearDetails(WindowHandle window) {
  for (int id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS})
    Ui().SetItemText(window, id, u"");
}

}  // namespace

const char16_t* LinkSpeedName(uint32_t linkSpeed) {
  return linkSpeed < LINK_SPEED_NAMES ? kLinkSpeedNames[linkSpeed] : kLinkSpeedNames[0];
}

void FormatEntryText(const DriveRecord& drive, char16_t* text, size_t capacity) {
  if (drive.isRaw)
    platform::FormatText(text, capacity, u"%s (RAW)", drive.model);
  else
    platform::FormatText(text, capacity, u"%s [%s]", drive.model, drive.driveLetters);
}

void FormatInterfaceText(const DriveRecord& drive, char16_t* text, size_t capacity) {
  uint32_t port = static_cast<uint32_t>(static_cast<uint64_t>(drive.iPort) % 100);
  switch (drive.iCmdType) {
    case CMD_TYPE_ASM:
      platform::FormatText(text, capacity, u"ASMedia Bridge NVME to USB-%d", port);
      break;
    case CMD_TYPE_JMI:
      platform::FormatText(text, capacity, u"JMicron Bridge NVME to USB-%d", port);
      break;
    case CMD_TYPE_NVME:
      platform::FormatText(text, capacity, u"%s x %d", LinkSpeedName(drive.linkSpeed), drive.linkWidth);
      break;
    default:
      platform::TextCopy(text, capacity, u"");
      break;
  }
}

bool DriveMatchesPackage(const DriveRecord& drive, const char16_t* modelName, const char16_t* socId) {
  if (modelName[0] != 0 && FindNoCase(drive.model, modelName) < 0) return false;
  if (platform::TextEqual(socId, u"*")) return true;
  if (platform::TextEqual(socId, u"TORVANEX") && drive.controllerCode > 0) return true;
  char16_t code[16];
  platform::FormatText(code, 16, u"%04X", drive.controllerCode);
  return platform::TextEqual(socId, code);
}

bool UnreachableOfModel(const DiskSeen& disk, const char16_t* modelName) {
  return IsUnreachable(disk.reason) && modelName[0] != 0 && FindNoCase(disk.model, modelName) >= 0;
}

void ShowDriveDetails(WindowHandle window, const DriveRecord& drive) {
  char16_t text[256];
  Ui().SetItemText(window, IDC_MODEL, drive.model);
  Ui().SetItemText(window, IDC_SERIAL, drive.serial);
  Ui().SetItemText(window, IDC_FIRMWARE, drive.fwRevision);
  platform::FormatText(text, 256, u"%d GB", drive.capacityGB);
  Ui().SetItemText(window, IDC_CAPACITY, text);
  FormatInterfaceText(drive, text, 256);
  Ui().SetItemText(window, IDC_INTERFACE, text);
}

DriveRecord* EntryDrive(WindowHandle window, int entry) {
  if (entry < 0) return nullptr;
  intptr_t index = Ui().ComboGetItemData(window, IDC_DRIVE_LIST, entry);
  AppState& s = AppStateGet();
  if (index < 0 || static_cast<uintptr_t>(index) >= s.driveCount || static_cast<size_t>(index) >= MAX_DRIVES)
    return nullptr;
  // A slot that holds no drive's record never stands for one.
  if (!DriveRecordFilled(s.drives[index])) return nullptr;
  return &s.drives[index];
}

void RefreshDriveList(WindowHandle window, bool initial) {
  if (!TryTakeRefreshFlag()) return;
  AppState& s = AppStateGet();
  char16_t previous[256] = {};
  if (!initial) FormatEntryText(s.selectedDrive, previous, 256);

  s.driveCount = static_cast<uint32_t>(EnumerateDrives(s.drives, static_cast<int>(MAX_DRIVES), &s.disks));
  Ui().ComboReset(window, IDC_DRIVE_LIST);
  int listed = 0, selectEntry = -1;
  uint32_t selectIndex = 0;
  bool found = false, foundBySerial = false;
  bool selectionFilled = DriveRecordFilled(s.selectedDrive);
  for (uint32_t i = 0; i < s.driveCount; ++i) {
    const DriveRecord& d = s.drives[i];
    if (!DriveMatchesPackage(d, s.modelName, s.socId)) continue;
    char16_t entry[256];
    FormatEntryText(d, entry, 256);
    int at = Ui().ComboAdd(window, IDC_DRIVE_LIST, entry);
    Ui().ComboSetItemData(window, IDC_DRIVE_LIST, at, static_cast<intptr_t>(i));
    // The selected drive is looked for at its place (command type and port ID); where two drives
    // share the place, the one with its serial number is it.
    if (selectionFilled && d.iCmdType == s.selectedDrive.iCmdType && d.iPort == s.selectedDrive.iPort) {
      bool bySerial = platform::TextEqual(d.serial, s.selectedDrive.serial);
      if (!found || (bySerial && !foundBySerial)) {
        selectEntry = at;
        selectIndex = i;
        found = true;
        foundBySerial = bySerial;
      }
    }
    ++listed;
  }
  if (found) s.selectedDrive = s.drives[selectIndex];

  bool running = IsUpdateRunning();
  if (listed > 0 && !running) {
    int entry = found ? selectEntry : 0;
    Ui().ComboSetCurSel(window, IDC_DRIVE_LIST, entry);
    if (DriveRecord* d = EntryDrive(window, entry)) ShowDriveDetails(window, *d);
    if (!found) Ui().SetItemText(window, IDC_STATUS, u"");
    Ui().EnableItem(window, platform::ID_OK, true);
  } else if (listed > 0 && found) {
    Ui().ComboSetCurSel(window, IDC_DRIVE_LIST, selectEntry);
    ShowDriveDetails(window, s.selectedDrive);
  } else if (running) {
    char16_t entry[300];
    platform::FormatText(entry, 300, u"%s - Disconnect", previous);
    int at = Ui().ComboAdd(window, IDC_DRIVE_LIST, entry);
    Ui().ComboSetItemData(window, IDC_DRIVE_LIST, at, static_cast<intptr_t>(s.driveCount));
    Ui().ComboSetCurSel(window, IDC_DRIVE_LIST, at);
  } else {
    ClearDetails(window);
    Ui().EnableItem(window, platform::ID_OK, false);
  }
  ReleaseRefreshFlag();
}

void OnDriveSelected(WindowHandle window) {
  AppState& s = AppStateGet();
  int entry = Ui().ComboGetCurSel(window, IDC_DRIVE_LIST);
  if (entry < 0) {
    s.selectedDrive = DriveRecord{};
    return;
  }
  DriveRecord* d = EntryDrive(window, entry);
  if (d == nullptr) {
    // The "%s - Disconnect" entry of an update that has ended names no drive: rebuild the list
    // instead of reading past the enumerated records.
    RefreshDriveList(window, false);
    return;
  }
  GetDiskInfoByPortID(d, 30, PostProgress);
  s.selectedDrive = *d;
  ShowDriveDetails(window, *d);
  Ui().SetItemText(window, IDC_STATUS, u"");
  Ui().SetProgressPos(window, IDC_PROGRESS, 0);
}
