// AppState: the one application-state record of the process. Zero-filled by the entry point
// before the dialog exists, reached from everywhere through AppStateGet(). All strings are
// fixed arrays inside it and always terminated.
#pragma once
#include <cstdint>

#include "core/drive_record.h"
#include "platform/system.h"
#include "platform/types.h"

constexpr size_t TEXT_SHORT = 64;
constexpr size_t TEXT_PATH = 260;
constexpr size_t TEXT_LONG = 1024;

struct AppState {
  platform::WindowHandle dialogWindow;
  platform::ThreadHandle workerThread;
  char16_t title[TEXT_PATH];
  char16_t packageFolder[TEXT_PATH];
  uint32_t driveCount;
  DriveRecord drives[MAX_DRIVES];
  // Every disk the last list rebuild walked, with its drive or why it has none. The dialog lists
  // only drives it can update; the console program names those of the package's model that it
  // cannot reach, and lists them all (list --all).
  DisksSeen disks;
  DriveRecord selectedDrive;
  char16_t socId[TEXT_SHORT];
  char16_t modelName[TEXT_SHORT];
  char16_t fwVersionList[TEXT_PATH];
  char16_t newVersion[TEXT_SHORT];
  char16_t beforeMessage[TEXT_LONG];
  char16_t afterMessage[TEXT_LONG];
  uint8_t powerCtrl;
  int32_t internalVersionCheckPart;
  int16_t progressFrom;
  int16_t progressTo;
  uint32_t lastSystemError;
  uint32_t traceEnabled;
  // Around an update: the machine-wide lock that RUN holds from its checks to the result, why the
  // last RUN started no update (RunRefusal, app/eligibility.h), and whether the drive answered the
  // last commit with "activation needs a reset" (the worker clears it, the commit sets it).
  platform::NamedLock updateLock;
  uint32_t runRefusal;
  uint32_t commitNeedsReset;
};

static_assert(std::is_trivially_copyable_v<AppState>);

// The accessor: the process's one record.
AppState& AppStateGet();
// Zero-fills the whole record (the entry point does it before the dialog is created).
void AppStateReset();
// Records the system error of a failed device request in lastSystemError. The worker and a list
// rebuild on the dialog thread may both send requests at once, so the store is atomic.
void RecordSystemError(uint32_t error);
