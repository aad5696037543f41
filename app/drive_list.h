// The drive list and the drive details.
#pragma once
#include "discovery/drive_record.h"
#include "platform/types.h"

void RefreshDriveList(platform::WindowHandle window, bool initial);
bool DriveMatchesPackage(const DriveRecord& drive, const char16_t* modelName, const char16_t* socId);
void ShowDriveDetails(platform::WindowHandle window, const DriveRecord& drive);
void OnDriveSelected(platform::WindowHandle window);
