// file_info: reads what built executables say about themselves back as Windows does, prints it,
// and checks it against the build:
//
//   file_info VERSION PACKAGE_VERSION FILE...
//
// The version information (GetFileVersionInfoW, VerQueryValueW):
// Each file must hold the fixed part (FILEVERSION and PRODUCTVERSION = VERSION, an application)
// and, in its first translation, CompanyName "Quorvela", ProductName, its own FileDescription,
// InternalName and OriginalFilename naming the file, LegalCopyright, FileVersion and
// ProductVersion = VERSION and PackageVersion = PACKAGE_VERSION.
// The manifest's DPI awareness, as the loader's activation context reads it (CreateActCtxW,
// QueryActCtxSettingsW): dpiAware true/pm in the 2005 settings and dpiAwareness PerMonitorV2 in the
// 2016 settings. Wine shows every program at the system's DPI, aware or not, so only this shows
// that Windows will not stretch the window as a bitmap.
// The message table of the events, as Event Viewer reads it (LoadLibraryExW as a data file,
// FormatMessageW with FORMAT_MESSAGE_FROM_HMODULE): every identifier of --events must format.
// Exit status 1 when anything differs. This test program imports version.dll; the shipped ones do not.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

std::string Utf8(const std::wstring& w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, out.data(), n, nullptr, nullptr);
  return out;
}

void Expect(bool ok, const std::wstring& file, const char* what, const std::wstring& got) {
  if (ok) return;
  ++g_failures;
  std::printf("FAIL %s: %s is \"%s\"\n", Utf8(file).c_str(), what, Utf8(got).c_str());
}

std::wstring BaseName(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Quad(DWORD ms, DWORD ls) {
  wchar_t text[64];
  std::swprintf(text, 64, L"%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(ms)),
                static_cast<unsigned long>(LOWORD(ms)), static_cast<unsigned long>(HIWORD(ls)),
                static_cast<unsigned long>(LOWORD(ls)));
  return text;
}

// "1.0.0" as the four numbers of a FILEVERSION: "1.0.0.0".
std::wstring AsQuad(std::wstring version) {
  int dots = 0;
  for (wchar_t c : version) dots += c == L'.';
  for (; dots < 3; ++dots) version += L".0";
  return version;
}

void CheckFile(const std::wstring& path, const std::wstring& version, const std::wstring& package,
               std::set<std::wstring>* descriptions) {
  std::printf("%s\n", Utf8(path).c_str());
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
  std::vector<BYTE> block(size);
  if (size == 0 || !::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
    Expect(false, path, "the version information", L"(none)");
    return;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE) {
    Expect(false, path, "the fixed version information", L"(none)");
    return;
  }
  std::wstring fileVersion = Quad(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  std::wstring productVersion = Quad(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  std::printf("  FILEVERSION %s\n  PRODUCTVERSION %s\n  FILETYPE %lu\n", Utf8(fileVersion).c_str(),
              Utf8(productVersion).c_str(), static_cast<unsigned long>(fixed->dwFileType));
  Expect(fileVersion == AsQuad(version), path, "FILEVERSION", fileVersion);
  Expect(productVersion == AsQuad(version), path, "PRODUCTVERSION", productVersion);
  Expect(fixed->dwFileType == VFT_APP, path, "FILETYPE", std::to_wstring(fixed->dwFileType));

  struct Translation {
    WORD language, codePage;
  }* translation = nullptr;
  if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                        &length) ||
      length < sizeof(Translation)) {
    Expect(false, path, "Translation", L"(none)");
    return;
  }
  auto value = [&](const wchar_t* name) {
    wchar_t query[128];
    std::swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language, translation->codePage, name);
    wchar_t* text = nullptr;
    UINT chars = 0;
    std::wstring out;
    if (::VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&text), &chars) && text != nullptr)
      out.assign(text, wcsnlen(text, chars));
    std::printf("  %s %s\n", Utf8(name).c_str(), Utf8(out).c_str());
    return out;
  };
  std::wstring file = BaseName(path);
  std::wstring stem = file.substr(0, file.rfind(L'.'));
  std::wstring company = value(L"CompanyName");
  std::wstring product = value(L"ProductName");
  std::wstring description = value(L"FileDescription");
  std::wstring stringFileVersion = value(L"FileVersion");
  std::wstring stringProductVersion = value(L"ProductVersion");
  std::wstring internalName = value(L"InternalName");
  std::wstring originalName = value(L"OriginalFilename");
  std::wstring copyright = value(L"LegalCopyright");
  std::wstring packageVersion = value(L"PackageVersion");
  Expect(company == L"Quorvela", path, "CompanyName", company);
  Expect(product.find(L"Quorvela") == 0, path, "ProductName", product);
  Expect(!description.empty() && descriptions->insert(description).second, path,
         "FileDescription (empty or another file's)", description);
  Expect(stringFileVersion == version, path, "FileVersion", stringFileVersion);
  Expect(stringProductVersion == version, path, "ProductVersion", stringProductVersion);
  Expect(_wcsicmp(internalName.c_str(), stem.c_str()) == 0, path, "InternalName", internalName);
  Expect(_wcsicmp(originalName.c_str(), file.c_str()) == 0, path, "OriginalFilename", originalName);
  Expect(copyright.find(L"Quorvela") != std::wstring::npos, path, "LegalCopyright", copyright);
  Expect(packageVersion == package, path, "PackageVersion", packageVersion);
}

void CheckDpiAwareness(const std::wstring& path) {
  ACTCTXW context{};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);  // CREATEPROCESS_MANIFEST_RESOURCE_ID
  HANDLE activation = ::CreateActCtxW(&context);
  if (activation == INVALID_HANDLE_VALUE) {
    Expect(false, path, "the manifest", L"(none)");
    return;
  }
  auto setting = [&](const wchar_t* space, const wchar_t* name) {
    wchar_t value[128] = {};
    SIZE_T written = 0;
    if (!::QueryActCtxSettingsW(0, activation, space, name, value, 128, &written)) value[0] = 0;
    std::printf("  manifest %s %s\n", Utf8(name).c_str(), Utf8(value).c_str());
    return std::wstring(value);
  };
  std::wstring aware = setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware");
  std::wstring awareness = setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness");
  Expect(_wcsicmp(aware.c_str(), L"true/pm") == 0, path, "dpiAware", aware);
  Expect(awareness == L"PerMonitorV2", path, "dpiAwareness", awareness);
  ::ReleaseActCtx(activation);
}

// Each identifier (the severity in bits 31-30 above the event ID) formats, with every insertion
// string it names among %1..%10 taken: %1, the program, in every sentence, and no "%" left over.
void CheckMessages(const std::wstring& path, const std::vector<DWORD>& identifiers) {
  HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  Expect(module != nullptr || identifiers.empty(), path, "the message table's module", L"(not loaded)");
  const wchar_t* inserts[] = {L"<1>", L"<2>", L"<3>", L"<4>", L"<5>", L"<6>", L"<7>", L"<8>", L"<9>", L"<10>"};
  for (DWORD id : identifiers) {
    wchar_t text[2048] = {};
    DWORD n = module == nullptr ? 0 : ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0,
                                                       text, 2048, reinterpret_cast<va_list*>(const_cast<wchar_t**>(inserts)));
    std::wstring message(text, n);
    std::printf("  event %lu: %s", id & 0xFFFF, Utf8(message).c_str());
    Expect(n > 0 && message.find(L"<1>") != std::wstring::npos && message.find(L'%') == std::wstring::npos, path,
           ("event " + std::to_string(id & 0xFFFF)).c_str(), message);
  }
  if (module != nullptr) ::FreeLibrary(module);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<DWORD> events;
  if (argc >= 3 && std::wstring(argv[1]) == L"--events") {
    for (wchar_t *p = argv[2], *end = nullptr; *p != 0; p = *end == L',' ? end + 1 : end + std::wcslen(end))
      events.push_back(std::wcstoul(p, &end, 10));
    argc -= 2;
    argv += 2;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: file_info [--events IDENTIFIER,...] VERSION PACKAGE_VERSION FILE...\n");
    return 2;
  }
  std::set<std::wstring> descriptions;
  for (int i = 3; i < argc; ++i) {
    CheckFile(argv[i], argv[1], argv[2], &descriptions);
    if (std::wstring(BaseName(argv[i])).rfind(L"QuorvelaFwUpdate", 0) == 0) {
      CheckDpiAwareness(argv[i]);
      CheckMessages(argv[i], events);
    }
  }
  std::printf("%d failures\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
