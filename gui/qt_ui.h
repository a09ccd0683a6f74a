// The Qt realisation of the ui port.
//
// Window logic runs on window threads; Qt widgets live on the GUI thread. A call that needs
// the user (a message box, a file or directory dialog) is handed to the GUI thread, which
// opens the dialog without blocking itself, and the calling window's thread waits for the
// answer: the calling window is held as a modal box holds it, while every other window goes
// on working. Wait cursor and progress are handed over the same way but never wait.
//
// Construct on the GUI thread. Every Ui call is thread-safe. After `Shutdown` (GUI thread)
// every open dialog is dismissed with its escape answer and later calls answer at once
// without showing anything, so that window threads can finish while the program ends.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/ui.h"

namespace verdan::gui {

// The answer a message box gives when it is closed without a choice (Escape, the close
// button, or the program ending): Cancel, else No, else OK; the last of named buttons.
unsigned EscapeAnswer(const platform::MessageSpec& request);

// "Zip datoteke|*.zip|Sve|*.*" as Qt name filters: "Zip datoteke (*.zip)", "Sve (*)".
// Several patterns of one entry are separated by ";" and become blank-separated.
std::vector<std::string> QtNameFilters(const std::string& filter);

class QtUi : public QObject, public platform::Ui {
  Q_OBJECT
 public:
  explicit QtUi(QObject* parent = nullptr);
  ~QtUi() override;

  unsigned Message(const platform::MessageSpec& request) override;
  std::vector<std::string> FileOpen(const platform::FileOpenSpec& request) override;
  bool ChooseDirectory(const std::string& title, std::string& path,
                       std::size_t nameBufferLength) override;
  bool AskPassword(const platform::PasswordSpec& request, std::string& password) override;
  void SetWaitCursor(bool on) override;
  void Progress(const platform::ProgressInfo& info) override;

  // The widget over which a window thread's dialogs open (GUI thread; null: the default).
  void SetDialogParent(platform::ThreadId thread, QWidget* widget);
  void SetDefaultParent(QWidget* widget);

  // Where a window thread's progress is shown (GUI thread). Reports of a thread with no
  // sink go to the default sink.
  using ProgressSink = std::function<void(const platform::ProgressInfo&)>;
  void SetProgressSink(platform::ThreadId thread, ProgressSink sink);
  void SetDefaultProgressSink(ProgressSink sink);

  // GUI thread: dismiss open dialogs and answer every later call at once.
  void Shutdown();
  bool IsShutdown() const;

  // Number of dialogs open now (GUI thread); for tests.
  int OpenDialogs() const;

 private:
  // Runs `open` on the GUI thread; it opens a dialog and later calls the finisher it is
  // given with the answer. Waits for that answer; `fallback` when shut down.
  template <class R>
  R Ask(std::function<void(std::function<void(R)>)> open, R fallback);
  QWidget* ParentFor(platform::ThreadId thread) const;
  void Track(QWidget* dialog);
  void FlushProgress();
  void ApplyCursor();

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool shutdown_ = false;

  // GUI-thread state.
  std::map<platform::ThreadId, QPointer<QWidget>> parents_;
  QPointer<QWidget> defaultParent_;
  std::map<platform::ThreadId, ProgressSink> progressSinks_;
  ProgressSink defaultSink_;
  std::vector<QPointer<QWidget>> dialogs_;
  bool overrideCursor_ = false;

  // Shared with window threads, under mutex_.
  std::map<platform::ThreadId, platform::ProgressInfo> progress_;
  bool progressFlushQueued_ = false;
  std::set<platform::ThreadId> waiting_;
  bool cursorQueued_ = false;
};

}  // namespace verdan::gui
