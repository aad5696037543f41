// The console side of QuorvelaFwUpdate-cli.exe and its bench twin: standard output and error as
// UTF-8, and the run of one command with the services the executable installs.
#pragma once
#include "platform/host/headless_dialog.h"
#include "platform/platform.h"

// Installs the services (the dialog is the headless one given), prepares AppState as the dialog
// program does, and runs the command in argv[first..argc). Returns the exit code.
int RunFleetConsole(int argc, wchar_t** argv, int first, const platform::Services& services,
                    platform::HeadlessDialog& dialog);
