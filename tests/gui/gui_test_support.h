// Helpers of the GUI tests: one QApplication for the test program (Qt's offscreen platform
// unless the environment chose another) and waiting on it with a limit.
#pragma once

#include <QApplication>
#include <QElapsedTimer>

#include <cstdlib>

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

}  // namespace verdan::gui::testing
