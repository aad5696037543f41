// The command-line companion on the bench: what each command prints, logs and exits with, and
// that an update from the command line sends the drive exactly what the dialog sends.
#include <filesystem>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "app/drive_states.h"
#include "app/fleet.h"
#include "app/result_codes.h"
#include "core/guards.h"
#include "emu/bench_state.h"
#include "tests/workflow/workflow_fixture.h"
#include "tools/sample/zip_writer.h"


namespace workflow {
namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The sample package with a second image, for the JMicron drive's flash, whose stored data has one
// byte changed: that entry fails its CRC while the information file and the Micron image unpack
// whole. Updating the drives the sound image fits would hide that the package is damaged.
std::vector<uint8_t> DamagedPackage() {
  std::string ini = MakeSampleIni();
  std::vector<uint8_t> second(64 * 1024, 0xA5);
  std::vector<uint8_t> zip = BuildZip({{SAMPLE_INI_NAME, std::vector<uint8_t>(ini.begin(), ini.end()), false},
                                       {SAMPLE_IMAGE_NAME, MakeSampleImage()},
                                       {"TSB-BiCS4.fw", second, false}});
  auto at = std::search(zip.begin(), zip.end(), second.begin(), second.begin() + 256);
  EXPECT_NE(at, zip.end());
  if (at != zip.end()) at[1000] ^= 0x5A;
  return zip;
}

// A package whose information file is the sample's with one line replaced.
std::vector<uint8_t> PackageWith(const std::string& from, const std::string& to) {
  std::string ini = Replaced(MakeSampleIni(), from, to);
  return BuildZip({{SAMPLE_INI_NAME, std::vector<uint8_t>(ini.begin(), ini.end()), false},
                   {SAMPLE_IMAGE_NAME, MakeSampleImage()}});
}

struct Case {
  const char* name;
  std::vector<std::u16string> args;  // "--log" and the test's log file are added to update
  std::string bench;
  bool damaged;
  int exit;
  std::vector<std::string> out;  // standard output holds each
  std::vector<std::string> log;  // the log holds each
  bool downloads;                // whether any firmware reached a drive
  std::pair<std::string, std::string> ini = {};  // a line of the sample package's information file, replaced
  int statesFail = 0;                             // the drive-state store cannot be read (1) or written (2)
  // The events written, in order, each as "ID: string | string | ...": each holds its text.
  std::vector<std::string> events = {};
};

std::string DefaultBench() { return emu::DefaultBenchText(); }
std::string CurrentBench() { return Replaced(DefaultBench(), "firmware = 3.2.F.P7", "firmware = 3.2.F.2A"); }
std::string FailingBench() { return BenchWith("drive q7-native", "fault = firmware-commit"); }
// The ASMedia drive keeps its old firmware at the power cycle, or does not come back from it.
std::string KeepOldBench() { return BenchWith("drive q7-asmedia", "fault = activation"); }
std::string NotBackBench() { return BenchWith("drive q7-asmedia", "never-return = yes"); }
// The native drive as disk 6, so that update --all reaches it after the ASMedia drive.
std::string NativeLastBench() { return Replaced(NotBackBench(), "disk = 1\n", "disk = 6\n"); }
// Another ASMedia drive, running the package's version, in the ASMedia drive's USB port: it answers
// there once the drive it stands beside does not come back.
std::string AnotherDriveAtThePortBench() {
  return NotBackBench() +
         "\n[usb-device other-bridge]\nparent = xhci-root-hub\nid = USB\\VID_174C&PID_2362\\MSFT30QV7A24110009\n"
         "location = Port_#0004.Hub_#0001\n[drive q7-other]\nparent = other-bridge\ndisk = 6\nbridge = asmedia\n"
         "model = QUORVELA Q7 1TB\nserial = QV7A24110009\nfirmware = 3.2.F.2A\nsoc-id = 0x7C63\n";
}
// Only the native drive runs the package's version already.
std::string NativeCurrentBench() {
  std::string text = DefaultBench();
  return text.replace(text.find("firmware = 3.2.F.P7"), 19, "firmware = 3.2.F.2A");
}
// Beside the default bench's drives, two of the package's model that the program cannot reach: one
// behind a controller in RAID mode, one behind a USB bridge it does not know.
std::string UnreachableBench() {
  return DefaultBench() +
         "\n[disk raid]\nparent = sata-controller\ndisk = 6\nbus-type = raid\nvendor = NVMe\nproduct = QUORVELA Q7 1TB\n"
         "serial = QV7A24110009\n[usb-device odd-bridge]\nparent = xhci-root-hub\nlocation = Port_#0003.Hub_#0001\n"
         "[drive odd]\nparent = odd-bridge\ndisk = 7\nbridge = asmedia\ninquiry = 60 24\nbridge-vendor = Realtek\n"
         "bridge-product = QUORVELA Q7 1TB\n";
}
// The ASMedia drive's serial number with the control characters 0x10 and 0x1F in it.
std::string ControlCharacterBench() {
  return Replaced(DefaultBench(), "serial = QV7A24110002", "serial = QV7A\x10\x1F" "24110002\x7F");
}

const Case kCases[] = {
    {"ListJson", {u"list", u"--json"}, DefaultBench(), false, EXIT_DONE,
     {"{\"entry\":0,\"model\":\"QUORVELA Q7 1TB\",\"serial\":\"QV7A24110001\",\"firmware\":\"3.2.F.P7\","
      "\"interface\":\"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4\",\"capacityGB\":1000,\"portId\":1,\"eligible\":true,\"reason\":null,"
      "\"disk\":1,\"systemDisk\":false,\"package\":\"3.2.F.2A\",\"format\":1}\n",
      "\"serial\":\"QV7A24110002\",\"firmware\":\"3.2.F.P7\",\"interface\":\"ASMedia Bridge NVME to USB-4\","
      "\"capacityGB\":1000,\"portId\":104,\"eligible\":true,\"reason\":null,\"disk\":2,",
      "\"serial\":\"QV7A24110003\",\"firmware\":\"3.2.F.P7\",\"interface\":\"JMicron Bridge NVME to USB-2\","
      "\"capacityGB\":1000,\"portId\":10102,\"eligible\":false,\"reason\":\"no-image\",\"disk\":3,"},
     {},
     false},
    // Every disk the walk sees: the SATA system disk and the USB stick, a drive of another model,
    // and the package's drives with their entries and the reason of their state.
    {"ListAllJson", {u"list", u"--all", u"--json"}, DefaultBench(), false, EXIT_DONE,
     {"{\"entry\":null,\"model\":\"ATA QV SATA SSD 256\",\"serial\":\"\",\"bus\":\"sata\",\"eligible\":false,"
      "\"reason\":\"not-nvme\",\"disk\":0,\"systemDisk\":true,\"package\":\"3.2.F.2A\",\"format\":1}\n"
      "{\"entry\":0,\"model\":\"QUORVELA Q7 1TB\",\"serial\":\"QV7A24110001\"",
      "\"reason\":\"states-unavailable\",\"disk\":3,\"systemDisk\":false,\"package\":\"3.2.F.2A\",\"format\":1}\n"
      "{\"entry\":null,\"model\":\"QUORVELA Q5 512GB\",\"serial\":\"QV5B23080042\",\"firmware\":\"2.1.A.05\"",
      "\"eligible\":false,\"reason\":\"other-model\",\"disk\":4,\"systemDisk\":false,\"package\":\"3.2.F.2A\",\"format\":1}\n"
      "{\"entry\":null,\"model\":\"Generic Flash Disk\",\"serial\":\"\",\"bus\":\"usb\",\"eligible\":false,"
      "\"reason\":\"unknown-bridge\",\"disk\":5,"},
     {}, false, {}, true},
    {"Info", {u"info"}, DefaultBench(), false, EXIT_DONE,
     {"new version        3.2.F.2A\n", "SoC                7C63\n", "accepted revisions 3.2.F.P7;3.2.F.2A\n",
      "  Micron-B47R.fw  flash type 2C04\n"},
     {},
     false},
    {"UpdateAll", {u"update", u"--all", u"--yes"}, DefaultBench(), false, EXIT_RESTART_NEEDED,
     {"Warning ! \r\nIf FW is not back compatible", "3 drive(s) chosen, 2 updated\n"},
     {"drive model=\"QUORVELA Q7 1TB\" serial=QV7A24110001 port=1 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=1 \"success\" seconds=",
      "serial=QV7A24110002 port=104 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.2A result=1 \"success\" seconds=",
      "serial=QV7A24110003 port=10102 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=skipped reason=no-image\r\n",
      "end exit=3010 \"done; a restart is needed to finish\"\r\n"},
     true, {}, false,
     {"1000: QuorvelaFwUpdate-cli | 1.0.0 | 3.2.F.2A | update --all --yes --log ", "1121: QuorvelaFwUpdate-cli | %ProgramData%\\Quorvela\\FwHistory.jsonl | there is no history",
      "1101: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110001 | 1 | 3.2.F.P7 | 3.2.F.2A",
      "1100: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110002 | 104 | 3.2.F.P7 | 3.2.F.2A",
      "1103: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110003 | 10102 | 3.2.F.P7 | 3.2.F.2A | no-image | ",
      "1001: QuorvelaFwUpdate-cli | 3010 | done; a restart is needed to finish | 2 | 0"}},
    {"UpdateOneBySerialAsJson", {u"update", u"--serial", u"QV7A24110002", u"--yes", u"--json"}, DefaultBench(), false,
     EXIT_RESTART_NEEDED,
     {"{\"entry\":1,\"model\":\"QUORVELA Q7 1TB\",\"serial\":\"QV7A24110002\",\"portId\":104,\"outcome\":\"updated\",\"reason\":null,"
      "\"firmwareBefore\":\"3.2.F.P7\",\"firmwareAfter\":\"3.2.F.2A\",\"result\":1,\"meaning\":\"success\",\"seconds\":9.0,"
      "\"restartNeeded\":true,\"activation\":null}\n"},
     {"serial=QV7A24110002 port=104"},
     true},
    {"ListJsonEscapesControlCharacters", {u"list", u"--json"}, ControlCharacterBench(), false, EXIT_DONE,
     {"\"serial\":\"QV7A\\u0010\\u001f24110002\x7F\",\"firmware\":\"3.2.F.P7\""}, {}, false},
    {"ListEscapesControlCharactersAndDelete", {u"list"}, ControlCharacterBench(), false, EXIT_DONE,
     {"  serial     QV7A\\x10\\x1F24110002\\x7F\n"}, {}, false},
    {"FailingDrive", {u"update", u"--all", u"--yes"}, FailingBench(), false, EXIT_UPDATE_FAILED, {"at least one failed"},
     {"serial=QV7A24110001 port=1 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=-4 \"a device request failed\"",
      "end exit=1603"},
     true},
    {"FailedUpdateThatNeedsNoRestart", {u"update", u"--entry", u"0", u"--yes"}, FailingBench(), false, EXIT_UPDATE_FAILED,
     {"1 drive(s) chosen, 0 updated, at least one failed\n"}, {"result=-4 \"a device request failed\"", "end exit=1603"},
     true, {}, false,
     {"1000: ", "1121: ",
      "1110: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110001 | 1 | 3.2.F.P7 | 3.2.F.2A | commit | -4 | a device request failed",
      "1003: QuorvelaFwUpdate-cli | 1603 | at least one update failed, or a drive of the package's model cannot be reached | 0 | 1"}},
    {"BridgedDriveBackWithItsOldFirmware", {u"update", u"--entry", u"1", u"--yes"}, KeepOldBench(), false, EXIT_UPDATE_FAILED,
     {"  activation-failed: result -11 ("},
     {"serial=QV7A24110002 port=104 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=activation-failed seconds=", "end exit=1603"},
     true},
    {"BridgedDriveNotBackIsUnverified", {u"update", u"--entry", u"1", u"--yes", u"--json"}, NotBackBench(), false,
     EXIT_RESTART_NEEDED, {"\"outcome\":\"unverified\",\"reason\":null,\"firmwareBefore\":\"3.2.F.P7\",\"firmwareAfter\":\"3.2.F.P7\",\"result\":1"},
     {"result=unverified seconds=", "end exit=3010"},
     true, {}, false,
     {"1000: ", "1121: ", "1112: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110002 | 104 | 3.2.F.P7 | 3.2.F.2A",
      "1001: QuorvelaFwUpdate-cli | 3010 | done; a restart is needed to finish | 1 | 0"}},
    {"CurrentDrivesAreNotUpdatedAgain", {u"update", u"--all", u"--yes"}, CurrentBench(), false, EXIT_DONE,
     {"3 drive(s) chosen, 0 updated\n"},
     {"serial=QV7A24110001 port=1 package=3.2.F.2A before=3.2.F.2A after=3.2.F.2A result=skipped reason=current", "end exit=0"},
     false},
    {"NativeDriveAfterABridgedDriveNotBack", {u"update", u"--all", u"--yes"}, NativeLastBench(), false, EXIT_RESTART_NEEDED,
     {"3 drive(s) chosen, 2 updated\n"},
     {"serial=QV7A24110002 port=104 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=unverified seconds=",
      "serial=QV7A24110001 port=1 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=1 \"success\" seconds="},
     true},
    {"AnotherDriveAtThePortAfterThePowerCycle", {u"update", u"--entry", u"1", u"--yes", u"--json"},
     AnotherDriveAtThePortBench(), false, EXIT_RESTART_NEEDED,
     {"\"serial\":\"QV7A24110002\",\"portId\":104,\"outcome\":\"unverified\",\"reason\":null,\"firmwareBefore\":\"3.2.F.P7\","
      "\"firmwareAfter\":\"3.2.F.P7\",\"result\":1"},
     {"result=unverified seconds="},
     true},
    {"NotBackWithoutARestartOffered", {u"update", u"--entry", u"1", u"--yes"}, NotBackBench(), false, EXIT_RESTART_NEEDED,
     {"  unverified: result 1 (success)"}, {"result=unverified seconds=", "end exit=3010"}, true,
     {"PowerCtrl=2", "PowerCtrl=0"}},
    {"KeepThroughABridgedDrive", {u"update", u"--entry", u"1", u"--yes"}, DefaultBench(), false, EXIT_RESTART_NEEDED,
     {"  updated: result 1 (success), firmware 3.2.F.P7 -> 3.2.F.P7"},
     {"serial=QV7A24110002 port=104 package=KEEP before=3.2.F.P7 after=3.2.F.P7 result=1 \"success\" seconds="}, true,
     {"NEWVERSION=3.2.F.2A", "NEWVERSION=KEEP"}},
    // The drive's revision field holds the first 8 characters of the name the update gives it.
    {"NewVersionLongerThanTheRevision", {u"update", u"--all", u"--yes"}, NativeCurrentBench(), false, EXIT_RESTART_NEEDED,
     {"3 drive(s) chosen, 1 updated\n"},
     {"serial=QV7A24110001 port=1 package=3.2.F.2A.01 before=3.2.F.2A after=3.2.F.2A result=skipped reason=current",
      "serial=QV7A24110002 port=104 package=3.2.F.2A.01 before=3.2.F.P7 after=3.2.F.2A result=1 \"success\" seconds="},
     true, {"NEWVERSION=3.2.F.2A", "NEWVERSION=3.2.F.2A.01"}},
    // Without the drive states nothing tells a drive stuck in an update loop: nothing is flashed.
    {"DriveStatesUnavailable", {u"update", u"--all", u"--yes"}, DefaultBench(), false, EXIT_UPDATE_FAILED,
     {"  skipped: states-unavailable; "}, {"result=skipped reason=states-unavailable", "end exit=1603"}, false, {}, true,
     {"1000: ", "1121: ", "1120: QuorvelaFwUpdate-cli | ", "1103: ", "1103: ", "1103: ", "1003: QuorvelaFwUpdate-cli | 1603"}},
    {"DriveStateNotWrittenAhead", {u"update", u"--entry", u"0", u"--yes"}, DefaultBench(), false, EXIT_UPDATE_FAILED,
     {"  failed: result -12 ("}, {"result=-12"}, false, {}, 2,
     {"1000: ", "1121: ", "1120: QuorvelaFwUpdate-cli | drive QUORVELA Q7 1TB (serial number QV7A24110001): ", "1003: "}},
    {"CurrentInTheList", {u"list"}, CurrentBench(), false, EXIT_DONE, {"  eligible   no (current)\n"}, {}, false},
    {"UnreachableDrivesAreListed", {u"list", u"--json"}, UnreachableBench(), false, EXIT_DONE,
     {"{\"entry\":null,\"model\":\"NVMe QUORVELA Q7 1TB\",\"serial\":\"QV7A24110009\",\"bus\":\"raid\",\"eligible\":false,"
      "\"reason\":\"raid-controller\",\"reachable\":false,\"advice\":\"its controller runs in RAID or Intel VMD/RST mode",
      "\"model\":\"Realtek QUORVELA Q7 1TB\",\"serial\":\"QV0000000000000001\",\"bus\":\"usb\",\"eligible\":false,"
      "\"reason\":\"unknown-bridge\""},
     {}, false},
    {"UpdateAllFailsForDrivesItCannotReach", {u"update", u"--all", u"--yes"}, UnreachableBench(), false, EXIT_UPDATE_FAILED,
     {"3 drive(s) chosen, 2 updated, 2 not reached\n", "  not reached: unknown-bridge: it is behind a USB bridge"},
     {"drive model=\"NVMe QUORVELA Q7 1TB\" serial=QV7A24110009 disk=6 package=3.2.F.2A result=unreachable "
      "reason=raid-controller advice=\"its controller runs in RAID",
      "disk=7 package=3.2.F.2A result=unreachable reason=unknown-bridge", "end exit=1603"},
     true, {}, false,
     {"1000: ", "1121: ", "1101: ", "1100: ", "1103: ",
      "1113: QuorvelaFwUpdate-cli | NVMe QUORVELA Q7 1TB | QV7A24110009 | none | unknown | 3.2.F.2A | raid-controller on disk 6: ",
      "1113: QuorvelaFwUpdate-cli | Realtek QUORVELA Q7 1TB | QV0000000000000001 | none | unknown | 3.2.F.2A | unknown-bridge",
      "1003: QuorvelaFwUpdate-cli | 1603 | at least one update failed, or a drive of the package's model cannot be reached | 2 | 2"}},
    {"DamagedPackage", {u"update", u"--all", u"--yes"}, DefaultBench(), true, EXIT_PACKAGE_UNUSABLE, {}, {"end exit=1620"}, false},
    {"NoYes", {u"update", u"--all"}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {"Warning ! "}, {"end exit=87"}, false},
    {"NoSelector", {u"update", u"--yes"}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {}, {}, false},
    {"TwoSelectors", {u"update", u"--all", u"--entry", u"1", u"--yes"}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {}, {}, false},
    {"UnknownSerial", {u"update", u"--serial", u"QV0000", u"--yes"}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {}, {}, false},
    {"EntryBeyondTheList", {u"update", u"--entry", u"3", u"--yes"}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {}, {}, false},
    {"EntryNotANumber", {u"update", u"--entry", u"1x", u"--yes"}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {}, {}, false},
    {"UnknownCommand", {u"upgrade", u"--all", u"--yes"}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {}, {}, false},
    {"NoCommand", {}, DefaultBench(), false, EXIT_BAD_ARGUMENTS, {}, {}, false},
    {"HelpTellsWhatEachCodeMeans", {u"--help"}, DefaultBench(), false, EXIT_DONE,
     {"\nexit codes:\n"
      "      0  done, or nothing to update; no restart needed\n"
      "   3010  done; a restart is needed to finish\n"
      "   1641  done; the restart (or power-off) was started\n"
      "   1603  at least one update failed, or a drive of the package's model cannot be reached\n"
      "   1618  not now: another firmware update is running, or the computer runs on a low battery; retry later\n"
      "   1620  the embedded package is unusable\n"
      "     87  bad arguments\n"
      "\nresult codes of one drive's update (console, --json and log):\n"
      "      1  success\n"
      "     -1  the drive could not be opened\n"
      "     -4  a device request failed\n"
      "     -5  the drive cannot be used: no known command path, or no answer to Identify\n"
      "     -6  the firmware image is missing, empty or damaged\n"
      "     -7  no update thread could be started\n"
      "     -8  the drive or its bridge reported an error\n"
      "     -9  the drive's configuration block is not valid; it was neither carried over nor written back\n"
      "    -10  another drive answers at the chosen drive's place; nothing was written\n"
      "    -11  the drive came back from its power cycle still running another firmware than the new one\n"
      "    -12  the drive's update state could not be written; nothing was sent\n"
      "    -13  the drive keeps pieces of a download cut short earlier; restart the computer, then update again\n"
      "   -100  RUN started no update (the drive was not found again as the chosen one, or no thread could be "
      "started); nothing was written\n"
      "   -101  the drive left the list before its turn; nothing was written\n"},
     {}, false},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FleetCommand : public Workflow, public ::testing::WithParamInterface<Case> {};

TEST_P(FleetCommand, ExitCodeOutputLogAndDrives) {
  const Case& c = GetParam();
  std::string error;
  ASSERT_TRUE(emu::LoadBench(bench(), c.bench, &contents_, &error)) << error;
  testenv::SetStateFaults(c.statesFail == 1, c.statesFail == 2);
  testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE,
                       c.damaged             ? DamagedPackage()
                       : c.ini.first.empty() ? MakeSamplePackage()
                                             : PackageWith(c.ini.first, c.ini.second));
  std::vector<std::u16string> args = c.args;
  std::u16string logPath = ScratchW() + u"/fleet.log";
  if (!args.empty() && args[0] == u"update") args.insert(args.end(), {u"--log", logPath});
  std::vector<const char16_t*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());

  StringConsole console;
  int exit = RunFleet(static_cast<int>(argv.size()), argv.data(), dialog(), console);

  EXPECT_EQ(exit, c.exit) << console.out << console.err;
  // A command that did its job says nothing on standard error.
  if (exit == EXIT_DONE || exit == EXIT_RESTART_NEEDED) {
    EXPECT_EQ(console.err, "");
  }
  if (!c.events.empty()) {
    std::string events = EventsText();
    ASSERT_EQ(std::count(events.begin(), events.end(), '\n'), static_cast<ptrdiff_t>(c.events.size())) << events;
    size_t line = 0;
    for (const std::string& expected : c.events) {
      size_t end = events.find('\n', line);
      EXPECT_NE(events.substr(line, end - line).find(expected), std::string::npos) << expected << "\n--- in ---\n" << events;
      line = end + 1;
    }
  }
  for (const std::string& part : c.out) EXPECT_NE(console.out.find(part), std::string::npos) << part << "\n--- in ---\n" << console.out;
  std::ifstream in(Scratch() + "/fleet.log", std::ios::binary);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const std::string& part : c.log) EXPECT_NE(log.find(part), std::string::npos) << part << "\n--- in ---\n" << log;
  bool downloaded = false;
  for (const char* drive : {"q7-native", "q7-asmedia", "q7-jmicron"}) {
    const auto& controller = contents_.Drive(drive)->Controller();
    bool given = controller.DownloadedPieces() > 0 || !controller.SlotImage().empty() ||
                 controller.LastActivation() != emu::Activation::None;
    downloaded = downloaded || given;
    // A drive that was given nothing (skipped, not eligible, not now) keeps the state it had: none.
    DriveRecord record{};
    AnsiToWide(contents_.Drive(drive)->Description().identity.model.c_str(), -1, record.model, DRIVE_TEXT_CHARS);
    AnsiToWide(contents_.Drive(drive)->Description().identity.serial.c_str(), -1, record.serial, DRIVE_TEXT_CHARS);
    DriveStateRecord state;
    if (!given && !c.statesFail)
      EXPECT_EQ(ReadDriveStateRecord(record, &state), StateRead::MISSING) << drive << ": " << DriveStateName(state.state);
  }
  EXPECT_EQ(downloaded, c.downloads);
  // The dialog was closed as a user closes it: nothing of the package is left behind.
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(Scratch() + "/Quorvela", ec) || ec);
}

INSTANTIATE_TEST_SUITE_P(Commands, FleetCommand, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// With --restart, the restart or power-off is requested once, after the last drive, as a planned
// one for an installation: a power-off only where the dialog would offer one (PowerCtrl 1 with an
// AfterMessage). 1641 says it began; when the privilege or the request is refused, the program says
// why and exits 3010.
TEST_F(Workflow, FleetRestartIsPerformedAfterTheLastDrive) {
  const std::string after = "AfterMessage=Update FW OK !<BR>Reboot System Now ?\r\n";
  struct Case {
    const char* what;
    std::vector<uint8_t> package;
    bool privilege;
    uint32_t refusal;
    int exit;
    std::vector<uint32_t> shutdowns;
    const char* err;
  };
  const Case cases[] = {
      {"PowerCtrl 2", MakeSamplePackage(), true, 0, EXIT_RESTART_STARTED, {EXITWIN_REBOOT}, ""},
      {"PowerCtrl 1", PackageWith("PowerCtrl=2", "PowerCtrl=1"), true, 0, EXIT_RESTART_STARTED, {EXITWIN_POWEROFF}, ""},
      {"PowerCtrl 1 without an AfterMessage", PackageWith(after, "PowerCtrl=1\r\n"), true, 0, EXIT_RESTART_STARTED,
       {EXITWIN_REBOOT}, ""},
      {"no shutdown privilege", MakeSamplePackage(), false, 0, EXIT_RESTART_NEEDED, {},
       "the restart was not started: the shutdown privilege could not be enabled (error 1300)"},
      {"request refused", MakeSamplePackage(), true, 1115, EXIT_RESTART_NEEDED, {},
       "the restart was not started: Windows refused it (error 1115)"},
  };
  for (const Case& c : cases) {
    std::string error;
    ASSERT_TRUE(emu::LoadBench(bench(), emu::DefaultBenchText(), &contents_, &error)) << error;
    testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, c.package);
    testenv::SetShutdownPrivilege(c.privilege);
    testenv::SetShutdownRefusal(c.refusal);
    std::u16string logPath = ScratchW() + u"/fleet.log";
    const char16_t* argv[] = {u"update", u"--all", u"--yes", u"--restart", u"--log", logPath.c_str()};
    StringConsole console;
    size_t before = testenv::Shutdowns().size();  // the system's record outlives a test on the host
    EXPECT_EQ(RunFleet(6, argv, dialog(), console), c.exit) << c.what << "\n" << console.out << console.err;
    std::vector<uint32_t> shutdowns = testenv::Shutdowns(), reasons = testenv::ShutdownReasons();
    shutdowns.erase(shutdowns.begin(), shutdowns.begin() + static_cast<ptrdiff_t>(before));
    EXPECT_EQ(shutdowns, c.shutdowns) << c.what;
    if (!c.shutdowns.empty()) {
      ASSERT_FALSE(reasons.empty());
      EXPECT_EQ(reasons.back(), SHUTDOWN_REASON_INSTALLATION) << c.what;
    }
    EXPECT_NE(console.err.find(c.err), std::string::npos) << c.what << "\n" << console.err;
    TearDown();
    SetUp();
    contents_ = {};
  }
}

// A --log path is walked from its root: a name alone is a file in the current folder, and a name
// at the root of a volume is a file in that root.
TEST_F(Workflow, ALogIsWrittenWhereItsPathNamesIt) {
#ifdef _WIN32
  const std::string root = "C:\\", own = std::to_string(_getpid());
#else
  const std::string root = "/", own = std::to_string(getpid());
#endif
  char16_t cwd[TEXT_PATH] = {};
  ASSERT_GT(Sys().CurrentFolder(cwd, TEXT_PATH), 0u);
  for (const std::string& named : {std::string("fw.log"), root + "qv-fw-" + own + ".log"}) {
#ifndef _WIN32
    if (named != "fw.log" && access("/", W_OK) != 0) GTEST_SKIP() << "the root folder is not writable here";
#endif
    std::string error;
    ASSERT_TRUE(emu::LoadBench(bench(), DefaultBench(), &contents_, &error)) << error;
    testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, MakeSamplePackage());
    std::filesystem::path at(testenv::Widen(named == "fw.log" ? Scratch() + "/fw.log" : named));
    ASSERT_TRUE(Sys().SetCurrentFolder(ScratchW().c_str()));
    std::u16string log = testenv::Widen(named);
    const char16_t* argv[] = {u"update", u"--entry", u"2", u"--yes", u"--log", log.c_str()};
    StringConsole console;
    EXPECT_EQ(RunFleet(6, argv, dialog(), console), EXIT_DONE) << console.err;
    Sys().SetCurrentFolder(cwd);
    std::ifstream in(at, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    EXPECT_NE(text.find("end exit=0"), std::string::npos) << named << "\n" << console.err;
    std::error_code ec;
    std::filesystem::remove(at, ec);
    TearDown();
    SetUp();
    contents_ = {};
  }
}

#ifndef _WIN32
// (On the host only: under Wine the log folder an earlier run made reads back as Wine's user's,
// which the program does not trust, so no history reaches the next run there.)
// The history over runs of one bench kept in its state: the native drive keeps its old firmware at
// the restart, so its update is settled as activation-failed (after a line a killed run left
// unfinished); from then on it is not listed as eligible and update --all does not flash it again
// but fails; --retry flashes it once more, and a restart that activates the image settles that.
TEST_F(Workflow, FleetHistorySettlesUpdatesAndStopsTheLoop) {
  const std::string data = Scratch() + "-data", history = data + "/Quorvela/FwHistory.jsonl";
  std::filesystem::create_directories(data);
  testenv::SetSharedDataFolder(data);
  std::string state;
  struct Step {
    std::vector<std::u16string> args;
    std::string bench;
    int restart;  // 1: a restart; 2: a restart the native drive does not apply its firmware at
    int exit;
    std::string out, err;
    bool flashesNative;
    std::vector<uint8_t> package = MakeSamplePackage();
    bool fresh = false;  // a machine of its own: the drives and their states as new
    bool cutShort = false;  // a run killed in its download: the native drive keeps a piece of it
  };
  const std::string keepsOld = BenchWith("drive q7-native", "fault = activation");
  const Step steps[] = {
      {{u"update", u"--entry", u"0", u"--yes"}, keepsOld, false, EXIT_RESTART_NEEDED, "1 updated", "", true},
      {{u"list", u"--json"}, keepsOld, true, EXIT_DONE, "\"portId\":1,\"eligible\":false,\"reason\":\"activation-failed\",",
       "1 line(s) of the history are no record", false},
      {{u"update", u"--all", u"--yes"}, keepsOld, false, EXIT_UPDATE_FAILED, "  skipped: activation-failed; ",
       "1111: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110001 | 1 | 3.2.F.P7", false},
      {{u"update", u"--entry", u"0", u"--yes", u"--retry"}, keepsOld, false, EXIT_RESTART_NEEDED, "1 updated", "", true},
      {{u"history", u"--json"}, DefaultBench(), true, EXIT_DONE,
       "\"serial\":\"QV7A24110001\",\"portId\":1,\"firmwareBefore\":\"3.2.F.P7\",\"versionExpected\":\"3.2.F.2A\","
       "\"outcome\":\"activated\",\"waitsForRestart\":false,\"source\":\"console\"}\n",
       "", false},
      // A package that keeps the firmware name expects no version: its update waits for nothing.
      {{u"update", u"--entry", u"0", u"--yes"}, DefaultBench(), false, EXIT_RESTART_NEEDED, "1 updated", "", true,
       PackageWith("NEWVERSION=3.2.F.2A", "NEWVERSION=KEEP")},
      {{u"list", u"--json"}, DefaultBench(), true, EXIT_DONE, "\"portId\":1,\"eligible\":true,\"reason\":null,", "", false,
       PackageWith("NEWVERSION=3.2.F.2A", "NEWVERSION=KEEP")},
      // Firmware that still waits after a restart needs a power-off: said so, and no 3010 again.
      {{u"update", u"--entry", u"0", u"--yes"}, DefaultBench(), false, EXIT_RESTART_NEEDED, "1 updated", "", true,
       MakeSamplePackage(), true},
      {{u"update", u"--all", u"--yes"}, DefaultBench(), 2, EXIT_UPDATE_FAILED,
       "  skipped: needs-power-off; its new firmware still waits after a restart",
       "1102: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110001 | 1 | 3.2.F.P7", false},
      // The dialog's update of a drive whose activation failed is the guard's as much as the
      // console's: its state makes the console wait for the restart, which settles it current.
      {{u"update", u"--entry", u"0", u"--yes"}, keepsOld, false, EXIT_RESTART_NEEDED, "1 updated", "", true,
       MakeSamplePackage(), true},
      {{u"update", u"--all", u"--yes"}, keepsOld, true, EXIT_UPDATE_FAILED, "  skipped: activation-failed; ", "", false},
      {{u"dialog", u"0"}, DefaultBench(), false, UPDATE_OK, "", "1101: ", true},
      {{u"update", u"--all", u"--yes"}, DefaultBench(), false, EXIT_RESTART_NEEDED, "  skipped: pending-restart", "",
       false},
      {{u"history"}, DefaultBench(), true, EXIT_DONE, "3.2.F.P7 -> 3.2.F.2A  updated (waits for a restart)  by the dialog", "", false},
      // The pieces of a download cut short: a restart clears them, said once; then the update runs.
      {{u"update", u"--entry", u"0", u"--yes"}, DefaultBench(), false, EXIT_RESTART_NEEDED,
       "keeps pieces of a download cut short earlier; restart the computer", "1114: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB",
       true, MakeSamplePackage(), true, true},
      {{u"update", u"--entry", u"0", u"--yes"}, DefaultBench(), false, EXIT_UPDATE_FAILED, "0 updated", "", true},
      {{u"update", u"--entry", u"0", u"--yes"}, DefaultBench(), 1, EXIT_RESTART_NEEDED, "1 updated", "", true},
  };
  const std::string kForged = "{\"model\":\"QUORVELA Q7 1TB\",\"serial\":\"QV7A24110002\",\"firmwareBefore\":\"3.2.F.P7\","
                              "\"versionExpected\":\"3.2.F.2A\",\"outcome\":\"activation-failed\"}";
  uint64_t boot = 1;
  for (const Step& step : steps) {
    std::string error;
    ASSERT_TRUE(emu::LoadBench(bench(), step.bench, &contents_, &error)) << error;
    if (step.fresh) {
      state.clear();
      std::filesystem::remove(data + "/drive-states");
    }
    if (!state.empty()) {
      ASSERT_TRUE(emu::RestoreBenchState(contents_, state, &error)) << error;
    }
    testenv::SetStateFile(data + "/drive-states");
    if (step.restart == 1) contents_.Drive("q7-native")->Restart();
    testenv::SetBoot(boot += step.restart != 0 ? 1 : 0);
    if (step.cutShort) {
      std::string text = emu::BenchStateText(contents_);
      text.insert(text.find('\n', text.find("[drive q7-native]")) + 1, "piece = 0 4096 " + std::string(8192, '0') + "\n");
      ASSERT_TRUE(emu::RestoreBenchState(contents_, text, &error)) << error;
      DriveRecord drive{};
      TextCopy(drive.model, DRIVE_TEXT_CHARS, u"QUORVELA Q7 1TB");
      TextCopy(drive.serial, DRIVE_TEXT_CHARS, u"QV7A24110001");
      DriveStateRecord begun{DriveState::UPDATING, u"3.2.F.P7", u"3.2.F.2A", boot};
      ASSERT_TRUE(WriteDriveStateRecord(drive, begun));
    }
    testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, step.package);
    std::vector<std::u16string> args = step.args;
    std::u16string logPath = ScratchW() + u"/fleet.log";
    if (args[0] == u"update") args.insert(args.end(), {u"--log", logPath});
    std::vector<const char16_t*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    const auto& native = contents_.Drive("q7-native")->Controller();
    const auto slot = native.SlotImage();
    const bool pending = native.ActivationPending();  // the same image committed again shows only here
    StringConsole console;
    if (args[0] == u"dialog") {
      window_ = dialog().Create(RecordingProcedure);
      Select(args[1][0] - u'0');
      RunUpdate();
      EXPECT_EQ(LastResult(), step.exit);
      dialog().Deliver(MSG_COMMAND, ID_CANCEL, 0);
    } else {
      EXPECT_EQ(RunFleet(static_cast<int>(argv.size()), argv.data(), dialog(), console), step.exit)
          << console.out << console.err;
    }
    EXPECT_NE(console.out.find(step.out), std::string::npos) << step.out << "\n--- in ---\n" << console.out;
    EXPECT_NE(EventsText().find(step.err), std::string::npos) << step.err << "\n--- in ---\n" << EventsText();
    EXPECT_EQ(native.DownloadedPieces() > 0 || native.SlotImage() != slot || native.ActivationPending() != pending,
              step.flashesNative)
        << console.out;
    state = emu::BenchStateText(contents_);
    // A record another hand wrote (the history decides nothing: the ASMedia drive is still updated
    // next), and a line a killed run left unfinished.
    if (&step == &steps[0])
      std::ofstream(history, std::ios::app | std::ios::binary) << kForged << "\n{\"model\":";
    TearDown();
    SetUp();
    contents_ = {};
  }
  std::ifstream in(history, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\"waitsForRestart\":true,\"source\":\"console\"}\n" + kForged + "\n{\"model\":\n{\"time\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"serial\":\"QV7A24110002\",\"portId\":104,\"firmwareBefore\":\"3.2.F.P7\",\"versionExpected\":"
                      "\"3.2.F.2A\",\"outcome\":\"updated\"",
                      text.find(kForged)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"outcome\":\"activation-failed\",\"waitsForRestart\":false,\"source\":\"console\"}\n"),
            std::string::npos)
      << text;
  std::ifstream logIn(data + "/Quorvela/FwUpdate.log", std::ios::binary);
  std::string log((std::istreambuf_iterator<char>(logIn)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("before=3.2.F.P7 after=3.2.F.P7 result=1 \"success\" seconds=6.0 source=dialog"), std::string::npos)
      << log;
  testenv::SetSharedDataFolder("");
  std::error_code ec;
  std::filesystem::remove_all(data, ec);
}
#endif

// The command line presses what the user presses: an update of one drive sends it the dialog's
// requests, request for request, from the start of the program to its end.
TEST_F(Workflow, FleetUpdateSendsWhatTheDialogSends) {
  testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, MakeSamplePackage());
  for (int entry : {0, 1}) {
    std::vector<std::string> byDialog = CaptureOf([entry](HeadlessDialog& dialog) {
      dialog.SetAnswer([](const HeadlessDialog::Box& box) {
        uint32_t buttons = box.type & 0x0F;
        return buttons == BOX_YESNO ? ID_YES : buttons == BOX_OKCANCEL ? ID_CANCEL : ID_OK;
      });
      WindowHandle window = dialog.Create(MainDialogProc);
      dialog.ComboSetCurSel(window, IDC_DRIVE_LIST, entry);
      dialog.Deliver(MSG_COMMAND, (static_cast<uintptr_t>(NOTIFY_SELENDOK) << 16) | IDC_DRIVE_LIST, 0);
      dialog.Deliver(MSG_COMMAND, ID_OK, 0);
      dialog.PumpUntil([] { return !IsUpdateRunning(); });
      dialog.Pump();
      dialog.Deliver(MSG_COMMAND, ID_CANCEL, 0);
    });
    std::u16string number(1, static_cast<char16_t>(u'0' + entry));
    std::u16string logPath = ScratchW() + u"/fleet.log";
    std::vector<std::string> byCommandLine = CaptureOf([&](HeadlessDialog& dialog) {
      const char16_t* argv[] = {u"update", u"--entry", number.c_str(), u"--yes", u"--log", logPath.c_str()};
      StringConsole console;
      EXPECT_EQ(RunFleet(6, argv, dialog, console), EXIT_RESTART_NEEDED) << console.err;
    });
    ASSERT_FALSE(byDialog.empty());
    size_t same = 0;
    while (same < byDialog.size() && same < byCommandLine.size() && byDialog[same] == byCommandLine[same]) ++same;
    auto at = [same](const std::vector<std::string>& lines) {
      return same < lines.size() ? lines[same].substr(0, 160) : std::string("<end>");
    };
    EXPECT_TRUE(same == byDialog.size() && same == byCommandLine.size())
        << "entry " << entry << ": request " << same + 1 << " of " << byDialog.size() << " differs\n dialog:       "
        << at(byDialog) << "\n command line: " << at(byCommandLine);
  }
}

}  // namespace
}  // namespace workflow
