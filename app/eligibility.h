// RUN: the eligibility check and the start of an update.
#pragma once
#include "discovery/drive_record.h"
#include "platform/types.h"

void OnRun(platform::WindowHandle window);

// The package's tests for a drive, in their order: firmware revision in the list, an image for
// its flash type in the package folder, and internal versions that agree. True when all pass.
bool DriveIsEligible(const DriveRecord& drive);
