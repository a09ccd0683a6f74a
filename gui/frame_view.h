// The main frame's view: an MDI parent window with the wallpaper and picture, the row of
// five command buttons and the status bar; and the start-up splash's view. Both redraw from
// their window logic's published state and forward the user's input as events to the
// logic's thread. GUI thread only.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>

#include <array>
#include <memory>

#include "app/frame.h"
#include "app/splash.h"
#include "gui/window_view.h"
#include "platform/ui.h"

namespace verdan::gui {

// The frame's client area: wallpaper tiles with the picture in the middle.
class FrameArea : public QMdiArea {
  Q_OBJECT
 public:
  explicit FrameArea(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class FrameView : public QMainWindow {
  Q_OBJECT
 public:
  explicit FrameView(std::shared_ptr<app::FrameWindow> frame);

  QMdiArea* Area() const { return area_; }
  QPushButton* Button(app::FrameButton button) const { return buttons_[static_cast<int>(button)]; }
  QLabel* Zone(int zone) const { return zones_[zone - 1]; }  // zones 1 to 4

  // Redraws from the frame's snapshot; emits Closed once the frame procedure has ended.
  void Refresh();
  // A progress report of a window without a view of its own, shown in status zone 2.
  void ShowProgress(const platform::ProgressInfo& info);
  // Adds a child window's view as a subwindow of the frame and shows it.
  QMdiSubWindow* AddChild(WindowView* view, Qt::WindowFlags flags = {});

 signals:
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  std::shared_ptr<app::FrameWindow> frame_;
  FrameArea* area_ = nullptr;
  std::array<QPushButton*, app::kFrameButtons> buttons_{};
  std::array<QLabel*, 4> zones_{};
  bool opened_ = false;
  bool closed_ = false;
};

class SplashView : public WindowView {
  Q_OBJECT
 public:
  explicit SplashView(std::shared_ptr<app::SplashWindow> splash, QWidget* parent = nullptr);
  void Refresh() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::shared_ptr<app::SplashWindow> splash_;
  app::SplashState state_;
};

}  // namespace verdan::gui
