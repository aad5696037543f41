#include "app/drive_states.h"

#include <cstdio>
#include <cstdlib>

#include "core/trace.h"
#include "discovery/drive_info.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr const char16_t* kState = u"State";
constexpr const char16_t* kBefore = u"FirmwareBefore";
constexpr const char16_t* kExpected = u"VersionExpected";
constexpr const char16_t* kBoot = u"Boot";
constexpr const char16_t* kSource = u"Source";
constexpr const char16_t* kTime = u"Time";

const char16_t* g_source = u"dialog";

struct Named {
  DriveState state;
  const char* name;
};
constexpr Named kNames[] = {
    {DriveState::UPDATING, "updating"},
    {DriveState::COMMITTED, "committed"},
    {DriveState::PENDING_RESTART, "pending-restart"},
    {DriveState::UNVERIFIED, "unverified"},
    {DriveState::UPDATED, "updated"},
    {DriveState::CURRENT, "current"},
    {DriveState::ACTIVATION_FAILED, "activation-failed"},
    {DriveState::NEEDS_POWER_OFF, "needs-power-off"},
    {DriveState::FAILED, "failed"},
    {DriveState::INTERRUPTED, "interrupted"},
    {DriveState::OTHER, "other-firmware"},
};

bool StateFromName(const char16_t* text, DriveState* state) {
  for (const Named& n : kNames) {
    if (platform::Utf8(text) == n.name) {
      *state = n.state;
      return true;
    }
  }
  return false;
}

}  // namespace


bool RunsFirmwareName(const char16_t* revision, const char16_t* name) {
  constexpr size_t kRevisionChars = 8;
  char16_t held[kRevisionChars + 1] = {};
  platform::TextCopy(held, kRevisionChars + 1, name);
  return platform::TextEqualNoCase(revision, held);
}

const char* DriveStateName(DriveState state) {
  for (const Named& n : kNames)
    if (n.state == state) return n.name;
  return "none";
}

bool DriveStateKey(const DriveRecord& drive, char16_t* key, size_t capacity) {
  char16_t model[DRIVE_TEXT_CHARS], serial[DRIVE_TEXT_CHARS];
  platform::TextCopy(model, DRIVE_TEXT_CHARS, drive.model);
  platform::TextCopy(serial, DRIVE_TEXT_CHARS, drive.serial);
  TrimBlanks(model);
  TrimBlanks(serial);
  if (model[0] == 0 && serial[0] == 0) return false;
  int n = platform::FormatText(key, capacity, u"%s %s", model, serial);
  if (n <= 0 || static_cast<size_t>(n) >= capacity) return false;
  // A key name is one name: no separator, nothing a drive could use to reach another key.
  for (char16_t* c = key; *c != 0; ++c)
    if (*c == u'\\' || *c == u'/' || *c < 0x20 || *c == 0x7F) *c = u'_';
  return true;
}

void SetDriveStateSource(const char16_t* source) { g_source = source; }
const char16_t* DriveStateSource() { return g_source; }

platform::StateRead ReadDriveStateRecord(const DriveRecord& drive, DriveStateRecord* r) {
  *r = DriveStateRecord{};
  char16_t key[platform::STATE_KEY_CHARS];
  if (!DriveStateKey(drive, key, platform::STATE_KEY_CHARS)) return platform::StateRead::FAILED;
  char16_t text[platform::STATE_TEXT_CHARS];
  platform::StateRead read = platform::Sys().ReadDriveState(key, kState, text, platform::STATE_TEXT_CHARS);
  if (read != platform::StateRead::FOUND) return read;
  if (!StateFromName(text, &r->state)) return platform::StateRead::FAILED;
  struct {
    const char16_t* name;
    char16_t* out;
    size_t capacity;
  } texts[] = {{kBefore, r->before, DRIVE_TEXT_CHARS},
               {kExpected, r->expected, DRIVE_TEXT_CHARS},
               {kSource, r->source, sizeof r->source / sizeof r->source[0]},
               {kTime, r->time, sizeof r->time / sizeof r->time[0]}};
  for (const auto& t : texts) {
    read = platform::Sys().ReadDriveState(key, t.name, text, platform::STATE_TEXT_CHARS);
    if (read == platform::StateRead::FAILED) return read;
    if (read == platform::StateRead::FOUND) platform::TextCopy(t.out, t.capacity, text);
  }
  // The boot is what the comparisons rest on: a state without one is no state.
  if (platform::Sys().ReadDriveState(key, kBoot, text, platform::STATE_TEXT_CHARS) != platform::StateRead::FOUND)
    return platform::StateRead::FAILED;
  std::string digits = platform::Utf8(text);
  char* end = nullptr;
  r->boot = std::strtoull(digits.c_str(), &end, 10);
  if (digits.empty() || end == nullptr || *end != 0) return platform::StateRead::FAILED;
  return platform::StateRead::FOUND;
}

bool WriteDriveStateRecord(const DriveRecord& drive, const DriveStateRecord& r) {
  char16_t key[platform::STATE_KEY_CHARS];
  if (!DriveStateKey(drive, key, platform::STATE_KEY_CHARS)) return false;
  char16_t state[32], boot[24], time[24] = u"-";
  platform::Utf8ToWide(DriveStateName(r.state), -1, state, 32);
  platform::FormatText(boot, 24, u"%llu", static_cast<unsigned long long>(r.boot));
  platform::LocalDateTime t{};
  if (platform::Sys().LocalTime(&t))
    platform::FormatText(time, 24, u"%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                         t.second);
  // The state goes last: a writer stopped half-way leaves the values of the state before it
  // beside it, never a new state with the old values.
  const platform::StateValue values[] = {{kBefore, r.before}, {kExpected, r.expected}, {kBoot, boot},
                                         {kSource, r.source[0] != 0 ? r.source : g_source}, {kTime, time},
                                         {kState, state}};
  return platform::Sys().WriteDriveState(key, values, sizeof values / sizeof values[0]);
}

DriveState SettledState(const DriveStateRecord& r, const DriveRecord& now, uint64_t boot) {
  if (r.state == DriveState::NONE) return r.state;
  if (r.expected[0] != 0 && RunsFirmwareName(now.fwRevision, r.expected)) return DriveState::CURRENT;
  bool waiting = r.state == DriveState::UPDATING || r.state == DriveState::COMMITTED ||
                 r.state == DriveState::PENDING_RESTART || r.state == DriveState::UNVERIFIED ||
                 r.state == DriveState::NEEDS_POWER_OFF;
  if (!waiting) return r.state;
  bool old = platform::TextEqualNoCase(now.fwRevision, r.before);
  if (now.iCmdType == CMD_TYPE_NVME) {
    // A native drive tells whether committed firmware waits: it does until the reset that applies
    // it. Still waiting in the boot of the update is the restart to come; still waiting after a
    // later boot is a drive that applies its firmware only at a power-off.
    if (now.activationPending != 0) return r.boot == boot ? DriveState::PENDING_RESTART : DriveState::NEEDS_POWER_OFF;
    // Nothing waits. A run cut short before its commit leaves the drive as it was (and, in the same
    // boot, perhaps with pieces of its download). A committed image that no longer waits has been
    // applied, or let go in this boot; after a later boot the old firmware running is the failure.
    if (r.state == DriveState::UPDATING) return r.boot == boot ? DriveState::INTERRUPTED : DriveState::FAILED;
    if (r.expected[0] == 0) return DriveState::UPDATED;
    if (!old) return DriveState::OTHER;
    return r.boot == boot ? DriveState::FAILED : DriveState::ACTIVATION_FAILED;
  }
  // Behind a bridge nothing tells of waiting firmware: the power cycle within the update is the
  // reset. A drive that was power-cycled (not back after it) and runs its old firmware failed its
  // activation; one whose run ended before the power cycle runs what it ran and is updated again.
  if (r.state == DriveState::UPDATING) return r.boot == boot ? DriveState::INTERRUPTED : DriveState::FAILED;
  if (r.expected[0] == 0) return r.state == DriveState::UNVERIFIED ? DriveState::UPDATED : DriveState::FAILED;
  if (!old) return DriveState::OTHER;
  return r.state == DriveState::UNVERIFIED ? DriveState::ACTIVATION_FAILED : DriveState::FAILED;
}

namespace {

bool Record(const DriveRecord& drive, const char16_t* expected, DriveState state) {
  DriveStateRecord r;
  r.state = state;
  platform::TextCopy(r.before, DRIVE_TEXT_CHARS, drive.fwRevision);
  platform::TextCopy(r.expected, DRIVE_TEXT_CHARS, expected);
  if (!platform::Sys().CurrentBoot(&r.boot)) {
    DebugTraceAlways(u"UpdateWorker: the system does not tell which boot this is; the state of %s is not written",
                     drive.devicePath);
    return false;
  }
  if (!WriteDriveStateRecord(drive, r)) {
    DebugTraceAlways(u"UpdateWorker: the state of %s (%hs) cannot be written", drive.devicePath, DriveStateName(state));
    return false;
  }
  return true;
}

}  // namespace

bool RecordUpdateBegun(const DriveRecord& drive, const char16_t* expected) {
  return Record(drive, expected, DriveState::UPDATING);
}
void RecordUpdateCommitted(const DriveRecord& drive, const char16_t* expected) {
  Record(drive, expected, DriveState::COMMITTED);
}
void RecordUpdateOutcome(const DriveRecord& drive, const char16_t* expected, DriveState outcome) {
  Record(drive, expected, outcome);
}
