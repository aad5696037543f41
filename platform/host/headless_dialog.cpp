#include "platform/host/headless_dialog.h"

#include "platform/messages.h"

namespace platform {

HeadlessDialog::HeadlessDialog(Clock& clock) : clock_(clock) {
  answer_ = [](const Box& box) {
    uint32_t buttons = box.type & 0x0F;
    return buttons == BOX_YESNO ? ID_YES : ID_OK;
  };
  // A 340 x 117 dialog-unit template at 96 dpi comes out near these pixel sizes.
  rects_[0] = Rect{100, 100, 100 + 516, 100 + 226};
  client_ = Rect{0, 0, 510, 197};
  rects_[510] = Rect{100 + 101, 100 + 29 + 162, 100 + 101 + 387, 100 + 29 + 175};
}

HeadlessDialog::~HeadlessDialog() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Message* m : queue_) {
    if (m->sent) {
      m->done = true;
    } else {
      delete m;
    }
  }
  queue_.clear();
  changed_.notify_all();
}

void HeadlessDialog::SetGeometry(int screenWidth, int screenHeight, Rect dialog, Rect client, Rect status) {
  std::lock_guard<std::mutex> lock(mutex_);
  screenWidth_ = screenWidth;
  screenHeight_ = screenHeight;
  rects_[0] = dialog;
  client_ = client;
  rects_[510] = status;
}

bool HeadlessDialog::OnDialogThread() const { return std::this_thread::get_id() == thread_; }

HeadlessDialog::Control& HeadlessDialog::ControlOf(int id) { return controls_[id]; }

WindowHandle HeadlessDialog::Create(Procedure procedure) {
  procedure_ = procedure;
  thread_ = std::this_thread::get_id();
  procedure_(this, MSG_INITDIALOG, 0, 0);
  return this;
}

intptr_t HeadlessDialog::Deliver(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return procedure_(this, message, wParam, lParam);
}

void HeadlessDialog::CollectDueTimers() {
  uint64_t now = clock_.TickCount64();
  for (auto& [id, timer] : timers_) {
    if (!timer.queued && now >= timer.due) {
      // A window timer keeps firing, one period after the other, until it is killed.
      queue_.push_back(new Message{MSG_TIMER, id, 0, false, false, 0});
      timer.queued = true;
      timer.due = now + timer.period;
    }
  }
}

int HeadlessDialog::Pump() {
  int handled = 0;
  for (;;) {
    Message* m = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      CollectDueTimers();
      if (queue_.empty()) break;
      m = queue_.front();
      queue_.pop_front();
      ++handling_;
    }
    if (m->message == MSG_TIMER && !m->sent) {
      std::lock_guard<std::mutex> lock(mutex_);
      auto timer = timers_.find(m->wParam);
      if (timer != timers_.end()) timer->second.queued = false;
    }
    intptr_t result = procedure_(this, m->message, m->wParam, m->lParam);
    ++handled;
    std::lock_guard<std::mutex> lock(mutex_);
    --handling_;
    if (m->sent) {
      m->result = result;
      m->done = true;
    } else {
      delete m;
    }
    changed_.notify_all();
  }
  return handled;
}

void HeadlessDialog::Pace(uint64_t until, const std::function<void(uint64_t)>& moveTo) {
  if (OnDialogThread()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ended_ || (queue_.empty() && handling_ == 0); });
    if (ended_) return;
    uint64_t due = until + 1;
    for (const auto& [id, timer] : timers_)
      if (!timer.queued && timer.due < due) due = timer.due;
    if (due > until) return;
    moveTo(due);
    CollectDueTimers();
    changed_.notify_all();
  }
}

bool HeadlessDialog::PumpUntil(const std::function<bool()>& done) {
  for (;;) {
    Pump();
    if (done() || Ended()) return done();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(5), [this] { return !queue_.empty(); });
  }
}

void HeadlessDialog::SetAnswer(std::function<int(const Box&)> answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(answer);
}

std::u16string HeadlessDialog::Caption() {
  std::lock_guard<std::mutex> lock(mutex_);
  return caption_;
}
std::u16string HeadlessDialog::ItemText(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ControlOf(id).text;
}
bool HeadlessDialog::ItemEnabled(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ControlOf(id).enabled;
}
std::vector<HeadlessDialog::ComboEntry> HeadlessDialog::ComboEntries(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ControlOf(id).entries;
}
int HeadlessDialog::Selection(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ControlOf(id).selection;
}
int HeadlessDialog::ProgressPos(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ControlOf(id).progress;
}
std::vector<int> HeadlessDialog::ProgressHistory(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ControlOf(id).progressHistory;
}
std::vector<HeadlessDialog::Box> HeadlessDialog::Boxes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}
bool HeadlessDialog::Ended() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}
intptr_t HeadlessDialog::EndResult() {
  std::lock_guard<std::mutex> lock(mutex_);
  return endResult_;
}
bool HeadlessDialog::TimerPending(uintptr_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_.find(id) != timers_.end();
}

void HeadlessDialog::SetCaption(WindowHandle, const char16_t* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  caption_ = text != nullptr ? text : u"";
}
void HeadlessDialog::SetItemText(WindowHandle, int id, const char16_t* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  ControlOf(id).text = text != nullptr ? text : u"";
}
void HeadlessDialog::EnableItem(WindowHandle, int id, bool enable) {
  std::lock_guard<std::mutex> lock(mutex_);
  ControlOf(id).enabled = enable;
}
void HeadlessDialog::ComboReset(WindowHandle, int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  ControlOf(id).entries.clear();
  ControlOf(id).selection = -1;
}
int HeadlessDialog::ComboAdd(WindowHandle, int id, const char16_t* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control& c = ControlOf(id);
  c.entries.push_back(ComboEntry{text != nullptr ? text : u"", 0});
  return static_cast<int>(c.entries.size()) - 1;
}
void HeadlessDialog::ComboSetItemData(WindowHandle, int id, int index, intptr_t data) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control& c = ControlOf(id);
  if (index >= 0 && index < static_cast<int>(c.entries.size())) c.entries[index].data = data;
}
intptr_t HeadlessDialog::ComboGetItemData(WindowHandle, int id, int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control& c = ControlOf(id);
  if (index >= 0 && index < static_cast<int>(c.entries.size())) return c.entries[index].data;
  return -1;  // CB_ERR
}
int HeadlessDialog::ComboGetCurSel(WindowHandle, int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ControlOf(id).selection;
}
void HeadlessDialog::ComboSetCurSel(WindowHandle, int id, int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control& c = ControlOf(id);
  c.selection = (index >= 0 && index < static_cast<int>(c.entries.size())) ? index : -1;
}
void HeadlessDialog::SetProgressPos(WindowHandle, int id, int position) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control& c = ControlOf(id);
  if (position < 0) position = 0;  // the bar's range is 0..100
  if (position > 100) position = 100;
  c.progress = position;
  c.progressHistory.push_back(position);
}

int HeadlessDialog::ShowMessageBox(WindowHandle, const char16_t* text, const char16_t* caption, uint32_t type) {
  std::function<int(const Box&)> answer;
  Box box{caption != nullptr ? caption : u"", text != nullptr ? text : u"", type, 0};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answer = answer_;
  }
  box.answer = answer(box);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back(box);
  }
  // A message box runs a modal loop: what was posted, and the timers that fell due, while it was
  // open (the answer callback may post, unplug or let time pass) are handled before it returns.
  if (OnDialogThread()) Pump();
  return box.answer;
}

void HeadlessDialog::SetTimer(WindowHandle, uintptr_t id, uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Periods below the system's minimum (USER_TIMER_MINIMUM, 10 ms) are raised to it.
  uint32_t period = milliseconds < 10 ? 10 : milliseconds;
  bool queued = timers_.count(id) != 0 && timers_[id].queued;
  timers_[id] = Timer{clock_.TickCount64() + period, period, queued};
}

void HeadlessDialog::KillTimer(WindowHandle, uintptr_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  timers_.erase(id);
}

void HeadlessDialog::SetPostObserver(std::function<void(uint32_t, uintptr_t, intptr_t)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  postObserver_ = std::move(observer);
}

bool HeadlessDialog::Post(WindowHandle, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  std::function<void(uint32_t, uintptr_t, intptr_t)> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    observer = postObserver_;
  }
  if (observer) observer(message, wParam, lParam);
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return false;
  queue_.push_back(new Message{message, wParam, lParam, false, false, 0});
  changed_.notify_all();
  return true;
}

intptr_t HeadlessDialog::Send(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (OnDialogThread()) return procedure_(window, message, wParam, lParam);
  Message m{message, wParam, lParam, true, false, 0};
  std::unique_lock<std::mutex> lock(mutex_);
  if (ended_) return 0;
  queue_.push_back(&m);
  changed_.notify_all();
  changed_.wait(lock, [&] { return m.done; });
  return m.result;
}

void HeadlessDialog::EndDialog(WindowHandle, intptr_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  endResult_ = result;
  changed_.notify_all();
}

bool HeadlessDialog::GetWindowRect(WindowHandle, int id, Rect* rect) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = rects_.find(id);
  if (it == rects_.end()) return false;
  *rect = it->second;
  return true;
}

bool HeadlessDialog::GetClientRect(WindowHandle, int id, Rect* rect) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (id == 0) {
    *rect = client_;
    return true;
  }
  auto it = rects_.find(id);
  if (it == rects_.end()) return false;
  *rect = Rect{0, 0, it->second.right - it->second.left, it->second.bottom - it->second.top};
  return true;
}

void HeadlessDialog::MoveWindow(WindowHandle, int id, int x, int y, int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (id == 0) {
    Rect old = rects_[0];
    int frameX = (old.right - old.left) - (client_.right - client_.left);
    int frameY = (old.bottom - old.top) - (client_.bottom - client_.top);
    int dx = x - old.left, dy = y - old.top;
    rects_[0] = Rect{x, y, x + width, y + height};
    client_ = Rect{0, 0, width - frameX, height - frameY};
    // Child windows move with the dialog.
    for (auto& [child, r] : rects_) {
      if (child == 0) continue;
      r = Rect{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
    }
    return;
  }
  // A child's position is in client coordinates; its window rectangle is kept in screen pixels
  // relative to the dialog's client origin (the frame's left and top edge taken as equal).
  Rect d = rects_[0];
  int frameX = ((d.right - d.left) - (client_.right - client_.left)) / 2;
  int frameY = (d.bottom - d.top) - (client_.bottom - client_.top) - frameX;
  int ox = d.left + frameX, oy = d.top + frameY;
  rects_[id] = Rect{ox + x, oy + y, ox + x + width, oy + y + height};
}

WindowHandle HeadlessDialog::GetParent(WindowHandle) { return nullptr; }

void HeadlessDialog::GetScreenSize(int* width, int* height) {
  std::lock_guard<std::mutex> lock(mutex_);
  *width = screenWidth_;
  *height = screenHeight_;
}

int HeadlessDialog::GetDpi(WindowHandle) {
  std::lock_guard<std::mutex> lock(mutex_);
  return dpi_;
}

void HeadlessDialog::SetDpi(int dpi) {
  std::lock_guard<std::mutex> lock(mutex_);
  dpi_ = dpi;
}

int HeadlessDialog::ShownIconSize() {
  std::lock_guard<std::mutex> lock(mutex_);
  return iconSize_;
}

void HeadlessDialog::ShowIcon(WindowHandle, int, int, int size) {
  std::lock_guard<std::mutex> lock(mutex_);
  iconSize_ = size;
}

}  // namespace platform
