#include "app/form_window.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace verdan::app {
namespace {

std::atomic<std::uint64_t> g_nextFormId{1};

// The numbers of a typed date, separated by '/', '.' or '-'; false for anything else.
bool SplitDate(const std::string& text, std::vector<int>& parts, std::vector<std::size_t>& widths) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::size_t end = text.find_last_not_of(' ');
  if (end == std::string::npos) return false;
  while (i <= end) {
    std::size_t start = i;
    long value = 0;
    while (i <= end && std::isdigit(static_cast<unsigned char>(text[i]))) {
      value = value * 10 + (text[i] - '0');
      if (value > 99999) return false;
      ++i;
    }
    if (i == start) return false;
    parts.push_back(static_cast<int>(value));
    widths.push_back(i - start);
    if (i > end) break;
    if (text[i] != '/' && text[i] != '.' && text[i] != '-') return false;
    ++i;
    if (i > end) return false;
  }
  return parts.size() == 3;
}

}  // namespace

std::string FormatDate(std::int64_t dayCount) {
  if (dayCount == 0) return {};
  platform::CivilDate d = platform::DateFromDayCount(dayCount);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", d.day, d.month, ((d.year % 100) + 100) % 100);
  return buf;
}

bool ParseDate(const std::string& text, std::int64_t today, std::int64_t& dayCount) {
  if (platform::IsBlank(text)) {
    dayCount = 0;
    return true;
  }
  std::vector<int> parts;
  std::vector<std::size_t> widths;
  if (!SplitDate(text, parts, widths)) return false;
  int day = parts[0], month = parts[1], year = parts[2];
  if (widths[2] <= 2) {
    int now = platform::DateFromDayCount(today).year;
    year += now / 100 * 100;
    if (year > now + 19) year -= 100;
    if (year < now - 80) year += 100;
  }
  if (year < 1801 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  std::int64_t count = platform::DayCountFromDate({year, month, day});
  platform::CivilDate back = platform::DateFromDayCount(count);
  if (back.day != day || back.month != month || back.year != year) return false;  // 31/02
  dayCount = count;
  return true;
}

const FormControl* FormState::Control(int id) const {
  for (const FormControl& c : controls)
    if (c.id == id) return &c;
  return nullptr;
}

FormWindow::FormWindow(Program& program) : program_(program), id_(g_nextFormId++) {}
FormWindow::~FormWindow() = default;

void FormWindow::SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

FormState FormWindow::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::string FormWindow::ResultPosition() const {
  std::lock_guard lock(mutex_);
  return resultPosition_;
}

bool FormWindow::Post(std::int32_t code, int control, std::shared_ptr<void> data) const {
  std::lock_guard lock(mutex_);
  if (thread_ == 0 || !state_.open || state_.closed) return false;
  return platform::PostToThread(thread_,
                                platform::Event(code, static_cast<std::uint64_t>(control),
                                                static_cast<std::int64_t>(id_), std::move(data)));
}

bool FormWindow::Edit(int control, const std::string& text) const {
  return Post(kEventFormEdit, control, std::make_shared<std::string>(text));
}

bool FormWindow::Press(int control) const { return Post(kEventFormPress, control); }

bool FormWindow::RequestClose() const { return Post(kEventFormClose, 0); }

void FormWindow::Publish() {
  if (listener_) listener_();
}

void FormWindow::Finish(int response) {
  response_ = response;
  finished_ = true;
}

std::string FormWindow::ChooseFile(const char* title, const char* filter,
                                   const std::string& current, bool keepCurrentDirectory) {
  platform::FileOpenSpec dialog;
  dialog.title = title;
  dialog.filter = filter;
  dialog.startPath =
      platform::NativePath(platform::TrimRightCopy(platform::CutChars(current, kFormDialogLength)));
  dialog.nameBufferLength = kFormDialogLength;
  dialog.keepCurrentDirectory = keepCurrentDirectory;
  std::vector<std::string> chosen = program_.ui.FileOpen(dialog);
  if (chosen.empty() || chosen.front().empty()) return {};
  if (platform::CharCount(chosen.front()) > kFormDialogLength) {
    ShowNote(kPathTooLongText);
    return {};
  }
  return chosen.front();
}

void FormWindow::ShowNote(const std::string& text) {
  platform::MessageSpec box;
  box.text = text;
  box.icon = platform::Icon::kExclamation;
  program_.ui.Message(box);
}

bool FormWindow::AcceptEveryEntry(int skipped) {
  std::vector<int> entries;
  for (const FormControl& c : Snapshot().controls)
    if (c.kind == FormControlKind::kEntry && c.id != skipped) entries.push_back(c.id);
  for (int id : entries) {
    // Each field as it shows now: accepting one may fill a later one (a blank path is made
    // of disk and name), which must not be emptied again by its earlier text.
    FormState now = Snapshot();
    const FormControl* c = now.Control(id);
    std::string value = c != nullptr ? c->value : std::string();
    if (!Accept(id, value)) {
      FocusOn(id);
      return false;
    }
    Show();
  }
  return true;
}

void FormWindow::FocusOn(int control) {
  std::lock_guard lock(mutex_);
  state_.focus = control;
  ++state_.focusSerial;
}

void FormWindow::SetControls(std::vector<FormControl> controls) {
  std::lock_guard lock(mutex_);
  state_.controls = std::move(controls);
}

void FormWindow::SetValue(int control, const std::string& value) {
  std::lock_guard lock(mutex_);
  for (FormControl& c : state_.controls)
    if (c.id == control) c.value = value;
}

void FormWindow::SetCaption(const std::string& caption, const std::string& status) {
  std::lock_guard lock(mutex_);
  state_.caption = caption;
  state_.status = status;
}

void FormWindow::SetResultPosition(const std::string& position) {
  std::lock_guard lock(mutex_);
  resultPosition_ = position;
}

void FormWindow::Busy(bool on) {
  {
    std::lock_guard lock(mutex_);
    state_.busy = on;
  }
  program_.ui.SetWaitCursor(on);
  Publish();
}

int FormWindow::Run(platform::EventQueue& queue) {
  // The request is taken at entry and the program-wide value made free again.
  request_ = program_.CallRequest;
  program_.CallRequest = 0;
  {
    std::lock_guard lock(mutex_);
    thread_ = queue.Id();
  }
  if (Open() == Opening::kShow && !finished_ && !program_.Ended()) {
    Show();
    {
      std::lock_guard lock(mutex_);
      state_.open = true;
    }
    Publish();
    while (!finished_) {
      platform::Event e = queue.Wait();
      if (e.code == platform::kEventClose) {
        // Only the end of the program closes the list's queue; a close asked of the list
        // itself waits for the form, which is modal to it.
        if (queue.Closed() || program_.Ended()) Finish(2);
        continue;
      }
      if (program_.Ended()) {
        Finish(2);
        break;
      }
      bool mine = static_cast<std::uint64_t>(e.lparam) == id_;
      if (!mine) continue;  // the list's input, or a late one of an earlier form
      int control = static_cast<int>(e.wparam);
      if (e.code == kEventFormEdit && e.data) {
        if (!Accept(control, *std::static_pointer_cast<std::string>(e.data))) FocusOn(control);
        Show();
      } else if (e.code == kEventFormPress) {
        Pressed(control);
        if (!finished_) Show();
      } else if (e.code == kEventFormClose) {
        Finish(2);
      }
      Publish();
    }
  }
  if (!finished_) Finish(2);
  Leave();
  program_.CallResponse = response_;
  {
    std::lock_guard lock(mutex_);
    state_.open = false;
    state_.closed = true;
    state_.busy = false;
    thread_ = 0;
  }
  Publish();
  return response_;
}

}  // namespace verdan::app
