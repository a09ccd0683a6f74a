// Views of the archiving window and of the source and destination window: their controls
// drawn from what the window logic publishes, input forwarded to the logic's thread. A run
// executes on the archiving window's own thread; meanwhile the view only redraws, and shows
// the run's progress. GUI thread only.
#pragma once

#include <QButtonGroup>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <map>
#include <memory>

#include "archive/archive_window.h"
#include "archive/source_dest.h"
#include "gui/window_view.h"
#include "platform/ui.h"

namespace verdan::gui {

class ArchiveView : public WindowView {
  Q_OBJECT
 public:
  explicit ArchiveView(std::shared_ptr<archive::ArchiveWindow> window, QWidget* parent = nullptr);

  void Refresh() override;
  bool CloseRequested() override;
  void Activated() override;
  // Progress of the run in progress; a finished report hides it.
  void ShowProgress(const platform::ProgressInfo& info);
  bool Busy() const { return state_.busy; }

  // The widget of control `number` (1 to 26); for tests.
  QWidget* Control(int number) const;

 private:
  QWidget* Make(int number);
  void Commit(int number);

  std::shared_ptr<archive::ArchiveWindow> window_;
  archive::ArchiveWindowState state_;
  std::map<int, QWidget*> controls_;
  QProgressBar* progress_ = nullptr;
  QLabel* progressText_ = nullptr;
  QLabel* lastRun_ = nullptr;
};

class SourceDestView : public WindowView {
  Q_OBJECT
 public:
  explicit SourceDestView(std::shared_ptr<archive::SourceDestWindow> window,
                          QWidget* parent = nullptr);

  void Refresh() override;
  bool CloseRequested() override;
  QWidget* Control(int number) const;
  QTabWidget* Tabs() const { return tabs_; }

 private:
  void Commit(int number);

  std::shared_ptr<archive::SourceDestWindow> window_;
  archive::SourceDestState state_;
  std::map<int, QWidget*> controls_;
  QTabWidget* tabs_ = nullptr;
  QButtonGroup* radios_ = nullptr;
};

}  // namespace verdan::gui
