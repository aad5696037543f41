#include "emu/win32/private_namespace.h"

#include <sddl.h>

#include <cwchar>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace emu {
namespace {

struct Boundary {
  std::wstring name;
  std::vector<std::vector<BYTE>> sids;  // in the order they were added
};

// A namespace this process holds open: by the handle of its section.
struct Space {
  std::wstring alias;
  std::wstring key;       // alias, boundary name and SIDs: what identifies the namespace
  std::wstring instance;  // which making of it
  std::string text;       // "alias=A boundary=B sids=..."
};

// One making of a namespace: the text its maker writes into the section.
struct Instance {
  wchar_t text[64];
};

std::mutex g_mutex;  // the boundaries, the spaces, the listener
std::set<Boundary*> g_boundaries;
std::map<HANDLE, Space> g_spaces;
void (*g_listener)(const std::string& line) = nullptr;
LONG g_made = 0;

std::string Utf8(const std::wstring& text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
  return out;
}

void Report(const std::string& line) {
  if (g_listener != nullptr) g_listener(line);
}

template <typename T>
T Fail(DWORD error, T value) {
  ::SetLastError(error);
  return value;
}

std::wstring SidText(const std::vector<BYTE>& sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &text)) return L"?";
  std::wstring out(text);
  ::LocalFree(text);
  return out;
}

std::string SecurityText(const SECURITY_ATTRIBUTES* security) {
  if (security == nullptr || security->lpSecurityDescriptor == nullptr) return "none";
  LPWSTR text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
    return "unreadable";
  std::string out = Utf8(text);
  ::LocalFree(text);
  return out;
}

// The boundary a handle stands for; null (after reporting the breach) when it is none.
Boundary* Known(const void* handle, const char* call) {
  auto* boundary = static_cast<Boundary*>(const_cast<void*>(handle));
  if (g_boundaries.count(boundary) != 0) return boundary;
  Report(std::string("contract: ") + call + " was given a handle that is no live boundary descriptor");
  return nullptr;
}

// An alias is a name of one part: not empty, no backslash.
bool GoodAlias(LPCWSTR alias) { return alias != nullptr && alias[0] != 0 && std::wcschr(alias, L'\\') == nullptr; }

// What identifies the namespace of an alias and a boundary, and its description; and the name of
// the section that stands for it across processes.
Space Describe(const Boundary& boundary, LPCWSTR alias) {
  Space space;
  space.alias = alias;
  std::wstring sids;
  for (const auto& sid : boundary.sids) sids += (sids.empty() ? L"" : L",") + SidText(sid);
  space.key = space.alias + L"|" + boundary.name + L"|" + sids;
  space.text = "alias=" + Utf8(space.alias) + " boundary=" + Utf8(boundary.name) + " sids=" + Utf8(sids);
  return space;
}
std::wstring SectionName(const Space& space) { return L"Global\\QvPrivateNamespace[" + space.key + L"]"; }

// Making and opening a namespace are one step each across all processes under this stand-in.
class AcrossProcesses {
 public:
  AcrossProcesses() {
    static HANDLE lock = ::CreateMutexW(nullptr, FALSE, L"Global\\QvPrivateNamespaceStandIn");
    lock_ = lock;
    if (lock_ != nullptr) ::WaitForSingleObject(lock_, INFINITE);  // an abandoned one is taken too
  }
  ~AcrossProcesses() {
    if (lock_ != nullptr) ::ReleaseMutex(lock_);
  }

 private:
  HANDLE lock_;
};

}  // namespace

HANDLE WINAPI StandInCreateBoundaryDescriptorW(LPCWSTR name, ULONG flags) {
  if (name == nullptr || (flags & ~static_cast<ULONG>(CREATE_BOUNDARY_DESCRIPTOR_ADD_APPCONTAINER_SID)) != 0)
    return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  if (flags != 0) {
    Report("contract: CREATE_BOUNDARY_DESCRIPTOR_ADD_APPCONTAINER_SID is not served by the stand-in");
    return Fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
  }
  std::lock_guard<std::mutex> guard(g_mutex);
  auto* boundary = new Boundary{name, {}};
  g_boundaries.insert(boundary);
  return boundary;
}

BOOL WINAPI StandInAddSIDToBoundaryDescriptor(HANDLE* handle, PSID sid) {
  std::lock_guard<std::mutex> guard(g_mutex);
  Boundary* boundary = handle != nullptr ? Known(*handle, "AddSIDToBoundaryDescriptor") : nullptr;
  if (boundary == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  if (sid == nullptr || !::IsValidSid(sid)) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  // The descriptor grows, and moves: the old handle is no longer one.
  auto* grown = new Boundary(*boundary);
  auto* bytes = static_cast<const BYTE*>(sid);
  grown->sids.emplace_back(bytes, bytes + ::GetLengthSid(sid));
  g_boundaries.erase(boundary);
  delete boundary;
  g_boundaries.insert(grown);
  *handle = grown;
  return TRUE;
}

VOID WINAPI StandInDeleteBoundaryDescriptor(HANDLE handle) {
  std::lock_guard<std::mutex> guard(g_mutex);
  Boundary* boundary = Known(handle, "DeleteBoundaryDescriptor");
  if (boundary == nullptr) return;
  g_boundaries.erase(boundary);
  delete boundary;
}

HANDLE WINAPI StandInCreatePrivateNamespaceW(LPSECURITY_ATTRIBUTES security, LPVOID handle, LPCWSTR alias) {
  std::lock_guard<std::mutex> guard(g_mutex);
  Boundary* boundary = Known(handle, "CreatePrivateNamespaceW");
  if (boundary == nullptr || !GoodAlias(alias)) return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  if (boundary->sids.empty()) {
    Report("contract: CreatePrivateNamespaceW was given a boundary descriptor without a SID");
    return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  // The caller must be within the boundary: its token holds every SID of it.
  for (auto& sid : boundary->sids) {
    BOOL member = FALSE;
    if (!::CheckTokenMembership(nullptr, sid.data(), &member) || !member)
      return Fail<HANDLE>(ERROR_ACCESS_DENIED, nullptr);
  }
  Space space = Describe(*boundary, alias);
  AcrossProcesses across;
  HANDLE section = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Instance),
                                        SectionName(space).c_str());
  if (section == nullptr) return Fail<HANDLE>(::GetLastError(), nullptr);
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(section);
    Report("namespace exists " + space.text);
    return Fail<HANDLE>(ERROR_ALREADY_EXISTS, nullptr);
  }
  auto* view = static_cast<Instance*>(::MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(Instance)));
  if (view == nullptr) {
    DWORD error = ::GetLastError();
    ::CloseHandle(section);
    return Fail<HANDLE>(error, nullptr);
  }
  space.instance = std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(::GetTickCount64()) + L"." +
                   std::to_wstring(::InterlockedIncrement(&g_made));
  ::lstrcpynW(view->text, space.instance.c_str(), 64);
  ::UnmapViewOfFile(view);
  Report("namespace created " + space.text + " security=" + SecurityText(security));
  g_spaces[section] = space;
  return Fail<HANDLE>(ERROR_SUCCESS, section);
}

HANDLE WINAPI StandInOpenPrivateNamespaceW(LPVOID handle, LPCWSTR alias) {
  std::lock_guard<std::mutex> guard(g_mutex);
  Boundary* boundary = Known(handle, "OpenPrivateNamespaceW");
  if (boundary == nullptr || !GoodAlias(alias)) return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  Space space = Describe(*boundary, alias);
  AcrossProcesses across;
  // Gone with its last handle, or never made with this alias and boundary.
  HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, SectionName(space).c_str());
  if (section == nullptr) return Fail<HANDLE>(ERROR_FILE_NOT_FOUND, nullptr);
  auto* view = static_cast<const Instance*>(::MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(Instance)));
  if (view == nullptr) {
    DWORD error = ::GetLastError();
    ::CloseHandle(section);
    return Fail<HANDLE>(error, nullptr);
  }
  space.instance.assign(view->text, ::wcsnlen(view->text, 64));
  ::UnmapViewOfFile(view);
  Report("namespace opened " + space.text);
  g_spaces[section] = space;
  return Fail<HANDLE>(ERROR_SUCCESS, section);
}

BOOLEAN WINAPI StandInClosePrivateNamespace(HANDLE handle, ULONG flags) {
  if ((flags & ~static_cast<ULONG>(PRIVATE_NAMESPACE_FLAG_DESTROY)) != 0)
    return Fail<BOOLEAN>(ERROR_INVALID_PARAMETER, FALSE);
  std::lock_guard<std::mutex> guard(g_mutex);
  auto it = g_spaces.find(handle);
  if (it == g_spaces.end()) {
    Report("contract: ClosePrivateNamespace was given a handle that is no open namespace");
    return Fail<BOOLEAN>(ERROR_INVALID_HANDLE, FALSE);
  }
  if (flags != 0) {
    Report("contract: PRIVATE_NAMESPACE_FLAG_DESTROY is not served by the stand-in");
    return Fail<BOOLEAN>(ERROR_NOT_SUPPORTED, FALSE);
  }
  Report("namespace closed alias=" + Utf8(it->second.alias) + " flags=" + std::to_string(flags));
  g_spaces.erase(it);
  ::CloseHandle(handle);
  return TRUE;
}

HANDLE WINAPI StandInCreateMutexExW(LPSECURITY_ATTRIBUTES security, LPCWSTR name, DWORD flags, DWORD access) {
  // Flags: CREATE_MUTEX_INITIAL_OWNER only; access: the mutex's own rights and the standard ones.
  constexpr DWORD kAccess = MUTEX_ALL_ACCESS | STANDARD_RIGHTS_ALL;
  if ((flags & ~static_cast<DWORD>(CREATE_MUTEX_INITIAL_OWNER)) != 0 || (access & ~kAccess) != 0)
    return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  if (name != nullptr && std::wcslen(name) >= MAX_PATH) return Fail<HANDLE>(ERROR_FILENAME_EXCED_RANGE, nullptr);
  const wchar_t* slash = name != nullptr ? std::wcschr(name, L'\\') : nullptr;
  std::wstring prefix = slash != nullptr ? std::wstring(name, slash) : std::wstring();
  if (slash == nullptr || prefix == L"Global" || prefix == L"Local" || prefix == L"Session")
    return ::CreateMutexExW(security, name, flags, access);
  std::wstring mapped;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    for (const auto& [handle, space] : g_spaces) {
      if (space.alias != prefix || std::wcschr(slash + 1, L'\\') != nullptr) continue;
      mapped = SectionName(space) + space.instance + L"!" + (slash + 1);
      Report("mutex " + Utf8(name) + " in namespace " + space.text);
      break;
    }
  }
  // No namespace of this process goes by that alias: its path is not found, as a directory that
  // is not there.
  if (mapped.empty()) return Fail<HANDLE>(ERROR_PATH_NOT_FOUND, nullptr);
  return ::CreateMutexExW(security, mapped.c_str(), flags, access);
}

const platform::LockCalls& StandInLockCalls() {
  static const platform::LockCalls calls{
      &StandInCreateBoundaryDescriptorW, &StandInAddSIDToBoundaryDescriptor, &StandInDeleteBoundaryDescriptor,
      &StandInCreatePrivateNamespaceW,   &StandInOpenPrivateNamespaceW,       &StandInClosePrivateNamespace,
      &StandInCreateMutexExW};
  return calls;
}

void SetNamespaceListener(void (*listener)(const std::string& line)) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_listener = listener;
}

}  // namespace emu
