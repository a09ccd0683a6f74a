// One run of the program's windows: the frame's view and logic, the views of the windows it
// starts, and the window procedures that join each window's logic to its view.
//
// A window procedure runs on its window thread: it creates the window's logic, has the view
// created on the GUI thread, runs the logic's loop, and has the view dismissed when the loop
// ends. The view holds the logic by shared pointer, so neither side outlives what it uses.
//
// Create and run on the GUI thread, with a QApplication; the session must outlive every
// window thread (it does, when used through `RunSession`).
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

#include "app/frame.h"
#include "app/program.h"
#include "archive/archive_runs.h"
#include "gui/archive_view.h"
#include "gui/email_view.h"
#include "gui/browse_view.h"
#include "gui/frame_view.h"
#include "gui/qt_ui.h"
#include "platform/desktop.h"

namespace verdan::gui {

class Session : public QObject {
  Q_OBJECT
 public:
  Session(app::Program& program, QtUi& ui);
  ~Session() override;

  FrameView& View() { return *view_; }
  app::FrameWindow& Frame() { return *frame_; }

  // Shows the frame, starts its procedure, and runs the GUI until the frame has closed;
  // then dismisses every dialog so that the window threads can end.
  void RunFrame(const std::function<void(FrameView&)>& started);

  // The window procedures the frame and the splash start.
  platform::WindowThreads::Procedure SplashProcedure();
  platform::WindowThreads::Procedure ArchiveProcedure();
  platform::WindowThreads::Procedure OptionsProcedure();
  platform::WindowThreads::Procedure EmailProcedure(mail::EmailWindowKind kind);
  // The archive-definition list (offered by nothing on screen; see gui::Run) and the file list.
  platform::WindowThreads::Procedure DefinitionsProcedure();
  platform::WindowThreads::Procedure FileListProcedure();

  // Runs `fn` on the GUI thread later, unless the session is gone by then.
  void PostGui(std::function<void()> fn);

 private:
  // Joins a window's logic to a view made by `make` (on the GUI thread) for the life of the
  // logic's procedure, run on the calling window thread.
  template <class Logic, class Make>
  void Host(const std::shared_ptr<Logic>& logic, platform::EventQueue& queue, Make make);

  // Progress of a run: in the status bar, and in the archiving window whose run it is.
  void ShowProgress(const platform::ProgressInfo& info);
  // Places a new child window's view in the frame, offset from the last one.
  QMdiSubWindow* Place(WindowView* view, QSize size);

  app::Program& program_;
  QtUi& ui_;
  archive::ArchiveShared shared_;  // the runs' Zip component and lock, one per program
  std::vector<QPointer<ArchiveView>> archiveViews_;
  int placed_ = 0;
  std::shared_ptr<app::FrameWindow> frame_;
  std::unique_ptr<FrameView> view_;
};

// Runs the program's windows: the drag setting, the frame until it closes, and the end of
// every window thread. `started` (may be empty) is called once the frame is shown. Returns
// the exit status of app::RunProgram.
int RunSession(app::Program& program, QtUi& ui, platform::Desktop& desktop,
               const std::function<void(FrameView&)>& started = {});

}  // namespace verdan::gui
