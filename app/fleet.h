// The command-line companion for fleets: info, list and update of the drives the dialog offers,
// for deployment tools that read an exit code and a log. It runs the dialog's own logic in a
// headless dialog (package loading, drive list and filter, RUN with its checks, the update worker,
// completion), pressing what a user would press; nothing of the update is done twice.
#pragma once
#include <cstddef>

#include "platform/host/headless_dialog.h"

// Where the program's text goes: the console's standard output and standard error, UTF-8.
class FleetConsole {
 public:
  virtual ~FleetConsole() = default;
  virtual void Out(const char* text, size_t length) = 0;
  virtual void Err(const char* text, size_t length) = 0;
};

// Runs one command (the arguments after the program's name; a bench build has taken its own
// options already). The services are installed except the dialog, which is the headless one given
// here, on the installed clock. Returns the exit code (result_codes.h).
int RunFleet(int argc, const char16_t* const* argv, platform::HeadlessDialog& dialog, FleetConsole& console);
