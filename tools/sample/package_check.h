// The package check a release engineer runs before shipping a package: the information file's
// keys and values, the image names, each image's page table, trailer CRC and internal version.
// It reads through platform::Sys() with the program's own INI reader, ZIP reader and image code,
// so it sees a package as the updater will.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class CheckLevel { Ok, Warning, Error };

struct CheckFinding {
  CheckLevel level;
  std::string subject;  // the file or key the finding is about
  std::string text;
};

struct CheckReport {
  std::vector<CheckFinding> findings;
  int errors = 0;
  int warnings = 0;
  std::string newVersion;  // NEWVERSION as the updater reads it, UTF-8; empty when there is none
};

// Checks an unpacked package folder.
void CheckPackageFolder(const char16_t* folder, CheckReport* report);
// Unpacks an archive with the ZIP reader into a fresh folder under the temporary folder, checks
// the folder and removes it again. Entries that do not extract are errors, and so are names that
// are not UTF-8 (the program reads every name as UTF-8) and two names that land on one path on
// Windows (the later entry replaces the earlier).
void CheckPackageArchive(const char16_t* archive, CheckReport* report);
// A folder or an archive, whichever the path names.
void CheckPackage(const char16_t* path, CheckReport* report);

// One line: "ok", "warning" or "error", the subject and the text, its control characters escaped.
std::string FormatFinding(const CheckFinding& finding);

// Failures of archive entries counted by result code, so that an archive of thousands of broken
// entries gives a few lines of each failure and then one line for the rest.
constexpr int FAILURES_SHOWN = 10;
struct FailureTally {
  std::vector<std::pair<uint32_t, int>> counts;  // result code, entries that gave it
};
// Counts one failure; true while it is among the first FAILURES_SHOWN of its code.
bool TallyFailure(FailureTally* tally, uint32_t code);

