// fwpkg check PACKAGE: checks a package archive or an unpacked package folder, one line per
// finding; exit status 1 when any finding is an error.
// fwpkg newversion PACKAGE: prints the package's NEWVERSION as the updater reads it, for the
// build to stamp into the version information of the executables that embed the package. A
// package with an error prints the errors instead and gives exit status 1.
// fwpkg sample OUT.zip: writes the sample package.
#include <cstdio>

#include "tools/fwpkg/commands.h"
#include "tools/fwpkg/tool_platform.h"
#include "tools/sample/package_check.h"
#include "tools/sample/sample_package.h"

namespace {

// Checks the package that the one argument names; false, after the usage line, without it.
bool CheckNamedPackage(int argc, char** argv, const char* command, CheckReport* report) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: fwpkg %s PACKAGE (a .zip archive or an unpacked folder)\n", command);
    return false;
  }
  InstallToolPlatform();
  char16_t path[1024];
  ArgumentToWide(argv[0], path, 1024);
  CheckPackage(path, report);
  return true;
}

}  // namespace

int CommandCheck(int argc, char** argv) {
  CheckReport report;
  if (!CheckNamedPackage(argc, argv, "check", &report)) return 2;
  for (const CheckFinding& finding : report.findings)
    std::printf("%s\n", FormatFinding(finding).c_str());
  std::printf("%d errors, %d warnings\n", report.errors, report.warnings);
  return report.errors == 0 ? 0 : 1;
}

int CommandNewVersion(int argc, char** argv) {
  CheckReport report;
  if (!CheckNamedPackage(argc, argv, "newversion", &report)) return 2;
  if (report.errors != 0) {
    for (const CheckFinding& finding : report.findings)
      if (finding.level == CheckLevel::Error) std::fprintf(stderr, "%s\n", FormatFinding(finding).c_str());
    return 1;
  }
  std::printf("%s\n", report.newVersion.c_str());
  return 0;
}

int CommandSample(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: fwpkg sample OUT.zip\n");
    return 2;
  }
  if (!WriteSamplePackage(argv[0])) {
    std::fprintf(stderr, "fwpkg sample: cannot write %s\n", argv[0]);
    return 1;
  }
  return 0;
}
