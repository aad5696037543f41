#include "core/app_state.h"

#include <atomic>
#include <cstring>

namespace {
AppState g_appState;
}

AppState& AppStateGet() { return g_appState; }

void AppStateReset() { std::memset(&g_appState, 0, sizeof g_appState); }

void RecordSystemError(uint32_t error) { std::atomic_ref<uint32_t>(g_appState.lastSystemError).store(error); }
