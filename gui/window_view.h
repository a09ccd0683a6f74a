// Base of the views of child windows: a widget inside an MDI subwindow of the frame that
// redraws from what its window logic publishes. GUI thread only.
#pragma once

#include <QWidget>

namespace verdan::gui {

class WindowView : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
  // Redraws from the logic's published state.
  virtual void Refresh() = 0;
  // The logic has ended: close the subwindow and delete the view.
  void Dismiss();
  // Asked to close by the user (the subwindow's close button): tell the logic. Returns true
  // when the view may close at once.
  virtual bool CloseRequested() { return true; }
  // The subwindow became the active one.
  virtual void Activated() {}

 protected:
  // Watches the subwindow around the view for the user's close (see FrameView::AddChild).
  bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace verdan::gui
