#include "gui/frame_view.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QStatusBar>
#include <QToolBar>

#include "gui/artwork.h"

namespace verdan::gui {

FrameArea::FrameArea(QWidget* parent) : QMdiArea(parent) { setBackground(QBrush(Wallpaper())); }

void FrameArea::paintEvent(QPaintEvent* event) {
  QMdiArea::paintEvent(event);  // the wallpaper
  QPainter p(viewport());
  QPixmap picture = FramePicture();
  QSize room = viewport()->size();
  QPoint at((room.width() - picture.width()) / 2, (room.height() - picture.height()) / 2);
  p.drawPixmap(at, picture);
}

FrameView::FrameView(std::shared_ptr<app::FrameWindow> frame) : frame_(std::move(frame)) {
  setObjectName("frame");
  setWindowIcon(ProgramIcon());
  resize(1024, 720);

  area_ = new FrameArea(this);
  connect(area_, &QMdiArea::subWindowActivated, this, [](QMdiSubWindow* sub) {
    if (auto* view = sub ? qobject_cast<WindowView*>(sub->widget()) : nullptr) view->Activated();
  });
  setCentralWidget(area_);

  auto* bar = new QToolBar(this);
  bar->setObjectName("buttons");
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setContextMenuPolicy(Qt::PreventContextMenu);
  QFont buttonFont("Arial", 10, QFont::Bold);
  app::FrameState state = frame_->Snapshot();
  for (int i = 0; i < app::kFrameButtons; ++i) {
    auto* b = new QPushButton(QString::fromStdString(state.buttons[i].caption), bar);
    b->setObjectName(QString("button%1").arg(i + 1));
    b->setFont(buttonFont);
    b->setIcon(ButtonIcon(static_cast<app::FrameButton>(i)));
    b->setIconSize(QSize(24, 24));
    b->setMinimumHeight(34);
    b->setEnabled(false);
    auto which = static_cast<app::FrameButton>(i);
    connect(b, &QPushButton::clicked, this, [this, which] { frame_->Press(which); });
    bar->addWidget(b);
    if (i + 1 < app::kFrameButtons) bar->addSeparator();
    buttons_[i] = b;
  }
  addToolBar(Qt::TopToolBarArea, bar);

  QFont statusFont("MS Sans Serif", 8);
  statusFont.setStyleHint(QFont::SansSerif);
  for (int i = 0; i < 4; ++i) {
    auto* zone = new QLabel(this);
    zone->setObjectName(QString("zone%1").arg(i + 1));
    zone->setFont(statusFont);
    zone->setFrameShape(QFrame::StyledPanel);
    zone->setFrameShadow(QFrame::Sunken);
    zones_[i] = zone;
  }
  zones_[2]->setMinimumWidth(200);
  zones_[3]->setMinimumWidth(50);
  zones_[3]->setAlignment(Qt::AlignCenter);
  statusBar()->addWidget(zones_[0], 3);
  statusBar()->addWidget(zones_[1], 2);
  statusBar()->addPermanentWidget(zones_[2]);
  statusBar()->addPermanentWidget(zones_[3]);
  Refresh();
}

void FrameView::Refresh() {
  app::FrameState state = frame_->Snapshot();
  setWindowTitle(QString::fromStdString(state.caption));
  for (int i = 0; i < app::kFrameButtons; ++i) {
    QPushButton* b = buttons_[i];
    b->setText(QString::fromStdString(state.buttons[i].caption));
    b->setToolTip(QString::fromStdString(state.buttons[i].tip));
    // Until the procedure has initialised the frame, no button can be accepted.
    b->setEnabled(state.open && !state.closed && state.buttons[i].enabled);
  }
  for (int i = 0; i < 4; ++i)
    if (i != 1) zones_[i]->setText(QString::fromStdString(state.zones[i]));
  if (state.open && !opened_) {
    opened_ = true;  // the first control takes the focus once the frame is open
    for (QPushButton* b : buttons_)
      if (b->isEnabled()) {
        b->setFocus();
        break;
      }
  }
  if (state.closed && !closed_) {
    closed_ = true;
    emit Closed();
  }
}

void FrameView::ShowProgress(const platform::ProgressInfo& info) {
  if (info.finished) {
    zones_[1]->clear();
    return;
  }
  QString text = QString::fromStdString(info.what);
  if (info.filesTotal > 0) text += QString("  %1/%2").arg(info.filesDone).arg(info.filesTotal);
  if (info.bytesTotal > 0)
    text +=
        QString("  %1 %").arg(info.bytesDone * 100 / std::max<std::int64_t>(info.bytesTotal, 1));
  zones_[1]->setText(text);
}

QMdiSubWindow* FrameView::AddChild(WindowView* view, Qt::WindowFlags flags) {
  QMdiSubWindow* sub = area_->addSubWindow(view, flags);
  sub->setAttribute(Qt::WA_DeleteOnClose, false);  // the logic decides when the window goes
  sub->setWindowIcon(ProgramIcon());
  sub->installEventFilter(view);
  sub->show();
  return sub;
}

void FrameView::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  // Closing the frame is the frame procedure's business: ask it and wait for it to end.
  event->ignore();
  if (!frame_->RequestClose()) {
    closed_ = true;
    emit Closed();
  }
}

SplashView::SplashView(std::shared_ptr<app::SplashWindow> splash, QWidget* parent)
    : WindowView(parent), splash_(std::move(splash)) {
  setObjectName("splash");
  setFixedSize(340, 290);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  state_ = splash_->Snapshot();
}

void SplashView::Refresh() {
  state_ = splash_->Snapshot();
  update();
}

void SplashView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QRect r = rect();
  p.fillRect(r, QColor(0xf4, 0xf1, 0xe4));
  p.setPen(QPen(QColor(0x1f, 0x6e, 0x43), 3));
  p.drawRect(r.adjusted(1, 1, -2, -2));
  QFont title("Arial", 20, QFont::Bold);
  p.setFont(title);
  p.setPen(QColor(0x1f, 0x6e, 0x43));
  p.drawText(QRect(0, 10, r.width(), 36), Qt::AlignCenter, QString::fromStdString(state_.product));
  QPixmap picture = SplashPicture();
  p.drawPixmap((r.width() - picture.width()) / 2, 52, picture);
  QFont small("Arial", 9);
  p.setFont(small);
  p.setPen(Qt::black);
  p.drawText(QRect(0, 228, r.width(), 20), Qt::AlignCenter, QString::fromStdString(state_.version));
  p.setPen(QColor(0x40, 0x40, 0x40));
  p.drawText(QRect(0, 250, r.width(), 20), Qt::AlignCenter, QString::fromStdString(state_.maker));
}

void SplashView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton)
    splash_->Input(app::SplashKey::kLeftButton);
  else if (event->button() == Qt::RightButton)
    splash_->Input(app::SplashKey::kRightButton);
  else
    splash_->Input(app::SplashKey::kMiddleButton);
}

void SplashView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) splash_->Input(app::SplashKey::kLeftDoubleClick);
}

void SplashView::keyPressEvent(QKeyEvent*) { splash_->Input(app::SplashKey::kKeyboard); }

}  // namespace verdan::gui
