// The console's part in the drive states. Every run settles each listed drive's state against
// what the drive runs now, before anything is decided; the history, the record people read, is
// written from the same events. When the states cannot be read or written nothing is flashed.
#include <vector>

#include "app/drive_states.h"
#include "app/fleet_private.h"
#include "platform/platform.h"

namespace fleet {
namespace {

struct Settled {
  std::u16string key;
  DriveState state;
};
std::vector<Settled> g_settled;
bool g_unavailable = false;

std::u16string KeyOf(const DriveRecord& drive) {
  char16_t key[platform::STATE_KEY_CHARS];
  return DriveStateKey(drive, key, platform::STATE_KEY_CHARS) ? std::u16string(key) : std::u16string();
}

// The history's word for a state a run settles an update into; null for a change worth no record.
const char* HistoryOutcome(DriveState from, DriveState to) {
  switch (to) {
    case DriveState::CURRENT: return "activated";
    case DriveState::ACTIVATION_FAILED: return "activation-failed";
    case DriveState::NEEDS_POWER_OFF: return "needs-power-off";
    case DriveState::INTERRUPTED: return "interrupted";
    case DriveState::FAILED: return from == DriveState::UPDATING ? "interrupted" : "failed";
    case DriveState::UPDATED: return "updated";
    case DriveState::OTHER: return "other-firmware";
    default: return nullptr;
  }
}

}  // namespace

bool SettleDriveStates(const std::vector<DriveRecord>& drives, std::string* why) {
  g_settled.clear();
  g_unavailable = true;
  uint64_t boot = 0;
  if (!platform::Sys().CurrentBoot(&boot)) {
    *why = "the system does not tell which boot this is";
    return false;
  }
  for (const DriveRecord& d : drives) {
    std::string name = EscapeControls(Utf8(d.model)) + " " + EscapeControls(Trimmed(d.serial));
    DriveStateRecord r;
    if (ReadDriveStateRecord(d, &r) == platform::StateRead::FAILED) {
      *why = "the update state of " + name + " cannot be read";
      return false;
    }
    DriveState now = SettledState(r, d, boot);
    if (now != r.state) {
      DriveStateRecord settled = r;  // the boot and the versions stay those of the update
      settled.state = now;
      if (!WriteDriveStateRecord(d, settled)) {
        *why = "the update state of " + name + " cannot be written";
        return false;
      }
      const char* outcome = HistoryOutcome(r.state, now);
      if (outcome != nullptr && g_watch.history != nullptr) {
        HistoryRecord h;
        h.model = Utf8(d.model);
        h.serial = Trimmed(d.serial);
        h.portId = d.iPort;
        h.before = Utf8(r.before);
        h.expected = Utf8(r.expected);
        h.outcome = outcome;
        h.waits = now == DriveState::NEEDS_POWER_OFF;
        AppendHistory(*g_watch.history, h);
      }
    }
    g_settled.push_back(Settled{KeyOf(d), now});
  }
  g_unavailable = false;
  return true;
}

bool DriveStatesUnavailable() { return g_unavailable; }

DriveState SettledStateOf(const DriveRecord& drive) {
  std::u16string key = KeyOf(drive);
  for (const Settled& s : g_settled)
    if (s.key == key) return s.state;
  return DriveState::NONE;
}

}  // namespace fleet
