// What the entry point does before the dialog exists, the same in every build.
#pragma once

// The name of the file that switches the gated debug trace on when it lies beside the program.
constexpr const char16_t* TRACE_SWITCH_FILE = u"QuorvelaFwUpdate.trace";

// Zero-fills AppState, then sets traceEnabled from the switch file.
void PrepareAppState();
bool TraceSwitchPresent();
