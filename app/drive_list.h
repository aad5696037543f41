// The drive list and the drive details.
#pragma once
#include <atomic>
#include <cstdint>

#include "discovery/drive_record.h"
#include "platform/types.h"

// Keeps two list rebuilds (the dialog's timer, the update worker's end) from overlapping, and
// guards selectedDrive against the two threads writing it at once. 0 free, 1 taken.
extern std::atomic<uint32_t> refreshBusy;
bool TryTakeRefreshFlag();
void TakeRefreshFlag();  // waits until it is free
void ReleaseRefreshFlag();

constexpr size_t LINK_SPEED_NAME_CHARS = 80;
constexpr size_t LINK_SPEED_NAMES = 7;  // 0 (none) and PCIe generations 1 to 6

void RefreshDriveList(platform::WindowHandle window, bool initial);
bool DriveMatchesPackage(const DriveRecord& drive, const char16_t* modelName, const char16_t* socId);
void ShowDriveDetails(platform::WindowHandle window, const DriveRecord& drive);
void OnDriveSelected(platform::WindowHandle window);

// The list entry of a drive: "%s (RAW)" or "%s [%s]".
void FormatEntryText(const DriveRecord& drive, char16_t* text, size_t capacity);
// The interface line: the bridge and its USB port, or the PCIe link speed name and width.
void FormatInterfaceText(const DriveRecord& drive, char16_t* text, size_t capacity);
// The name of a link speed code, empty for 0 and for codes beyond the table.
const char16_t* LinkSpeedName(uint32_t linkSpeed);
// The drive a list entry names, or null when its item data names no enumerated drive (the
// "%s - Disconnect" entry, or nothing selected).
DriveRecord* EntryDrive(platform::WindowHandle window, int entry);
