// The list windows of the two tables (archive definitions and the file list): a list loaded
// one page at a time over one key, its keys, mouse, popup menu, letter locate and scroll
// thumb, the form it calls to insert, change or delete a record, and the archive-run controls
// on its tab.
//
// The list reads its pages through a read cursor of its own (a second connection to the
// table), so browsing never moves the table's current record or the program-wide record
// buffer that forms and runs of other windows work on. Each row keeps its displayed fields
// and the record's position.
//
// `BrowseWindow::Run` is the window's procedure on its own thread; forms and runs execute there
// synchronously, so the list takes no input while a form is open or a run works (input that
// arrives meanwhile is refused). A view reads `Snapshot()` after each change announced through
// the listener and forwards input with the thread-safe posting functions below.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/form_window.h"
#include "app/program.h"
#include "platform/event_loop.h"
#include "platform/keyed_file.h"

namespace verdan::app {

inline constexpr const char* kBrowsingRecordsText = "Browsing Records";
inline constexpr std::size_t kThumbSteps = 100;
inline constexpr std::size_t kDefaultPageRows = 10;

enum class ColumnAlign { kLeft, kRight };
enum class ColumnDisplay { kText, kDate };

struct BrowseColumn {
  std::string header;
  std::size_t field = 0;  // field number in the table's record
  int width = 0;          // dialog units
  ColumnAlign align = ColumnAlign::kLeft;
  int indent = 2;  // dialog units
  bool headerCentred = false;
  ColumnDisplay display = ColumnDisplay::kText;
  std::size_t chars = 0;  // characters shown of a text field
};

// A record's displayed fields, in column order.
std::vector<std::string> DisplayedFields(const std::vector<BrowseColumn>& columns,
                                         const platform::Record& record);

// The list's buttons. Run and ListRun are the archive-run buttons of the tab.
enum class BrowseButton : int { kSelect = 0, kInsert, kChange, kDelete, kClose, kRun, kListRun };
inline constexpr int kBrowseButtons = 7;

enum class BrowseScroll : int { kLineUp, kLineDown, kPageUp, kPageDown, kTop, kBottom };
// Alerted input on the list.
enum class BrowseAlert : int { kDoubleClick, kInsert, kDelete, kCtrlEnter };

// What one run button asks of the runs: the button, the tab's option, the highlighted row's
// locate field (ARH:STAZA of the definition), and a redraw the run calls as it works.
struct BrowseRunRequest {
  BrowseButton button = BrowseButton::kRun;
  int option = 0;
  std::string selectedPath;
  std::function<void()> redraw;
};
using BrowseRunner = std::function<void(const BrowseRunRequest&)>;

// Makes the form a button calls; the form takes CallRequest when it runs.
using FormFactory = std::function<std::shared_ptr<FormWindow>(Program&)>;

// Everything that tells one list from the other.
struct BrowseDefinition {
  std::string title;
  TableSlot Program::*table = nullptr;  // the table listed
  bool alsoHoldsDatoteke = false;       // the list holds `datoteke` open too
  int key = 0;                          // the key that orders the list
  std::size_t locateField = 0;          // the key's field: letter locate and thumb steps
  std::string readErrorLabel;           // text of standard message 35
  std::vector<BrowseColumn> columns;
  std::array<std::string, kBrowseButtons> buttonTexts;
  bool runNeedsRow = false;  // the run button works on the highlighted row
  bool hasListRun = false;   // the file list's "ARHIVIRAJ", defined hidden
  bool listRunHidden = true;
  std::string tabText;
  std::string optionText;
  std::array<std::string, 2> optionChoices;
  bool showsEntryName = false;  // the tab shows DAT:IME while a run stamps the list
  FormFactory form;
};

// The thumb step table: 100 key values spread between the first and the last record, from
// which dragging the thumb starts reading. Empty when there are no records.
std::vector<std::string> ThumbSteps(const std::string& low, const std::string& high);
// The code-page-1250 upper-case letters, in code order, as UTF-8 characters.
const std::vector<std::string>& UpperCaseAlphabet();

struct BrowseButtonState {
  std::string text;
  bool enabled = true;
  bool hidden = false;
};

struct BrowseState {
  std::string title;
  std::string listStatus = kBrowsingRecordsText;
  std::vector<BrowseColumn> columns;
  std::vector<std::vector<std::string>> rows;  // the page, displayed fields
  int highlighted = -1;                        // row of the page, -1 when empty
  int thumb = 1;                               // 1 to 100
  std::size_t pageRows = kDefaultPageRows;
  std::array<BrowseButtonState, kBrowseButtons> buttons;
  std::string menuText;  // the popup menu for the list's present state
  std::string tabText;
  std::string optionText;
  std::array<std::string, 2> optionChoices;
  int option = 0;
  bool showsEntryName = false;
  std::string entryName;  // DAT:IME while a run goes through the list
  bool selectMode = false;
  bool busy = false;                 // a run works
  std::shared_ptr<FormWindow> form;  // the form that is open, if any
  bool open = false;
  bool closed = false;
  std::uint64_t handled = 0;  // input events handled so far
  const BrowseButtonState& Button(BrowseButton b) const {
    return buttons[static_cast<std::size_t>(b)];
  }
};

inline constexpr std::int32_t kEventBrowseScroll =
    platform::kEventUser + 40;                                              // wparam: BrowseScroll
inline constexpr std::int32_t kEventBrowseRow = platform::kEventUser + 41;  // wparam: row
inline constexpr std::int32_t kEventBrowseAlert = platform::kEventUser + 42;  // wparam: BrowseAlert
inline constexpr std::int32_t kEventBrowseLocate = platform::kEventUser + 43;  // data: character
inline constexpr std::int32_t kEventBrowseThumb = platform::kEventUser + 44;   // wparam: 1..100
inline constexpr std::int32_t kEventBrowsePress =
    platform::kEventUser + 45;                                               // wparam: BrowseButton
inline constexpr std::int32_t kEventBrowseMenu = platform::kEventUser + 46;  // wparam: choice
inline constexpr std::int32_t kEventBrowseOption = platform::kEventUser + 47;  // wparam: value
inline constexpr std::int32_t kEventBrowsePage = platform::kEventUser + 48;    // wparam: rows
inline constexpr std::int32_t kEventBrowseRefresh = platform::kEventUser + 49;

class BrowseWindow {
 public:
  BrowseWindow(Program& program, BrowseDefinition definition, BrowseRunner runner = {});
  ~BrowseWindow();

  void SetListener(std::function<void()> listener);
  // The list procedure: takes CallRequest (4: select mode), returns when the list closes with
  // CallResponse set (1 a record was selected, 2 otherwise).
  void Run(platform::EventQueue& queue);

  BrowseState Snapshot() const;
  platform::ThreadId Thread() const;

  // Input from the view; false when refused (not running, a form open, a run working, or the
  // control disabled or hidden).
  bool Scroll(BrowseScroll how) const;
  bool SelectRow(int row) const;
  bool Alert(BrowseAlert alert) const;
  bool Locate(const std::string& character) const;
  bool Thumb(int position) const;
  bool Press(BrowseButton button) const;
  bool MenuChoice(int choice) const;
  bool SelectOption(int value) const;
  bool SetPageRows(std::size_t rows) const;
  // Reads the page again around the highlighted record (the window regained the focus, or
  // the tab changed).
  bool RequestRefresh() const;
  bool RequestClose() const;

 private:
  struct Row {
    std::vector<std::string> cells;
    std::string locate;    // the key field, trailing blanks removed
    std::string position;  // the record's position
  };
  enum class Step { kForward, kBackward };

  bool Post(platform::Event e, bool input = true) const;
  void Publish();
  void Handle(const platform::Event& e, platform::EventQueue& queue);

  // The read cursor and the page.
  bool OpenCursor();
  bool ReadRows(Step step, std::size_t count, std::vector<Row>& out);
  bool FillTop();
  bool FillBottom();
  bool FillFrom(const std::string& value);
  bool FillAround(const std::string& position, const std::string& fallback, int index);
  void ScrollBy(BrowseScroll how);
  void LetterLocate(const std::string& character);
  void ThumbTo(int position);
  void BuildSteps();
  int ThumbOf(const std::string& value) const;
  std::string MenuText() const;
  void UpdateButtons();  // under mutex_

  void PressButton(BrowseButton button, platform::EventQueue& queue);
  bool LoadHighlighted();
  int CallForm(int request, platform::EventQueue& queue, std::string& position);
  void RunArchive(BrowseButton button);

  Program& program_;
  BrowseDefinition def_;
  BrowseRunner runner_;
  std::function<void()> listener_;
  std::unique_ptr<platform::KeyedFile> cursor_;
  std::vector<Row> rows_;
  int current_ = -1;
  std::size_t pageRows_ = kDefaultPageRows;
  std::vector<std::string> steps_;
  bool failed_ = false;  // a read failed: the list closes
  int request_ = 0;
  int response_ = 2;

  mutable std::mutex mutex_;
  BrowseState state_;
  platform::ThreadId thread_ = 0;
};

}  // namespace verdan::app
