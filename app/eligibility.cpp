#include "app/eligibility.h"

#include "app/completion.h"
#include "app/drive_list.h"
#include "app/events.h"
#include "app/package_files.h"
#include "app/package_info.h"
#include "app/progress.h"
#include "app/update_lock.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "core/trace.h"
#include "discovery/drive_info.h"
#include "image/firmware_image.h"
#include "nvme/flash_id.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "resources/resource.h"

using platform::Ui;

Eligibility CheckEligibility(const DriveRecord& drive) {
  AppState& s = AppStateGet();
  if (s.fwVersionList[0] != 0) {
    char16_t wrapped[DRIVE_TEXT_CHARS + 2];
    platform::FormatText(wrapped, DRIVE_TEXT_CHARS + 2, u";%s;", drive.fwRevision);
    if (FindNoCase(s.fwVersionList, wrapped) < 0) return Eligibility::REVISION;
  }
  // Only an image this run unpacked from the package counts; a file somebody else put there does not.
  char16_t imagePath[TEXT_PATH];
  if (!ImagePathFor(drive, imagePath, TEXT_PATH) || !IsPackageFile(imagePath)) return Eligibility::NO_IMAGE;
  if (drive.internalFwVersion[0] != 0) {
    // The version is read from the package's own bytes of that image, the ones the worker sends.
    const uint8_t* image = nullptr;
    uint32_t size = 0;
    if (ReadPackageEntry(imagePath, &image, &size) != PackageFileRead::OK ||
        CheckInternalVersionOf(drive.internalFwVersion, s.internalVersionCheckPart, image, size) == 0)
      return Eligibility::INTERNAL_VERSION;
  }
  return Eligibility::ELIGIBLE;
}

const char* EligibilityWord(Eligibility eligibility) {
  switch (eligibility) {
    case Eligibility::ELIGIBLE: return "eligible";
    case Eligibility::REVISION: return "revision";
    case Eligibility::NO_IMAGE: return "no-image";
    case Eligibility::INTERNAL_VERSION: return "internal-version";
  }
  return "?";
}

bool DriveIsEligible(const DriveRecord& drive) { return CheckEligibility(drive) == Eligibility::ELIGIBLE; }

bool BatteryTooLow(const platform::PowerStatus& status) {
  if (status.acLineStatus != platform::POWER_AC_OFFLINE) return false;  // on AC, or unknown
  if (status.batteryFlag == platform::POWER_BATTERY_UNKNOWN || (status.batteryFlag & platform::POWER_NO_BATTERY) != 0)
    return false;
  return status.batteryLifePercent != platform::POWER_PERCENT_UNKNOWN && status.batteryLifePercent < MIN_BATTERY_PERCENT;
}

namespace {

const char16_t* RefusalWord(RunRefusal why) {
  switch (why) {
    case RunRefusal::BUSY: return u"busy";
    case RunRefusal::POWER: return u"power";
    case RunRefusal::PENDING_RESTART: return u"pending-restart";
    default: return u"refused";
  }
}

// The box of a RUN that starts no update. The update lock is let go first: a box left open on
// the screen keeps no other update of this computer waiting.
void EndRunWithBox(platform::WindowHandle window, const char16_t* text) {
  ReleaseUpdateLock();
  Ui().ShowMessageBox(window, text, AppStateGet().title, platform::BOX_OK);
}

// Nothing is sent to a drive that cannot be shown to be the chosen one: the user is told the
// update failed, the trace says why, and the list is rebuilt to show what is there now.
void RefuseRun(platform::WindowHandle window, const char16_t* why) {
  DebugTraceAlways(u"OnRun: %s; nothing is written", why);
  const DriveRecord& d = AppStateGet().selectedDrive;
  ReportDriveEvent(event_id::DRIVE_NOT_REACHABLE, d, d.fwRevision, why);
  EndRunWithBox(window, u"Update FW Fail !");
  RefreshDriveList(window, false);
}

// A refusal of the circumstances around an update: the box says what to do, the console program
// reads the reason.
void Refuse(platform::WindowHandle window, RunRefusal why, const char16_t* text) {
  AppStateGet().runRefusal = static_cast<uint32_t>(why);
  const DriveRecord& d = AppStateGet().selectedDrive;
  ReportDriveEvent(event_id::DRIVE_SKIPPED, d, d.fwRevision, RefusalWord(why), text);
  EndRunWithBox(window, text);
}

// On battery below the minimum charge nothing starts. An unknown status lets the update go on.
bool PowerAllowsUpdate(platform::WindowHandle window) {
  platform::PowerStatus power{};
  if (!platform::Sys().GetPowerStatus(&power)) {
    DebugTraceAlways(u"OnRun: the power status is unknown; the update goes on");
    return true;
  }
  if (!BatteryTooLow(power)) return true;
  DebugTraceAlways(u"OnRun: on battery at %d %%; nothing is written", static_cast<int>(power.batteryLifePercent));
  char16_t text[160];
  platform::FormatText(text, 160, u"The computer runs on battery at %d %%. Connect the AC adapter, then press RUN again.",
                       static_cast<int>(power.batteryLifePercent));
  Refuse(window, RunRefusal::POWER, text);
  return false;
}

// RUN's checks and the start of the worker, with the update lock held. Returns true when the
// worker runs (or its failure to start has been reported); the lock is then released with the
// result.
bool CheckAndStart(platform::WindowHandle window) {
  AppState& s = AppStateGet();
  int entry = Ui().ComboGetCurSel(window, IDC_DRIVE_LIST);
  DriveRecord* drive = EntryDrive(window, entry);
  if (drive == nullptr) {
    // Nothing enumerated is selected (the "%s - Disconnect" entry of an update that has ended):
    // there is no drive to check; the rebuild shows what is there now.
    RefreshDriveList(window, false);
    return false;
  }
  // The drive the user chose is the one whose details the list shows; it is read again at its
  // place and must still be that drive, of the package's model and controller.
  DriveRecord chosen = *drive;
  if (GetDiskInfoByPortID(drive, 30, PostProgress) != DRIVE_INFO_OK) {
    RefuseRun(window, u"the chosen drive was not found again");
    return false;
  }
  if (!SameDrive(*drive, chosen)) {
    RefuseRun(window, u"another drive answers at the chosen drive's place");
    return false;
  }
  if (!DriveMatchesPackage(*drive, s.modelName, s.socId)) {
    RefuseRun(window, u"the drive is not one the package applies to");
    return false;
  }
  s.selectedDrive = *drive;
  DriveRecord checked = *drive;

  // Firmware committed earlier waits for a restart: another image now would replace it unseen,
  // and the drive reports its old revision until then.
  if (s.selectedDrive.activationPending != 0) {
    DebugTraceAlways(u"OnRun: %s keeps firmware that waits for a restart; nothing is written", s.selectedDrive.devicePath);
    Refuse(window, RunRefusal::PENDING_RESTART, PENDING_RESTART_TEXT);
    return false;
  }
  if (Eligibility e = CheckEligibility(s.selectedDrive); e != Eligibility::ELIGIBLE) {
    char16_t word[TEXT_SHORT];
    platform::Utf8ToWide(EligibilityWord(e), -1, word, TEXT_SHORT);
    ReportDriveEvent(event_id::DRIVE_SKIPPED, s.selectedDrive, s.selectedDrive.fwRevision, word, NOT_NEEDED_TEXT);
    EndRunWithBox(window, NOT_NEEDED_TEXT);
    return false;
  }
  if (!PowerAllowsUpdate(window)) return false;
  if (s.beforeMessage[0] != 0 &&
      Ui().ShowMessageBox(window, s.beforeMessage, s.title, platform::BOX_YESNO | platform::BOX_ICONWARNING) !=
          platform::ID_YES)
    return false;
  // The list may have been rebuilt while the question was open: the update starts only when the
  // entry now selected is still the drive that was checked.
  DriveRecord* now = EntryDrive(window, Ui().ComboGetCurSel(window, IDC_DRIVE_LIST));
  if (now == nullptr || !SameDrive(*now, checked) || !SameDrive(s.selectedDrive, checked)) {
    RefuseRun(window, u"the drive list changed while the question was open");
    return false;
  }

  Ui().SetItemText(window, IDC_STATUS, u"");
  Ui().EnableItem(window, platform::ID_OK, false);
  Ui().EnableItem(window, IDC_DRIVE_LIST, false);
  NoteUpdateBegins(s.selectedDrive);
  if (!StartWorker(window, &s.workerThread, UpdateWorker) && WorkerHandle() == nullptr) {
    // No thread could be made: say so and give the controls back, as a finished update would.
    OnUpdateResult(window, UPDATE_NO_WORKER);
  }
  return true;
}

}  // namespace

void OnRun(platform::WindowHandle window) {
  AppState& s = AppStateGet();
  s.runRefusal = static_cast<uint32_t>(RunRefusal::NONE);
  // One update per machine: the lock is taken before anything is checked and held to the result.
  // The lock is not this RUN's to let go when another update holds it.
  if (!TakeUpdateLock()) {
    s.runRefusal = static_cast<uint32_t>(RunRefusal::BUSY);
    if (const DriveRecord* d = EntryDrive(window, Ui().ComboGetCurSel(window, IDC_DRIVE_LIST)))
      ReportDriveEvent(event_id::DRIVE_SKIPPED, *d, d->fwRevision, u"busy", u"another firmware update is running on this computer");
    Ui().ShowMessageBox(window, u"Another firmware update is running on this computer. Try again when it has finished.",
                        s.title, platform::BOX_OK);
    return;
  }
  if (!CheckAndStart(window)) ReleaseUpdateLock();
}
