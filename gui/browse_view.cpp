#include "gui/browse_view.h"

#include <QApplication>
#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "gui/artwork.h"

namespace verdan::gui {
namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }

void ShowValue(QLineEdit* edit, const std::string& value) {
  if (edit->hasFocus() && edit->isModified()) return;  // the user is changing it
  QString v = Text(value);
  if (edit->text() != v) edit->setText(v);
  edit->setModified(false);
}

// Draws a cell's text indented from its aligned side.
class IndentDelegate : public QStyledItemDelegate {
 public:
  IndentDelegate(std::vector<int> indents, QObject* parent)
      : QStyledItemDelegate(parent), indents_(std::move(indents)) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem o(option);
    int column = index.column();
    int indent =
        column < static_cast<int>(indents_.size()) ? indents_[static_cast<std::size_t>(column)] : 0;
    Qt::Alignment align = Qt::Alignment(index.data(Qt::TextAlignmentRole).toInt());
    if (align & Qt::AlignRight)
      o.rect.adjust(0, 0, -indent, 0);
    else
      o.rect.adjust(indent, 0, 0, 0);
    QStyledItemDelegate::paint(painter, o, index);
  }

 private:
  std::vector<int> indents_;
};

}  // namespace

int DialogUnitsToPixels(int units, const QWidget* widget) {
  QFontMetrics fm = widget->fontMetrics();
  int average =
      (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
  return (units * average + 2) / 4;
}

// ---------------------------------------------------------------------------------------
// Form

FormView::FormView(std::shared_ptr<app::FormWindow> form, QWidget* parent)
    : QDialog(parent), form_(std::move(form)) {
  setObjectName("form");
  state_ = form_->Snapshot();
  setWindowTitle(Text(state_.caption));
  auto* top = new QVBoxLayout(this);

  // Buttons at the end of the list of controls form the row at the bottom.
  std::size_t bottomFrom = state_.controls.size();
  while (bottomFrom > 0 && state_.controls[bottomFrom - 1].kind == app::FormControlKind::kButton)
    --bottomFrom;

  // Each entry is a row: its prompt, then the entry with the texts and buttons that follow it.
  QGridLayout* grid = nullptr;
  QHBoxLayout* line = nullptr;
  bool shortLine = false;  // the line's entry keeps its width: the line ends in a stretch
  int row = -1;
  auto closeLine = [&] {
    if (line && shortLine) line->addStretch(1);
    line = nullptr;
    shortLine = false;
  };
  auto newGrid = [&](QWidget* holder) {
    closeLine();
    grid = new QGridLayout(holder);
    grid->setColumnStretch(1, 1);
    row = -1;
  };
  auto* loose = new QWidget(this);
  newGrid(loose);
  top->addWidget(loose);
  auto place = [&](QWidget* w) {
    if (!line) {
      line = new QHBoxLayout;
      grid->addLayout(line, ++row, 1);
    }
    line->addWidget(w);
  };
  for (std::size_t i = 0; i < bottomFrom; ++i) {
    const app::FormControl& c = state_.controls[i];
    QWidget* w = nullptr;
    switch (c.kind) {
      case app::FormControlKind::kGroup: {
        auto* box = new QGroupBox(Text(c.text), this);
        top->addWidget(box);
        newGrid(box);
        w = box;
        break;
      }
      case app::FormControlKind::kEntry: {
        auto* label = new QLabel(Text(c.text), this);
        auto* edit = new QLineEdit(this);
        if (c.length > 0) edit->setMaxLength(static_cast<int>(c.length));
        label->setBuddy(edit);
        edit->setToolTip(Text(c.tip));
        edit->setStatusTip(Text(c.tip));
        closeLine();
        line = new QHBoxLayout;
        grid->addWidget(label, ++row, 0);
        grid->addLayout(line, row, 1);
        if (c.length > 0 && c.length <= 10) {  // a short field keeps its own width
          edit->setFixedWidth(
              edit->fontMetrics().averageCharWidth() * static_cast<int>(c.length + 2) + 12);
          line->addWidget(edit);
          shortLine = true;
        } else {
          edit->setMinimumWidth(
              DialogUnitsToPixels(static_cast<int>(std::min<std::size_t>(c.length, 60)) * 4, this));
          line->addWidget(edit, 1);
        }
        connect(edit, &QLineEdit::editingFinished, this, [this, id = c.id] { Commit(id); });
        w = edit;
        break;
      }
      case app::FormControlKind::kButton: {
        auto* b = new QPushButton(Text(c.text), this);
        b->setToolTip(Text(c.tip));
        b->setAutoDefault(false);
        if (c.text.find("Potraži") != std::string::npos)
          b->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
        if (c.text.find("Oda&beri") != std::string::npos) b->setIcon(FolderIcon());
        place(b);
        connect(b, &QPushButton::clicked, this, [this, id = c.id] {
          CommitAll();
          form_->Press(id);
        });
        w = b;
        break;
      }
      case app::FormControlKind::kText: {
        auto* l = new QLabel(Text(c.text), this);
        place(l);
        w = l;
        break;
      }
    }
    w->setObjectName(QString("control%1").arg(c.id));
    controls_[c.id] = w;
  }
  closeLine();
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  for (std::size_t i = bottomFrom; i < state_.controls.size(); ++i) {
    const app::FormControl& c = state_.controls[i];
    auto* b = new QPushButton(Text(c.text), this);
    b->setObjectName(QString("control%1").arg(c.id));
    b->setAutoDefault(false);
    controls_[c.id] = b;
    bottom->addWidget(b);
    connect(b, &QPushButton::clicked, this, [this, id = c.id] {
      CommitAll();
      form_->Press(id);
    });
  }
  top->addLayout(bottom);
  status_ = new QLabel(this);
  status_->setObjectName("status");
  status_->setFrameShape(QFrame::StyledPanel);
  status_->setFrameShadow(QFrame::Sunken);
  top->addWidget(status_);
  Refresh();
}

QWidget* FormView::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void FormView::Commit(int id) {
  auto* edit = qobject_cast<QLineEdit*>(Control(id));
  if (!edit || !edit->isModified()) return;
  edit->setModified(false);
  form_->Edit(id, edit->text().toStdString());
}

void FormView::CommitAll() {
  for (const auto& [id, w] : controls_)
    if (qobject_cast<QLineEdit*>(w)) Commit(id);
}

void FormView::reject() { form_->RequestClose(); }

void FormView::Refresh() {
  state_ = form_->Snapshot();
  setWindowTitle(Text(state_.caption));
  status_->setText(Text(state_.status));
  status_->setVisible(!state_.status.empty());
  for (const app::FormControl& c : state_.controls) {
    QWidget* w = Control(c.id);
    if (!w) continue;
    w->setVisible(!c.hidden);
    w->setEnabled(c.enabled && !state_.busy);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) ShowValue(edit, c.value);
  }
  if (state_.focusSerial != focusSerial_) {
    focusSerial_ = state_.focusSerial;
    if (QWidget* w = Control(state_.focus)) {
      w->setFocus();
      if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->selectAll();
    }
  }
}

// ---------------------------------------------------------------------------------------
// List

BrowseView::BrowseView(std::shared_ptr<app::BrowseWindow> window, QWidget* parent)
    : WindowView(parent), window_(std::move(window)) {
  setObjectName("browse");
  state_ = window_->Snapshot();
  setWindowTitle(Text(state_.title));
  auto* top = new QVBoxLayout(this);

  // The list: one page of rows, and the thumb beside it.
  auto* listRow = new QHBoxLayout;
  table_ = new QTableWidget(this);
  table_->setObjectName("list");
  table_->setColumnCount(static_cast<int>(state_.columns.size()));
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  table_->verticalHeader()->hide();
  table_->setStatusTip(Text(state_.listStatus));
  table_->setAlternatingRowColors(true);
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  table_->horizontalHeader()->setStretchLastSection(true);
  std::vector<int> indents;
  for (std::size_t i = 0; i < state_.columns.size(); ++i) {
    const app::BrowseColumn& c = state_.columns[i];
    auto* header = new QTableWidgetItem(Text(c.header));
    header->setTextAlignment(c.headerCentred ? Qt::AlignCenter
                             : c.align == app::ColumnAlign::kRight
                                 ? (Qt::AlignRight | Qt::AlignVCenter)
                                 : (Qt::AlignLeft | Qt::AlignVCenter));
    table_->setHorizontalHeaderItem(static_cast<int>(i), header);
    table_->setColumnWidth(static_cast<int>(i), DialogUnitsToPixels(c.width, this));
    indents.push_back(DialogUnitsToPixels(c.indent, this));
  }
  table_->setItemDelegate(new IndentDelegate(indents, table_));
  table_->installEventFilter(this);
  table_->viewport()->installEventFilter(this);
  listRow->addWidget(table_, 1);
  thumb_ = new QScrollBar(Qt::Vertical, this);
  thumb_->setObjectName("thumb");
  thumb_->setRange(1, 100);
  thumb_->setPageStep(10);
  thumb_->setTracking(false);
  connect(thumb_, &QScrollBar::actionTriggered, this, [this](int action) {
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd:
        window_->Scroll(app::BrowseScroll::kLineDown);
        break;
      case QAbstractSlider::SliderSingleStepSub:
        window_->Scroll(app::BrowseScroll::kLineUp);
        break;
      case QAbstractSlider::SliderPageStepAdd:
        window_->Scroll(app::BrowseScroll::kPageDown);
        break;
      case QAbstractSlider::SliderPageStepSub:
        window_->Scroll(app::BrowseScroll::kPageUp);
        break;
      case QAbstractSlider::SliderToMinimum:
        window_->Scroll(app::BrowseScroll::kTop);
        break;
      case QAbstractSlider::SliderToMaximum:
        window_->Scroll(app::BrowseScroll::kBottom);
        break;
      default:
        break;
    }
  });
  connect(thumb_, &QScrollBar::sliderReleased, this,
          [this] { window_->Thumb(thumb_->sliderPosition()); });
  listRow->addWidget(thumb_);
  top->addLayout(listRow, 1);

  // The tab with the archive-run controls.
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("tabs");
  auto* tab = new QWidget(tabs_);
  auto* tabLayout = new QHBoxLayout(tab);
  auto* option = new QGroupBox(Text(state_.optionText), tab);
  auto* optionLayout = new QVBoxLayout(option);
  auto* group = new QButtonGroup(this);
  for (int v = 0; v < 2; ++v) {
    options_[static_cast<std::size_t>(v)] =
        new QRadioButton(Text(state_.optionChoices[static_cast<std::size_t>(v)]), option);
    options_[static_cast<std::size_t>(v)]->setObjectName(QString("option%1").arg(v));
    group->addButton(options_[static_cast<std::size_t>(v)], v);
    optionLayout->addWidget(options_[static_cast<std::size_t>(v)]);
  }
  connect(group, &QButtonGroup::idClicked, this, [this](int v) { window_->SelectOption(v); });
  tabLayout->addWidget(option);
  auto* runColumn = new QVBoxLayout;
  if (state_.showsEntryName) {
    entryName_ = new QLineEdit(tab);
    entryName_->setObjectName("entryName");
    entryName_->setReadOnly(true);
    entryName_->setMinimumWidth(DialogUnitsToPixels(120, this));
    runColumn->addWidget(entryName_);
  }
  auto* runRow = new QHBoxLayout;
  for (app::BrowseButton b : {app::BrowseButton::kRun, app::BrowseButton::kListRun}) {
    auto* button = new QPushButton(Text(state_.Button(b).text), tab);
    buttons_[static_cast<std::size_t>(b)] = button;
    runRow->addWidget(button);
  }
  runRow->addStretch(1);
  runColumn->addLayout(runRow);
  runColumn->addStretch(1);
  tabLayout->addLayout(runColumn, 1);
  tabs_->addTab(tab, Text(state_.tabText));
  connect(tabs_, &QTabWidget::currentChanged, this, [this] { window_->RequestRefresh(); });
  top->addWidget(tabs_);

  // The list's buttons.
  auto* buttonRow = new QHBoxLayout;
  for (app::BrowseButton b : {app::BrowseButton::kSelect, app::BrowseButton::kInsert,
                              app::BrowseButton::kChange, app::BrowseButton::kDelete}) {
    auto* button = new QPushButton(Text(state_.Button(b).text), this);
    buttons_[static_cast<std::size_t>(b)] = button;
    buttonRow->addWidget(button);
  }
  buttonRow->addStretch(1);
  auto* close = new QPushButton(Text(state_.Button(app::BrowseButton::kClose).text), this);
  if (state_.Button(app::BrowseButton::kClose).text == "Zatvori")
    close->setIcon(style()->standardIcon(QStyle::SP_DialogApplyButton));
  buttons_[static_cast<std::size_t>(app::BrowseButton::kClose)] = close;
  buttonRow->addWidget(close);
  top->addLayout(buttonRow);
  for (int i = 0; i < app::kBrowseButtons; ++i) {
    buttons_[static_cast<std::size_t>(i)]->setObjectName(QString("button%1").arg(i));
    buttons_[static_cast<std::size_t>(i)]->setAutoDefault(false);
    connect(buttons_[static_cast<std::size_t>(i)], &QPushButton::clicked, this,
            [this, i] { window_->Press(static_cast<app::BrowseButton>(i)); });
  }

  Refresh();
}

QPushButton* BrowseView::Button(app::BrowseButton button) const {
  return buttons_[static_cast<std::size_t>(button)];
}

std::size_t BrowseView::FittingRows() const {
  int rowHeight = table_->verticalHeader()->defaultSectionSize();
  int height = table_->viewport()->height();
  if (rowHeight <= 0 || height <= 0) return state_.pageRows;
  return static_cast<std::size_t>(std::max(1, height / rowHeight));
}

void BrowseView::Refresh() {
  state_ = window_->Snapshot();
  if (auto* sub = parentWidget()) sub->setWindowTitle(Text(state_.title));
  const bool modal = state_.busy || state_.form;

  table_->setRowCount(static_cast<int>(state_.rows.size()));
  for (std::size_t r = 0; r < state_.rows.size(); ++r) {
    for (std::size_t c = 0; c < state_.columns.size() && c < state_.rows[r].size(); ++c) {
      QTableWidgetItem* item = table_->item(static_cast<int>(r), static_cast<int>(c));
      if (!item) {
        item = new QTableWidgetItem;
        item->setTextAlignment(state_.columns[c].align == app::ColumnAlign::kRight
                                   ? (Qt::AlignRight | Qt::AlignVCenter)
                                   : (Qt::AlignLeft | Qt::AlignVCenter));
        table_->setItem(static_cast<int>(r), static_cast<int>(c), item);
      }
      item->setText(Text(state_.rows[r][c]));
    }
  }
  {
    QSignalBlocker block(table_);
    if (state_.highlighted >= 0)
      table_->selectRow(state_.highlighted);
    else
      table_->clearSelection();
  }
  if (!thumb_->isSliderDown()) {
    QSignalBlocker block(thumb_);
    thumb_->setValue(state_.thumb);
  }
  for (int i = 0; i < app::kBrowseButtons; ++i) {
    const app::BrowseButtonState& s = state_.buttons[static_cast<std::size_t>(i)];
    QPushButton* b = buttons_[static_cast<std::size_t>(i)];
    b->setVisible(!s.hidden);
    b->setEnabled(s.enabled && !modal);
  }
  table_->setEnabled(!modal);
  thumb_->setEnabled(!modal);
  tabs_->setEnabled(!modal);
  for (int v = 0; v < 2; ++v) {
    QSignalBlocker block(options_[static_cast<std::size_t>(v)]);
    options_[static_cast<std::size_t>(v)]->setChecked(state_.option == v);
  }
  if (entryName_) entryName_->setText(Text(state_.entryName));

  // The form the list has called, as a dialog of its own once it shows (a delete shows none).
  const bool formShows = state_.form && state_.form->Snapshot().open;
  if (formShows && (!formView_ || formView_->Logic() != state_.form.get())) {
    if (formView_) formView_->deleteLater();
    formView_ = new FormView(state_.form, this);
    formView_->setAttribute(Qt::WA_DeleteOnClose);
    formView_->show();
    formView_->raise();
    formView_->activateWindow();
  } else if (!formShows && formView_) {
    formView_->hide();
    formView_->deleteLater();
    formView_ = nullptr;
    table_->setFocus();
  }
  if (formView_) formView_->Refresh();

  if (state_.open && !modal) {
    std::size_t rows = FittingRows();
    if (rows != state_.pageRows) window_->SetPageRows(rows);
  }
}

void BrowseView::resizeEvent(QResizeEvent* event) {
  WindowView::resizeEvent(event);
  if (state_.open && !state_.busy && !state_.form) {
    std::size_t rows = FittingRows();
    if (rows != state_.pageRows) window_->SetPageRows(rows);
  }
}

void BrowseView::showEvent(QShowEvent* event) {
  WindowView::showEvent(event);
  // The size the window opens with is its smallest; the list grows with it.
  if (!sized_) {
    sized_ = true;
    setMinimumSize(size());
  }
}

bool BrowseView::ListKey(QKeyEvent* key) {
  const bool ctrl = key->modifiers() & Qt::ControlModifier;
  switch (key->key()) {
    case Qt::Key_Up:
      window_->Scroll(app::BrowseScroll::kLineUp);
      return true;
    case Qt::Key_Down:
      window_->Scroll(app::BrowseScroll::kLineDown);
      return true;
    case Qt::Key_PageUp:
      window_->Scroll(app::BrowseScroll::kPageUp);
      return true;
    case Qt::Key_PageDown:
      window_->Scroll(app::BrowseScroll::kPageDown);
      return true;
    case Qt::Key_Home:
      window_->Scroll(app::BrowseScroll::kTop);
      return true;
    case Qt::Key_End:
      window_->Scroll(app::BrowseScroll::kBottom);
      return true;
    case Qt::Key_Insert:
      window_->Alert(app::BrowseAlert::kInsert);
      return true;
    case Qt::Key_Delete:
      window_->Alert(app::BrowseAlert::kDelete);
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (ctrl) window_->Alert(app::BrowseAlert::kCtrlEnter);
      return ctrl;
    default:
      break;
  }
  QString text = key->text();
  if (!ctrl && !(key->modifiers() & Qt::AltModifier) && text.size() == 1 && text[0].isPrint()) {
    window_->Locate(text.toStdString());
    return true;
  }
  return false;
}

void BrowseView::Popup(const QPoint& global) {
  QMenu menu(this);
  int item = 0;
  std::map<QAction*, int> choices;
  QString text = Text(state_.menuText);
  for (const QString& part : text.split('|')) {
    if (part == "-") {
      menu.addSeparator();
      continue;
    }
    bool disabled = part.startsWith('~');
    QAction* action = menu.addAction(disabled ? part.mid(1) : part);
    action->setEnabled(!disabled);
    choices[action] = ++item;
  }
  QAction* chosen = menu.exec(global);
  if (chosen) window_->MenuChoice(choices[chosen]);
}

bool BrowseView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == table_ && event->type() == QEvent::KeyPress) {
    if (ListKey(static_cast<QKeyEvent*>(event))) return true;
  } else if (watched == table_->viewport()) {
    switch (event->type()) {
      case QEvent::MouseButtonPress: {
        auto* m = static_cast<QMouseEvent*>(event);
        int row = table_->rowAt(m->position().toPoint().y());
        if (row >= 0) window_->SelectRow(row);
        table_->setFocus();
        if (m->button() == Qt::RightButton) Popup(m->globalPosition().toPoint());
        return true;
      }
      case QEvent::MouseButtonDblClick: {
        auto* m = static_cast<QMouseEvent*>(event);
        if (m->button() == Qt::LeftButton && table_->rowAt(m->position().toPoint().y()) >= 0)
          window_->Alert(app::BrowseAlert::kDoubleClick);
        return true;
      }
      case QEvent::Wheel: {
        auto* w = static_cast<QWheelEvent*>(event);
        int steps = w->angleDelta().y() / 120;
        for (int i = 0; i < std::abs(steps) && i < 10; ++i)
          window_->Scroll(steps > 0 ? app::BrowseScroll::kLineUp : app::BrowseScroll::kLineDown);
        return true;
      }
      default:
        break;
    }
  }
  return WindowView::eventFilter(watched, event);
}

void BrowseView::Activated() { window_->RequestRefresh(); }

bool BrowseView::CloseRequested() {
  window_->RequestClose();  // refused while a form is open or a run works
  return false;
}

}  // namespace verdan::gui
