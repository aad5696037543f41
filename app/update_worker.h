// The update worker: one firmware update of the selected drive on a thread of its own.
#pragma once
#include <cstdint>

#include "core/drive_record.h"
#include "platform/types.h"

// The result of an update: UPDATE_OK, one of the command paths' own codes (-4 request failed, -5
// unusable command type, -8 the drive or the bridge reported an error), or one of these.
constexpr int UPDATE_OK = 1;
constexpr int UPDATE_NO_DRIVE = -1;        // the drive's path could not be opened
constexpr int UPDATE_IMAGE_UNUSABLE = -6;  // the image vanished, is empty or fails its layout check
constexpr int UPDATE_NO_WORKER = -7;       // no thread could be started
constexpr int UPDATE_CONFIG_INVALID = -9;  // the configuration block read does not begin with "CONF"
constexpr int UPDATE_OTHER_DRIVE = -10;    // the drive behind the opened path is not the chosen one
// A bridged drive came back from its power cycle running another firmware than the package's new
// one: it took the image and the commit, and still runs its old firmware.
constexpr int UPDATE_ACTIVATION_FAILED = -11;
// The drive's update state could not be written before the download: nothing was sent.
constexpr int UPDATE_STATE_UNWRITABLE = -12;
// The drive refused the download while it keeps the pieces of a download cut short in this boot;
// a restart of the computer clears them.
constexpr int UPDATE_DOWNLOAD_PIECES_LEFT = -13;

// What the drive read again after a bridge's power cycle showed of the last update.
enum class Verification : uint8_t {
  NONE,            // nothing to check: a native drive (it activates at the next restart), a package
                   // that keeps the firmware name, or an update that ended before the power cycle
  VERIFIED,        // the drive came back reporting the package's new version
  NOT_BACK,        // the drive was not found again: the update counts, but nothing proves it
  OTHER_REVISION,  // it came back with another revision: UPDATE_ACTIVATION_FAILED
};
Verification LastVerification();

// The step the last update was at when it ended: where a failure happened.
enum class UpdateStep : uint8_t { OPEN, IMAGE, CONFIGURATION, DOWNLOAD, COMMIT, NAME, POWER_CYCLE, FIND_AGAIN };
UpdateStep LastUpdateStep();
// Its name for the events and the console: "open", "image", "configuration", "download", "commit",
// "name", "power cycle", "find again".
const char16_t* UpdateStepName(UpdateStep step);

constexpr uint32_t FW_STAGE_WAIT_MS = 3000;
constexpr int REREAD_ATTEMPTS = 10;

bool StartWorker(platform::WindowHandle window, platform::ThreadHandle* slot, uint32_t (*proc)(void*));
uint32_t UpdateWorker(void* slot);
int FinishUpdate(platform::ThreadHandle* slot, platform::DeviceHandle device, int result);

// The image path of a drive: "<packageFolder>\<flash type name>.fw". False when it does not fit.
bool ImagePathFor(const DriveRecord& drive, char16_t* path, size_t capacity);
