// RUN: the eligibility check and the start of an update.
#pragma once
#include "core/drive_record.h"
#include "platform/system.h"
#include "platform/types.h"

void OnRun(platform::WindowHandle window);

// Below this charge on battery power no update starts.
constexpr uint8_t MIN_BATTERY_PERCENT = 25;

// Why the last RUN started no update, besides the package's tests (AppState::runRefusal).
enum class RunRefusal : uint32_t {
  NONE = 0,
  BUSY,             // another update holds the machine-wide lock
  POWER,            // on battery below MIN_BATTERY_PERCENT
  PENDING_RESTART,  // the drive keeps committed firmware that waits for a restart
};

// What RUN's box says when the drive needs no update, or keeps firmware that waits for a restart;
// the events of the dialog and of the console program say the same.
constexpr const char16_t* NOT_NEEDED_TEXT = u"Do not need to update.";
constexpr const char16_t* PENDING_RESTART_TEXT =
    u"New firmware is waiting for a restart of this computer. Restart, then update again.";

// Whether the power status forbids an update: on battery with a known charge below the minimum.
// AC power, an unknown status or no battery let it go on.
bool BatteryTooLow(const platform::PowerStatus& status);

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
