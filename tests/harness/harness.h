// The launch harness's DLL (qvharness.dll). qvlaunch.exe loads it into the unchanged product
// executable before the program's own code runs; it rewrites the executable's imports of the
// device API to the stand-ins below, which serve the emulated bench compiled into the DLL.
//
// The stand-ins follow the documented contracts of the functions they replace, as strictly as
// the system applies them: a wrong record size, a short buffer, an unknown handle or a request
// the device does not know fails with the error the system gives.
//
// The environment of the launcher names the files:
//   QV_HARNESS_BENCH    the bench file (default: the default bench)
//   QV_HARNESS_CAPTURE  the capture of every device request
//   QV_HARNESS_EVENTS   a text file: a requested restart or power-off, the calls each stand-in
//                       received, the program's events and accessibility events, a harness failure
//   QV_HARNESS_IMAGES   a folder: the firmware image each drive was given, one file per drive
//   QV_HARNESS_POWER, QV_HARNESS_PRIVILEGE, QV_HARNESS_PAUSE: the power status, a process without
//                       the shutdown privilege, a pause (standin_power.cpp, standin_shutdown.cpp)
#pragma once
#include <windows.h>

#include <span>
#include <string>

#include "emu/bench.h"

namespace harness {

// The bench, made from QV_HARNESS_BENCH on first use. A bench that cannot be read ends the
// program with exit code 3, after a line in the events file.
emu::Bench& TheBench();

// Counts a call of a stand-in, for the report written when the program ends.
void Count(const char* standIn);

// Appends a line (without its line end) to the events file, when one is named.
void EventLine(const std::string& line);

// Announces a device change to the program's top-level windows, as the system does.
void BroadcastDeviceChange();

// A stand-in and the name of the function it replaces.
struct StandIn {
  const char* name;
  void* function;
};

// Each group of stand-ins, and whether a name belongs to the API they cover (an import of such a
// name without a stand-in is refused, so nothing of the device API reaches the system unseen).
std::span<const StandIn> DeviceIoStandIns();
std::span<const StandIn> DeviceTreeStandIns();
std::span<const StandIn> ShutdownStandIns();
std::span<const StandIn> PowerStandIns();  // the updater's mutex and namespace, the power status, the execution state
std::span<const StandIn> EventStandIns();  // the Event Log and the accessibility events
bool IsDeviceTreeName(const char* name);

// Holds a device request while a test runs another program (QV_HARNESS_PAUSE).
void PauseBeforeRequest(DWORD code);

// A handle is being closed: a token of the shutdown stand-ins is forgotten with it.
void ForgetToken(HANDLE handle);

// An environment variable of the launcher's, empty when it is not set.
std::wstring Environment(const wchar_t* name);

// UTF-8 of a wide text.
std::string Utf8(const wchar_t* text);

}  // namespace harness
