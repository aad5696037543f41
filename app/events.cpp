#include "app/events.h"

#include <atomic>
#include <string>

#include "app/result_codes.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "discovery/drive_info.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

char16_t g_program[TEXT_SHORT] = u"QuorvelaFwUpdate";
DriveRecord g_updating{};  // the drive of the update that runs, as RUN checked it
std::atomic<uint32_t> g_updated{0}, g_failed{0};

// One insertion string as plain one-line text in out (EVENT_STRING_CHARS + 1 units).
void PlainText(const char16_t* text, char16_t* out) {
  std::string line = platform::EscapeControls(platform::Utf8(text != nullptr ? text : u""));
  platform::Utf8ToWide(line.c_str(), static_cast<ptrdiff_t>(line.size()), out, platform::EVENT_STRING_CHARS + 1);
  // Event Viewer replaces "%%n" in a formatted event with the n-th text of a parameter file.
  for (size_t i = 0; out[i] != 0 && out[i + 1] != 0; ++i) {
    if (out[i] != u'%' || out[i + 1] != u'%') continue;
    char16_t rest[platform::EVENT_STRING_CHARS + 1];
    platform::TextCopy(rest, platform::EVENT_STRING_CHARS + 1, out + i + 1);
    out[i + 1] = u' ';
    platform::TextCopy(out + i + 2, platform::EVENT_STRING_CHARS + 1 - (i + 2), rest);
  }
}

bool IsFailed(uint32_t id) {
  return id == event_id::DRIVE_FAILED || id == event_id::DRIVE_ACTIVATION_FAILED || id == event_id::DRIVE_NOT_REACHABLE;
}

}  // namespace

platform::EventType EventTypeOf(uint32_t eventId) {
  switch (eventId >> 30) {
    case 3: return platform::EventType::ERROR_EVENT;
    case 2: return platform::EventType::WARNING_EVENT;
    default: return platform::EventType::INFORMATION_EVENT;
  }
}

void BeginEvents(const char16_t* program) {
  platform::TextCopy(g_program, TEXT_SHORT, program);
  g_updated.store(0);
  g_failed.store(0);
}

bool ReportProgramEvent(uint32_t eventId, const char16_t* const* strings, uint32_t count) {
  constexpr uint32_t MAX = platform::EVENT_STRINGS_MAX;
  if (count >= MAX) return false;
  static thread_local char16_t texts[MAX][platform::EVENT_STRING_CHARS + 1];
  const char16_t* pointers[MAX];
  PlainText(g_program, texts[0]);
  pointers[0] = texts[0];
  for (uint32_t i = 0; i < count; ++i) {
    PlainText(strings[i], texts[i + 1]);
    pointers[i + 1] = texts[i + 1];
  }
  return platform::Sys().WriteEvent(EVENT_SOURCE, EventTypeOf(eventId), eventId, pointers, count + 1);
}

bool ReportDriveEvent(uint32_t eventId, const DriveRecord& drive, const char16_t* before, const char16_t* extra1,
                      const char16_t* extra2, const char16_t* extra3) {
  char16_t serial[DRIVE_TEXT_CHARS], port[24];
  platform::TextCopy(serial, DRIVE_TEXT_CHARS, drive.serial);
  TrimBlanks(serial);
  platform::FormatText(port, 24, u"%lld", static_cast<long long>(drive.iPort));
  const char16_t* strings[] = {drive.model, serial, port, before, AppStateGet().newVersion, extra1, extra2, extra3};
  uint32_t count = extra3 != nullptr ? 8 : extra2 != nullptr ? 7 : extra1 != nullptr ? 6 : 5;
  if (IsFailed(eventId)) ++g_failed;
  return ReportProgramEvent(eventId, strings, count);
}

bool ReportDiskNotReachable(const DiskSeen& disk, const char16_t* why) {
  ++g_failed;
  const char16_t* strings[] = {disk.model, disk.serial, u"none", u"unknown", AppStateGet().newVersion, why};
  return ReportProgramEvent(event_id::DRIVE_NOT_REACHABLE, strings, 6);
}

EventTally DriveEventTally() { return EventTally{g_updated.load(), g_failed.load()}; }

void ReportRunStarted(const char16_t* command) {
  const char16_t* strings[] = {u"" QV_PROGRAM_VERSION, AppStateGet().newVersion, command};
  ReportProgramEvent(event_id::RUN_STARTED, strings, 3);
}

void ReportRunEnded(int exitCode, const char* meaning) {
  EventTally tally = DriveEventTally();
  bool failed = tally.failed > 0 || exitCode == EXIT_UPDATE_FAILED || exitCode == EXIT_PACKAGE_UNUSABLE ||
                exitCode == EXIT_BAD_ARGUMENTS;
  uint32_t id = failed ? event_id::RUN_ENDED_FAILED
                : exitCode == EXIT_TRY_AGAIN_LATER ? event_id::RUN_ENDED_RETRY
                                                   : event_id::RUN_ENDED;
  char16_t code[16], meaningText[TEXT_PATH], updated[16], failedCount[16];
  platform::FormatText(code, 16, u"%d", exitCode);
  platform::Utf8ToWide(meaning, -1, meaningText, TEXT_PATH);
  platform::FormatText(updated, 16, u"%u", tally.updated);
  platform::FormatText(failedCount, 16, u"%u", tally.failed);
  const char16_t* strings[] = {code, meaningText, updated, failedCount};
  ReportProgramEvent(id, strings, 4);
}

void NoteUpdateBegins(const DriveRecord& drive) { g_updating = drive; }
const DriveRecord& UpdatingDrive() { return g_updating; }

void ReportUpdateResult(int result) {
  AppState& s = AppStateGet();
  const DriveRecord& d = g_updating;
  char16_t meaning[TEXT_PATH], code[16];
  platform::Utf8ToWide(UpdateResultMeaning(result), -1, meaning, TEXT_PATH);
  platform::FormatText(code, 16, u"%d", result);
  if (result == UPDATE_ACTIVATION_FAILED) {
    // The drive came back: what it runs now is in the record the worker read again.
    ReportDriveEvent(event_id::DRIVE_ACTIVATION_FAILED, d, s.selectedDrive.fwRevision);
  } else if (result == UPDATE_NO_DRIVE || result == UPDATE_OTHER_DRIVE) {
    ReportDriveEvent(event_id::DRIVE_NOT_REACHABLE, d, d.fwRevision, meaning);
  } else if (result == UPDATE_STATE_UNWRITABLE) {
    // Nothing was sent: without its state written ahead the drive could be flashed in a loop.
    char16_t text[TEXT_PATH];
    char16_t serial[DRIVE_TEXT_CHARS];
    platform::TextCopy(serial, DRIVE_TEXT_CHARS, d.serial);
    TrimBlanks(serial);
    platform::FormatText(text, TEXT_PATH, u"drive %s (serial number %s): %s", d.model, serial, meaning);
    const char16_t* strings[] = {text};
    ++g_failed;
    ReportProgramEvent(event_id::DRIVE_STATES_UNAVAILABLE, strings, 1);
  } else if (result == UPDATE_DOWNLOAD_PIECES_LEFT) {
    // Not a failure of the drive: a restart clears the pieces, and the update can run again.
    ReportDriveEvent(event_id::DRIVE_PIECES_LEFT, d, d.fwRevision);
  } else if (result != UPDATE_OK) {
    ReportDriveEvent(event_id::DRIVE_FAILED, d, d.fwRevision, UpdateStepName(LastUpdateStep()), code, meaning);
  } else {
    ++g_updated;
    // A native drive activates the committed image at its next reset; the package may ask for a
    // power-off instead of a restart to finish.
    bool powerOff = s.afterMessage[0] != 0 && s.powerCtrl == 1;
    uint32_t id = LastVerification() == Verification::NOT_BACK ? event_id::DRIVE_NOT_BACK
                  : d.iCmdType != CMD_TYPE_NVME             ? event_id::DRIVE_UPDATED
                  : powerOff                                 ? event_id::DRIVE_WAITS_POWER_OFF
                                                             : event_id::DRIVE_WAITS_RESTART;
    ReportDriveEvent(id, d, d.fwRevision);
  }
}

void ReportShutdown(uint32_t flags, const platform::ShutdownResult& result) {
  const char16_t* what = flags == platform::EXITWIN_POWEROFF ? u"power-off" : u"restart";
  if (result.privilegeEnabled && result.accepted) {
    const char16_t* strings[] = {what};
    ReportProgramEvent(event_id::SHUTDOWN_STARTED, strings, 1);
    return;
  }
  char16_t error[16];
  platform::FormatText(error, 16, u"%u", result.error);
  const char16_t* strings[] = {
      what, result.privilegeEnabled ? u"Windows refused the request" : u"the shutdown privilege could not be enabled", error};
  ReportProgramEvent(event_id::SHUTDOWN_NOT_STARTED, strings, 3);
}
