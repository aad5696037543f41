// The console program's listing: the drives the dialog lists with the package's answer for each,
// and the commands that only tell (help, version, info, list, history).
#include <cstdio>
#include <string>
#include <vector>

#include "app/drive_list.h"
#include "app/drive_states.h"
#include "app/eligibility.h"
#include "app/fleet_private.h"
#include "app/package_files.h"
#include "app/package_info.h"
#include "app/result_codes.h"
#include "core/app_state.h"
#include "discovery/drive_info.h"
#include "discovery/storage_device.h"
#include "nvme/flash_id.h"
#include "platform/text.h"
#include "resources/resource.h"

namespace fleet {
namespace {

// The images this run unpacked from the package into its folder (not whatever else lies there).
std::vector<std::u16string> PackageImages() {
  std::vector<std::u16string> images;
  std::u16string folder = std::u16string(AppStateGet().packageFolder) + u"\\";
  for (size_t i = 0; i < PackageFileCount(); ++i) {
    std::u16string path = PackageFilePath(i);
    if (path.compare(0, folder.size(), folder) != 0) continue;
    std::u16string name = path.substr(folder.size());
    if (name.size() > 3 && name.find_first_of(u"\\/") == std::u16string::npos &&
        platform::TextEqualNoCase(name.c_str() + name.size() - 3, u".fw"))
      images.push_back(name);
  }
  return images;
}

std::string InterfaceText(const DriveRecord& drive) {
  char16_t text[256];
  FormatInterfaceText(drive, text, 256);
  return Utf8(text);
}

}  // namespace

bool RunsNewVersion(const DriveRecord& drive) {
  AppState& s = AppStateGet();
  return s.newVersion[0] != 0 && !platform::TextEqualNoCase(s.newVersion, u"KEEP") &&
         RunsFirmwareName(drive.fwRevision, s.newVersion);
}

const char* Reason(const DriveRecord& drive) {
  // Without the drive states nothing can tell a drive stuck in an update loop from a healthy one.
  if (DriveStatesUnavailable()) return "states-unavailable";
  DriveState state = SettledStateOf(drive);
  // Firmware still waits after a restart: the drive applies it only at a power-off, and another
  // restart would not help.
  if (state == DriveState::NEEDS_POWER_OFF) return "needs-power-off";
  // Firmware committed to a native drive runs from the next restart; until then the drive reports
  // its old revision, and another update would only replace what waits.
  if (drive.activationPending != 0) return "pending-restart";
  // The drive ran its old firmware after its last update: updating it again unasked would flash
  // and restart the computer over and over.
  if (!g_watch.retry && state == DriveState::ACTIVATION_FAILED) return "activation-failed";
  if (RunsNewVersion(drive)) return "current";
  Eligibility e = CheckEligibility(drive);
  return e == Eligibility::ELIGIBLE ? nullptr : EligibilityWord(e);
}

std::vector<DriveRecord> ListedDrives(HeadlessDialog& dialog, WindowHandle window) {
  std::vector<DriveRecord> drives;
  size_t count = dialog.ComboEntries(IDC_DRIVE_LIST).size();
  for (size_t i = 0; i < count; ++i)
    if (const DriveRecord* d = EntryDrive(window, static_cast<int>(i))) drives.push_back(*d);
  return drives;
}

std::vector<Row> ListedRows(HeadlessDialog& dialog, WindowHandle window) {
  std::vector<Row> rows;
  size_t count = dialog.ComboEntries(IDC_DRIVE_LIST).size();
  for (size_t i = 0; i < count; ++i)
    if (const DriveRecord* d = EntryDrive(window, static_cast<int>(i)))
      rows.push_back(Row{static_cast<int>(i), *d, Reason(*d)});
  return rows;
}

std::vector<DiskSeen> UnreachableOfPackage() {
  AppState& s = AppStateGet();
  std::vector<DiskSeen> disks;
  for (uint32_t i = 0; i < s.disks.count && i < MAX_PROBED_DISKS; ++i)
    if (UnreachableOfModel(s.disks.disks[i], s.modelName)) disks.push_back(s.disks.disks[i]);
  return disks;
}

bool PackageUsable(std::string* why) {
  AppState& s = AppStateGet();
  UnpackTally unpacked = LastUnpackTally();
  char16_t path[TEXT_PATH + 32];
  if (s.packageFolder[0] == 0) *why = "no folder could be made for the package";
  else if (unpacked.entries <= 0 && ArchiveOpenFailureText(path, TEXT_PATH + 32) > 0)
    *why = "the package archive cannot be unpacked: " + Utf8(path);
  else if (unpacked.entries <= 0) *why = "the package archive is missing or cannot be opened";
  else if (unpacked.written != unpacked.entries)
    *why = Number(unpacked.entries - unpacked.written) + " of the package's " + Number(unpacked.entries) + " entries are damaged";
  else if (platform::FormatText(path, TEXT_PATH + 32, u"%s\\QuorvelaInfo.ini", s.packageFolder) <= 0 || !IsPackageFile(path))
    *why = "the package has no QuorvelaInfo.ini";
  else if (s.socId[0] == 0) *why = "the package names no SOCID, so it applies to no drive";
  else if (PackageImages().empty())
    *why = "the package holds no firmware image";
  else return true;
  return false;
}

// ---- commands ----------------------------------------------------------------------------------------

void PrintHelp() {
  std::string text = FLEET_USAGE;
  size_t count = 0;
  const CodeMeaning* codes = ExitCodes(&count);
  text += "\nexit codes:\n";
  for (size_t i = 0; i < count; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "  %5d  %s\n", codes[i].code, codes[i].meaning);
    text += line;
  }
  codes = UpdateResultCodes(&count);
  text += "\nresult codes of one drive's update (console, --json and log):\n";
  for (size_t i = 0; i < count; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "  %5d  %s\n", codes[i].code, codes[i].meaning);
    text += line;
  }
  g_watch.console->Out(text.data(), text.size());
}

int PrintVersion() {
  AppState& s = AppStateGet();
  CreatePackageFolder();
  ExtractPackage(u"FWPACKAGEZIP", IDR_FWPACKAGE, s.packageFolder);
  LoadPackageInfo();
  std::string text = "QuorvelaFwUpdate-cli " QV_PROGRAM_VERSION "\n";
  std::string why;
  bool usable = PackageUsable(&why);
  if (usable) text += "package " + Utf8(s.newVersion) + "\n";
  g_watch.console->Out(text.data(), text.size());
  if (!usable) Complain("the embedded package is unusable: " + why);
  RemovePackageFolder();
  return usable ? EXIT_DONE : EXIT_PACKAGE_UNUSABLE;
}

void PrintInfo() {
  AppState& s = AppStateGet();
  std::string versions = Utf8(s.fwVersionList);
  if (versions.size() >= 2) versions = versions.substr(1, versions.size() - 2);  // stored as ";list;"
  std::string text = "title              " + Utf8(s.title) + "\n" +
                     "new version        " + Utf8(s.newVersion) + "\n" +
                     "model filter       " + Utf8(s.modelName) + "\n" +
                     "SoC                " + Utf8(s.socId) + "\n" +
                     "accepted revisions " + (versions.empty() ? "(any)" : versions) + "\n" +
                     "after success      " +
                     (s.afterMessage[0] == 0 ? "nothing"
                      : s.powerCtrl == 1     ? "power-off"
                      : s.powerCtrl == 2     ? "restart"
                                             : "report only") +
                     "\nimages:\n";
  std::vector<std::u16string> images = PackageImages();
  for (const std::u16string& image : images) {
    std::u16string stem = image.substr(0, image.size() - 3);
    std::string flash = "flash type unknown";
    for (size_t i = 0; i < FlashTypeCount(); ++i) {
      if (platform::TextEqualNoCase(FlashTypeNameAt(i), stem.c_str())) {
        char code[40];
        std::snprintf(code, sizeof code, "flash type %04X", FlashTypeCodeAt(i));
        flash = code;
      }
    }
    text += "  " + Utf8(image.c_str()) + "  " + flash + "\n";
  }
  if (images.empty()) text += "  (none)\n";
  Say(text);
}

namespace {

// The version of the JSON lines of list: a script that parses them checks it. Fields are only
// ever added within one version.
constexpr int LIST_FORMAT = 1;

// The JSON fields every line of list ends with: the disk, and what the answer was judged against.
std::string DiskJson(uint32_t diskNumber, bool systemDisk) {
  return ",\"disk\":" + Number(diskNumber) + ",\"systemDisk\":" + (systemDisk ? "true" : "false") +
         ",\"package\":" + Json(Utf8(AppStateGet().newVersion)) + ",\"format\":" + Number(LIST_FORMAT) + "}";
}

// How list --all heads each disk, and list a disk without an entry.
std::string DiskHeading(uint32_t diskNumber, bool systemDisk) {
  return "disk " + Number(diskNumber) + (systemDisk ? ", the system disk" : "");
}

// A drive that was read: the dialog's entry (or none, entry -1) and the package's answer; list
// --all heads it with its disk.
void PrintRow(const Row& r, bool json, bool byDisk = false) {
  const DriveRecord& d = r.drive;
  if (json) {
    Emit("{\"entry\":" + (r.entry >= 0 ? Number(r.entry) : std::string("null")) + ",\"model\":" + Json(Utf8(d.model)) +
         ",\"serial\":" + Json(Trimmed(d.serial)) + ",\"firmware\":" + Json(Utf8(d.fwRevision)) +
         ",\"interface\":" + Json(InterfaceText(d)) + ",\"capacityGB\":" + Number(d.capacityGB) +
         ",\"portId\":" + Number(d.iPort) + ",\"eligible\":" + (r.reason == nullptr ? "true" : "false") +
         ",\"reason\":" + (r.reason == nullptr ? std::string("null") : Json(r.reason)) +
         DiskJson(d.diskNumber, d.isSystemDisk != 0));
    return;
  }
  std::string entry = r.entry >= 0 ? Number(r.entry) : std::string("none");
  Say((byDisk ? DiskHeading(d.diskNumber, d.isSystemDisk != 0) + ": " + EscapeControls(Utf8(d.model)) + "\n  entry      " + entry
              : "entry " + entry + ": " + EscapeControls(Utf8(d.model))) + "\n" +
      "  serial     " + EscapeControls(Trimmed(d.serial)) + "\n" +
      "  firmware   " + EscapeControls(Utf8(d.fwRevision)) + "\n" +
      "  interface  " + InterfaceText(d) + "\n" +
      "  capacity   " + Number(d.capacityGB) + " GB\n" +
      "  port ID    " + Number(d.iPort) + "\n" +
      "  eligible   " + (r.reason == nullptr ? std::string("yes") : std::string("no (") + r.reason + ")") + "\n");
}

const char* BusName(uint32_t busType) {
  switch (busType) {
    case BUS_TYPE_SCSI: return "scsi";
    case BUS_TYPE_ATA: return "ata";
    case BUS_TYPE_USB: return "usb";
    case BUS_TYPE_RAID: return "raid";
    case BUS_TYPE_SATA: return "sata";
    case BUS_TYPE_NVME: return "nvme";
    default: return "other";
  }
}

// A disk without a drive that was read, as its descriptor describes it, with why; one of the
// package's model that the updater cannot reach also with what to do.
void PrintDisk(const DiskSeen& d, bool json) {
  const char* word = DiskReasonWord(d.reason);
  bool unreachable = UnreachableOfModel(d, AppStateGet().modelName);
  if (json) {
    Emit("{\"entry\":null,\"model\":" + Json(Utf8(d.model)) + ",\"serial\":" + Json(Trimmed(d.serial)) +
         ",\"bus\":" + Json(BusName(d.busType)) + ",\"eligible\":false,\"reason\":" + Json(word) +
         (unreachable ? ",\"reachable\":false,\"advice\":" + Json(ReasonAdvice(word)) : std::string()) +
         DiskJson(d.diskNumber, d.isSystemDisk != 0));
    return;
  }
  Say(DiskHeading(d.diskNumber, d.isSystemDisk != 0) + ": " + EscapeControls(Utf8(d.model)) + "\n" + "  serial     " +
      EscapeControls(Trimmed(d.serial)) + "\n" + "  bus        " + BusName(d.busType) + "\n" + "  eligible   no (" + word +
      ")" + (unreachable ? std::string(", not reached: ") + ReasonAdvice(word) : std::string()) + "\n");
}

}  // namespace

void PrintList(const std::vector<Row>& rows, bool json) {
  for (const Row& r : rows) PrintRow(r, json);
  // Then the drives of the package's model that cannot be reached, with what to do about each.
  std::vector<DiskSeen> unreachable = UnreachableOfPackage();
  for (const DiskSeen& d : unreachable) PrintDisk(d, json);
  if (rows.empty() && unreachable.empty() && !json) Say("no drive is listed\n");
}

void PrintAllDisks(HeadlessDialog& dialog, WindowHandle window, bool json) {
  AppState& s = AppStateGet();
  std::vector<Row> offered = ListedRows(dialog, window);
  for (uint32_t i = 0; i < s.disks.count && i < MAX_PROBED_DISKS; ++i) {
    const DiskSeen& disk = s.disks.disks[i];
    bool read = disk.reason == DiskReason::DRIVE && disk.drive >= 0 && static_cast<uint32_t>(disk.drive) < s.driveCount;
    if (!read) {
      PrintDisk(disk, json);
      continue;
    }
    // A drive of the package's model is the dialog's entry, with the package's answer and the
    // reason of its state; any other is of another model.
    const DriveRecord& drive = s.drives[disk.drive];
    Row row{-1, drive, "other-model"};
    for (const Row& r : offered)
      if (r.drive.diskNumber == drive.diskNumber && SameDrive(r.drive, drive)) row = r;
    PrintRow(row, json, true);
  }
  if (s.disks.count == 0 && !json) Say("no disk is seen\n");
}

void PrintHistory(const History* history, bool json) {
  if (history == nullptr) return;
  for (const HistoryRecord& r : history->records) {
    if (json) Emit(HistoryJson(r));
    else Say(HistoryText(r) + "\n");
  }
  if (history->records.empty() && !json) Say("no update is in the history\n");
}

}  // namespace fleet
