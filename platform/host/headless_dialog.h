// A dialog without a window: the dialog logic runs against it in tests and in fwbench. It keeps
// the state of every control, records message boxes and progress positions, answers boxes as it
// is told, runs timers on the installed clock, and carries posted and sent messages to the thread
// that created it, as the window system would. Plain C++: it serves the Windows test build too.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/dialog.h"

namespace platform {

class HeadlessDialog : public Dialog {
 public:
  using Procedure = intptr_t (*)(WindowHandle, uint32_t, uintptr_t, intptr_t);

  struct Box {
    std::u16string caption;
    std::u16string text;
    uint32_t type;
    int answer;
  };
  struct ComboEntry {
    std::u16string text;
    intptr_t data;
  };

  explicit HeadlessDialog(Clock& clock);
  ~HeadlessDialog() override;

  // Creates the dialog on the calling thread (which becomes the dialog's thread) and sends it
  // MSG_INITDIALOG. Returns its window handle.
  WindowHandle Create(Procedure procedure);
  // Handles every queued message and every due timer on the dialog's thread; returns the number
  // of messages handled.
  int Pump();
  // Pumps until done() holds or the dialog has ended, waiting for other threads' messages in
  // between. Returns done().
  bool PumpUntil(const std::function<bool()>& done);
  // Delivers a message now, as the user or the system would (on the dialog's thread).
  intptr_t Deliver(uint32_t message, uintptr_t wParam, intptr_t lParam);

  // Keeps the dialog in step with a virtual clock. Called on a thread other than the dialog's
  // before that thread lets the clock pass to until; returns once every message posted so far has
  // been handled, and every timer that falls due by until has fired, each with the clock moved to
  // its due time by moveTo. The dialog thread must be pumping meanwhile. A device change posted
  // by a worker is then handled at the time it happened, and its timer fires at the same point of
  // the worker's requests in every run. On the dialog's own thread it returns at once.
  void Pace(uint64_t until, const std::function<void(uint64_t)>& moveTo);

  // The answer for message boxes: called with each box; default answers ID_OK / ID_YES. The box
  // then handles every message posted and timer due before it returns its answer, as the modal
  // loop of a real box does; the answer callback is where a test lets things happen meanwhile.
  void SetAnswer(std::function<int(const Box&)> answer);

  // Called on the posting thread at the moment a message is posted, before it is queued: what a
  // test needs to know of the state the sender was in when it posted.
  void SetPostObserver(std::function<void(uint32_t, uintptr_t, intptr_t)> observer);

  // What the dialog shows.
  std::u16string Caption();
  std::u16string ItemText(int id);
  bool ItemEnabled(int id);
  std::vector<ComboEntry> ComboEntries(int id);
  int Selection(int id);
  int ProgressPos(int id);
  std::vector<int> ProgressHistory(int id);
  std::vector<Box> Boxes();
  bool Ended();
  intptr_t EndResult();
  bool TimerPending(uintptr_t id);
  // Sets the screen and the window rectangles a test wants the layout to start from.
  void SetGeometry(int screenWidth, int screenHeight, Rect dialog, Rect client, Rect status);
  // The DPI the window reports (96 unless a test sets another) and the icon size last shown.
  void SetDpi(int dpi);
  int ShownIconSize();

  // Dialog.
  void SetCaption(WindowHandle window, const char16_t* text) override;
  void SetItemText(WindowHandle window, int id, const char16_t* text) override;
  void EnableItem(WindowHandle window, int id, bool enable) override;
  void ComboReset(WindowHandle window, int id) override;
  int ComboAdd(WindowHandle window, int id, const char16_t* text) override;
  void ComboSetItemData(WindowHandle window, int id, int index, intptr_t data) override;
  intptr_t ComboGetItemData(WindowHandle window, int id, int index) override;
  int ComboGetCurSel(WindowHandle window, int id) override;
  void ComboSetCurSel(WindowHandle window, int id, int index) override;
  void SetProgressPos(WindowHandle window, int id, int position) override;
  int ShowMessageBox(WindowHandle window, const char16_t* text, const char16_t* caption,
                 uint32_t type) override;
  void SetTimer(WindowHandle window, uintptr_t id, uint32_t milliseconds) override;
  void KillTimer(WindowHandle window, uintptr_t id) override;
  bool Post(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  intptr_t Send(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void EndDialog(WindowHandle window, intptr_t result) override;
  bool GetWindowRect(WindowHandle window, int id, Rect* rect) override;
  bool GetClientRect(WindowHandle window, int id, Rect* rect) override;
  void MoveWindow(WindowHandle window, int id, int x, int y, int width, int height) override;
  WindowHandle GetParent(WindowHandle window) override;
  void GetScreenSize(int* width, int* height) override;
  int GetDpi(WindowHandle window) override;
  void ShowIcon(WindowHandle window, int controlId, int iconId, int size) override;

 private:
  struct Message {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    bool sent;
    bool done;
    intptr_t result;
  };
  struct Control {
    std::u16string text;
    bool enabled = true;
    std::vector<ComboEntry> entries;
    int selection = -1;
    int progress = 0;
    std::vector<int> progressHistory;
  };
  bool OnDialogThread() const;
  Control& ControlOf(int id);  // mutex held
  void CollectDueTimers();     // mutex held

  Clock& clock_;
  Procedure procedure_ = nullptr;
  std::thread::id thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Message*> queue_;
  int handling_ = 0;  // messages taken from the queue whose handling has not ended
  std::map<int, Control> controls_;
  struct Timer {
    uint64_t due;     // tick at which it fires next
    uint32_t period;  // milliseconds between firings
    bool queued;      // its message waits in the queue (a window timer never queues twice)
  };
  std::map<uintptr_t, Timer> timers_;
  std::function<void(uint32_t, uintptr_t, intptr_t)> postObserver_;
  std::u16string caption_;
  std::vector<Box> boxes_;
  std::function<int(const Box&)> answer_;
  bool ended_ = false;
  intptr_t endResult_ = 0;
  int screenWidth_ = 1024, screenHeight_ = 768;
  int dpi_ = 96;
  int iconSize_ = 0;
  std::map<int, Rect> rects_;  // window rectangles, screen pixels; 0 is the dialog
  Rect client_{0, 0, 0, 0};
};

}  // namespace platform
