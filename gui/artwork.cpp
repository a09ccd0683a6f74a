#include "gui/artwork.h"

#include <QLinearGradient>
#include <cmath>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace verdan::gui {
namespace {

const QColor kGreen(0x1f, 0x6e, 0x43);
const QColor kLightGreen(0x8f, 0xc9, 0x8a);
const QColor kCream(0xf4, 0xf1, 0xe4);

// A disk cylinder: the program's emblem (data kept safe).
void DrawCylinder(QPainter& p, QRectF r, const QColor& body, const QColor& top) {
  qreal capH = r.height() * 0.22;
  QPainterPath side;
  side.moveTo(r.left(), r.top() + capH / 2);
  side.lineTo(r.left(), r.bottom() - capH / 2);
  side.arcTo(QRectF(r.left(), r.bottom() - capH, r.width(), capH), 180, 180);
  side.lineTo(r.right(), r.top() + capH / 2);
  side.closeSubpath();
  QLinearGradient g(r.topLeft(), r.topRight());
  g.setColorAt(0, body.darker(130));
  g.setColorAt(0.45, body.lighter(125));
  g.setColorAt(1, body.darker(140));
  p.setBrush(g);
  p.setPen(QPen(body.darker(200), r.width() / 40.0));
  p.drawPath(side);
  p.setBrush(top);
  p.drawEllipse(QRectF(r.left(), r.top(), r.width(), capH));
  // two bands
  p.setBrush(Qt::NoBrush);
  for (double f : {0.40, 0.68}) {
    qreal y = r.top() + capH / 2 + (r.height() - capH) * f;
    p.drawArc(QRectF(r.left(), y - capH / 2, r.width(), capH), 180 * 16, 180 * 16);
  }
}

void DrawArrowDown(QPainter& p, QPointF top, qreal w, qreal h, const QColor& c) {
  QPainterPath a;
  a.moveTo(top.x() - w * 0.2, top.y());
  a.lineTo(top.x() + w * 0.2, top.y());
  a.lineTo(top.x() + w * 0.2, top.y() + h * 0.55);
  a.lineTo(top.x() + w * 0.5, top.y() + h * 0.55);
  a.lineTo(top.x(), top.y() + h);
  a.lineTo(top.x() - w * 0.5, top.y() + h * 0.55);
  a.lineTo(top.x() - w * 0.2, top.y() + h * 0.55);
  a.closeSubpath();
  p.setBrush(c);
  p.setPen(QPen(c.darker(160), w / 14.0));
  p.drawPath(a);
}

void DrawEnvelope(QPainter& p, QRectF r, const QColor& paper, const QColor& line) {
  p.setPen(QPen(line, r.width() / 16.0));
  p.setBrush(paper);
  p.drawRoundedRect(r, r.width() / 14, r.width() / 14);
  QPainterPath flap;
  flap.moveTo(r.topLeft());
  flap.lineTo(r.center().x(), r.top() + r.height() * 0.58);
  flap.lineTo(r.topRight());
  p.setBrush(Qt::NoBrush);
  p.drawPath(flap);
}

void DrawGear(QPainter& p, QPointF c, qreal radius, const QColor& color) {
  QPainterPath gear;
  const int teeth = 8;
  for (int i = 0; i < teeth * 2; ++i) {
    qreal angle = i * M_PI / teeth;
    qreal rr = (i % 2 == 0) ? radius : radius * 0.78;
    for (int k = 0; k < 2; ++k) {
      qreal a = angle + (k ? M_PI / teeth * 0.9 : 0);
      QPointF pt(c.x() + rr * std::cos(a), c.y() + rr * std::sin(a));
      if (i == 0 && k == 0)
        gear.moveTo(pt);
      else
        gear.lineTo(pt);
    }
  }
  gear.closeSubpath();
  gear.addEllipse(c, radius * 0.32, radius * 0.32);
  gear.setFillRule(Qt::OddEvenFill);
  p.setBrush(color);
  p.setPen(QPen(color.darker(170), radius / 10));
  p.drawPath(gear);
}

QPixmap Canvas(int w, int h) {
  QPixmap pm(w, h);
  pm.fill(Qt::transparent);
  return pm;
}

QPixmap DrawIcon(app::FrameButton button, int s) {
  QPixmap pm = Canvas(s, s);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  switch (button) {
    case app::FrameButton::kArchive:
      DrawCylinder(p, QRectF(s * 0.18, s * 0.38, s * 0.64, s * 0.56), QColor(0x4a, 0x7d, 0xc4),
                   QColor(0xb9, 0xd2, 0xf2));
      DrawArrowDown(p, QPointF(s * 0.5, s * 0.02), s * 0.5, s * 0.42, QColor(0x2e, 0xa0, 0x4e));
      break;
    case app::FrameButton::kEmail:
      DrawEnvelope(p, QRectF(s * 0.08, s * 0.22, s * 0.84, s * 0.58), QColor(0xff, 0xf6, 0xd5),
                   QColor(0x9a, 0x6a, 0x1c));
      break;
    case app::FrameButton::kOptions:
      DrawGear(p, QPointF(s * 0.5, s * 0.5), s * 0.42, QColor(0x9a, 0x9f, 0xa8));
      break;
    case app::FrameButton::kEmailSettings:
      DrawEnvelope(p, QRectF(s * 0.04, s * 0.14, s * 0.74, s * 0.52), QColor(0xff, 0xf6, 0xd5),
                   QColor(0x9a, 0x6a, 0x1c));
      DrawGear(p, QPointF(s * 0.7, s * 0.7), s * 0.26, QColor(0x9a, 0x9f, 0xa8));
      break;
    case app::FrameButton::kEnd: {
      QRadialGradient g(QPointF(s * 0.4, s * 0.35), s * 0.6);
      g.setColorAt(0, QColor(0xff, 0x8a, 0x7a));
      g.setColorAt(1, QColor(0xb0, 0x1c, 0x12));
      p.setBrush(g);
      p.setPen(QPen(QColor(0x70, 0x10, 0x08), s / 20.0));
      p.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
      QPen mark(Qt::white, s / 9.0, Qt::SolidLine, Qt::RoundCap);
      p.setPen(mark);
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(s * 0.28, s * 0.3, s * 0.44, s * 0.44), 120 * 16, 300 * 16);
      p.drawLine(QPointF(s * 0.5, s * 0.22), QPointF(s * 0.5, s * 0.5));
      break;
    }
  }
  return pm;
}

}  // namespace

QPixmap Wallpaper() {
  static const QPixmap tile = [] {
    const int s = 64;
    QPixmap pm(s, s);
    pm.fill(QColor(0x2c, 0x4a, 0x3a));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x36, 0x58, 0x45), 1));
    for (int i = -s; i < s; i += 8) p.drawLine(i, 0, i + s, s);  // fine diagonal weave
    p.setPen(QPen(QColor(0x25, 0x40, 0x32), 1));
    for (int i = 0; i < 2 * s; i += 8) p.drawLine(i, 0, i - s, s);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x46, 0x6e, 0x57));
    p.drawEllipse(QPointF(s / 2.0, s / 2.0), 2.5, 2.5);
    return pm;
  }();
  return tile;
}

QPixmap FramePicture() {
  static const QPixmap picture = [] {
    const int w = 360, h = 240;
    QPixmap pm = Canvas(w, h);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 0, h);
    bg.setColorAt(0, QColor(0xf7, 0xf5, 0xea, 235));
    bg.setColorAt(1, QColor(0xd9, 0xe6, 0xd2, 235));
    p.setBrush(bg);
    p.setPen(QPen(kGreen, 3));
    p.drawRoundedRect(QRectF(2, 2, w - 4, h - 4), 18, 18);
    // three disks on a shelf: the data, its archive, its second copy
    DrawCylinder(p, QRectF(34, 70, 80, 110), QColor(0x4a, 0x7d, 0xc4), QColor(0xb9, 0xd2, 0xf2));
    DrawCylinder(p, QRectF(140, 50, 80, 130), kGreen.lighter(130), kLightGreen);
    DrawCylinder(p, QRectF(246, 90, 80, 90), QColor(0xb0, 0x8a, 0x3c), QColor(0xee, 0xd8, 0x9c));
    p.setPen(QPen(kGreen.darker(150), 4));
    p.drawLine(20, 190, w - 20, 190);
    QFont f("Arial", 22, QFont::Bold);
    p.setFont(f);
    p.setPen(kGreen.darker(130));
    p.drawText(QRectF(0, 196, w, 40), Qt::AlignCenter, "VERDAN pro");
    return pm;
  }();
  return picture;
}

QPixmap SplashPicture() {
  static const QPixmap picture = [] {
    const int w = 300, h = 170;
    QPixmap pm(w, h);
    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, QColor(0x1b, 0x4d, 0x34));
    sky.setColorAt(1, QColor(0x5e, 0xa2, 0x6f));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(pm.rect(), sky);
    // rolling hills and a rising sun: a fresh start every morning
    p.setPen(Qt::NoPen);
    QRadialGradient sun(QPointF(w * 0.72, h * 0.55), 50);
    sun.setColorAt(0, QColor(0xff, 0xf1, 0xa8));
    sun.setColorAt(1, QColor(0xff, 0xc8, 0x4a, 0));
    p.setBrush(sun);
    p.drawEllipse(QPointF(w * 0.72, h * 0.55), 50, 50);
    QPainterPath hills;
    hills.moveTo(0, h);
    hills.lineTo(0, h * 0.7);
    hills.cubicTo(w * 0.3, h * 0.45, w * 0.55, h * 0.95, w, h * 0.62);
    hills.lineTo(w, h);
    p.setBrush(QColor(0x23, 0x5c, 0x3b));
    p.drawPath(hills);
    DrawCylinder(p, QRectF(w * 0.14, h * 0.22, 70, 96), QColor(0x4a, 0x7d, 0xc4),
                 QColor(0xb9, 0xd2, 0xf2));
    DrawArrowDown(p, QPointF(w * 0.14 + 35, 4), 40, 44, QColor(0xf4, 0xf1, 0xe4));
    return pm;
  }();
  return picture;
}

QIcon ProgramIcon() {
  static const QIcon icon = [] {
    QIcon i;
    for (int s : {16, 32, 48, 64}) {
      QPixmap pm = Canvas(s, s);
      QPainter p(&pm);
      p.setRenderHint(QPainter::Antialiasing);
      p.setBrush(kGreen);
      p.setPen(Qt::NoPen);
      p.drawRoundedRect(QRectF(0, 0, s, s), s / 5.0, s / 5.0);
      DrawCylinder(p, QRectF(s * 0.22, s * 0.18, s * 0.56, s * 0.66), kCream, Qt::white);
      p.end();
      i.addPixmap(pm);
    }
    return i;
  }();
  return icon;
}

QIcon ButtonIcon(app::FrameButton button) {
  QIcon i;
  for (int s : {16, 24, 32}) i.addPixmap(DrawIcon(button, s));
  return i;
}

QIcon FolderIcon() {
  static const QIcon icon = [] {
    QIcon i;
    for (int s : {16, 24, 32}) {
      QPixmap pm = Canvas(s, s);
      QPainter p(&pm);
      p.setRenderHint(QPainter::Antialiasing);
      p.setPen(QPen(QColor(0x8a, 0x62, 0x10), s / 16.0));
      p.setBrush(QColor(0xf2, 0xc2, 0x4e));
      QPainterPath f;
      f.moveTo(s * 0.06, s * 0.22);
      f.lineTo(s * 0.38, s * 0.22);
      f.lineTo(s * 0.46, s * 0.32);
      f.lineTo(s * 0.94, s * 0.32);
      f.lineTo(s * 0.94, s * 0.84);
      f.lineTo(s * 0.06, s * 0.84);
      f.closeSubpath();
      p.drawPath(f);
      p.end();
      i.addPixmap(pm);
    }
    return i;
  }();
  return icon;
}

}  // namespace verdan::gui
