// The seam for the fwpkg tool: the build's own System and Clock (POSIX files on the host, Win32 on
// Windows), installed once before any command runs, and the conversion of command-line arguments.
#pragma once
#include <cstddef>
#include <string>

// Installs the build's System and Clock (only once; later calls do nothing).
void InstallToolPlatform();
// A command-line argument as UTF-16 (UTF-8 on the host, the ANSI code page on Windows).
void ArgumentToWide(const char* argument, char16_t* out, size_t capacity);
// UTF-16 text as UTF-8 for printing, its control characters escaped (one name stays one line).
std::string Printable(const char16_t* text);
