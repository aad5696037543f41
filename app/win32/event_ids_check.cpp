// The event identifiers of app/events.h held against those windmc writes from the message table
// (resources/event_messages.mc): an event reported with an identifier the table lacks would show
// in Event Viewer without its sentence.
#include <windows.h>

#include "app/events.h"
#include "event_messages.h"

static_assert(event_id::RUN_STARTED == QV_MSG_RUN_STARTED);
static_assert(event_id::RUN_ENDED == QV_MSG_RUN_ENDED);
static_assert(event_id::RUN_ENDED_RETRY == QV_MSG_RUN_ENDED_RETRY);
static_assert(event_id::RUN_ENDED_FAILED == QV_MSG_RUN_ENDED_FAILED);
static_assert(event_id::SHUTDOWN_STARTED == QV_MSG_SHUTDOWN_STARTED);
static_assert(event_id::SHUTDOWN_NOT_STARTED == QV_MSG_SHUTDOWN_NOT_STARTED);
static_assert(event_id::DRIVE_UPDATED == QV_MSG_DRIVE_UPDATED);
static_assert(event_id::DRIVE_WAITS_RESTART == QV_MSG_DRIVE_WAITS_RESTART);
static_assert(event_id::DRIVE_WAITS_POWER_OFF == QV_MSG_DRIVE_WAITS_POWER_OFF);
static_assert(event_id::DRIVE_SKIPPED == QV_MSG_DRIVE_SKIPPED);
static_assert(event_id::DRIVE_FAILED == QV_MSG_DRIVE_FAILED);
static_assert(event_id::DRIVE_ACTIVATION_FAILED == QV_MSG_DRIVE_ACTIVATION_FAILED);
static_assert(event_id::DRIVE_NOT_BACK == QV_MSG_DRIVE_NOT_BACK);
static_assert(event_id::DRIVE_NOT_REACHABLE == QV_MSG_DRIVE_NOT_REACHABLE);
static_assert(event_id::DRIVE_PIECES_LEFT == QV_MSG_DRIVE_PIECES_LEFT);
static_assert(event_id::DRIVE_STATES_UNAVAILABLE == QV_MSG_DRIVE_STATES_UNAVAILABLE);
static_assert(event_id::LOG_NOT_WRITTEN == QV_MSG_LOG_NOT_WRITTEN);
// The type each event is reported with is its identifier's severity.
static_assert(STATUS_SEVERITY_ERROR == 3 && STATUS_SEVERITY_WARNING == 2 && STATUS_SEVERITY_INFORMATIONAL == 1);
