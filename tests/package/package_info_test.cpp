// The embedded package and its information file: the per-run folder, the resource
// written out and unpacked, LoadPackageInfo's keys, defaults and capacities, ReplaceAll, and the
// folder's removal. Under Wine LoadPackageInfo reads through the real GetPrivateProfileStringW.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "app/package_info.h"
#include "core/app_state.h"
#include "platform/text.h"
#include "tests/package/archive_test.h"
#include "tests/package/zip_builder.h"

using namespace packagetest;
using testenv::Narrow;
using testenv::Widen;

namespace {

const char* const EXAMPLE_INI =
    "[UPDATEINFO]\r\n"
    "TITLE=Quorvela Sample Update\r\n"
    "NEWVERSION=3.2.F.2A\r\n"
    "SOCID=7C63\r\n"
    "ModelName=QV2000\r\n"
    "FWVersion=3.2.F.P7;3.2.F.2A\r\n"
    "iInternalFWVersionCheckPart=3\r\n"
    "BeforeMessage=Warning ! <BR>If FW is not back compatible, The user data will be erased.\r\n"
    "AfterMessage=Update FW OK !<BR>Reboot System Now ?\r\n"
    "PowerCtrl=2\r\n";

class PackageInfo : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    AppState& s = AppStateGet();
    s.dialogWindow = reinterpret_cast<platform::WindowHandle>(0x1234);
    platform::Sys().CurrentFolder(cwd_, TEXT_PATH);
  }
  void TearDown() override {
    platform::Sys().SetCurrentFolder(cwd_);  // a test that moves it leaves the others where they were
    ArchiveTest::TearDown();
  }
  // Embeds a package that holds the information file, and unpacks it as the program does at start.
  void UseIni(const std::string& text) {
    UseTemp();
    UsePackage(BuildZip({{"QuorvelaInfo.ini", text}}));
    CreatePackageFolder();
    ExtractPackage(u"FWPACKAGEZIP", 1000, AppStateGet().packageFolder);
  }
  void UsePackage(const std::string& zip) {
    Fs().resource.assign(zip.begin(), zip.end());
    Fs().resourceType = u"FWPACKAGEZIP";
    Fs().resourceId = 1000;
    Fs().haveResource = true;
  }
  // The temporary folder as the system would give it: with a trailing backslash.
  void UseTemp() {
    std::filesystem::create_directories(FsPath(At("temp")));
    Fs().tempFolder = Widen(At("temp")) + u"\\";
  }

 private:
  char16_t cwd_[TEXT_PATH] = {};
};

TEST_F(PackageInfo, TheExampleFileFillsEveryField) {
  UseIni(EXAMPLE_INI);
  LoadPackageInfo();
  AppState& s = AppStateGet();
  EXPECT_EQ(Narrow(s.title), "Quorvela Sample Update");
  EXPECT_EQ(Narrow(dialog().Caption()), "Quorvela Sample Update");
  EXPECT_EQ(Narrow(s.socId), "7C63");
  EXPECT_EQ(Narrow(s.modelName), "QV2000");
  EXPECT_EQ(Narrow(s.fwVersionList), ";3.2.F.P7;3.2.F.2A;");
  EXPECT_EQ(Narrow(s.newVersion), "3.2.F.2A");
  EXPECT_EQ(s.internalVersionCheckPart, 3);
  EXPECT_EQ(Narrow(s.beforeMessage), "Warning ! \r\nIf FW is not back compatible, The user data will be erased.");
  EXPECT_EQ(Narrow(s.afterMessage), "Update FW OK !\r\nReboot System Now ?");
  EXPECT_EQ(s.powerCtrl, 2);
}

TEST_F(PackageInfo, MissingKeysTakeTheirDefaults) {
  UseIni("[UPDATEINFO]\r\nSOCID=7C63\r\n[OTHER]\r\nTITLE=Not this one\r\nPowerCtrl=1\r\n");
  LoadPackageInfo();
  AppState& s = AppStateGet();
  EXPECT_EQ(Narrow(s.title), "Package Error");
  EXPECT_EQ(Narrow(dialog().Caption()), "Package Error");
  EXPECT_EQ(Narrow(s.socId), "7C63");
  EXPECT_EQ(Narrow(s.modelName), "");
  EXPECT_EQ(Narrow(s.fwVersionList), "");
  EXPECT_EQ(Narrow(s.newVersion), "");
  EXPECT_EQ(s.internalVersionCheckPart, 3);
  EXPECT_EQ(Narrow(s.beforeMessage), "");
  EXPECT_EQ(s.powerCtrl, 0);
}

// As Windows reads an information file: a UTF-8 byte-order mark is no part of the first line,
// blanks and tabs around key names and values go, and only the first section of a name is read.
TEST_F(PackageInfo, TheFileIsReadAsWindowsReadsIt) {
  UseIni("\xEF\xBB\xBF[UPDATEINFO]\r\n NEWVERSION\t=3.2.F.2A\t\t\r\nSOCID = 7C63 \t\r\n[UPDATEINFO]\r\nTITLE=Not this one\r\n");
  LoadPackageInfo();
  AppState& s = AppStateGet();
  EXPECT_EQ(Narrow(s.newVersion), "3.2.F.2A");
  EXPECT_EQ(Narrow(s.socId), "7C63");
  EXPECT_EQ(Narrow(s.title), "Package Error");
}

TEST_F(PackageInfo, NoFileAtAllLeavesEveryDefault) {
  std::filesystem::create_directories(FsPath(At("pkg")));
  platform::TextCopy(AppStateGet().packageFolder, TEXT_PATH, Widen(At("pkg")).c_str());
  LoadPackageInfo();
  AppState& s = AppStateGet();
  EXPECT_EQ(Narrow(s.title), "Package Error");
  EXPECT_EQ(s.socId[0], 0);
  EXPECT_EQ(s.internalVersionCheckPart, 3);
  EXPECT_EQ(s.powerCtrl, 0);
  // Without a package folder (it could not be made) the defaults come without any file.
  AppStateReset();
  LoadPackageInfo();
  EXPECT_EQ(Narrow(AppStateGet().title), "Package Error");
  EXPECT_EQ(AppStateGet().internalVersionCheckPart, 3);
}

TEST_F(PackageInfo, PowerCtrlKeepsItsLowEightBits) {
  UseIni("[UPDATEINFO]\r\nPowerCtrl=258\r\niInternalFWVersionCheckPart=0\r\n");
  LoadPackageInfo();
  EXPECT_EQ(AppStateGet().powerCtrl, 2);
  EXPECT_EQ(AppStateGet().internalVersionCheckPart, 0);
}

TEST_F(PackageInfo, EveryBrIsReplacedButNotInLowerCase) {
  UseIni("[UPDATEINFO]\r\nBeforeMessage=one<BR>two<BR><BR>three<br>four<Br>\r\nAfterMessage=<BR>\r\n");
  LoadPackageInfo();
  EXPECT_EQ(Narrow(AppStateGet().beforeMessage), "one\r\ntwo\r\n\r\nthree<br>four<Br>");
  EXPECT_EQ(Narrow(AppStateGet().afterMessage), "\r\n");
}

TEST_F(PackageInfo, ValuesAreCutToTheirCapacity) {
  std::string longTitle(400, 'T');
  std::string longSoc(100, 'S');
  UseIni("[UPDATEINFO]\r\nTITLE=" + longTitle + "\r\nSOCID=" + longSoc + "\r\n");
  LoadPackageInfo();
  EXPECT_EQ(Narrow(AppStateGet().title), std::string(259, 'T'));
  EXPECT_EQ(Narrow(AppStateGet().socId), std::string(63, 'S'));
}

TEST_F(PackageInfo, AnFwVersionListTooLongKeepsOnlyWholeVersions) {
  // 40 versions of 9 characters and their separators: 399 characters, cut on reading to 259.
  std::string list;
  for (int i = 0; i < 40; ++i) list += (i ? ";" : "") + std::string("3.2.F.") + std::to_string(100 + i);
  UseIni("[UPDATEINFO]\r\nFWVersion=" + list + "\r\n");
  LoadPackageInfo();
  std::string stored = Narrow(AppStateGet().fwVersionList);
  EXPECT_LE(stored.size(), 259u);
  ASSERT_GE(stored.size(), 2u);
  EXPECT_EQ(stored.front(), ';');
  EXPECT_EQ(stored.back(), ';');
  // Every stored version is a whole one of the list: ";3.2.F.1xx;" for the first 25.
  std::string expect = ";";
  for (int i = 0; i < 40; ++i) {
    std::string next = expect + "3.2.F." + std::to_string(100 + i) + ";";
    if (next.size() > 259) break;
    expect = next;
  }
  EXPECT_EQ(stored, expect);
}

TEST(PackageInfoText, WrapVersionListAddsOneSemicolonAtEachEnd) {
  char16_t out[TEXT_PATH];
  WrapVersionList(u"3.2.F.P7;3.2.F.2A", out, TEXT_PATH);
  EXPECT_EQ(std::u16string(out), u";3.2.F.P7;3.2.F.2A;");
  WrapVersionList(u"", out, TEXT_PATH);
  EXPECT_EQ(std::u16string(out), u"");
  std::u16string fits(257, u'v');  // 257 + 2 = 259: fits whole
  WrapVersionList(fits.c_str(), out, TEXT_PATH);
  EXPECT_EQ(std::u16string(out), u";" + fits + u";");
  std::u16string oneTooMany(258, u'v');  // one version that cannot fit: a list no revision matches
  WrapVersionList(oneTooMany.c_str(), out, TEXT_PATH);
  EXPECT_EQ(std::u16string(out), u";");
  std::u16string twoVersions = std::u16string(200, u'a') + u";" + std::u16string(60, u'b');
  WrapVersionList(twoVersions.c_str(), out, TEXT_PATH);
  EXPECT_EQ(std::u16string(out), u";" + std::u16string(200, u'a') + u";");
  // A first version of 257 characters before another fills the 260 units exactly; one of 258
  // does not fit, and nothing is written past the buffer (the units after it stay '#').
  char16_t guarded[TEXT_PATH + 4];
  for (size_t first : {size_t{257}, size_t{258}}) {
    for (auto& c : guarded) c = u'#';
    std::u16string list = std::u16string(first, u'v') + u";next";
    WrapVersionList(list.c_str(), guarded, TEXT_PATH);
    EXPECT_EQ(std::u16string(guarded), first == 257 ? u";" + std::u16string(257, u'v') + u";" : u";") << first;
    for (size_t i = TEXT_PATH; i < TEXT_PATH + 4; ++i) EXPECT_EQ(guarded[i], u'#') << first << " " << i;
  }
}

TEST_F(PackageInfo, LongMessagesAreHandledWithoutOverflow) {
  // A message of 1,023 characters and one of 1,100 (cut to 1,023 on reading), full of <BR>.
  std::string body;
  while (body.size() < 1023) body += "ab<BR>";
  body.resize(1023);
  std::string longer(1100, 'y');
  for (size_t i = 0; i + 4 < longer.size(); i += 50) longer.replace(i, 4, "<BR>");
  UseIni("[UPDATEINFO]\r\nBeforeMessage=" + body + "\r\nAfterMessage=" + longer + "\r\n");
  LoadPackageInfo();
  std::string before = Narrow(AppStateGet().beforeMessage);
  std::string expectBefore = std::regex_replace(body, std::regex("<BR>"), "\r\n");
  EXPECT_EQ(before, expectBefore);
  std::string after = Narrow(AppStateGet().afterMessage);
  EXPECT_EQ(after, std::regex_replace(longer.substr(0, 1023), std::regex("<BR>"), "\r\n"));
  EXPECT_EQ(after.find("<BR>"), std::string::npos);
}

TEST(PackageInfoText, ReplaceAllReplacesEveryOccurrenceInPlace) {
  char16_t text[1000];
  platform::TextCopy(text, 1000, u"a<BR>b<BR>c");
  ReplaceAll(text, u"<BR>", u"\r\n");
  EXPECT_EQ(std::u16string(text), u"a\r\nb\r\nc");
  platform::TextCopy(text, 1000, u"no tag here <br>");
  ReplaceAll(text, u"<BR>", u"\r\n");
  EXPECT_EQ(std::u16string(text), u"no tag here <br>");
  // Each search starts again at the beginning: a tag formed by a removal is removed too.
  platform::TextCopy(text, 1000, u"<B<BR>R>x");
  ReplaceAll(text, u"<BR>", u"");
  EXPECT_EQ(std::u16string(text), u"x");
  // A replacement that holds what is searched for ends (each occurrence once).
  platform::TextCopy(text, 1000, u"aXa");
  ReplaceAll(text, u"a", u"aa");
  EXPECT_EQ(std::u16string(text), u"aaXaa");
  platform::TextCopy(text, 1000, u"unchanged");
  ReplaceAll(text, u"", u"x");
  EXPECT_EQ(std::u16string(text), u"unchanged");
}

TEST(PackageInfoText, ReplaceAllNeverOverrunsItsBuffer) {
  char16_t guarded[32 + 8];
  for (auto& c : guarded) c = u'#';
  platform::TextCopy(guarded, 32, u"xxxxxxxxxxxxxxxx");
  ReplaceAllIn(guarded, 32, u"x", u"yyyy");
  EXPECT_EQ(std::u16string(guarded), std::u16string(31, u'y'));
  for (int i = 32; i < 40; ++i) EXPECT_EQ(guarded[i], u'#');
  // The three-argument form works in 1,000-character buffers: a long result stops at 999.
  static char16_t big[1000 + 16];
  for (auto& c : big) c = u'#';
  std::u16string many;
  for (int i = 0; i < 300; ++i) many += u"<BR>";
  platform::TextCopy(big, 1000, many.c_str());
  ReplaceAll(big, u"<BR>", u"<BR><BR>");
  EXPECT_EQ(platform::TextLength(big), 999u);
  for (int i = 1000; i < 1016; ++i) EXPECT_EQ(big[i], u'#');
}

TEST_F(PackageInfo, TempFolderLosesItsTrailingBackslash) {
  UseTemp();
  char16_t temp[TEXT_PATH];
  GetTempFolder(temp, TEXT_PATH);
  EXPECT_EQ(std::u16string(temp), Widen(At("temp")));
  // A folder that does not fit gives nothing rather than a cut path.
  char16_t small[8];
  GetTempFolder(small, 8);
  EXPECT_EQ(small[0], 0);
}

TEST_F(PackageInfo, PerRunFoldersAreNamedByTheRandomSourceAndNeverShared) {
  UseTemp();
  // The third run draws the second's name first: it draws again.
  Fs().randoms = {0x2468, 0x1357, 0x1357, 0x9ABC, 0x4242};
  CreatePackageFolder();
  std::u16string first = AppStateGet().packageFolder;
  std::u16string temp = Widen(At("temp"));
  EXPECT_EQ(first, temp + u"\\Quorvela\\" + Widen(std::to_string(0x2468 >> 1)));
  EXPECT_TRUE(IsFolder(Narrow(first)));
  // No doubled separator anywhere.
  EXPECT_EQ(first.find(u"\\\\"), std::u16string::npos);
  EXPECT_EQ(first.find(u"/\\"), std::u16string::npos);
  CreatePackageFolder();
  std::u16string second = AppStateGet().packageFolder;
  CreatePackageFolder();
  std::u16string third = AppStateGet().packageFolder;
  // (Under Wine TEMP\Quorvela, made by the first run, is Wine's user's by now: the later runs make
  // base folders of their own, named by the same draws.)
  EXPECT_NE(third.find(Widen(std::to_string(0x9ABC >> 1))), std::u16string::npos) << Narrow(third);
  EXPECT_NE(first, second);
  EXPECT_NE(second, third);
  EXPECT_TRUE(IsFolder(Narrow(second)));
  EXPECT_TRUE(IsFolder(Narrow(third)));
  // Each run removes only what it made: the other runs' folders stay, and so does a file somebody
  // else put into this run's folder (and with it the folder); Quorvela stays.
  WriteAll(Narrow(first) + "/a.fw", "first");
  WriteAll(Narrow(third) + "/a.fw", "another's");
  RemovePackageFolder();
  EXPECT_EQ(ReadAll(Narrow(first) + "/a.fw"), "first");
  EXPECT_TRUE(IsFolder(Narrow(second)));
  EXPECT_EQ(ReadAll(Narrow(third) + "/a.fw"), "another's");
  CreatePackageFolder();
  std::u16string fourth = AppStateGet().packageFolder;
  EXPECT_TRUE(IsFolder(Narrow(fourth)));
  RemovePackageFolder();
  EXPECT_FALSE(Exists(Narrow(fourth)));
  EXPECT_TRUE(IsFolder(At("temp/Quorvela")));
}

#ifndef _WIN32
// TEMP\Quorvela is no folder, so the run makes a base folder of its own; in a TEMP so long that no
// per-run folder fits in that one, the run has no package folder, and its own base folder still
// goes at close.
TEST_F(PackageInfo, ABaseFolderOfTheRunsOwnGoesEvenWithoutAPerRunFolder) {
  Fs().randoms = {0x1234};
  std::string tick = std::to_string(0x1234 >> 1);
  // TEMP\Quorvela-<tick> fills the longest path there is.
  std::string temp = At("t");
  size_t rest = TEXT_PATH - 1 - std::string("/Quorvela-").size() - tick.size() - temp.size();
  while (rest > 0) {
    size_t k = rest > 101 ? (rest - 101 < 2 ? 98 : 100) : rest - 1;
    temp += "/" + std::string(k, 'x');
    rest -= k + 1;
  }
  std::filesystem::create_directories(FsPath(temp));
  WriteAll(temp + "/Quorvela", "a file");
  Fs().tempFolder = Widen(temp);
  CreatePackageFolder();
  EXPECT_EQ(AppStateGet().packageFolder[0], 0);
  ASSERT_TRUE(Exists(temp + "/Quorvela-" + tick));
  RemovePackageFolder();
  EXPECT_FALSE(Exists(temp + "/Quorvela-" + tick));
  EXPECT_EQ(ReadAll(temp + "/Quorvela"), "a file");
}
#endif

#ifndef _WIN32
// TEMP as the system names it may lie below a link (a profile moved to another disk): the link is
// followed. TEMP that is a link itself is not: the run makes nothing where it leads.
TEST_F(PackageInfo, TempBelowALinkIsUsedButTempThatIsALinkIsNot) {
  std::filesystem::create_directories(FsPath(At("real/temp")));
  ASSERT_TRUE(testenv::MakeLink(At("real"), At("moved")));
  Fs().tempFolder = Widen(At("moved/temp")) + u"\\";
  CreatePackageFolder();
  EXPECT_EQ(std::u16string(AppStateGet().packageFolder).rfind(Widen(At("moved/temp")) + u"\\Quorvela\\", 0), 0u);
  EXPECT_TRUE(IsFolder(At("real/temp/Quorvela")));
  RemovePackageFolder();
  ASSERT_TRUE(testenv::MakeLink(At("real/temp"), At("temp-link")));
  Fs().tempFolder = Widen(At("temp-link")) + u"\\";
  CreatePackageFolder();
  EXPECT_EQ(AppStateGet().packageFolder[0], 0);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::recursive_directory_iterator(FsPath(At("real/temp")))) ++entries;
  EXPECT_EQ(entries, 1u);  // the Quorvela folder the first run left, empty
}
#endif

TEST_F(PackageInfo, ThePackageIsWrittenUnpackedReadAndRemoved) {
  UseTemp();
  std::string image(4096 * 3, '\x5A');
  std::vector<ZipItem> items = {{"QuorvelaInfo.ini", EXAMPLE_INI}, {"Micron-B47R.fw", image}};
  items[0].madeBy = (11 << 8) | 20;
  items[0].external = 0x81800020;
  items[1].madeBy = (11 << 8) | 20;
  items[1].external = 0x81800020;
  UsePackage(BuildZip(items));
  CreatePackageFolder();
  AppState& s = AppStateGet();
  ExtractPackage(u"FWPACKAGEZIP", 1000, s.packageFolder);
  std::string folder = Narrow(s.packageFolder);
  EXPECT_EQ(ReadAll(folder + "/Micron-B47R.fw"), image);
  EXPECT_EQ(ReadAll(folder + "/QuorvelaInfo.ini"), std::string(EXAMPLE_INI));
  EXPECT_FALSE(Exists(At("temp/~ReleasePackage.a")));  // the archive is read in memory, never written
  LoadPackageInfo();
  EXPECT_EQ(Narrow(dialog().Caption()), "Quorvela Sample Update");
  EXPECT_EQ(Narrow(s.fwVersionList), ";3.2.F.P7;3.2.F.2A;");
  // Rewritten since, with another user's values: it is not read.
  WriteAll(folder + "/QuorvelaInfo.ini", "[UPDATEINFO]\r\nTITLE=Theirs\r\nFWVersion=0.0.0.1\r\nPowerCtrl=1\r\n");
  LoadPackageInfo();
  EXPECT_EQ(Narrow(dialog().Caption()), "Package Error");
  EXPECT_EQ(Narrow(s.fwVersionList), "");
  EXPECT_EQ(s.powerCtrl, 0);
  RemovePackageFolder();
  EXPECT_FALSE(Exists(folder));
  EXPECT_TRUE(IsFolder(At("temp/Quorvela")));
}

TEST_F(PackageInfo, AMissingResourceUnpacksNothingNotEvenAnOldArchive) {
  UseTemp();
  // An archive left behind by another run must not be taken for this program's package.
  WriteAll(At("temp/~ReleasePackage.a"), BuildZip({{"stale.fw", "old"}}));
  CreatePackageFolder();
  ExtractPackage(u"FWPACKAGEZIP", 1000, AppStateGet().packageFolder);
  EXPECT_TRUE(FilesBelow(Narrow(AppStateGet().packageFolder)).empty());
  LoadPackageInfo();
  EXPECT_EQ(Narrow(dialog().Caption()), "Package Error");
}

// A package cut short, and one whose end record counts one entry less than its directory holds
// (the image would be missing while the information file looks sound): nothing is unpacked, the
// program runs as "Package Error", and the trace says why.
TEST_F(PackageInfo, ADamagedPackageGivesAnEmptyFolderAndDefaults) {
  UseTemp();
  ZipLayout l;
  std::string whole = BuildZip({{"QuorvelaInfo.ini", EXAMPLE_INI}, {"Micron-B47R.fw", std::string(4096, 'F')}}, &l);
  std::string countLow = whole;
  Patch16(countLow, l.endOffset + 8, 1);
  Patch16(countLow, l.endOffset + 10, 1);
  struct Row {
    std::string zip;
    const char* trace;
  } rows[] = {
      {whole.substr(0, whole.size() / 2), "[TX] ExtractPackage: the package is not unpacked: Couldn't create/open file (a truncated"},
      {countLow, "[TX] ExtractPackage: the package is not unpacked: Zipfile is corrupt or not a zipfile (damaged:"},
  };
  for (const Row& row : rows) {
    AppStateReset();
    testenv::ClearDebug();
    UsePackage(row.zip);
    CreatePackageFolder();
    ExtractPackage(u"FWPACKAGEZIP", 1000, AppStateGet().packageFolder);
    EXPECT_TRUE(IsFolder(Narrow(AppStateGet().packageFolder)));
    EXPECT_TRUE(FilesBelow(Narrow(AppStateGet().packageFolder)).empty()) << row.trace;
    EXPECT_EQ(LastUnpackTally().entries, -1) << row.trace;  // the console program's exit 1620
    LoadPackageInfo();
    EXPECT_EQ(Narrow(AppStateGet().title), "Package Error") << row.trace;
    bool traced = false;
    for (const std::u16string& line : testenv::DebugLines()) traced = traced || Narrow(line).rfind(row.trace, 0) == 0;
    EXPECT_TRUE(traced) << row.trace;
  }
}

}  // namespace
