// Placeholder bodies: the package unpacking is built on the ZIP reader.
#include "app/package_info.h"

#include "app/app_state.h"
#include "platform/platform.h"
#include "platform/text.h"

void GetTempFolder(char16_t* buffer, uint32_t capacity) {
  if (capacity > 0) buffer[0] = 0;
}
bool FileExists(const char16_t*) { return false; }
void CreatePackageFolder() {}
void ExtractPackage(const char16_t*, uint32_t, const char16_t*) {}
int WriteWholeFile(const char16_t*, uint32_t, const void*, uint32_t) { return 0; }
void UnzipToFolder(const char16_t*, const char16_t*, bool) {}
void LoadPackageInfo() {
  AppState& s = AppStateGet();
  platform::TextCopy(s.title, TEXT_PATH, u"Package Error");
  s.internalVersionCheckPart = 3;
  platform::Ui().SetCaption(s.dialogWindow, s.title);
}
void ReplaceAll(char16_t*, const char16_t*, const char16_t*) {}
void RemovePackageFolder() {}
void DeleteFilesInFolder(const char16_t*, const char16_t*) {}
