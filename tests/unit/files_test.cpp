// The seam's file operations among other users' files: what a path names without following a
// link, the modes that never write or read back through a link or a file with another link, the
// removal of the very file that was made, and the protected folders. On the host symbolic links
// stand for Windows' reparse points; under Wine the same cases run against the Win32 calls, with
// links made on the Linux side.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/platform.h"
#include "platform/text.h"
#include "tests/support/test_env.h"

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>

#include "platform/win32/nt_open.h"
#include "platform/win32/win32_platform.h"
#else
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform/host/host_system.h"
#endif

using namespace platform;
using testenv::Widen;

namespace {

class Files : public testenv::Environment {
 protected:
  std::string At(const std::string& name) const { return Scratch() + "/" + name; }
  std::u16string AtW(const std::string& name) const { return Widen(At(name)); }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(Widen(At(name))), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(std::filesystem::path(Widen(At(name))), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  PathFacts Look(const std::string& name) {
    PathFacts facts{};
    EXPECT_TRUE(Sys().LookAt(AtW(name).c_str(), &facts)) << name;
    return facts;
  }
  bool Opens(const std::string& name, FileMode mode) {
    FileHandle f = Sys().OpenFile(AtW(name).c_str(), mode);
    if (f == INVALID_FILE) return false;
    Sys().CloseFile(f);
    return true;
  }
  FileIdentity IdentityOf(const std::string& name) { return Look(name).identity; }
};

TEST_F(Files, APathIsLookedAtWithoutFollowingALink) {
  Write("file", "bytes");
  std::filesystem::create_directory(std::filesystem::path(Widen(At("folder"))));
  ASSERT_TRUE(testenv::MakeLink(At("folder"), At("folder-link")));
  EXPECT_EQ(Look("file").kind, PathKind::FILE);
  EXPECT_EQ(Look("file").links, 1u);
#ifndef _WIN32
  EXPECT_TRUE(Look("file").trusted);  // the program's own user (Wine's owner SID is its user's)
#endif
  EXPECT_EQ(Look("folder").kind, PathKind::FOLDER);
  EXPECT_EQ(Look("folder-link").kind, PathKind::LINK);
  EXPECT_EQ(Look("missing").kind, PathKind::MISSING);
  EXPECT_EQ(Look("missing/below").kind, PathKind::MISSING);
  std::filesystem::create_hard_link(std::filesystem::path(Widen(At("file"))), std::filesystem::path(Widen(At("second"))));
  EXPECT_EQ(Look("file").links, 2u);
  EXPECT_TRUE(Look("file").identity == Look("second").identity);
  EXPECT_FALSE(Look("file").identity == Look("folder").identity);
  // A folder listing says which entry is a link.
  uint32_t attributes = 0;
  Sys().FindFiles(AtW("folder-link").c_str(), [](const FindData& d, void* c) {
    *static_cast<uint32_t*>(c) = d.attributes;
    return false;
  }, &attributes);
  EXPECT_NE(attributes & FILE_ATTR_REPARSE_POINT, 0u);
  if (testenv::LinksToFilesShow()) {
    ASSERT_TRUE(testenv::MakeLink(At("file"), At("file-link")));
    EXPECT_EQ(Look("file-link").kind, PathKind::LINK);
  }
}

// Writing, appending and reading back one's own file never goes through a link and never touches
// a file that has another name elsewhere; a file somebody named is still read through a link.
TEST_F(Files, OwnFilesAreNeverReachedThroughALink) {
  Write("theirs", "precious");
  std::filesystem::create_hard_link(std::filesystem::path(Widen(At("theirs"))), std::filesystem::path(Widen(At("hard"))));
  for (FileMode mode : {FileMode::CreateAlways, FileMode::OpenAppend, FileMode::ReadOwn})
    EXPECT_FALSE(Opens("hard", mode)) << static_cast<int>(mode);
  EXPECT_EQ(Read("theirs"), "precious");
  if (testenv::LinksToFilesShow()) {
    ASSERT_TRUE(testenv::MakeLink(At("theirs"), At("link")));
    for (FileMode mode : {FileMode::CreateAlways, FileMode::OpenAppend, FileMode::ReadOwn})
      EXPECT_FALSE(Opens("link", mode)) << static_cast<int>(mode);
    EXPECT_TRUE(Opens("link", FileMode::ReadExisting));
    EXPECT_EQ(Read("theirs"), "precious");
  }
  // A plain file of one's own: made, replaced, appended to and read.
  FileHandle f = Sys().OpenFile(AtW("own").c_str(), FileMode::CreateAlways);
  ASSERT_NE(f, INVALID_FILE);
  FileIdentity made{};
  EXPECT_TRUE(Sys().IdentityOf(f, &made));
  Sys().WriteFile(f, "longer text", 11, nullptr);
  Sys().CloseFile(f);
  EXPECT_TRUE(made == IdentityOf("own"));
  f = Sys().OpenFile(AtW("own").c_str(), FileMode::CreateAlways);
  Sys().WriteFile(f, "new", 3, nullptr);
  Sys().CloseFile(f);
  f = Sys().OpenFile(AtW("own").c_str(), FileMode::OpenAppend);
  Sys().WriteFile(f, "+", 1, nullptr);
  Sys().CloseFile(f);
  EXPECT_EQ(Read("own"), "new+");
  EXPECT_TRUE(Opens("own", FileMode::ReadOwn));
}

// Only the very file or folder that was made is removed: not another file put in its place, not a
// link, not a folder that still holds something. A read-only file goes too.
TEST_F(Files, RemovingTakesOnlyTheIdentifiedFileOrFolder) {
  Write("made", "x");
  FileIdentity made = IdentityOf("made");
  std::filesystem::rename(std::filesystem::path(Widen(At("made"))), std::filesystem::path(Widen(At("moved"))));
  Write("made", "another's");
  EXPECT_FALSE(Sys().RemoveIdentified(AtW("made").c_str(), made));
  PathFacts facts{};  // the same through the folder held
  FolderHandle scratch = Sys().OpenFolder(ScratchW().c_str(), PathLinks::FOLLOWED, &facts);
  EXPECT_FALSE(Sys().RemoveAt(scratch, u"made", made));
  Sys().CloseFolder(scratch);
  EXPECT_EQ(Read("made"), "another's");
  EXPECT_TRUE(Sys().RemoveIdentified(AtW("moved").c_str(), made));
  EXPECT_EQ(Look("moved").kind, PathKind::MISSING);

  Write("readonly", "r");
  ASSERT_TRUE(Sys().SetAttributes(AtW("readonly").c_str(), FILE_ATTR_READONLY));
  EXPECT_TRUE(Sys().RemoveIdentified(AtW("readonly").c_str(), IdentityOf("readonly")));
  EXPECT_EQ(Look("readonly").kind, PathKind::MISSING);

  std::filesystem::create_directory(std::filesystem::path(Widen(At("folder"))));
  FileIdentity folder = IdentityOf("folder");
  Write("folder/kept", "k");
  EXPECT_FALSE(Sys().RemoveIdentified(AtW("folder").c_str(), folder));
  std::filesystem::remove(std::filesystem::path(Widen(At("folder/kept"))));
  // A link in the folder's place, to a folder of the same identity, is not followed.
  std::filesystem::rename(std::filesystem::path(Widen(At("folder"))), std::filesystem::path(Widen(At("real"))));
  ASSERT_TRUE(testenv::MakeLink(At("real"), At("folder")));
  EXPECT_FALSE(Sys().RemoveIdentified(AtW("folder").c_str(), folder));
  EXPECT_EQ(Look("real").kind, PathKind::FOLDER);
  EXPECT_TRUE(Sys().RemoveIdentified(AtW("real").c_str(), folder));
  EXPECT_EQ(Look("real").kind, PathKind::MISSING);
}

// A folder is made new with its protected DACL, or not at all (anything of its name is not taken
// over), and held; a link at any name of a walked path refuses the path; in a held folder a file is
// made new or not at all, and the held folder cannot be renamed under Windows.
TEST_F(Files, FoldersAreMadeNewAndHeldAndTheirNamesReachedThroughThem) {
  namespace fs = std::filesystem;
  Write("file", "x");
  fs::create_directories(fs::path(Widen(At("folder/sub"))));
  ASSERT_TRUE(testenv::MakeLink(At("folder"), At("link")));
  PathFacts facts{};
  FolderHandle scratch = Sys().OpenFolder(ScratchW().c_str(), PathLinks::FOLLOWED, &facts);
  ASSERT_NE(scratch, INVALID_FOLDER);
  for (const char16_t* taken : {u"file", u"folder", u"link"})
    EXPECT_EQ(Sys().MakeFolderAt(scratch, taken, FolderAccess::ADMINS_ONLY, &facts), INVALID_FOLDER);
  // Every look through the held folder is its own: the names asked before do not answer for the next.
  EXPECT_TRUE(Sys().LookAtName(scratch, u"folder", &facts) && facts.kind == PathKind::FOLDER);
  EXPECT_TRUE(Sys().LookAtName(scratch, u"link", &facts) && facts.kind == PathKind::LINK);
  EXPECT_EQ(Sys().OpenFolder(AtW("link/sub").c_str(), PathLinks::REFUSED, &facts), INVALID_FOLDER);
  EXPECT_EQ(facts.kind, PathKind::LINK);
  EXPECT_EQ(Sys().OpenFolder(AtW("link").c_str(), PathLinks::FOLLOWED, &facts), INVALID_FOLDER);
  EXPECT_EQ(facts.kind, PathKind::LINK);
  FolderHandle admins = Sys().MakeFolderAt(scratch, u"admins", FolderAccess::ADMINS_ONLY, &facts);
  ASSERT_NE(admins, INVALID_FOLDER);
  EXPECT_TRUE(facts.identity == Look("admins").identity);
  Sys().CloseFolder(Sys().MakeFolderAt(scratch, u"users", FolderAccess::USERS_READ, &facts));
  Sys().CloseFile(Sys().OpenFileAt(admins, u"own", FileMode::CreateNew));
  for (const char16_t* name : {u"own", u"..", u"a/b", u""})
    EXPECT_EQ(Sys().OpenFileAt(admins, name, FileMode::CreateNew), INVALID_FILE) << testenv::Narrow(name);
  std::error_code renamed;
  fs::rename(fs::path(Widen(At("admins"))), fs::path(Widen(At("moved"))), renamed);
#ifdef _WIN32
  EXPECT_TRUE(renamed) << "a held folder shares no deletion: it cannot be renamed";
#else
  EXPECT_FALSE(renamed);
  EXPECT_TRUE(Sys().LookAtName(admins, u"own", &facts) && facts.kind == PathKind::FILE);  // still reached through it
  // The host's stand-in for the DACL: the folder's mode.
  struct stat st{};
  ASSERT_EQ(stat(At("moved").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(At("users").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
#endif
  Sys().CloseFolder(admins);
#ifndef _WIN32
  // Between the host's make and open another user swaps in a folder of their own (here: one that
  // others may read, with a file in it): the name counts as taken, and theirs is not taken over.
  auto& host = static_cast<HostSystem&>(testenv::BuildSystem());
  host.SetBetweenMakeAndOpen([](int parent, const char* name) {
    renameat(parent, name, parent, "moved-away");
    mkdirat(parent, name, 0755);
  });
  EXPECT_EQ(Sys().MakeFolderAt(scratch, u"swapped", FolderAccess::ADMINS_ONLY, &facts), INVALID_FOLDER);
  host.SetBetweenMakeAndOpen(nullptr);
  EXPECT_EQ(facts.kind, PathKind::FOLDER);
  ASSERT_EQ(stat(At("swapped").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
#endif
  Sys().CloseFolder(scratch);
}

#ifdef _WIN32
// The security descriptor a protected folder is made with, as Windows reads it back: nothing
// inherited, full control for SYSTEM and the Administrators (and for all below), reading and
// listing for Users only where asked. (Wine keeps no DACL on a folder, so the descriptor itself is
// what is checked.)
TEST(FolderSecurity, OnlySystemAndAdministratorsMayChangeWhatTheProgramMakes) {
  for (auto [access, expected] :
       {std::pair{FolderAccess::ADMINS_ONLY, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"},
        std::pair{FolderAccess::USERS_READ, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"}}) {
    void* descriptor = NewFolderSecurity(access);
    ASSERT_NE(descriptor, nullptr);
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_STREQ(text, expected);
    LocalFree(text);
    LocalFree(descriptor);
  }
}

// What the held-folder calls ask of NtCreateFile: every name relative to the folder handle given
// (RootDirectory), never a link followed (FILE_OPEN_REPARSE_POINT), a file or folder made new
// (FILE_CREATE), and what is held or written shares no deletion.
struct NtCall {
  HANDLE root;
  std::wstring name;
  ULONG share, disposition, options;
};
std::vector<NtCall> g_ntCalls;
NtCreateFileFunction g_realNtCreateFile = nullptr;
NTSTATUS NTAPI RecordNtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK io,
                                  PLARGE_INTEGER size, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                                  PVOID ea, ULONG eaLength) {
  g_ntCalls.push_back({object->RootDirectory, std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / 2),
                       share, disposition, options});
  return g_realNtCreateFile(handle, access, object, io, size, attributes, share, disposition, options, ea, eaLength);
}

TEST_F(Files, EveryNameIsOpenedRelativeToItsHeldFolderAndNeverThroughALink) {
  g_ntCalls.clear();
  g_realNtCreateFile = SetNtCreateFile(RecordNtCreateFile);
  PathFacts facts{};
  FolderHandle scratch = Sys().OpenFolder(ScratchW().c_str(), PathLinks::FOLLOWED, &facts);
  ASSERT_NE(scratch, INVALID_FOLDER);
  FolderHandle run = Sys().MakeFolderAt(scratch, u"run", FolderAccess::ADMINS_ONLY, &facts);
  ASSERT_NE(run, INVALID_FOLDER);
  FileHandle file = Sys().OpenFileAt(run, u"image.fw", FileMode::CreateNew);
  ASSERT_NE(file, INVALID_FILE);
  FileIdentity identity{};
  Sys().IdentityOf(file, &identity);
  Sys().CloseFile(file);
  Sys().CloseFile(Sys().OpenFileAt(run, u"image.fw", FileMode::ReadOwn));
  Sys().CloseFile(Sys().OpenFileAt(run, u"FwUpdate.log", FileMode::OpenAppend));
  EXPECT_TRUE(Sys().RemoveAt(run, u"image.fw", identity));
  Sys().CloseFolder(run);
  SetNtCreateFile(nullptr);
  Sys().CloseFolder(scratch);
  const struct {
    const wchar_t* name;
    FolderHandle root;
    ULONG disposition;
    bool sharesDeletion;
  } expected[] = {{L"run", scratch, FILE_CREATE, false},      {L"image.fw", run, FILE_CREATE, false},
                  {L"image.fw", run, FILE_OPEN, false},       {L"FwUpdate.log", run, FILE_OPEN_IF, false},
                  {L"image.fw", run, FILE_OPEN, true}};
  ASSERT_EQ(g_ntCalls.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(g_ntCalls[i].name, expected[i].name) << i;
    EXPECT_EQ(g_ntCalls[i].root, reinterpret_cast<HANDLE>(expected[i].root)) << i;
    EXPECT_EQ(g_ntCalls[i].disposition, expected[i].disposition) << i;
    EXPECT_NE(g_ntCalls[i].options & FILE_OPEN_REPARSE_POINT, 0u) << i;
    EXPECT_EQ((g_ntCalls[i].share & FILE_SHARE_DELETE) != 0, expected[i].sharesDeletion) << i;
  }
}

// After RestrictDllSearch a DLL is loaded by name from System32 only: one planted beside the
// program (in Downloads, say) is not, although it would be without.
TEST(DllSearch, ADllPlantedBesideTheProgramIsNotLoaded) {
  wchar_t system[MAX_PATH], folder[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  ASSERT_GT(GetModuleFileNameW(nullptr, folder, MAX_PATH), 0u);
  *wcsrchr(folder, L'\\') = 0;
  std::wstring planted = std::wstring(folder) + L"\\qvplanted.dll";
  ASSERT_TRUE(CopyFileW((std::wstring(system) + L"\\version.dll").c_str(), planted.c_str(), FALSE));
  // Found by name before (mapped as data only, so that no module of that name stays loaded).
  HMODULE before = LoadLibraryExW(L"qvplanted.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  EXPECT_NE(before, nullptr);
  if (before != nullptr) FreeLibrary(before);
  EXPECT_TRUE(RestrictDllSearch());
  HMODULE after = LoadLibraryW(L"qvplanted.dll");
  EXPECT_EQ(after, nullptr);
  if (after != nullptr) FreeLibrary(after);
  HMODULE own = LoadLibraryW(L"version.dll");  // System32's own still load by name
  EXPECT_NE(own, nullptr);
  if (own != nullptr) FreeLibrary(own);
  DeleteFileW(planted.c_str());
}
#endif

// The drive states: a key per drive, its text values read back as written, and what is no state
// of the program's refused rather than read: a key name that would reach another key, a value too
// long for the caller, a value of another type (the registry under Wine, the host's own store).
TEST_F(Files, DriveStatesAreReadBackAsWrittenAndNothingElseIsRead) {
  System& sys = Sys();
  char16_t text[16];
  EXPECT_EQ(sys.ReadDriveState(u"Q7 S1", u"State", text, 16), StateRead::MISSING);
  const StateValue values[] = {{u"State", u"pending-restart"}, {u"Boot", u"7"}};
  ASSERT_TRUE(sys.WriteDriveState(u"Q7 S1", values, 2));
  EXPECT_EQ(sys.ReadDriveState(u"Q7 S1", u"State", text, 16), StateRead::FOUND);
  EXPECT_EQ(std::u16string(text), u"pending-restart");
  EXPECT_EQ(sys.ReadDriveState(u"Q7 S1", u"Source", text, 16), StateRead::MISSING);
  EXPECT_EQ(sys.ReadDriveState(u"Q7 S2", u"State", text, 16), StateRead::MISSING);
  EXPECT_EQ(sys.ReadDriveState(u"Q7 S1", u"State", text, 15), StateRead::FAILED);  // 15 characters and the end
  EXPECT_EQ(text[0], 0);
  EXPECT_FALSE(sys.WriteDriveState(u"..\\Q7 S1", values, 2));
  EXPECT_EQ(sys.ReadDriveState(u"Q7\\S1", u"State", text, 16), StateRead::FAILED);
  const std::u16string tooLong(STATE_TEXT_CHARS, u'x');
  const StateValue longValue[] = {{u"State", tooLong.c_str()}};
  EXPECT_FALSE(sys.WriteDriveState(u"Q7 S1", longValue, 1));
#ifdef _WIN32
  // A number where the program keeps text is no state of the program's.
  HKEY key = nullptr;
  std::wstring path = std::wstring(L"SOFTWARE\\Quorvela\\FwUpdateTests\\") + std::to_wstring(::GetCurrentProcessId());
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\numbers").c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr), ERROR_SUCCESS);
  DWORD number = 7;
  ::RegSetValueExW(key, L"State", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  ::RegCloseKey(key);
  class Root : public Win32System {
   public:
    explicit Root(const std::wstring& key) { SetStateKey(reinterpret_cast<const char16_t*>(key.c_str())); }
  } root(path);
  EXPECT_EQ(root.ReadDriveState(u"numbers", u"State", text, 16), StateRead::FAILED);
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\numbers").c_str(), KEY_WOW64_64KEY, 0);
  // The boot: the same number throughout the process's boot.
  uint64_t first = 0, second = 0;
  ASSERT_TRUE(root.CurrentBoot(&first));
  ASSERT_TRUE(root.CurrentBoot(&second));
  EXPECT_EQ(first, second);
#endif
}

}  // namespace
