// Helpers of the GUI tests: one QApplication for the test program (Qt's offscreen platform
// unless the environment chose another), waiting on it with a limit, finding the frame's
// child windows and message boxes, and feeding a running frame its steps.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QTimer>

#include <cstdlib>
#include <functional>
#include <vector>

#include "gui/frame_view.h"
#include "gui/qt_ui.h"
#include "gui/session.h"
#include "platform/desktop.h"

namespace verdan::gui::testing {

inline QApplication& App() {
  static QApplication* app = [] {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "verdan_gui_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);  // lives as long as the process
  }();
  return *app;
}

// Processes GUI events until `pred` holds or five seconds pass.
template <class Pred>
bool ProcessUntil(Pred pred, int limitMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > limitMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// The message box on screen, if any.
inline QMessageBox* OpenBox() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
  return nullptr;
}

// The first visible child window of the frame with a view of type View (and, when given,
// the one `which` accepts).
template <class View>
View* FindView(FrameView& frame, std::function<bool(View*)> which = {}) {
  for (QMdiSubWindow* sub : frame.Area()->subWindowList())
    if (auto* v = qobject_cast<View*>(sub->widget()); v && sub->isVisible() && (!which || which(v)))
      return v;
  return nullptr;
}

using Steps = std::vector<std::function<bool(FrameView&)>>;

// Feeds the shown frame its steps, one at a time, each polled until it reports done; gives
// up (a failure) after 30 seconds. `reached` counts the steps done.
inline void PollSteps(FrameView& view, Steps& steps, std::size_t& reached) {
  reached = 0;
  auto* poll = new QTimer(&view);
  QObject::connect(poll, &QTimer::timeout, &view, [&steps, &reached, &view, poll] {
    if (reached < steps.size() && steps[reached](view)) ++reached;
    if (reached == steps.size()) poll->stop();
  });
  poll->start(10);
  QTimer::singleShot(30000, &view, [] {
    ADD_FAILURE() << "the steps did not finish";
    QCoreApplication::exit(1);  // quit() may be refused by a window that stays open
  });
}

// Runs the program's windows and feeds the frame its steps; the last step should end the
// frame. Returns the program's exit status.
inline int RunSteps(app::Program& program, QtUi& ui, Steps& steps, std::size_t& reached) {
  return RunSession(program, ui, platform::SystemDesktop(),
                    [&](FrameView& view) { PollSteps(view, steps, reached); });
}

}  // namespace verdan::gui::testing
