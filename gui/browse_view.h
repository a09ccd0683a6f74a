// Views of the two list windows and of their forms. The list shows one page of rows as its
// logic publishes it, with a scroll thumb of 100 positions beside it; keys, mouse, the popup
// menu, the thumb and the buttons are forwarded to the list's thread. A form is a dialog of
// its own beside the list; while it is open the list view takes no input, as the list logic
// takes none. GUI thread only.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <map>
#include <memory>

#include "app/browse.h"
#include "app/form_window.h"
#include "gui/window_view.h"

namespace verdan::gui {

// Dialog units to pixels for the font of `widget` (a horizontal unit is a quarter of the
// average character width).
int DialogUnitsToPixels(int units, const QWidget* widget);

class FormView : public QDialog {
  Q_OBJECT
 public:
  FormView(std::shared_ptr<app::FormWindow> form, QWidget* parent);

  void Refresh();
  app::FormWindow* Logic() const { return form_.get(); }
  // The widget of control `id`; for tests.
  QWidget* Control(int id) const;

 protected:
  void reject() override;  // Escape and the close box ask the form to cancel

 private:
  void Commit(int id);
  void CommitAll();

  std::shared_ptr<app::FormWindow> form_;
  app::FormState state_;
  std::map<int, QWidget*> controls_;
  QLabel* status_ = nullptr;
  std::uint64_t focusSerial_ = 0;
};

class BrowseView : public WindowView {
  Q_OBJECT
 public:
  explicit BrowseView(std::shared_ptr<app::BrowseWindow> window, QWidget* parent = nullptr);

  void Refresh() override;
  bool CloseRequested() override;
  void Activated() override;

  // For tests.
  QTableWidget* Table() const { return table_; }
  QScrollBar* ThumbBar() const { return thumb_; }
  QPushButton* Button(app::BrowseButton button) const;
  FormView* Form() const { return formView_; }
  const app::BrowseState& State() const { return state_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  bool ListKey(QKeyEvent* key);
  void Popup(const QPoint& global);
  std::size_t FittingRows() const;

  std::shared_ptr<app::BrowseWindow> window_;
  app::BrowseState state_;
  QTableWidget* table_ = nullptr;
  QScrollBar* thumb_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  std::array<QRadioButton*, 2> options_{};
  QLineEdit* entryName_ = nullptr;
  std::array<QPushButton*, app::kBrowseButtons> buttons_{};
  QPointer<FormView> formView_;
  bool sized_ = false;
};

}  // namespace verdan::gui
