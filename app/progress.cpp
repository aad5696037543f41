#include "app/progress.h"

#include <atomic>

#include "core/app_state.h"
#include "platform/platform.h"

void SetProgressStage(int from, int to, int percent) {
  AppState& s = AppStateGet();
  std::atomic_ref<int16_t>(s.progressFrom).store(static_cast<int16_t>(from));
  std::atomic_ref<int16_t>(s.progressTo).store(static_cast<int16_t>(to));
  platform::Ui().Send(s.dialogWindow, WM_UPDATE_PROGRESS, 0, percent);
}

void WaitWithProgress(uint32_t milliseconds) {
  AppState& s = AppStateGet();
  uint32_t remaining = milliseconds;
  while (remaining > 1000) {
    platform::Time().Sleep(1000);
    remaining -= 1000;
    platform::Ui().Post(s.dialogWindow, WM_UPDATE_PROGRESS, 0,
                        static_cast<intptr_t>((milliseconds - remaining) * 100u / milliseconds));
  }
  if (remaining > 0) {
    platform::Time().Sleep(remaining);
    platform::Ui().Send(s.dialogWindow, WM_UPDATE_PROGRESS, 0, 100);
  }
}

void PostProgress(int percent) {
  platform::Ui().Post(AppStateGet().dialogWindow, WM_UPDATE_PROGRESS, 0, static_cast<intptr_t>(percent));
}
