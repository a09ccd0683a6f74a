#include "gui/archive_view.h"

#include <QFrame>

#include <algorithm>
#include <tuple>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "gui/artwork.h"

namespace verdan::gui {
namespace {

QFrame* Panel(QWidget* parent) {
  auto* f = new QFrame(parent);
  f->setFrameShape(QFrame::StyledPanel);
  f->setFrameShadow(QFrame::Sunken);
  return f;
}

QString Text(const std::string& s) { return QString::fromStdString(s); }

// Puts a published value into an entry unless the user is in the middle of changing it.
void ShowValue(QLineEdit* edit, const std::string& value) {
  if (edit->hasFocus() && edit->isModified()) return;
  QString v = Text(value);
  if (edit->text() != v) edit->setText(v);
  edit->setModified(false);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The archiving window

ArchiveView::ArchiveView(std::shared_ptr<archive::ArchiveWindow> window, QWidget* parent)
    : WindowView(parent), window_(std::move(window)) {
  setObjectName("archive");
  state_ = window_->Snapshot();
  setWindowTitle(Text(state_.title));
  for (int n = 1; n <= archive::kArchiveControls; ++n) controls_[n] = Make(n);

  auto* top = new QVBoxLayout(this);
  auto* head = new QHBoxLayout;
  head->addWidget(controls_[1]);
  head->addStretch(1);
  head->addWidget(controls_[2]);
  top->addLayout(head);

  // Panel 9: archiving, automatic (A) and selective (B).
  auto* p9 = static_cast<QFrame*>(controls_[9]);
  auto* g9 = new QGridLayout(p9);
  g9->addWidget(controls_[10], 0, 0, 1, 3);
  g9->addWidget(controls_[15], 1, 0, 1, 3);
  g9->addWidget(controls_[13], 2, 0, 1, 3);
  g9->addWidget(controls_[4], 3, 0);
  g9->addWidget(controls_[25], 3, 1, 1, 2);
  g9->addWidget(controls_[8], 4, 0);
  auto* letter = new QHBoxLayout;
  letter->addWidget(controls_[20]);
  letter->addStretch(1);
  g9->addLayout(letter, 4, 1, 1, 2);
  g9->addWidget(controls_[7], 5, 0);
  g9->addWidget(controls_[3], 6, 0, 1, 3);
  g9->addWidget(controls_[11], 7, 0, 1, 2);
  g9->addWidget(controls_[14], 7, 2);
  g9->setColumnStretch(1, 1);
  top->addWidget(p9);

  // Panel 16: the active archive.
  auto* p16 = static_cast<QFrame*>(controls_[16]);
  auto* h16 = new QHBoxLayout(p16);
  h16->addWidget(controls_[17]);
  h16->addWidget(controls_[21], 1);
  top->addWidget(p16);

  // Panel 18: restore.
  auto* p18 = static_cast<QFrame*>(controls_[18]);
  auto* g18 = new QGridLayout(p18);
  g18->addWidget(controls_[23], 0, 0, 1, 2);
  g18->addWidget(controls_[6], 1, 0);
  g18->addWidget(controls_[5], 1, 1);
  g18->addWidget(controls_[22], 2, 0, 1, 2);
  g18->addWidget(controls_[12], 3, 0, 1, 2);
  g18->setColumnStretch(1, 1);
  top->addWidget(p18);

  // Panel 19: progress of a run and the way out.
  auto* p19 = static_cast<QFrame*>(controls_[19]);
  auto* g19 = new QGridLayout(p19);
  progressText_ = new QLabel(p19);
  progressText_->setObjectName("progressText");
  progress_ = new QProgressBar(p19);
  progress_->setObjectName("progress");
  progress_->setRange(0, 1000);
  progress_->setTextVisible(false);
  progressText_->hide();
  progress_->hide();
  lastRun_ = new QLabel(p19);
  lastRun_->setObjectName("lastRun");
  lastRun_->setWordWrap(true);
  g19->addWidget(lastRun_, 2, 0, 1, 3);
  g19->addWidget(controls_[26], 0, 0, 2, 1);
  g19->addWidget(progressText_, 0, 1);
  g19->addWidget(progress_, 1, 1);
  g19->addWidget(controls_[24], 0, 2, 2, 1, Qt::AlignRight | Qt::AlignVCenter);
  g19->setColumnStretch(1, 1);
  top->addWidget(p19);

  Refresh();
}

QWidget* ArchiveView::Make(int number) {
  const archive::ControlState& c = state_.Control(number);
  QWidget* w = nullptr;
  switch (c.kind) {
    case archive::ControlKind::kImage: {
      auto* l = new QLabel(this);
      if (number == 1)
        l->setPixmap(ProgramIcon().pixmap(48, 48));
      else if (number == 2)
        l->setPixmap(ButtonIcon(app::FrameButton::kArchive).pixmap(32, 32));
      else
        l->setPixmap(SplashPicture().scaledToHeight(48, Qt::SmoothTransformation));
      w = l;
      break;
    }
    case archive::ControlKind::kPrompt:
    case archive::ControlKind::kText:
    case archive::ControlKind::kString: {
      auto* l = new QLabel(Text(c.text), this);
      if (number == 10 || number == 23) {
        QFont f = l->font();
        f.setBold(true);
        f.setPointSizeF(f.pointSizeF() * 1.15);
        l->setFont(f);
      }
      w = l;
      break;
    }
    case archive::ControlKind::kButton: {
      auto* b = new QPushButton(Text(c.text), this);
      if (number == archive::kCtlChooseArchive) {
        b->setIcon(FolderIcon());
        b->setIconSize(QSize(24, 24));
        b->setToolTip("Odaberi arhivu za oporavak");
      }
      connect(b, &QPushButton::clicked, this, [this, number] { window_->Press(number); });
      w = b;
      break;
    }
    case archive::ControlKind::kEntry: {
      auto* e = new QLineEdit(this);
      if (number == archive::kCtlDiskLetter) {
        e->setMaxLength(1);
        e->setFixedWidth(e->fontMetrics().horizontalAdvance("WW") + 16);
      }
      connect(e, &QLineEdit::editingFinished, this, [this, number] { Commit(number); });
      w = e;
      break;
    }
    case archive::ControlKind::kPanel:
      w = Panel(this);
      break;
  }
  w->setObjectName(QString("control%1").arg(number));
  return w;
}

QWidget* ArchiveView::Control(int number) const {
  auto it = controls_.find(number);
  return it == controls_.end() ? nullptr : it->second;
}

void ArchiveView::Commit(int number) {
  auto* e = static_cast<QLineEdit*>(controls_[number]);
  if (!e->isModified()) return;
  e->setModified(false);
  window_->Edit(number, e->text().toStdString());
}

void ArchiveView::Refresh() {
  state_ = window_->Snapshot();
  setWindowTitle(Text(state_.title));
  if (auto* sub = parentWidget()) sub->setWindowTitle(Text(state_.title));
  for (const archive::ControlState& c : state_.controls) {
    QWidget* w = controls_[c.number];
    w->setVisible(!c.hidden);
    switch (c.kind) {
      case archive::ControlKind::kButton:
        static_cast<QPushButton*>(w)->setText(Text(c.text));
        // While a run works the window takes no input; its buttons say so.
        w->setEnabled(c.enabled && !state_.busy);
        break;
      case archive::ControlKind::kEntry: {
        auto* e = static_cast<QLineEdit*>(w);
        ShowValue(e, c.value);
        e->setReadOnly(state_.busy);
        w->setEnabled(c.enabled);
        break;
      }
      case archive::ControlKind::kPrompt:
      case archive::ControlKind::kText:
      case archive::ControlKind::kString:
        static_cast<QLabel*>(w)->setText(Text(c.text));
        w->setEnabled(c.enabled);
        break;
      default:
        break;
    }
  }
  if (!state_.busy) {
    progress_->hide();
    progressText_->hide();
  }
  lastRun_->setText(Text(state_.lastRun));
  lastRun_->setVisible(!state_.lastRun.empty());
}

void ArchiveView::Activated() {
  window_->RequestRefresh();  // "Opcije" may have changed the settings meanwhile
}

bool ArchiveView::CloseRequested() {
  window_->RequestClose();  // refused while a run works; the window closes when it ends
  return false;
}

void ArchiveView::ShowProgress(const platform::ProgressInfo& info) {
  if (!state_.busy) return;  // a report that arrives after the run has ended
  if (info.finished) {
    progress_->setValue(1000);
    progressText_->setText(QString("%1 / %2").arg(info.filesDone).arg(info.filesTotal));
    progressText_->show();
    progress_->show();
    return;
  }
  int value = 0;
  if (info.bytesTotal > 0)
    value = static_cast<int>(info.bytesDone * 1000 / info.bytesTotal);
  else if (info.filesTotal > 0)
    value = static_cast<int>(info.filesDone * 1000 / info.filesTotal);
  progress_->setValue(std::clamp(value, 0, 1000));
  QString text = Text(info.what);
  if (info.filesTotal > 0) text += QString("   %1 / %2").arg(info.filesDone).arg(info.filesTotal);
  if (info.bytesTotal > 0)
    text += QString("   %1 / %2 MB")
                .arg(static_cast<double>(info.bytesDone) / 1048576.0, 0, 'f', 1)
                .arg(static_cast<double>(info.bytesTotal) / 1048576.0, 0, 'f', 1);
  progressText_->setText(text);
  progressText_->show();
  progress_->show();
}

// ---------------------------------------------------------------------------------------
// The source and destination window

SourceDestView::SourceDestView(std::shared_ptr<archive::SourceDestWindow> window, QWidget* parent)
    : WindowView(parent), window_(std::move(window)) {
  setObjectName("sourceDest");
  state_ = window_->Snapshot();
  setWindowTitle(Text(state_.title));
  auto C = [this](int n) -> const archive::ControlState& { return state_.Control(n); };

  auto* top = new QVBoxLayout(this);
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("control1");
  controls_[archive::kSdSheet] = tabs_;
  top->addWidget(tabs_);

  // Tab "Osnovne": the two directories and the disk letter.
  auto* basic = new QWidget(tabs_);
  basic->setObjectName("control2");
  controls_[archive::kSdBasicTab] = basic;
  auto* vb = new QVBoxLayout(basic);
  auto* p3 = Panel(basic);
  p3->setObjectName("control3");
  controls_[3] = p3;
  auto* g3 = new QGridLayout(p3);
  for (auto [prompt, entry, button, row] : {std::tuple{4, 5, 6, 0}, std::tuple{7, 8, 9, 2}}) {
    auto* l = new QLabel(Text(C(prompt).text), p3);
    auto* e = new QLineEdit(p3);
    e->setMaxLength(127);
    auto* b = new QPushButton(Text(C(button).text), p3);
    b->setIcon(FolderIcon());
    l->setObjectName(QString("control%1").arg(prompt));
    e->setObjectName(QString("control%1").arg(entry));
    b->setObjectName(QString("control%1").arg(button));
    controls_[prompt] = l;
    controls_[entry] = e;
    controls_[button] = b;
    g3->addWidget(l, row, 0, 1, 2);
    g3->addWidget(e, row + 1, 0);
    g3->addWidget(b, row + 1, 1);
    connect(e, &QLineEdit::editingFinished, this, [this, entry] { Commit(entry); });
    connect(b, &QPushButton::clicked, this, [this, button] { window_->Press(button); });
  }
  vb->addWidget(p3);
  auto* p10 = Panel(basic);
  p10->setObjectName("control10");
  controls_[10] = p10;
  auto* h10 = new QHBoxLayout(p10);
  auto* l11 = new QLabel(Text(C(11).text), p10);
  auto* e12 = new QLineEdit(p10);
  e12->setMaxLength(1);
  e12->setFixedWidth(e12->fontMetrics().horizontalAdvance("WW") + 16);
  auto* l13 = new QLabel(Text(C(13).text), p10);
  l11->setObjectName("control11");
  e12->setObjectName("control12");
  l13->setObjectName("control13");
  controls_[11] = l11;
  controls_[12] = e12;
  controls_[13] = l13;
  h10->addWidget(l11);
  h10->addWidget(e12);
  h10->addWidget(l13);
  h10->addStretch(1);
  connect(e12, &QLineEdit::editingFinished, this, [this] { Commit(archive::kSdDiskEntry); });
  vb->addWidget(p10);
  vb->addStretch(1);
  tabs_->addTab(basic, Text(C(archive::kSdBasicTab).text));

  // Tab "Napredne": the naming mode.
  auto* advanced = new QWidget(tabs_);
  advanced->setObjectName("control14");
  controls_[archive::kSdAdvancedTab] = advanced;
  auto* va = new QVBoxLayout(advanced);
  auto* option = new QGroupBox(Text(C(archive::kSdNamingOption).text), advanced);
  option->setObjectName("control15");
  controls_[archive::kSdNamingOption] = option;
  auto* vo = new QVBoxLayout(option);
  radios_ = new QButtonGroup(this);
  for (int n : {archive::kSdRadioDay, archive::kSdRadioDate, archive::kSdRadioMix}) {
    auto* r = new QRadioButton(Text(C(n).text), option);
    r->setObjectName(QString("control%1").arg(n));
    controls_[n] = r;
    radios_->addButton(r, n);
    vo->addWidget(r);
  }
  connect(radios_, &QButtonGroup::idClicked, this, [this](int n) { window_->SelectNaming(n); });
  va->addWidget(option);
  // The archive password: typed hidden; the field shows whether one is set, never which.
  auto* l20 = new QLabel(Text(C(archive::kSdArchivePasswordPrompt).text), advanced);
  l20->setObjectName("control20");
  l20->setWordWrap(true);
  auto* e21 = new QLineEdit(advanced);
  e21->setObjectName("control21");
  e21->setEchoMode(QLineEdit::Password);
  controls_[archive::kSdArchivePasswordPrompt] = l20;
  controls_[archive::kSdArchivePasswordEntry] = e21;
  connect(e21, &QLineEdit::editingFinished, this,
          [this] { Commit(archive::kSdArchivePasswordEntry); });
  va->addWidget(l20);
  va->addWidget(e21);
  va->addStretch(1);
  tabs_->addTab(advanced, Text(C(archive::kSdAdvancedTab).text));
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
    int tab = index == 1 ? archive::kSdAdvancedTab : archive::kSdBasicTab;
    if (tab != state_.tab) window_->SelectTab(tab);
  });

  auto* close = new QPushButton(Text(C(archive::kSdClose).text), this);
  close->setObjectName("control19");
  controls_[archive::kSdClose] = close;
  connect(close, &QPushButton::clicked, this, [this] { window_->Press(archive::kSdClose); });
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(close);
  top->addLayout(bottom);
  Refresh();
}

QWidget* SourceDestView::Control(int number) const {
  auto it = controls_.find(number);
  return it == controls_.end() ? nullptr : it->second;
}

void SourceDestView::Commit(int number) {
  auto* e = static_cast<QLineEdit*>(controls_[number]);
  if (!e->isModified()) return;
  e->setModified(false);
  window_->Edit(number, e->text().toStdString());
}

void SourceDestView::Refresh() {
  state_ = window_->Snapshot();
  if (auto* sub = parentWidget()) sub->setWindowTitle(Text(state_.title));
  for (int entry : {archive::kSdSourceEntry, archive::kSdDestinationEntry, archive::kSdDiskEntry})
    ShowValue(static_cast<QLineEdit*>(controls_[entry]), state_.Control(entry).value);
  static_cast<QLineEdit*>(controls_[archive::kSdArchivePasswordEntry])
      ->setPlaceholderText(Text(state_.Control(archive::kSdArchivePasswordEntry).value));
  for (const archive::ControlState& c : state_.controls) {
    QWidget* w = Control(c.number);
    if (!w || w == tabs_->widget(0) || w == tabs_->widget(1)) continue;
    w->setEnabled(c.enabled);
    w->setVisible(!c.hidden);
  }
  int index = state_.tab == archive::kSdAdvancedTab ? 1 : 0;
  if (tabs_->currentIndex() != index) {
    QSignalBlocker block(tabs_);
    tabs_->setCurrentIndex(index);
  }
  // A mode other than the three selects no radio.
  radios_->setExclusive(false);
  for (QAbstractButton* r : radios_->buttons())
    r->setChecked(radios_->id(r) == state_.selectedRadio);
  radios_->setExclusive(true);
}

bool SourceDestView::CloseRequested() {
  window_->RequestClose();
  return false;
}

}  // namespace verdan::gui
