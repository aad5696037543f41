// The console program's command line: the usage text, and what the arguments ask for.
#pragma once
#include <string>

enum class Command { NONE, HELP, VERSION, INFO, LIST, UPDATE, HISTORY };

struct Options {
  Command command = Command::NONE;
  bool json = false, yes = false, restart = false, all = false, retry = false;
  const char16_t* serial = nullptr;
  int entry = -1;
  const char16_t* logPath = nullptr;
  std::string commandLine;
  std::string error;
};

extern const char FLEET_USAGE[];

// Reads the arguments (the command first); false with options->error when they are not a command
// line of the program. options->commandLine gets them all, for the log.
bool ParseOptions(int argc, const char16_t* const* argv, Options* options);
