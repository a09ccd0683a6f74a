#include "app/browse.h"

#include <algorithm>

#include "app/messages.h"
#include "app/tables.h"
#include "platform/text.h"

namespace verdan::app {
namespace {

using platform::Record;

std::string TextOf(const Record& record, std::size_t field) {
  if (field >= record.size()) return {};
  if (const auto* s = std::get_if<std::string>(&record[field])) return platform::TrimRightCopy(*s);
  return std::to_string(std::get<std::int64_t>(record[field]));
}

std::int64_t NumberOf(const Record& record, std::size_t field) {
  if (field >= record.size()) return 0;
  const auto* i = std::get_if<std::int64_t>(&record[field]);
  return i ? *i : 0;
}

// The characters of a UTF-8 text, one string each.
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::string one = platform::CutChars(std::string_view(text).substr(pos), 1);
    if (one.empty()) one = text.substr(pos, 1);
    out.push_back(one);
    pos += one.size();
  }
  return out;
}

// A text as the keys compare it: upper-cased, trailing blanks removed, code page 1250 bytes.
std::string KeyBytes(const std::string& text) {
  return platform::Utf8ToCp1250(platform::TrimRight(platform::UpperCp1250(text)));
}

bool IsSeparator(const std::string& c) { return c == "/" || c == "\\"; }

// The letter that locates a path: its first character, upper-cased. Paths written from the
// root start with separators, which every such path shares; the letter is then the first
// character after them, and `root` receives the separators.
std::string LocateLetter(const std::string& path, std::string* root = nullptr) {
  std::vector<std::string> chars = Characters(path);
  std::size_t i = 0;
  while (i < chars.size() && IsSeparator(chars[i])) ++i;
  if (i == chars.size()) i = 0;  // nothing but separators: the first one is the letter
  if (root) {
    root->clear();
    for (std::size_t k = 0; k < i; ++k) *root += chars[k];
  }
  return i < chars.size() ? platform::UpperCp1250(chars[i]) : std::string();
}

constexpr const char* kZeroDigit = " ";  // written for a zero digit of a step value

}  // namespace

std::vector<std::string> DisplayedFields(const std::vector<BrowseColumn>& columns,
                                         const Record& record) {
  std::vector<std::string> cells;
  cells.reserve(columns.size());
  for (const BrowseColumn& c : columns) {
    if (c.display == ColumnDisplay::kDate)
      cells.push_back(FormatDate(NumberOf(record, c.field)));
    else
      cells.push_back(platform::CutChars(TextOf(record, c.field), c.chars));
  }
  return cells;
}

const std::vector<std::string>& UpperCaseAlphabet() {
  // A code that another code upper-cases to is an upper-case letter.
  static const std::vector<std::string> alphabet = [] {
    std::vector<bool> upper(256, false);
    for (int code = 1; code < 256; ++code) {
      std::string lower = platform::Cp1250ToUtf8(std::string(1, static_cast<char>(code)));
      std::string up = platform::Utf8ToCp1250(platform::UpperCp1250(lower));
      if (up.size() == 1 && static_cast<unsigned char>(up[0]) != code && up[0] != '?')
        upper[static_cast<unsigned char>(up[0])] = true;
    }
    std::vector<std::string> out;
    for (int code = 1; code < 256; ++code)
      if (upper[static_cast<std::size_t>(code)])
        out.push_back(platform::Cp1250ToUtf8(std::string(1, static_cast<char>(code))));
    return out;
  }();
  return alphabet;
}

std::vector<std::string> ThumbSteps(const std::string& low, const std::string& high) {
  const std::vector<std::string>& alphabet = UpperCaseAlphabet();
  const std::int64_t base = static_cast<std::int64_t>(alphabet.size()) + 1;
  std::vector<std::string> lo = Characters(low), hi = Characters(high);
  std::size_t common = 0;
  while (common < lo.size() && common < hi.size() &&
         platform::UpperCp1250(lo[common]) == platform::UpperCp1250(hi[common]))
    ++common;
  std::string prefix;
  for (std::size_t i = 0; i < common; ++i) prefix += lo[i];
  auto four = [&](const std::vector<std::string>& chars, std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = common; i < chars.size() && out.size() < 4; ++i)
      out.push_back(platform::UpperCp1250(chars[i]));
    for (const auto& c : out) text += c;
    return out;
  };
  std::string lo4Text, hi4Text;
  std::vector<std::string> lo4 = four(lo, lo4Text), hi4 = four(hi, hi4Text);
  auto value = [&](const std::vector<std::string>& digits) {
    std::int64_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      std::int64_t d = 0;
      if (i < digits.size()) {
        auto it = std::find(alphabet.begin(), alphabet.end(), digits[i]);
        if (it != alphabet.end()) d = (it - alphabet.begin()) + 1;
      }
      v = v * base + d;
    }
    return v;
  };
  const std::int64_t low4 = value(lo4);
  const std::int64_t step = (value(hi4) - low4) / 99;

  std::vector<std::string> steps(kThumbSteps);
  steps.front() = prefix + lo4Text;
  steps.back() = prefix + hi4Text;
  for (std::size_t i = 1; i + 1 < kThumbSteps; ++i) {
    std::int64_t v = low4 + step * static_cast<std::int64_t>(i);
    std::string digits[4];
    for (int k = 3; k >= 0; --k) {
      std::int64_t d = v % base;
      if (d < 0) d += base;
      v = (v - d) / base;
      digits[k] = d == 0 ? kZeroDigit : alphabet[static_cast<std::size_t>(d - 1)];
    }
    steps[i] = prefix + digits[0] + digits[1] + digits[2] + digits[3];
  }
  return steps;
}

// ---- the window -----------------------------------------------------------------------------

BrowseWindow::BrowseWindow(Program& program, BrowseDefinition definition, BrowseRunner runner)
    : program_(program), def_(std::move(definition)), runner_(std::move(runner)) {
  state_.title = def_.title;
  state_.columns = def_.columns;
  for (int i = 0; i < kBrowseButtons; ++i)
    state_.buttons[static_cast<std::size_t>(i)].text =
        def_.buttonTexts[static_cast<std::size_t>(i)];
  state_.tabText = def_.tabText;
  state_.optionText = def_.optionText;
  state_.optionChoices = def_.optionChoices;
  state_.showsEntryName = def_.showsEntryName;
  UpdateButtons();
  state_.menuText = MenuText();
}

BrowseWindow::~BrowseWindow() = default;

void BrowseWindow::SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

BrowseState BrowseWindow::Snapshot() const {
  std::lock_guard lock(mutex_);
  return state_;
}

platform::ThreadId BrowseWindow::Thread() const {
  std::lock_guard lock(mutex_);
  return thread_;
}

bool BrowseWindow::Post(platform::Event e, bool input) const {
  std::lock_guard lock(mutex_);
  if (thread_ == 0 || !state_.open) return false;
  if (input && (state_.busy || state_.form)) return false;
  return platform::PostToThread(thread_, std::move(e));
}

bool BrowseWindow::Scroll(BrowseScroll how) const {
  return Post(platform::Event(kEventBrowseScroll, static_cast<std::uint64_t>(how)));
}

bool BrowseWindow::SelectRow(int row) const {
  if (row < 0) return false;
  return Post(platform::Event(kEventBrowseRow, static_cast<std::uint64_t>(row)));
}

bool BrowseWindow::Alert(BrowseAlert alert) const {
  return Post(platform::Event(kEventBrowseAlert, static_cast<std::uint64_t>(alert)));
}

bool BrowseWindow::Locate(const std::string& character) const {
  if (character.empty()) return false;
  return Post(platform::Event(kEventBrowseLocate, 0, 0,
                              std::make_shared<std::string>(platform::CutChars(character, 1))));
}

bool BrowseWindow::Thumb(int position) const {
  return Post(
      platform::Event(kEventBrowseThumb, static_cast<std::uint64_t>(std::clamp(position, 1, 100))));
}

bool BrowseWindow::Press(BrowseButton button) const {
  {
    std::lock_guard lock(mutex_);
    const BrowseButtonState& b = state_.Button(button);
    if (!b.enabled || b.hidden) return false;
  }
  return Post(platform::Event(kEventBrowsePress, static_cast<std::uint64_t>(button)));
}

bool BrowseWindow::MenuChoice(int choice) const {
  if (choice < 1 || choice > 4) return false;
  return Post(platform::Event(kEventBrowseMenu, static_cast<std::uint64_t>(choice)));
}

bool BrowseWindow::SelectOption(int value) const {
  if (value != 0 && value != 1) return false;
  return Post(platform::Event(kEventBrowseOption, static_cast<std::uint64_t>(value)));
}

bool BrowseWindow::SetPageRows(std::size_t rows) const {
  if (rows == 0) return false;
  return Post(platform::Event(kEventBrowsePage, rows), false);
}

bool BrowseWindow::RequestRefresh() const { return Post(platform::Event(kEventBrowseRefresh)); }

bool BrowseWindow::RequestClose() const { return Post(platform::Event(platform::kEventClose)); }

void BrowseWindow::Publish() {
  {
    std::lock_guard lock(mutex_);
    state_.rows.clear();
    for (const Row& r : rows_) state_.rows.push_back(r.cells);
    state_.highlighted = current_;
    state_.thumb = current_ >= 0 ? ThumbOf(rows_[static_cast<std::size_t>(current_)].locate) : 1;
    state_.pageRows = pageRows_;
    state_.selectMode = request_ == 4;
    UpdateButtons();
    state_.menuText = MenuText();
  }
  if (listener_) listener_();
}

void BrowseWindow::UpdateButtons() {
  bool rows = !rows_.empty();
  auto set = [&](BrowseButton b, bool enabled, bool hidden = false) {
    BrowseButtonState& s = state_.buttons[static_cast<std::size_t>(b)];
    s.enabled = enabled && !hidden;
    s.hidden = hidden;
  };
  set(BrowseButton::kSelect, rows, request_ != 4);
  set(BrowseButton::kInsert, true);
  set(BrowseButton::kChange, rows);
  set(BrowseButton::kDelete, rows);
  set(BrowseButton::kClose, true);
  set(BrowseButton::kRun, static_cast<bool>(runner_) && (rows || !def_.runNeedsRow));
  set(BrowseButton::kListRun, static_cast<bool>(runner_), !def_.hasListRun || def_.listRunHidden);
}

std::string BrowseWindow::MenuText() const {
  const auto& t = def_.buttonTexts;
  auto text = [&](BrowseButton b) { return t[static_cast<std::size_t>(b)]; };
  if (rows_.empty())
    return text(BrowseButton::kInsert) + "|~" + text(BrowseButton::kChange) + "|~" +
           text(BrowseButton::kDelete) + "|-|~" + text(BrowseButton::kSelect);
  return text(BrowseButton::kInsert) + "|" + text(BrowseButton::kChange) + "|" +
         text(BrowseButton::kDelete) + "|-|" + (request_ == 4 ? "" : "~") +
         text(BrowseButton::kSelect);
}

// ---- reading pages ------------------------------------------------------------------------

bool BrowseWindow::OpenCursor() {
  if (!cursor_)
    cursor_ = std::make_unique<platform::KeyedFile>(TableLayoutOf(program_.*def_.table));
  int code = cursor_->Open(platform::kAccessReadWriteShared);
  if (code == 0 || code == platform::kFileAlreadyOpen) return true;
  ShowStandardMessage(program_, StandardMessageId::kViewOpenError);
  return false;
}

// Reads up to `count` records on from where the cursor stands. A read error other than the
// end of the table shows message 35 and marks the list for closing.
bool BrowseWindow::ReadRows(Step step, std::size_t count, std::vector<Row>& out) {
  out.clear();
  if (!cursor_ || !cursor_->IsOpen()) return true;
  while (out.size() < count) {
    Record rec;
    int code = step == Step::kForward ? cursor_->Next(rec) : cursor_->Previous(rec);
    if (code == platform::kRecordNotAvailable) break;
    if (code != 0) {
      ShowStandardMessage(program_, StandardMessageId::kRecordRetrievalError, def_.readErrorLabel);
      failed_ = true;
      return false;
    }
    out.push_back(Row{DisplayedFields(def_.columns, rec), TextOf(rec, def_.locateField),
                      cursor_->Position()});
  }
  return true;
}

bool BrowseWindow::FillTop() {
  std::vector<Row> page;
  if (cursor_ && cursor_->IsOpen()) cursor_->Set(def_.key);
  if (!ReadRows(Step::kForward, pageRows_, page)) return false;
  rows_ = std::move(page);
  current_ = rows_.empty() ? -1 : 0;
  return true;
}

bool BrowseWindow::FillBottom() {
  std::vector<Row> page;
  if (cursor_ && cursor_->IsOpen()) cursor_->Set(def_.key);
  if (!ReadRows(Step::kBackward, pageRows_, page)) return false;
  std::reverse(page.begin(), page.end());
  rows_ = std::move(page);
  current_ = static_cast<int>(rows_.size()) - 1;
  return true;
}

// The page from the first record whose key is at or after `value`, that record highlighted;
// near the end of the table the page is filled up with the records before it.
bool BrowseWindow::FillFrom(const std::string& value) {
  if (!cursor_ || !cursor_->IsOpen()) return FillTop();
  cursor_->Set(def_.key, platform::Value(value));
  std::vector<Row> page;
  if (!ReadRows(Step::kForward, pageRows_, page)) return false;
  if (page.empty()) return FillBottom();
  std::size_t located = 0;
  if (page.size() < pageRows_) {
    std::vector<Row> before;
    cursor_->Reset(def_.key, page.front().position);
    if (!ReadRows(Step::kBackward, pageRows_ - page.size() + 1, before)) return false;
    if (!before.empty()) before.erase(before.begin());  // the located record itself
    located = before.size();
    std::reverse(before.begin(), before.end());
    page.insert(page.begin(), before.begin(), before.end());
  }
  rows_ = std::move(page);
  current_ = static_cast<int>(located);
  return true;
}

// The page around the record at `position`, shown on row `index` where the table allows.
// A record that is gone (or left out of the key) gives way to the first record at or after
// `fallback`.
bool BrowseWindow::FillAround(const std::string& position, const std::string& fallback, int index) {
  if (!cursor_ || !cursor_->IsOpen()) return FillTop();
  index = std::clamp(index, 0, static_cast<int>(pageRows_) - 1);
  std::vector<Row> before;
  int code = position.empty() ? platform::kRecordNotAvailable : cursor_->Reset(def_.key, position);
  if (code == 0) {
    if (!ReadRows(Step::kBackward, static_cast<std::size_t>(index) + 1, before)) return false;
  } else if (code != platform::kRecordNotAvailable) {
    ShowStandardMessage(program_, StandardMessageId::kRecordRetrievalError, def_.readErrorLabel);
    failed_ = true;
    return false;
  }
  if (before.empty() || before.front().position != position) {
    std::vector<Row> next;
    cursor_->Set(def_.key, platform::Value(fallback));
    if (!ReadRows(Step::kForward, 1, next)) return false;
    if (next.empty()) return FillBottom();
    if (next.front().position == position) return FillFrom(fallback);  // cannot happen twice
    return FillAround(next.front().position, next.front().locate, index);
  }
  std::reverse(before.begin(), before.end());  // ends with the record itself
  std::vector<Row> after;
  cursor_->Reset(def_.key, position);
  if (!ReadRows(Step::kForward, pageRows_ - before.size() + 1, after)) return false;
  if (!after.empty()) after.erase(after.begin());
  std::size_t located = before.size() - 1;
  std::vector<Row> page = std::move(before);
  page.insert(page.end(), after.begin(), after.end());
  if (page.size() < pageRows_ && located == static_cast<std::size_t>(index)) {
    // The end of the table came first: fill the page up from before it.
    std::vector<Row> more;
    cursor_->Reset(def_.key, page.front().position);
    if (!ReadRows(Step::kBackward, pageRows_ - page.size() + 1, more)) return false;
    if (!more.empty()) more.erase(more.begin());
    located += more.size();
    std::reverse(more.begin(), more.end());
    page.insert(page.begin(), more.begin(), more.end());
  }
  rows_ = std::move(page);
  current_ = static_cast<int>(located);
  return true;
}

void BrowseWindow::ScrollBy(BrowseScroll how) {
  if (how == BrowseScroll::kTop) {
    FillTop();
    return;
  }
  if (how == BrowseScroll::kBottom) {
    FillBottom();
    return;
  }
  if (rows_.empty()) return;
  const bool down = how == BrowseScroll::kLineDown || how == BrowseScroll::kPageDown;
  const bool line = how == BrowseScroll::kLineDown || how == BrowseScroll::kLineUp;
  if (line) {
    int next = current_ + (down ? 1 : -1);
    if (next >= 0 && next < static_cast<int>(rows_.size())) {
      current_ = next;
      return;
    }
  }
  // Read on past the page's edge, from the record at that edge.
  const Row& edge = down ? rows_.back() : rows_.front();
  std::vector<Row> more;
  if (cursor_->Reset(def_.key, edge.position) != 0) {
    FillAround(rows_[static_cast<std::size_t>(current_)].position,
               rows_[static_cast<std::size_t>(current_)].locate, current_);
    return;
  }
  std::size_t want = line ? 1 : pageRows_;
  if (!ReadRows(down ? Step::kForward : Step::kBackward, want + 1, more)) return;
  if (more.empty() || more.front().position != edge.position) {
    FillAround(edge.position, edge.locate, down ? static_cast<int>(rows_.size()) - 1 : 0);
    return;
  }
  more.erase(more.begin());
  if (more.empty()) {  // the end of the table: the highlight goes to the edge
    current_ = down ? static_cast<int>(rows_.size()) - 1 : 0;
    return;
  }
  if (!down) std::reverse(more.begin(), more.end());
  if (!line && more.size() == pageRows_) {  // a whole page further, the highlight on its row
    rows_ = std::move(more);
    current_ = std::min(current_, static_cast<int>(rows_.size()) - 1);
    return;
  }
  // Scroll by what was read, keeping a full page; the highlight goes to the far edge.
  if (down) {
    rows_.insert(rows_.end(), more.begin(), more.end());
    if (rows_.size() > pageRows_)
      rows_.erase(rows_.begin(), rows_.end() - static_cast<std::ptrdiff_t>(pageRows_));
    current_ = static_cast<int>(rows_.size()) - 1;
  } else {
    rows_.insert(rows_.begin(), more.begin(), more.end());
    if (rows_.size() > pageRows_) rows_.resize(pageRows_);
    current_ = 0;
  }
}

void BrowseWindow::LetterLocate(const std::string& character) {
  if (rows_.empty()) return;
  const std::string letter = platform::UpperCp1250(character);
  std::string root;
  const Row& here = rows_[static_cast<std::size_t>(current_)];
  if (LocateLetter(here.locate, &root) == letter) {
    std::string before = here.position;
    ScrollBy(BrowseScroll::kLineDown);
    const Row& next = rows_[static_cast<std::size_t>(current_)];
    if (next.position != before && LocateLetter(next.locate) == letter) return;
  }
  FillFrom(root + character);
}

void BrowseWindow::ThumbTo(int position) {
  if (position <= 1) {
    FillTop();
  } else if (position >= 100) {
    FillBottom();
  } else if (steps_.empty()) {
    FillTop();
  } else {
    FillFrom(steps_[static_cast<std::size_t>(position - 1)]);
  }
}

void BrowseWindow::BuildSteps() {
  steps_.clear();
  if (!cursor_ || !cursor_->IsOpen()) return;
  std::vector<Row> first, last;
  cursor_->Set(def_.key);
  if (!ReadRows(Step::kForward, 1, first) || first.empty()) return;
  cursor_->Set(def_.key);
  if (!ReadRows(Step::kBackward, 1, last) || last.empty()) return;
  steps_ = ThumbSteps(first.front().locate, last.front().locate);
}

int BrowseWindow::ThumbOf(const std::string& value) const {
  if (steps_.empty()) return 1;
  const std::string key = KeyBytes(value);
  int thumb = 1;
  for (std::size_t i = 0; i < steps_.size(); ++i)
    if (KeyBytes(steps_[i]) <= key) thumb = static_cast<int>(i) + 1;
  return thumb;
}

// ---- buttons, forms and runs ------------------------------------------------------------------

bool BrowseWindow::LoadHighlighted() {
  if (current_ < 0) return false;
  const Row row = rows_[static_cast<std::size_t>(current_)];
  int code = RegetRecord(program_, program_.*def_.table, row.position);
  if (code == 0) return true;
  if (code == platform::kRecordNotAvailable) {  // deleted meanwhile: show what is there now
    FillAround(row.position, row.locate, current_);
  } else {
    ShowStandardMessage(program_, StandardMessageId::kRecordRetrievalError, def_.readErrorLabel, {},
                        &(program_.*def_.table));
    failed_ = true;
  }
  return false;
}

int BrowseWindow::CallForm(int request, platform::EventQueue& queue, std::string& position) {
  position.clear();
  if (!def_.form) return 2;
  std::shared_ptr<FormWindow> form = def_.form(program_);
  form->SetListener([this] { Publish(); });
  {
    std::lock_guard lock(mutex_);
    state_.form = form;
  }
  program_.CallRequest = request;
  Publish();
  form->Run(queue);
  int response = program_.CallResponse;
  position = form->ResultPosition();
  {
    std::lock_guard lock(mutex_);
    state_.form.reset();
  }
  return response;
}

void BrowseWindow::RunArchive(BrowseButton button) {
  if (!runner_) return;
  BrowseRunRequest request;
  request.button = button;
  {
    std::lock_guard lock(mutex_);
    request.option = state_.option;
    state_.busy = true;
  }
  if (current_ >= 0) request.selectedPath = rows_[static_cast<std::size_t>(current_)].locate;
  request.redraw = [this] {
    {
      std::lock_guard lock(mutex_);
      state_.entryName = platform::TrimRightCopy(program_.DAT.IME);
    }
    Publish();
  };
  Publish();
  runner_(request);
  {
    std::lock_guard lock(mutex_);
    state_.busy = false;
  }
}

void BrowseWindow::PressButton(BrowseButton button, platform::EventQueue& queue) {
  const bool rows = current_ >= 0;
  std::string here = rows ? rows_[static_cast<std::size_t>(current_)].position : std::string();
  std::string hereKey = rows ? rows_[static_cast<std::size_t>(current_)].locate : std::string();
  std::string position;
  switch (button) {
    case BrowseButton::kInsert: {
      ClearRecord(program_, program_.*def_.table);
      if (CallForm(1, queue, position) == 1 && !position.empty())
        FillAround(position, {}, std::max(current_, 0));
      else
        FillAround(here, hereKey, current_);
      BuildSteps();
      break;
    }
    case BrowseButton::kChange:
    case BrowseButton::kDelete: {
      if (!rows || !LoadHighlighted()) return;
      CallForm(button == BrowseButton::kChange ? 2 : 3, queue, position);
      // After a delete the record is gone and the page closes up around its place.
      FillAround(here, hereKey, current_);
      BuildSteps();
      break;
    }
    case BrowseButton::kSelect:
      if (request_ != 4 || !rows || !LoadHighlighted()) return;
      response_ = 1;
      queue.Close();
      break;
    case BrowseButton::kClose:
      response_ = 2;
      queue.Close();
      break;
    case BrowseButton::kRun:
    case BrowseButton::kListRun:
      if (def_.runNeedsRow && button == BrowseButton::kRun && !rows) return;
      RunArchive(button);
      FillAround(here, hereKey, current_);
      BuildSteps();
      break;
  }
}

void BrowseWindow::Handle(const platform::Event& e, platform::EventQueue& queue) {
  const bool rows = current_ >= 0;
  switch (e.code) {
    case kEventBrowseScroll:
      ScrollBy(static_cast<BrowseScroll>(e.wparam));
      break;
    case kEventBrowseRow:
      if (e.wparam < rows_.size()) current_ = static_cast<int>(e.wparam);
      break;
    case kEventBrowseLocate:
      if (e.data) LetterLocate(*std::static_pointer_cast<std::string>(e.data));
      break;
    case kEventBrowseThumb:
      ThumbTo(static_cast<int>(e.wparam));
      break;
    case kEventBrowseAlert:
      switch (static_cast<BrowseAlert>(e.wparam)) {
        case BrowseAlert::kDoubleClick:
          if (rows)
            PressButton(request_ == 4 ? BrowseButton::kSelect : BrowseButton::kChange, queue);
          break;
        case BrowseAlert::kInsert:
          PressButton(BrowseButton::kInsert, queue);
          break;
        case BrowseAlert::kDelete:
          if (rows) PressButton(BrowseButton::kDelete, queue);
          break;
        case BrowseAlert::kCtrlEnter:
          if (rows) PressButton(BrowseButton::kChange, queue);
          break;
      }
      break;
    case kEventBrowsePress: {
      auto button = static_cast<BrowseButton>(e.wparam);
      bool allowed;
      {
        std::lock_guard lock(mutex_);
        allowed = e.wparam < static_cast<std::uint64_t>(kBrowseButtons) &&
                  state_.Button(button).enabled && !state_.Button(button).hidden;
      }
      if (allowed) PressButton(button, queue);
      break;
    }
    case kEventBrowseMenu: {
      // A disabled item ("~") cannot be chosen.
      static constexpr BrowseButton kItems[] = {BrowseButton::kInsert, BrowseButton::kChange,
                                                BrowseButton::kDelete, BrowseButton::kSelect};
      std::size_t choice = static_cast<std::size_t>(e.wparam);
      if (choice == 1 || (rows && (choice == 2 || choice == 3)) ||
          (rows && choice == 4 && request_ == 4))
        PressButton(kItems[choice - 1], queue);
      break;
    }
    case kEventBrowseOption: {
      std::lock_guard lock(mutex_);
      state_.option = static_cast<int>(e.wparam);
      break;
    }
    case kEventBrowsePage: {
      std::size_t wanted = std::clamp<std::size_t>(static_cast<std::size_t>(e.wparam), 1, 200);
      if (wanted == pageRows_) break;
      pageRows_ = wanted;
      if (rows)
        FillAround(rows_[static_cast<std::size_t>(current_)].position,
                   rows_[static_cast<std::size_t>(current_)].locate, current_);
      else
        FillTop();
      break;
    }
    case kEventBrowseRefresh:
      if (!cursor_ || !cursor_->IsOpen()) OpenCursor();
      if (rows)
        FillAround(rows_[static_cast<std::size_t>(current_)].position,
                   rows_[static_cast<std::size_t>(current_)].locate, current_);
      else
        FillTop();
      BuildSteps();
      break;
    default:
      break;
  }
}

void BrowseWindow::Run(platform::EventQueue& queue) {
  request_ = program_.CallRequest;
  program_.CallRequest = 0;
  {
    std::lock_guard lock(mutex_);
    thread_ = queue.Id();
  }
  // The tables the list and its forms work on, held for the list's life.
  std::vector<TableSlot*> held;
  std::vector<TableSlot*> wanted{&(program_.*def_.table)};
  if (def_.alsoHoldsDatoteke && wanted.front() != &program_.datoteke)
    wanted.push_back(&program_.datoteke);
  bool usable = true;
  for (TableSlot* t : wanted) {
    if (t->ReferenceCount == 0 && !OpenTable(program_, *t)) {
      usable = false;
      break;
    }
    ++t->ReferenceCount;
    held.push_back(t);
  }
  if (usable && !program_.Ended()) {
    OpenCursor();
    BuildSteps();
    FillTop();
    {
      std::lock_guard lock(mutex_);
      state_.open = true;
    }
    Publish();
    while (!failed_ && !program_.Ended()) {
      platform::Event e = queue.Wait();
      if (e.code == platform::kEventClose) break;
      Handle(e, queue);
      // The rows first, then the count: whoever sees the count grow sees what the input did.
      Publish();
      {
        std::lock_guard lock(mutex_);
        ++state_.handled;
      }
    }
  }
  if (cursor_) cursor_->Close();
  for (TableSlot* t : held)
    if (--t->ReferenceCount == 0) CloseTable(*t);
  program_.CallResponse = response_;
  // Once `closed` is seen the object may be destroyed: only the local copy is used after it.
  std::function<void()> listener = listener_;
  {
    std::lock_guard lock(mutex_);
    state_.open = false;
    state_.closed = true;
    thread_ = 0;
  }
  if (listener) listener();
}

}  // namespace verdan::app
