#include "app/update_worker.h"

#include <atomic>
#include <cstring>

#include "app/drive_list.h"
#include "app/drive_states.h"
#include "app/package_files.h"
#include "app/progress.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "core/page_block.h"
#include "core/trace.h"
#include "discovery/drive_info.h"
#include "image/firmware_image.h"
#include "nvme/bridge.h"
#include "nvme/firmware.h"
#include "nvme/flash_id.h"
#include "nvme/nvme_command.h"
#include "platform/platform.h"
#include "platform/text.h"

using platform::DeviceHandle;
using platform::ThreadHandle;

namespace {

constexpr const char16_t* kFwNameKey = u"Vendor_Fw_Name";
std::atomic<Verification> g_verification{Verification::NONE};
std::atomic<UpdateStep> g_step{UpdateStep::OPEN};

// The image block and the drive for one run of the worker.
struct Run {
  ThreadHandle* slot;
  DeviceHandle device = platform::INVALID_DEVICE;
  int32_t cmdType = CMD_TYPE_NONE;
  uint8_t* image = nullptr;
  uint32_t imageSize = 0;
  // The configuration block, a page block: behind a bridge it moves straight to and from it.
  PageBlock config{CONFIG_BLOCK_BYTES};
  // The drive as chosen, before anything was written, and the version the update brings (empty
  // for a package that keeps the name); what its state records.
  DriveRecord chosen{};
  const char16_t* expected = u"";
  // Its state says the update has begun; the drive accepted the commit; the outcome is recorded.
  bool begun = false, committed = false, recorded = false;
  // The state before this run said that a download of this boot was cut short: the drive may
  // keep its pieces and refuse new ones until a reset.
  bool piecesMayRemain = false;

  // Every way out of the worker: the image released, the system allowed to sleep again, an update
  // that ended before its commit recorded as failed (one committed keeps its state, which the next
  // run settles against the drive), the result posted.
  int Finish(int result) {
    if (begun && !committed && !recorded) RecordUpdateOutcome(chosen, expected, DriveState::FAILED);
    if (image != nullptr) platform::Sys().PageFree(image);
    image = nullptr;
    platform::Sys().SetExecutionState(platform::EXECUTION_CONTINUOUS);
    return FinishUpdate(slot, device, result);
  }
};

bool IsKeep(const char16_t* name) { return platform::TextEqualNoCase(name, u"KEEP"); }

// NEWVERSION as the name to give the drive: an empty one (a package without the key) counts as
// "KEEP", so that no empty name is ever written.
const char16_t* NewName(const AppState& s) { return s.newVersion[0] == 0 ? u"KEEP" : s.newVersion; }

// Reads the drive's configuration block. A block that does not begin with "CONF" is not one: it
// is neither carried into the image nor written back.
int ReadConfigBlock(Run& run) {
  if (run.config.data() == nullptr) return NVME_RESULT_IO_FAILED;
  std::memset(run.config.data(), 0, CONFIG_BLOCK_BYTES);
  int r = SendVendorCmd(run.cmdType, run.device, NVME_DATA_READ, NVME_OPC_VENDOR_READ, VENDOR_SUB_CONFIG, 0, VENDOR_SIGNATURE_CDW14,
                        VENDOR_SIGNATURE_CDW15, run.config.data(), CONFIG_BLOCK_BYTES);
  if (r != NVME_RESULT_OK) return r;
  return IsConfigBlock(run.config.data()) ? UPDATE_OK : UPDATE_CONFIG_INVALID;
}

// Reads the whole image file into a page block. Only the package's own bytes may reach a drive:
// the file must be the very one this run unpacked, read through no link, and byte for byte its
// entry in the embedded archive. A file that vanished, was rewritten or replaced is refused, as is
// one whose page table lies outside it.
int LoadImage(Run& run, const char16_t* path) {
  PackageFileRead read = ReadPackageFile(path, &run.image, &run.imageSize);
  if (read != PackageFileRead::OK) {
    DebugTraceAlways(u"LoadImage: %s is not the package's own image; nothing is written", path);
    return UPDATE_IMAGE_UNUSABLE;
  }
  if (run.imageSize == 0) return UPDATE_IMAGE_UNUSABLE;
  ImageLayout layout{};
  if (ReadImageLayout(run.image, run.imageSize, &layout) == IMAGE_BAD_LAYOUT) return UPDATE_IMAGE_UNUSABLE;
  return UPDATE_OK;
}

// Stages 0..30 (the download), 30..40 (the first wait) and 40..60 (the commit and the second
// wait). Returns the first failing step's code, or UPDATE_OK.
int DownloadAndCommit(Run& run) {
  // Written ahead: the state says the update has begun before the first download request, or
  // nothing is sent at all.
  if (!RecordUpdateBegun(run.chosen, run.expected)) return UPDATE_STATE_UNWRITABLE;
  run.begun = true;
  g_step.store(UpdateStep::DOWNLOAD);
  SetProgressStage(0, 30, 0);
  int r = DownloadFW(run.cmdType, run.device, run.image, run.imageSize, PostProgress);
  if (r != NVME_RESULT_OK && run.piecesMayRemain) {
    DebugTraceAlways(u"UpdateWorker: %s refused the download; it keeps the pieces of a download cut short in this boot "
                     u"(%d), which a restart of the computer clears",
                     run.chosen.devicePath, r);
    return UPDATE_DOWNLOAD_PIECES_LEFT;
  }
  if (r != NVME_RESULT_OK) return r;
  SetProgressStage(30, 40, 0);
  WaitWithProgress(FW_STAGE_WAIT_MS);
  SetProgressStage(40, 60, 0);
  g_step.store(UpdateStep::COMMIT);
  r = FWCommit(run.cmdType, run.device, FW_SLOT, FW_COMMIT_ACTION_REPLACE);
  if (r != NVME_RESULT_OK) return r;
  run.committed = true;
  RecordUpdateCommitted(run.chosen, run.expected);
  WaitWithProgress(FW_STAGE_WAIT_MS);
  return UPDATE_OK;
}

}  // namespace

Verification LastVerification() { return g_verification.load(); }

UpdateStep LastUpdateStep() { return g_step.load(); }

const char16_t* UpdateStepName(UpdateStep step) {
  static const char16_t* const NAMES[] = {u"open",   u"image", u"configuration", u"download",
                                          u"commit", u"name",  u"power cycle",   u"find again"};
  size_t i = static_cast<size_t>(step);
  return i < sizeof NAMES / sizeof NAMES[0] ? NAMES[i] : u"?";
}

bool ImagePathFor(const DriveRecord& drive, char16_t* path, size_t capacity) {
  char16_t name[FLASH_TYPE_NAME_CHARS] = {};
  FlashTypeToName(drive.flashType, name);
  int n = platform::FormatText(path, capacity, u"%s\\%s.fw", AppStateGet().packageFolder, name);
  return n >= 0 && static_cast<size_t>(n) < capacity;
}

bool StartWorker(platform::WindowHandle, ThreadHandle* slot, uint32_t (*proc)(void*)) {
  if (std::atomic_ref<ThreadHandle>(*slot).load() != nullptr) {
    DebugTrace(u"Thread is Running");
    return false;
  }
  return platform::Sys().StartThread(proc, slot, slot);
}

int FinishUpdate(ThreadHandle* slot, DeviceHandle device, int result) {
  AppState& s = AppStateGet();
  if (device != platform::INVALID_DEVICE) platform::Io().Close(device);
  platform::Ui().Post(s.dialogWindow, WM_UPDATE_RESULT, 0, result);
  ThreadHandle handle = std::atomic_ref<ThreadHandle>(*slot).load();
  platform::Sys().CloseThread(handle);
  std::atomic_ref<ThreadHandle>(*slot).store(nullptr);
  return result;
}

uint32_t UpdateWorker(void* parameter) {
  AppState& s = AppStateGet();
  Run run;
  run.slot = static_cast<ThreadHandle*>(parameter);
  int r = 1;
  // The system stays awake until the result (Run::Finish lets it sleep again).
  if (platform::Sys().SetExecutionState(platform::EXECUTION_CONTINUOUS | platform::EXECUTION_SYSTEM_REQUIRED) == 0)
    DebugTraceAlways(u"UpdateWorker: the system cannot be kept awake");
  std::atomic_ref<uint32_t>(s.commitNeedsReset).store(0);
  g_verification.store(Verification::NONE);
  g_step.store(UpdateStep::OPEN);

  // The worker's own copy of the drive: a timer-driven list rebuild may write selectedDrive at
  // any time, so it is read and written back only while the rebuild flag is held.
  TakeRefreshFlag();
  DriveRecord drive = s.selectedDrive;
  ReleaseRefreshFlag();
  run.chosen = drive;
  run.expected = IsKeep(NewName(s)) ? u"" : NewName(s);
  DriveStateRecord prior;
  uint64_t boot = 0;
  run.piecesMayRemain = ReadDriveStateRecord(drive, &prior) == platform::StateRead::FOUND &&
                        platform::Sys().CurrentBoot(&boot) && prior.boot == boot &&
                        (prior.state == DriveState::UPDATING || prior.state == DriveState::INTERRUPTED);

  run.device = OpenDrive(drive.devicePath, &run.cmdType);
  if (run.device == platform::INVALID_DEVICE) return static_cast<uint32_t>(run.Finish(UPDATE_NO_DRIVE));
  // Disk numbers are reused: the path may lead to another drive by now. The drive behind this
  // very handle must be the chosen one before anything is written to it.
  r = CheckDriveBehindHandle(run.cmdType, run.device, drive);
  if (r != DRIVE_INFO_OK) {
    DebugTraceAlways(u"UpdateWorker: %s does not answer as the chosen drive (%d); nothing is written",
                     drive.devicePath, r);
    return static_cast<uint32_t>(run.Finish(r == DRIVE_INFO_OTHER_DRIVE ? UPDATE_OTHER_DRIVE : r));
  }

  g_step.store(UpdateStep::IMAGE);
  char16_t imagePath[TEXT_PATH];
  if (!ImagePathFor(drive, imagePath, TEXT_PATH)) return static_cast<uint32_t>(run.Finish(UPDATE_IMAGE_UNUSABLE));
  r = LoadImage(run, imagePath);
  if (r != NVME_RESULT_OK) return static_cast<uint32_t>(run.Finish(r));

  const char16_t* newName = NewName(s);
  if (drive.hasVendorInfo != 0) {
    g_step.store(UpdateStep::CONFIGURATION);
    r = ReadConfigBlock(run);
    if (r != NVME_RESULT_OK) return static_cast<uint32_t>(run.Finish(r));
    if (CarryOverConfig(run.image, run.imageSize, run.config.data(), kFwNameKey, newName) == IMAGE_BAD_LAYOUT)
      return static_cast<uint32_t>(run.Finish(UPDATE_IMAGE_UNUSABLE));
    r = DownloadAndCommit(run);
    if (r != NVME_RESULT_OK) return static_cast<uint32_t>(run.Finish(r));
    if (!IsKeep(newName)) {
      g_step.store(UpdateStep::NAME);
      r = ReadConfigBlock(run);
      if (r != NVME_RESULT_OK) return static_cast<uint32_t>(run.Finish(r));
      SetConfigField(run.config.data(), kFwNameKey, newName);
      r = SendVendorCmd(run.cmdType, run.device, NVME_DATA_WRITE, NVME_OPC_VENDOR_WRITE_CONFIG, VENDOR_SUB_CONFIG, 0, VENDOR_SIGNATURE_CDW14,
                        VENDOR_SIGNATURE_CDW15, run.config.data(), CONFIG_BLOCK_BYTES);
      if (r != NVME_RESULT_OK) return static_cast<uint32_t>(run.Finish(r));
    }
  } else {
    // The legacy path: the image goes as it was read, without carry-over.
    r = DownloadAndCommit(run);
    if (r != NVME_RESULT_OK) return static_cast<uint32_t>(run.Finish(r));
    if (!IsKeep(newName)) {
      g_step.store(UpdateStep::NAME);
      r = WriteVendorFwName(run.cmdType, run.device, newName);
      if (r != NVME_RESULT_OK) return static_cast<uint32_t>(run.Finish(r));
    }
  }

  SetProgressStage(60, 80, 0);
  g_step.store(UpdateStep::POWER_CYCLE);
  if (run.cmdType == CMD_TYPE_ASM) {
    IO_USB_ASM_PowerCtrl(run.device, ASM_POWER_MODE_CYCLE);
    WaitWithProgress(FW_STAGE_WAIT_MS);
  } else if (run.cmdType == CMD_TYPE_JMI) {
    IO_USB_JMI_PowerCtrl(run.device, JMI_POWER_MODE_CYCLE);
    WaitWithProgress(FW_STAGE_WAIT_MS);
  }

  SetProgressStage(80, 100, 0);
  g_step.store(UpdateStep::FIND_AGAIN);
  // A drive that is not found again keeps its record: the list shows it as disconnected under its
  // own name, or selects it once it is back.
  const DriveRecord chosen = drive;
  bool back = GetDiskInfoByPortID(&drive, REREAD_ATTEMPTS, PostProgress) == 1 && SameDrive(chosen, drive);
  TakeRefreshFlag();
  s.selectedDrive = drive;
  ReleaseRefreshFlag();
  SetProgressStage(100, 100, 0);

  // Behind a bridge the power cycle was the reset that activates the image, so the drive read
  // again must run the new firmware. One that reports another revision kept its old firmware: the
  // update failed, however well every command went. One that is not back yet still counts, since
  // a slow bus is no failed update; the next run after a restart finds it.
  int result = UPDATE_OK;
  DriveState outcome = run.cmdType == CMD_TYPE_NVME ? DriveState::PENDING_RESTART : DriveState::UPDATED;
  if (run.cmdType != CMD_TYPE_NVME && !IsKeep(newName)) {
    if (!back) {
      g_verification.store(Verification::NOT_BACK);
      outcome = DriveState::UNVERIFIED;
    } else if (RunsFirmwareName(drive.fwRevision, newName)) {
      g_verification.store(Verification::VERIFIED);
      outcome = DriveState::CURRENT;
    } else {
      g_verification.store(Verification::OTHER_REVISION);
      DebugTraceAlways(u"UpdateWorker: the drive came back running firmware %s, not the new %s: the new firmware did not activate",
                       drive.fwRevision, newName);
      result = UPDATE_ACTIVATION_FAILED;
      outcome = DriveState::ACTIVATION_FAILED;
    }
  }
  RecordUpdateOutcome(run.chosen, run.expected, outcome);
  run.recorded = true;

  platform::Sys().PageFree(run.image);
  run.image = nullptr;
  RefreshDriveList(s.dialogWindow, false);
  return static_cast<uint32_t>(run.Finish(result));
}
