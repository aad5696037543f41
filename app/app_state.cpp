#include "app/app_state.h"

#include <cstring>

namespace {
AppState g_appState;
}

AppState& AppStateGet() { return g_appState; }

void AppStateReset() { std::memset(&g_appState, 0, sizeof g_appState); }
