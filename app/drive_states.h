// Each drive's update state: what decides whether a drive is updated again. It lives in the
// machine's drive-state store (System::ReadDriveState: the registry under HKLM on Windows), where no
// standard user can create, lock or write it, one key per drive (its model and serial number).
//
// It is written ahead: before the first download request the state says the update has begun
// (firmware before, version expected, the boot it happened in); once the commit is accepted, that
// the firmware is committed; at the end, the outcome. A run killed anywhere in between leaves a
// state that the next run settles like any other: at every run of the console program each
// drive's state is settled by what the drive runs now (SettledState). The dialog and the console
// program write the same states.
#pragma once
#include <cstdint>

#include "core/drive_record.h"
#include "platform/system.h"

enum class DriveState : uint8_t {
  NONE,               // nothing recorded
  UPDATING,           // the download has begun; nothing is known to be committed
  COMMITTED,          // the drive accepted the commit; the outcome is not recorded yet
  PENDING_RESTART,    // a native drive's committed firmware waits for a restart of this boot
  UNVERIFIED,         // a bridged drive did not come back after its power cycle
  UPDATED,            // done, and nothing to verify (a package that keeps the firmware name)
  CURRENT,            // the drive runs the package's new version
  ACTIVATION_FAILED,  // the drive runs its old firmware after an update that should have activated
  NEEDS_POWER_OFF,    // a native drive's firmware still waits after a restart: it needs a power-off
  FAILED,             // the update ended before its commit: the drive runs what it ran
  INTERRUPTED,        // a run was cut short in its download: the drive may keep pieces until a reset
  OTHER,              // the drive runs a firmware that is neither the old nor the expected one
};

// Whether the revision a drive reports is the firmware name an update gave it, as far as the
// drive's eight-character revision field (Identify Controller bytes 64-71) holds that name.
bool RunsFirmwareName(const char16_t* revision, const char16_t* name);

// The text the store keeps for a state ("updating", "committed", "pending-restart", ...).
const char* DriveStateName(DriveState state);

struct DriveStateRecord {
  DriveState state = DriveState::NONE;
  char16_t before[DRIVE_TEXT_CHARS] = {};    // the revision before the update
  char16_t expected[DRIVE_TEXT_CHARS] = {};  // the version it brings; empty for a package that keeps the name
  uint64_t boot = 0;                         // the boot in which the state was written
  char16_t source[16] = {};                  // "console" or "dialog"
  char16_t time[24] = {};                    // local time, "YYYY-MM-DD hh:mm:ss"
};

// The drive's key in the store: its model and serial number, trimmed, joined by a space, with
// anything a key name cannot hold replaced. False when the drive has neither.
bool DriveStateKey(const DriveRecord& drive, char16_t* key, size_t capacity);

// Reads the drive's state. MISSING: nothing recorded (record->state NONE). FAILED: the store cannot
// be read, or what it holds is no state: nothing may be decided on it.
platform::StateRead ReadDriveStateRecord(const DriveRecord& drive, DriveStateRecord* record);
// Writes the drive's state, stamped with the time; false when the store could not take it.
bool WriteDriveStateRecord(const DriveRecord& drive, const DriveStateRecord& record);

// Who writes the states of this process: "dialog" unless the console program says "console".
void SetDriveStateSource(const char16_t* source);
const char16_t* DriveStateSource();

// The state a recorded update has now, judged by what the drive runs now (its revision and whether
// firmware waits for activation) and the boot the machine is in. A drive that runs the expected
// version is CURRENT, whatever was recorded.
DriveState SettledState(const DriveStateRecord& record, const DriveRecord& now, uint64_t boot);

// The worker's records around one update: the update has begun (before the first download request;
// false when the store could not take it, and then nothing may be written to the drive), the commit
// was accepted, and the outcome.
bool RecordUpdateBegun(const DriveRecord& drive, const char16_t* expected);
void RecordUpdateCommitted(const DriveRecord& drive, const char16_t* expected);
void RecordUpdateOutcome(const DriveRecord& drive, const char16_t* expected, DriveState outcome);
