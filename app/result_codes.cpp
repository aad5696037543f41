#include "app/result_codes.h"

#include <cstring>

#include "app/update_worker.h"
#include "discovery/drive_info.h"
#include "nvme/nvme_command.h"

namespace {

const CodeMeaning kUpdateResults[] = {
    {1, "success"},
    {-1, "the drive could not be opened"},
    {NVME_RESULT_IO_FAILED, "a device request failed"},
    {NVME_RESULT_BAD_CMD_TYPE, "the drive cannot be used: no known command path, or no answer to Identify"},
    {UPDATE_IMAGE_UNUSABLE, "the firmware image is missing, empty or damaged"},
    {UPDATE_NO_WORKER, "no update thread could be started"},
    {NVME_RESULT_DEVICE_ERROR, "the drive or its bridge reported an error"},
    {UPDATE_CONFIG_INVALID, "the drive's configuration block is not valid; it was neither carried over nor written back"},
    {UPDATE_OTHER_DRIVE, "another drive answers at the chosen drive's place; nothing was written"},
    {UPDATE_ACTIVATION_FAILED, "the drive came back from its power cycle still running another firmware than the new one"},
    {UPDATE_STATE_UNWRITABLE, "the drive's update state could not be written; nothing was sent"},
    {UPDATE_DOWNLOAD_PIECES_LEFT, "the drive keeps pieces of a download cut short earlier; restart the computer, then update again"},
    {FLEET_REFUSED, "RUN started no update (the drive was not found again as the chosen one, or no thread could be started); nothing was written"},
    {FLEET_NOT_LISTED, "the drive left the list before its turn; nothing was written"},
};

const CodeMeaning kExitCodes[] = {
    {EXIT_DONE, "done, or nothing to update; no restart needed"},
    {EXIT_RESTART_NEEDED, "done; a restart is needed to finish"},
    {EXIT_RESTART_STARTED, "done; the restart (or power-off) was started"},
    {EXIT_UPDATE_FAILED, "at least one update failed, or a drive of the package's model cannot be reached"},
    {EXIT_TRY_AGAIN_LATER, "not now: another firmware update is running, or the computer runs on a low battery; retry later"},
    {EXIT_PACKAGE_UNUSABLE, "the embedded package is unusable"},
    {EXIT_BAD_ARGUMENTS, "bad arguments"},
};

template <size_t N>
const char* Find(const CodeMeaning (&table)[N], int code, const char* otherwise) {
  for (const CodeMeaning& c : table)
    if (c.code == code) return c.meaning;
  return otherwise;
}

}  // namespace

const CodeMeaning* UpdateResultCodes(size_t* count) {
  *count = sizeof kUpdateResults / sizeof kUpdateResults[0];
  return kUpdateResults;
}

const CodeMeaning* ExitCodes(size_t* count) {
  *count = sizeof kExitCodes / sizeof kExitCodes[0];
  return kExitCodes;
}

const char* UpdateResultMeaning(int code) { return Find(kUpdateResults, code, "failure"); }
const char* ExitCodeMeaning(int code) { return Find(kExitCodes, code, "?"); }

const char* DiskReasonWord(DiskReason reason) {
  switch (reason) {
    case DiskReason::NOT_NVME: return "not-nvme";
    case DiskReason::RAID_CONTROLLER: return "raid-controller";
    case DiskReason::UNKNOWN_BRIDGE: return "unknown-bridge";
    case DiskReason::OTHER_BUS: return "unsupported-bus";
    case DiskReason::UNREADABLE: return "unreadable";
    case DiskReason::TOO_SMALL: return "too-small";
    case DiskReason::DRIVE: break;
  }
  return nullptr;
}

// What the administrator is to do about a drive that is not updated, by the word that names why:
// the reasons of the drive states and those of the drives the program cannot reach. Empty where
// the word itself says enough.
const char* ReasonAdvice(const char* reason) {
  static const struct {
    const char* reason;
    const char* advice;
  } kAdvice[] = {
      {"needs-power-off",
       "its new firmware still waits after a restart and comes into use only at a power-off: shut the computer down "
       "completely, then start it again (another restart does not help)"},
      {"states-unavailable", "the drives' update states cannot be read or written, so nothing is flashed"},
      {"activation-failed", "it still ran its old firmware after its last update: update --retry flashes it once more"},
      {"raid-controller",
       "its controller runs in RAID or Intel VMD/RST mode, which passes no NVMe command to the drive: switch the "
       "controller to AHCI in the firmware setup (when Windows starts from a disk on that controller, prepare Windows "
       "for the change first), or update the drive attached directly in another computer"},
      {"unknown-bridge",
       "it is behind a USB bridge the updater does not know: connect the drive directly (an M.2 slot), or through an "
       "ASMedia or JMicron bridge"},
      {"unsupported-bus",
       "its storage driver passes no NVMe command to it: attach the drive where the Windows NVMe driver serves it (an "
       "M.2 slot of the main board)"},
      {"unreadable", "it does not answer Identify: check the drive and its connection, then run again"},
  };
  if (reason == nullptr) return "";
  for (const auto& a : kAdvice)
    if (std::strcmp(a.reason, reason) == 0) return a.advice;
  return "";
}
