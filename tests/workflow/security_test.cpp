// The updater among other users' files. The program runs elevated, or as SYSTEM, in folders that
// others may write to; each test is what another user tried there, before the program started or
// between two of its steps (through a System in front of the build's own), and what came of it:
// no byte of theirs reaches a drive, nothing is written or deleted through their links, and
// nothing of theirs is lost.
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "app/fleet.h"
#include "app/package_info.h"
#include "app/result_codes.h"
#include "tests/package/archive_test.h"
#include "tests/workflow/workflow_fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host_system.h"
#endif

namespace workflow {
namespace {

constexpr const char* kNotTrusted =
    "is a link or a folder that others than SYSTEM, the Administrators and this account may change";

namespace fs = std::filesystem;

fs::path P(const std::string& utf8) { return packagetest::FsPath(utf8); }

std::string ReadAll(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(P(path), std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Another user's folder, with files of the names the program uses and one of its own.
std::string TheirFolder(const std::string& scratch) {
  std::string folder = scratch + "/theirs";
  fs::create_directories(P(folder));
  for (const char* name : {SAMPLE_INI_NAME, SAMPLE_IMAGE_NAME, "keep.txt"}) WriteAll(folder + "/" + name, "theirs");
  return folder;
}

void ExpectUntouched(const std::string& folder) {
  for (const char* name : {SAMPLE_INI_NAME, SAMPLE_IMAGE_NAME, "keep.txt"})
    EXPECT_EQ(ReadAll(folder + "/" + name), "theirs") << name;
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(P(folder))) ++count;
  EXPECT_EQ(count, 3u);
}

class Security : public Workflow {
 protected:
  void SetUp() override {
    Workflow::SetUp();
    forwarding_ = std::make_unique<packagetest::ForwardingSystem>(platform::Sys());
    Services s = Installed();
    s.system = forwarding_.get();
    previous_ = testenv::InstallServices(s);
  }
  void TearDown() override {
    testenv::InstallServices(previous_);
    forwarding_.reset();
    Workflow::TearDown();
  }
  packagetest::ForwardingSystem& Fs() { return *forwarding_; }
  // The per-run folder, with the separators of this build's own paths.
  std::string Folder() { return P(testenv::Narrow(AppStateGet().packageFolder)).generic_string(); }
  void Close() { dialog().Deliver(MSG_COMMAND, ID_CANCEL, 0); }
  // RUN on the native drive: the update must fail as an unusable image, with nothing sent.
  void ExpectImageRefused() {
    Select(0);
    RunUpdate();
    EXPECT_EQ(LastResult(), UPDATE_IMAGE_UNUSABLE);
    EXPECT_EQ(LastBox(), u"Update FW Fail !");
    EXPECT_TRUE(CaptureWith(kDownloadCode).empty());
    EXPECT_TRUE(CaptureWith(kActivateCode).empty());
  }

  // The run does not use TEMP\Quorvela (theirs, or a link to it): it unpacks into a base folder
  // of its own, which goes at close, and theirs loses nothing.
  void ExpectABaseFolderOfItsOwn(const std::string& theirs) {
    Start();
    std::string folder = Folder();
    EXPECT_EQ(folder.find(Scratch() + "/Quorvela/"), std::string::npos) << folder;
    EXPECT_NE(folder.find("Quorvela-"), std::string::npos) << folder;
    EXPECT_GT(AppStateGet().driveCount, 0u);
    ExpectUntouched(theirs);
    Close();
    ExpectUntouched(theirs);
    EXPECT_FALSE(fs::exists(P(folder)));
    EXPECT_FALSE(fs::exists(P(folder).parent_path()));  // the folder of the run's own goes with it
  }

 private:
  std::unique_ptr<packagetest::ForwardingSystem> forwarding_;
  Services previous_;
};

// The image in the per-run folder is rewritten after unpacking (its CRC could be forged as well):
// RUN sends nothing of it.
TEST_F(Security, AnImageRewrittenAfterUnpackingReachesNoDrive) {
  Start();
  std::string image = Folder() + "/" + SAMPLE_IMAGE_NAME;
  std::string bytes = ReadAll(image);
  ASSERT_FALSE(bytes.empty());
  bytes[bytes.size() / 2] ^= 0x01;
  WriteAll(image, bytes);
  ExpectImageRefused();
}

// An image file put beside the package's, for a flash the package has no image for, is none of
// the package's: that drive (without an internal version, so no other test stands in the way)
// does not need an update.
TEST_F(Security, AnImagePutBesideThePackagesIsNoneOfIt) {
  std::string text = emu::DefaultBenchText();
  size_t jmicron = text.find("[drive q7-jmicron]");
  size_t internal = text.find("internal-version = 3.2.F.2C\n", jmicron);
  ASSERT_NE(internal, std::string::npos);
  text.replace(internal, 28, "internal-version =\n");  // the drive reports none
  Start(text);
  WriteAll(Folder() + "/TSB-BiCS4.fw", ReadAll(Folder() + "/" + SAMPLE_IMAGE_NAME));
  Select(2);
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Do not need to update.");
  EXPECT_TRUE(CaptureWith(kDownloadCode).empty());
}

// Somebody puts a file in the per-run folder under a name of the package before it is unpacked:
// their file is not opened for writing, and the package is not unpacked at all (nothing of it
// stays, and the start is that of a package that cannot be unpacked).
TEST_F(Security, ANameTakenInTheRunsFolderLeavesThePackageUnpacked) {
  bool planted = false;
  Fs().beforeFileCall = [&](const char* call, const char16_t* name) {
    if (planted || std::string(call) != "OpenFileAt" || testenv::Narrow(name) != SAMPLE_IMAGE_NAME) return;
    planted = true;
    WriteAll(Folder() + "/" + SAMPLE_IMAGE_NAME, "theirs");
  };
  Start();
  Fs().beforeFileCall = nullptr;
  ASSERT_TRUE(planted);
  EXPECT_EQ(ReadAll(Folder() + "/" + SAMPLE_IMAGE_NAME), "theirs");
  EXPECT_FALSE(fs::exists(P(Folder() + "/" + SAMPLE_INI_NAME)));
  EXPECT_EQ(LastUnpackTally().entries, -1);
  EXPECT_EQ(dialog().Caption(), u"Package Error");
}

// Between RUN's checks and the worker's read, the image is swapped for a link to another file.
TEST_F(Security, AnImageSwappedForALinkAtTheWorkersReadReachesNoDrive) {
  if (!testenv::LinksToFilesShow()) GTEST_SKIP() << "Wine follows a link to a file without a word";
  Start();
  std::string image = Folder() + "/" + SAMPLE_IMAGE_NAME;
  std::string theirs = Scratch() + "/theirs.fw";
  WriteAll(theirs, ReadAll(image));
  Fs().beforeOpen = [&](const char16_t* path, FileMode mode) {
    if (mode != FileMode::ReadOwn || testenv::Narrow(path).find(SAMPLE_IMAGE_NAME) == std::string::npos) return;
    fs::remove(P(image));
    EXPECT_TRUE(testenv::MakeLink(theirs, image));
  };
  ExpectImageRefused();
}

// The transient archive's name in TEMP is another user's: the program writes no archive there, so
// nothing of theirs is overwritten through it, and their archive is never unpacked.
TEST_F(Security, TheArchiveNameInTempIsLeftAlone) {
  std::string theirs = Scratch() + "/precious.txt";
  WriteAll(theirs, "precious");
  std::string archive = Scratch() + "/~ReleasePackage.a";
  if (testenv::LinksToFilesShow()) ASSERT_TRUE(testenv::MakeLink(theirs, archive));
  else WriteAll(archive, "precious");
  Start();
  EXPECT_EQ(ReadAll(theirs), "precious");
  EXPECT_EQ(ReadAll(archive), "precious");
  EXPECT_GT(AppStateGet().driveCount, 0u);  // the package itself was unpacked
  Close();
  EXPECT_EQ(ReadAll(archive), "precious");
}

// Before close, the per-run folder is swapped for a link to another user's folder: close deletes
// nothing there. On Windows the run holds the folder without delete sharing, so it cannot even be
// renamed.
TEST_F(Security, AFolderSwappedBeforeCloseLosesNothing) {
  Start();
  std::string folder = Folder();
  std::string theirs = TheirFolder(Scratch());
  std::error_code renamed;
  fs::rename(P(folder), P(folder + ".moved"), renamed);
#ifdef _WIN32
  EXPECT_TRUE(renamed) << "the held per-run folder was renamed";
#endif
  if (!renamed) ASSERT_TRUE(testenv::MakeLink(theirs, folder));
  Close();
  ExpectUntouched(theirs);
}

// Another user who has put a folder at the name the run draws first finds it left alone: the
// name is drawn again, and the per-run folder is named by the second draw. (On the host: under
// Wine the TEMP\Quorvela a test makes belongs to Wine's user and is not used.)
#ifndef _WIN32
TEST_F(Security, ATakenPerRunNameIsDrawnAgain) {
  fs::create_directories(P(Scratch() + "/Quorvela/" + std::to_string(0x1234u >> 1)));
  WriteAll(Scratch() + "/Quorvela/" + std::to_string(0x1234u >> 1) + "/keep.txt", "theirs");
  Fs().randoms = {0x1234, 0x5678};
  Start();
  EXPECT_EQ(Folder(), Scratch() + "/Quorvela/" + std::to_string(0x5678u >> 1));
  EXPECT_EQ(ReadAll(Scratch() + "/Quorvela/" + std::to_string(0x1234u >> 1) + "/keep.txt"), "theirs");
  Close();
}
#endif

// TEMP\Quorvela is a link to another user's folder: it is not used at all.
TEST_F(Security, ABaseFolderThatIsALinkIsNotUsed) {
  std::string theirs = TheirFolder(Scratch());
  ASSERT_TRUE(testenv::MakeLink(theirs, Scratch() + "/Quorvela"));
  ExpectABaseFolderOfItsOwn(theirs);
}

#ifndef _WIN32
// TEMP\Quorvela is another user's folder, there before the run: it is not used either.
TEST_F(Security, ABaseFolderOfAnotherOwnerIsNotUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  std::string theirs = TheirFolder(Scratch());
  fs::rename(P(theirs), P(Scratch() + "/Quorvela"));
  theirs = Scratch() + "/Quorvela";
  for (const auto& e : fs::directory_iterator(P(theirs))) ASSERT_EQ(lchown(e.path().c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  ExpectABaseFolderOfItsOwn(theirs);
}
#endif

#ifndef _WIN32
// The folders the program makes are its own: SYSTEM and the Administrators only (the host's mode
// 0700 stands for that DACL).
TEST_F(Security, TheProgramsFoldersAreClosedToOthers) {
  Start();
  struct stat st{};
  ASSERT_EQ(stat(Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((Scratch() + "/Quorvela").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}
#endif

// The console program's log among other users' files: a log that cannot be opened safely is not
// written, the Event Log says so once, and the exit code is the one without the log.
class SecurityConsole : public Security {
 protected:
  int Run(std::vector<std::u16string> args, StringConsole* output) {
    std::string error;
    EXPECT_TRUE(emu::LoadBench(bench(), emu::DefaultBenchText(), &contents_, &error)) << error;
    testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, MakeSamplePackage());
    std::vector<const char16_t*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return RunFleet(static_cast<int>(argv.size()), argv.data(), dialog(), *output);
  }
};

TEST_F(SecurityConsole, ALogThatIsALinkOrHasAnotherLinkIsNotWritten) {
  std::string theirs = Scratch() + "/precious.txt";
  WriteAll(theirs, "precious");
  std::vector<std::string> logs = {Scratch() + "/hard.log"};
  fs::create_hard_link(P(theirs), P(logs[0]));
  if (testenv::LinksToFilesShow()) {
    logs.push_back(Scratch() + "/link.log");
    ASSERT_TRUE(testenv::MakeLink(theirs, logs[1]));
  }
  for (const std::string& log : logs) {
    StringConsole output;
    EXPECT_EQ(Run({u"update", u"--entry", u"2", u"--yes", u"--log", testenv::Widen(log)}, &output), EXIT_DONE)
        << output.err;
    EXPECT_NE(EventsText().find("1121: QuorvelaFwUpdate-cli | " + log), std::string::npos) << EventsText();
    EXPECT_EQ(ReadAll(theirs), "precious");
  }
}

#ifndef _WIN32
// The log folder in ProgramData: made for the program when missing (Users may read it), and not
// used when it is a link or another user made it first.
TEST_F(SecurityConsole, ALogFolderOfAnotherUserOrALinkIsNotUsed) {
  auto& host = static_cast<HostSystem&>(testenv::BuildSystem());
  std::string data = Scratch() + "/ProgramData";
  fs::create_directories(P(data));
  host.SetSharedDataFolder(data);
  struct Restore {
    HostSystem& host;
    ~Restore() { host.SetSharedDataFolder(""); }
  } restore{host};
  const std::vector<std::u16string> update = {u"update", u"--entry", u"2", u"--yes"};

  StringConsole made;
  EXPECT_EQ(Run(update, &made), EXIT_DONE) << made.err;
  EXPECT_NE(ReadAll(data + "/Quorvela/FwUpdate.log").find("end exit=0"), std::string::npos);
  struct stat st{};
  ASSERT_EQ(stat((data + "/Quorvela").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  fs::remove_all(P(data + "/Quorvela"));
  std::string theirs = TheirFolder(Scratch());
  ASSERT_TRUE(testenv::MakeLink(theirs, data + "/Quorvela"));
  StringConsole linked;
  EXPECT_EQ(Run(update, &linked), EXIT_DONE);
  EXPECT_NE(EventsText().find(kNotTrusted), std::string::npos) << EventsText();
  ExpectUntouched(theirs);

  // The program's own account made it, but every user may add to it (a mkdir without the program's
  // access list): not used.
  fs::remove(P(data + "/Quorvela"));
  fs::create_directories(P(data + "/Quorvela"));
  ASSERT_EQ(chmod((data + "/Quorvela").c_str(), 0777), 0);
  size_t told = EventsText().size();
  StringConsole open;
  EXPECT_EQ(Run(update, &open), EXIT_DONE);
  EXPECT_NE(EventsText().find(kNotTrusted, told), std::string::npos) << EventsText();
  EXPECT_FALSE(fs::exists(P(data + "/Quorvela/FwUpdate.log")));

  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  fs::remove(P(data + "/Quorvela"));
  fs::create_directories(P(data + "/Quorvela"));
  ASSERT_EQ(chown((data + "/Quorvela").c_str(), 65534, 65534), 0);
  told = EventsText().size();
  StringConsole foreign;
  EXPECT_EQ(Run(update, &foreign), EXIT_DONE);
  EXPECT_NE(EventsText().find(kNotTrusted, told), std::string::npos) << EventsText();
  EXPECT_FALSE(fs::exists(P(data + "/Quorvela/FwUpdate.log")));
}
#endif

#ifndef _WIN32
// A patient attacker: at every file-system call of one whole console update (the dialog's start,
// RUN and close in the headless dialog, and the log), once per run, another user changes the world
// under the program: a folder the run uses (or one above it) is renamed and a link to their folder
// put in its place, or a folder of theirs (another owner) is put there, or hard links to their
// files are put at every name the run will create. The run then goes on to its end. Whatever was
// changed and when: no byte of theirs changes, nothing appears among their files, and a drive
// receives the package's bytes or nothing.
TEST_F(SecurityConsole, AChangeAtAnyFileCallOfARunReachesNothingOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "folders of another owner need root";
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "the sweep runs in the host build; it runs one thread at a time";
#endif
  auto& host = static_cast<HostSystem&>(testenv::BuildSystem());
  struct Restore {
    HostSystem& host;
    ~Restore() { host.SetSharedDataFolder(""); }
  } restore{host};
  // The names the run creates: the package's entries, the log and the history.
  const std::vector<std::string> names = {SAMPLE_INI_NAME, SAMPLE_IMAGE_NAME, "FwUpdate.log", "FwHistory.jsonl"};
  const std::vector<uint8_t> package = MakeSamplePackage();
  struct World {
    std::string root, temp, data, logs, victim;
  };
  auto makeWorld = [&](const std::string& root) {
    World w{root, root + "/temp", root + "/ProgramData", root + "/logs/sub", root + "/victim"};
    for (const std::string& f : {w.temp, w.data, w.logs, w.victim + "/sub"}) fs::create_directories(P(f));
    for (const std::string& name : names) WriteAll(w.victim + "/" + name, "theirs");
    WriteAll(w.victim + "/sub/FwUpdate.log", "theirs");  // where a link above the named log's folder leads
    return w;
  };
  // Every entry below a folder, with its bytes ("<folder>" for a folder), links not followed.
  auto snapshot = [](const std::string& folder) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(P(folder)); it != fs::recursive_directory_iterator(); ++it)
      out[it->path().string()] = it->is_symlink() ? "<link>" : it->is_directory() ? "<folder>" : ReadAll(it->path().string());
    return out;
  };
  // The folders another user could rename and put a link in place of, below a world's root (the
  // per-run folder is found by listing the base folder), in the run with the named log or with the
  // default one; those the run creates files in; and those another owner's folder replaces, the
  // ones the run keeps its files in by a rule of its own (TEMP is the user's, and the folder of a
  // named log the administrator's choice).
  const struct Role {
    const char* name;
    const char* below;
    bool namedLog, files, theirs;
  } roles[] = {{"temp", "temp", true, false, false},     {"base", "temp/Quorvela", true, false, true},
               {"run", nullptr, true, true, true},       {"logs-parent", "logs", true, false, false},
               {"logs", "logs/sub", true, true, false},  {"data", "ProgramData", false, false, false},
               {"data-log", "ProgramData/Quorvela", false, true, true}};
  auto folderOf = [](const World& w, const Role& role) -> std::string {
    if (role.below != nullptr) return w.root + "/" + role.below;
    std::error_code error;
    for (const auto& e : fs::directory_iterator(P(w.temp + "/Quorvela"), error))
      if (e.is_directory() && !e.is_symlink()) return e.path().string();
    return "";
  };
  auto present = [](const std::string& folder) {
    std::error_code error;
    return !folder.empty() && fs::is_directory(fs::symlink_status(P(folder), error));
  };
  // One console update in a world, on a bench of its own; atCall is called before every
  // file-system call. The download requests the drive received, without their sequence numbers,
  // go to downloads.
  auto run = [&](const World& w, bool namedLog, const std::function<void(size_t call)>& atCall,
                 std::vector<std::string>* downloads) {
    testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, package);
    Fs().tempFolder = testenv::Widen(w.temp + "/");
    host.SetSharedDataFolder(w.data);
    size_t calls = 0;
    Fs().beforeFileCall = [&](const char*, const char16_t*) { atCall(calls++); };
    std::vector<std::u16string> args = {u"update", u"--entry", u"0", u"--yes"};
    if (namedLog) args.insert(args.end(), {u"--log", testenv::Widen(w.logs + "/FwUpdate.log")});
    std::vector<const char16_t*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    for (const std::string& line : CaptureOf([&](HeadlessDialog& dialog) {
           StringConsole output;
           RunFleet(static_cast<int>(argv.size()), argv.data(), dialog, output);
         }))
      if (line.find(kDownloadCode) != std::string::npos) downloads->push_back(line.substr(line.find(' ')));
    Fs().beforeFileCall = nullptr;
    return calls;
  };

  size_t pairs = 0, bad = 0, worlds = 0;
  for (bool namedLog : {true, false}) {
    // A run without changes: how many calls there are, which folders are there at each, and what
    // the drive receives.
    World clean = makeWorld(Scratch() + "/clean" + (namedLog ? "-named" : "-default"));
    std::vector<std::vector<bool>> there;
    std::vector<std::string> cleanDownloads;
    Fs().resourceLookups = 0;
    size_t calls = run(clean, namedLog, [&](size_t) {
      there.emplace_back();
      for (const Role& role : roles) there.back().push_back(present(folderOf(clean, role)));
    }, &cleanDownloads);
    ASSERT_FALSE(cleanDownloads.empty());
    EXPECT_EQ(Fs().resourceLookups, 1);  // the package is inflated once, when it is unpacked
    for (size_t k = 0; k < calls; ++k) {
      // The changes: a link or another owner's folder for each folder there, hard links at all names.
      for (size_t change = 0; change <= 2 * std::size(roles); ++change) {
        const Role& role = roles[change % std::size(roles)];
        bool hardLinks = change == 2 * std::size(roles), link = change < std::size(roles);
        if (!hardLinks && (!there[k][change % std::size(roles)] || role.namedLog != namedLog || (!link && !role.theirs)))
          continue;
        World w = makeWorld(Scratch() + "/w" + std::to_string(worlds++));
        std::string theirs;
        std::map<std::string, std::string> victimBefore = snapshot(w.victim), theirsBefore;
        std::vector<std::string> downloads;
        run(w, namedLog, [&](size_t call) {
          if (call != k) return;
          if (hardLinks) {
            for (const Role& r : roles)
              for (const std::string& name : names)
                if (r.files && present(folderOf(w, r))) {
                  std::error_code error;
                  fs::create_hard_link(P(w.victim + "/" + name), P(folderOf(w, r) + "/" + name), error);
                }
            return;
          }
          std::string folder = folderOf(w, role);
          fs::rename(P(folder), P(folder + ".moved"));
          if (link) return fs::create_directory_symlink(P(w.victim), P(folder));
          fs::create_directory(P(folder));
          for (const std::string& name : names) WriteAll(folder + "/" + name, "theirs");
          for (const auto& e : fs::directory_iterator(P(folder))) EXPECT_EQ(lchown(e.path().c_str(), 65534, 65534), 0);
          EXPECT_EQ(lchown(folder.c_str(), 65534, 65534), 0);
          theirs = folder;
          theirsBefore = snapshot(folder);
        }, &downloads);
        ++pairs;
        bool victimChanged = snapshot(w.victim) != victimBefore;
        bool theirsChanged = !theirs.empty() && snapshot(theirs) != theirsBefore;
        bool otherBytes = !downloads.empty() && downloads != cleanDownloads;
        if (victimChanged || theirsChanged || otherBytes) {
          ++bad;
          ADD_FAILURE() << (victimChanged ? "their files changed" : theirsChanged ? "their folder changed" : "other bytes sent")
                        << ": call " << k << ", " << (hardLinks ? "hard links" : link ? "link at " : "another owner's folder at ")
                        << (hardLinks ? "" : role.name) << (namedLog ? " (--log)" : " (default log)");
        }
        fs::remove_all(P(w.root));
      }
    }
  }
  std::printf("sweep: %zu (call, change) pairs, %zu bad\n", pairs, bad);
  RecordProperty("pairs", static_cast<int>(pairs));
  RecordProperty("bad", static_cast<int>(bad));
  EXPECT_EQ(bad, 0u);
}
#endif

// What a drive reports about itself cannot end a console line or send the terminal escapes.
TEST_F(SecurityConsole, DriveTextCannotForgeConsoleLines) {
  std::string error;
  std::string text = emu::DefaultBenchText();
  size_t model = text.find("model = QUORVELA Q7 1TB");
  ASSERT_NE(model, std::string::npos);
  text.insert(model + 23, "\x1b[2K\x07");
  ASSERT_TRUE(emu::LoadBench(bench(), text, &contents_, &error)) << error;
  testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, MakeSamplePackage());
  const char16_t* argv[] = {u"list"};
  StringConsole output;
  EXPECT_EQ(RunFleet(1, argv, dialog(), output), EXIT_DONE) << output.err;
  EXPECT_NE(output.out.find("entry 0: QUORVELA Q7 1TB\\x1B[2K\\x07\n"), std::string::npos) << output.out;
  EXPECT_EQ(output.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(output.out.find('\x07'), std::string::npos);
}

}  // namespace
}  // namespace workflow
