// Placeholder bodies: the list is built on drive discovery.
#include "app/drive_list.h"

#include "platform/platform.h"
#include "resources/resource.h"

void RefreshDriveList(platform::WindowHandle window, bool) {
  platform::Ui().EnableItem(window, 1, false);
}
bool DriveMatchesPackage(const DriveRecord&, const char16_t*, const char16_t*) { return false; }
void ShowDriveDetails(platform::WindowHandle, const DriveRecord&) {}
void OnDriveSelected(platform::WindowHandle) {}
