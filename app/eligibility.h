// RUN: the eligibility check and the start of an update.
#pragma once
#include "discovery/drive_record.h"
#include "platform/types.h"

void OnRun(platform::WindowHandle window);

// The package's tests for a drive, in their order: firmware revision in the list, an image for
// its flash type in the package folder, and internal versions that agree. The first that fails
// is the answer.
enum class Eligibility { ELIGIBLE, REVISION, NO_IMAGE, INTERNAL_VERSION };
Eligibility CheckEligibility(const DriveRecord& drive);
// The answer as one word for the console and for scripts: "eligible", "revision", "no-image",
// "internal-version".
const char* EligibilityWord(Eligibility eligibility);
// True when all of the package's tests pass.
bool DriveIsEligible(const DriveRecord& drive);
