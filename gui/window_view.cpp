#include "gui/window_view.h"

#include <QCloseEvent>
#include <QMdiSubWindow>

namespace verdan::gui {

void WindowView::Dismiss() {
  if (auto* sub = qobject_cast<QMdiSubWindow*>(parentWidget())) {
    sub->hide();
    sub->deleteLater();  // takes the view with it
  } else {
    hide();
    deleteLater();
  }
}

bool WindowView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && watched == parentWidget() && !CloseRequested()) {
    event->ignore();  // the logic closes the window when it is ready
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace verdan::gui
