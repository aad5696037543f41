// The drive list and the drive details.
#pragma once
#include <cstdint>

#include "core/drive_record.h"
#include "platform/types.h"

constexpr size_t LINK_SPEED_NAME_CHARS = 80;
constexpr size_t LINK_SPEED_NAMES = 7;  // 0 (none) and PCIe generations 1 to 6

void RefreshDriveList(platform::WindowHandle window, bool initial);
bool DriveMatchesPackage(const DriveRecord& drive, const char16_t* modelName, const char16_t* socId);
// Whether a disk the walk saw is one the updater cannot reach (IsUnreachable) that bears the
// package's model: its descriptor's texts hold modelName. Its SoC cannot be read, so with an empty
// modelName no disk is taken for the package's.
bool UnreachableOfModel(const DiskSeen& disk, const char16_t* modelName);
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
