// The program's events in the Application log, under one source for the dialog and the console
// program: a run's start and end, each drive's outcome, a restart asked for, and what keeps the
// program from its records. The sentences are the message table's (resources/event_messages.mc);
// an event carries only its identifier and its insertion strings.
#pragma once
#include <cstdint>

#include "core/drive_record.h"
#include "platform/system.h"

constexpr const char16_t* EVENT_SOURCE = u"QuorvelaFwUpdate";

// The event identifiers as the message table defines them: the severity in bits 31-30 (1
// information, 2 warning, 3 error) above the event ID Event Viewer shows (the low 16 bits).
// app/win32/event_ids_check.cpp holds them against the identifiers windmc writes.
namespace event_id {
constexpr uint32_t RUN_STARTED = 0x400003E8;              // 1000
constexpr uint32_t RUN_ENDED = 0x400003E9;                // 1001
constexpr uint32_t RUN_ENDED_RETRY = 0x800003EA;          // 1002
constexpr uint32_t RUN_ENDED_FAILED = 0xC00003EB;         // 1003
constexpr uint32_t SHUTDOWN_STARTED = 0x400003EC;         // 1004
constexpr uint32_t SHUTDOWN_NOT_STARTED = 0x800003ED;     // 1005
constexpr uint32_t DRIVE_UPDATED = 0x4000044C;            // 1100
constexpr uint32_t DRIVE_WAITS_RESTART = 0x4000044D;      // 1101
constexpr uint32_t DRIVE_WAITS_POWER_OFF = 0x8000044E;    // 1102
constexpr uint32_t DRIVE_SKIPPED = 0x4000044F;            // 1103
constexpr uint32_t DRIVE_FAILED = 0xC0000456;             // 1110
constexpr uint32_t DRIVE_ACTIVATION_FAILED = 0xC0000457;  // 1111
constexpr uint32_t DRIVE_NOT_BACK = 0x80000458;           // 1112
constexpr uint32_t DRIVE_NOT_REACHABLE = 0xC0000459;      // 1113
constexpr uint32_t DRIVE_PIECES_LEFT = 0x8000045A;        // 1114
constexpr uint32_t DRIVE_STATES_UNAVAILABLE = 0xC0000460; // 1120
constexpr uint32_t LOG_NOT_WRITTEN = 0x80000461;          // 1121
}  // namespace event_id

// The type an identifier's severity gives its event.
platform::EventType EventTypeOf(uint32_t eventId);

// The program the events name (%1 of every sentence): the executable's name without ".exe". Set
// once at the start; the tally of the drives' outcomes starts at zero.
void BeginEvents(const char16_t* program);

// One event with up to EVENT_STRINGS_MAX - 1 strings after the program's name. Each string is
// made one line of plain text first: control characters become \xHH (as on the console), a "%%"
// that Event Viewer would replace with a system text becomes "% %", and a string is cut to
// EVENT_STRING_CHARS. False when the log did not take it.
bool ReportProgramEvent(uint32_t eventId, const char16_t* const* strings, uint32_t count);

// A drive's event: the drive's model, serial number and port ID, the firmware it ran before and
// the package's new version, then up to three more strings. The failures count in the tally
// (failed, activation failed, not reachable); the updates count where their result is reported.
bool ReportDriveEvent(uint32_t eventId, const DriveRecord& drive, const char16_t* before, const char16_t* extra1 = nullptr,
                      const char16_t* extra2 = nullptr, const char16_t* extra3 = nullptr);
// A disk of the package's model that the updater cannot reach: DRIVE_NOT_REACHABLE with the
// descriptor's model and serial number, no port ID or firmware, and why (what to do).
bool ReportDiskNotReachable(const DiskSeen& disk, const char16_t* why);

struct EventTally {
  uint32_t updated;
  uint32_t failed;
};
EventTally DriveEventTally();

// The run's start (command: the console's command line, or what started the dialog) and end: the
// end is an error when a drive failed or the exit code is one of failure, a warning for "try
// again later", and information otherwise; it carries the exit code and the tally.
void ReportRunStarted(const char16_t* command);
void ReportRunEnded(int exitCode, const char* meaning);

// Around an update the dialog's logic runs, in either program: the drive as RUN checked it, noted
// before the worker starts, and the event of the update's result, told from the worker's
// verification and the step it ended at.
void NoteUpdateBegins(const DriveRecord& drive);
void ReportUpdateResult(int result);
// The drive of the update that runs (or ran last), as RUN checked it.
const DriveRecord& UpdatingDrive();
// The restart or power-off asked for (flags platform::EXITWIN_*), started or not.
void ReportShutdown(uint32_t flags, const platform::ShutdownResult& result);
