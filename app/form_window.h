// The edit forms of the two lists: the common part of a form window (its controls as a view
// draws them, its event loop on the calling list's thread, focus and completion) and the
// date fields' text form.
//
// A list calls a form on its own thread: `FormWindow::Run` takes `CallRequest` (1 insert,
// 2 change, 3 delete), runs the form modally on the list's queue and returns with
// `CallResponse` set (1 completed, 2 cancelled). Events meant for the list that arrive
// meanwhile are dropped, as a modal window keeps input from its owner. A view reads
// `Snapshot()` after each change announced through the listener and forwards input with
// `Edit`, `Press` and `RequestClose`; those three and Snapshot are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/event_loop.h"

namespace verdan::app {

// The file dialogs of the forms work on an 80-character copy of the path.
inline constexpr std::size_t kFormDialogLength = 80;
// Shown when a path would not fit its field and would name another file if it were cut.
inline constexpr const char* kPathTooLongText = "Putanja je preduga za ovo polje !";

// Dates as the lists and forms show them: day/month/two-digit year ("09/03/06"); blank for
// no date (0).
std::string FormatDate(std::int64_t dayCount);
// Reads a date typed as day/month/year ("9/3/06", "09.03.2006"); a blank text is no date (0).
// A two-digit year falls within the 80 years before and the 19 after `today`'s year.
// Returns false when the text is not a valid date.
bool ParseDate(const std::string& text, std::int64_t today, std::int64_t& dayCount);

// Shown when a typed date or number cannot be taken; the field keeps its value.
inline constexpr const char* kBadDateText = "Neispravan datum (dan/mjesec/godina) !";
inline constexpr const char* kBadNumberText = "Redni broj mora biti cijeli broj od 0 do 65535 !";

enum class FormControlKind { kGroup, kEntry, kButton, kText };

struct FormControl {
  int id = 0;  // 1-based, in window order
  FormControlKind kind = FormControlKind::kText;
  std::string text;   // prompt of an entry, caption of a button or group, the text itself
  std::string value;  // an entry's value as shown
  std::string tip;
  std::size_t length = 0;  // characters an entry takes
  bool enabled = true;
  bool hidden = false;
};

struct FormState {
  std::string caption;
  std::string status;  // the status bar's text
  std::vector<FormControl> controls;
  int focus = 0;                  // the control that is to get the focus
  std::uint64_t focusSerial = 0;  // changes each time the focus is to be set again
  bool busy = false;              // a table operation or a dialog is in progress
  bool open = false;              // the window is shown
  bool closed = false;            // the form has returned
  const FormControl* Control(int id) const;
};

inline constexpr std::int32_t kEventFormEdit = platform::kEventUser + 50;   // wparam: control
inline constexpr std::int32_t kEventFormPress = platform::kEventUser + 51;  // wparam: control
inline constexpr std::int32_t kEventFormClose = platform::kEventUser + 52;

class FormWindow {
 public:
  explicit FormWindow(Program& program);
  virtual ~FormWindow();
  FormWindow(const FormWindow&) = delete;
  FormWindow& operator=(const FormWindow&) = delete;

  // Called on the list's thread after every change of the state; set before Run.
  void SetListener(std::function<void()> listener);

  // The form procedure on the calling list's thread; returns the response it also leaves in
  // `CallResponse`.
  int Run(platform::EventQueue& queue);

  FormState Snapshot() const;
  // An entry's new text (taken as when the user leaves the field), a button, the close box.
  // False when the form is not showing.
  bool Edit(int control, const std::string& text) const;
  bool Press(int control) const;
  bool RequestClose() const;

  // The request the form was called with, and the position of the record it completed ("" when
  // it was cancelled or deleted a record).
  int Request() const { return request_; }
  std::string ResultPosition() const;

 protected:
  enum class Opening { kShow, kDone };
  // Takes the tables and handles what needs no window (numbering, delete). kDone: the form
  // returns at once with the response set by Finish.
  virtual Opening Open() = 0;
  // The entry `control` was left with `text`; false when the text was refused (the field
  // keeps its value).
  virtual bool Accept(int control, const std::string& text) = 0;
  virtual void Pressed(int control) = 0;
  // Copies the record buffer into the entries' values.
  virtual void Show() = 0;
  // Called once as the form returns: cleanup and release of the tables.
  virtual void Leave() = 0;

  // Ends the form's loop with `response` (1 completed, 2 cancelled).
  void Finish(int response);
  bool Finished() const { return finished_; }
  void FocusOn(int control);
  // The "OK" of an insert or change: every entry but `skipped` is accepted once more as if
  // just left (a still-blank field gets its value); the first one refused takes the focus
  // and false is returned.
  bool AcceptEveryEntry(int skipped);
  // The open-file dialog of a path field, started at the field's `current` path: the chosen
  // file, or "" when none was chosen or its path is longer than the dialog holds (the user is
  // told so; a cut path would name another file).
  std::string ChooseFile(const char* title, const char* filter, const std::string& current,
                         bool keepCurrentDirectory);
  // A message box with the exclamation icon.
  void ShowNote(const std::string& text);
  void SetControls(std::vector<FormControl> controls);
  void SetValue(int control, const std::string& value);
  void SetCaption(const std::string& caption, const std::string& status);
  void SetResultPosition(const std::string& position);
  void Busy(bool on);
  void Publish();

  Program& program_;
  int request_ = 0;
  int response_ = 2;

 private:
  bool Post(std::int32_t code, int control, std::shared_ptr<void> data = {}) const;

  const std::uint64_t id_;  // tells this form's events from a later form's
  std::function<void()> listener_;
  mutable std::mutex mutex_;
  FormState state_;
  platform::ThreadId thread_ = 0;
  std::string resultPosition_;
  bool finished_ = false;
};

}  // namespace verdan::app
