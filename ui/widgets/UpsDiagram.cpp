#include "ui/widgets/UpsDiagram.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace tessaro {

namespace {

// Layout (pixels):
//   y  40  ──────────── bypass ─────[SW]──────────────┐
//          │                                          │
//   y 130 (~)──┴──[REC]────────┬────────[INV]─────────┴──(LOAD)
//         x22  60  100-150    210      270-320       360   392
//                              │ battery branch
//                            [BAT] y 172..206
constexpr int MainY = 130;
constexpr int BypassY = 40;
constexpr int InX = 22;
constexpr int SplitX = 60;
constexpr int RecL = 100, RecR = 150;
constexpr int DcX = 210;
constexpr int InvL = 270, InvR = 320;
constexpr int JoinX = 360;
constexpr int LoadX = 392;
constexpr int BatTop = 172;

const QColor Background(0x0f, 0x17, 0x20);
const QColor GreyLine(0x56, 0x60, 0x6b);
const QColor GreyFill(0x26, 0x2d, 0x35);
const QColor GreyText(0x80, 0x8a, 0x95);
const QColor Flow(0x00, 0xff, 0x00);
const QColor LiveLine(0x1f, 0x6b, 0x2a);
const QColor RecColor(0x2f, 0x86, 0xe0);
const QColor InvColor(0xf0, 0x8a, 0x24);
const QColor BatColor(0xf2, 0xc9, 0x1d);
const QColor SwColor(0xb0, 0x6c, 0xe0);

struct TActive {
  bool Input = false;    // source to split and on to the rectifier
  bool InputToSplit = false;
  bool Bypass = false;
  bool DcLeft = false;
  bool DcRight = false;
  bool Output = false;   // inverter to the join
  bool Load = false;     // join to the load
  bool Battery = false;
  bool BatteryUp = false;  // discharging
  bool RecOn = false, InvOn = false, BatOn = false, SwOn = false;
};

TActive ActiveOf(TDiagramMode mode) {
  TActive a;
  switch (mode) {
    case TDiagramMode::Online:
      a.InputToSplit = a.Input = a.DcLeft = a.DcRight = a.Output = a.Load = a.Battery = true;
      a.RecOn = a.InvOn = a.BatOn = true;
      break;
    case TDiagramMode::Bypass:
      a.InputToSplit = a.Bypass = a.Load = true;
      a.SwOn = true;
      break;
    case TDiagramMode::Battery:
      a.Battery = a.BatteryUp = a.DcRight = a.Output = a.Load = true;
      a.InvOn = a.BatOn = true;
      break;
    case TDiagramMode::Test:
      a.Battery = a.BatteryUp = a.DcRight = a.Output = a.Load = true;
      a.InvOn = a.BatOn = a.RecOn = true;
      break;
    case TDiagramMode::Economy:
      a.InputToSplit = a.Bypass = a.Load = true;
      a.Input = a.DcLeft = a.Battery = true;
      a.RecOn = a.InvOn = a.BatOn = a.SwOn = true;
      break;
    case TDiagramMode::Standby:
    case TDiagramMode::Fault:
      break;
  }
  return a;
}

// A line of the diagram: a grey conductor, or a live one with lime marks
// moving from its first point to its last.
void DrawLine(QPainter& p, const QPainterPath& path, bool live, int phase) {
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(live ? LiveLine : GreyLine, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(path);
  if (!live) {
    p.setPen(QPen(GreyFill, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(path);
    return;
  }
  // 6-pixel marks, 8 pixels apart: with a pen 3 wide, dash 2 and gap 8/3 units.
  QPen marks(Flow, 3, Qt::CustomDashLine, Qt::FlatCap, Qt::RoundJoin);
  marks.setDashPattern({2.0, 8.0 / 3.0});
  marks.setDashOffset(-phase / 3.0);
  p.setPen(marks);
  p.drawPath(path);
}

QPainterPath Segment(QPointF a, QPointF b) {
  QPainterPath path(a);
  path.lineTo(b);
  return path;
}

void DrawBox(QPainter& p, QRectF r, bool on, const QColor& color) {
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  if (on) {
    g.setColorAt(0, color.lighter(125));
    g.setColorAt(1, color.darker(135));
  } else {
    g.setColorAt(0, GreyFill.lighter(130));
    g.setColorAt(1, GreyFill);
  }
  p.setPen(QPen(on ? color.lighter(160) : GreyLine, 1.5));
  p.setBrush(g);
  p.drawRoundedRect(r, 5, 5);
}

// Converter symbol: a diagonal with its input sign top left and output sign
// bottom right ("~" alternating, "=" direct).
void DrawConverter(QPainter& p, QRectF r, bool on, const QColor& color, bool acToDc) {
  DrawBox(p, r, on, color);
  const QColor ink = on ? QColor(Qt::white) : GreyText;
  p.setPen(QPen(ink, 1.5));
  p.drawLine(r.bottomLeft() + QPointF(6, -6), r.topRight() + QPointF(-6, 6));
  auto wave = [&](QPointF c) {
    QPainterPath w;
    w.moveTo(c + QPointF(-7, 0));
    w.cubicTo(c + QPointF(-4, -6), c + QPointF(-1, -6), c);
    w.cubicTo(c + QPointF(1, 6), c + QPointF(4, 6), c + QPointF(7, 0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(w);
  };
  auto direct = [&](QPointF c) {
    p.drawLine(c + QPointF(-7, -2), c + QPointF(7, -2));
    p.drawLine(c + QPointF(-7, 2), c + QPointF(7, 2));
  };
  const QPointF tl = r.topLeft() + QPointF(14, 13);
  const QPointF br = r.bottomRight() + QPointF(-14, -13);
  if (acToDc) {
    wave(tl);
    direct(br);
  } else {
    direct(tl);
    wave(br);
  }
}

void DrawBattery(QPainter& p, QRectF r, bool on) {
  // A battery: a body with a terminal nub on top, "+" and "-" on its face
  const QRectF nub(r.center().x() + 6, r.top() - 4, 10, 5);
  p.setPen(QPen(on ? BatColor.darker(150) : GreyLine, 1.2));
  p.setBrush(on ? BatColor.darker(120) : GreyFill.lighter(130));
  p.drawRoundedRect(nub, 1.5, 1.5);
  DrawBox(p, r, on, BatColor);
  const QColor ink = on ? QColor(0x3a, 0x2a, 0x00) : GreyText;
  p.setPen(QPen(ink, 2.2, Qt::SolidLine, Qt::FlatCap));
  const QPointF minus(r.left() + 12, r.center().y());
  const QPointF plus(r.right() - 12, r.center().y());
  p.drawLine(minus + QPointF(-5, 0), minus + QPointF(5, 0));
  p.drawLine(plus + QPointF(-5, 0), plus + QPointF(5, 0));
  p.drawLine(plus + QPointF(0, -5), plus + QPointF(0, 5));
  // Charge level bars in the middle
  p.setPen(Qt::NoPen);
  p.setBrush(on ? QColor(0x3a, 0x2a, 0x00, 150) : GreyLine);
  for (int i = 0; i < 3; ++i) p.drawRect(QRectF(r.center().x() - 5 + i * 4, r.center().y() - 6, 2.5, 12));
}

void DrawSwitch(QPainter& p, QRectF r, bool on) {
  DrawBox(p, r, on, SwColor);
  const QColor ink = on ? QColor(Qt::white) : GreyText;
  p.setPen(QPen(ink, 1.5));
  p.setBrush(Qt::NoBrush);
  // Two antiparallel thyristors
  const QPointF c = r.center();
  QPolygonF right({c + QPointF(-8, -8), c + QPointF(-8, 0), c + QPointF(0, -4)});
  QPolygonF left({c + QPointF(8, 0), c + QPointF(8, 8), c + QPointF(0, 4)});
  p.drawPolygon(right);
  p.drawLine(c + QPointF(0, -9), c + QPointF(0, 1));
  p.drawPolygon(left);
  p.drawLine(c + QPointF(0, -1), c + QPointF(0, 9));
}

void DrawSource(QPainter& p, QPointF c, bool on) {
  p.setPen(QPen(on ? Flow : GreyLine, 2));
  p.setBrush(on ? QColor(0x10, 0x30, 0x14) : GreyFill);
  p.drawEllipse(c, 13, 13);
  QPainterPath w;
  w.moveTo(c + QPointF(-8, 0));
  w.cubicTo(c + QPointF(-5, -8), c + QPointF(-1, -8), c);
  w.cubicTo(c + QPointF(1, 8), c + QPointF(5, 8), c + QPointF(8, 0));
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(on ? QColor(Qt::white) : GreyText, 1.6));
  p.drawPath(w);
}

void DrawLoad(QPainter& p, QPointF c, bool on) {
  // A load: a plug-like box with a down arrow
  QRectF r(c.x() - 13, c.y() - 15, 26, 30);
  p.setPen(QPen(on ? Flow : GreyLine, 2));
  p.setBrush(on ? QColor(0x10, 0x30, 0x14) : GreyFill);
  p.drawRoundedRect(r, 4, 4);
  p.setPen(QPen(on ? QColor(Qt::white) : GreyText, 1.6));
  p.drawLine(c + QPointF(-6, -6), c + QPointF(6, -6));
  p.drawLine(c + QPointF(-6, 0), c + QPointF(6, 0));
  p.drawLine(c + QPointF(-6, 6), c + QPointF(6, 6));
}

}  // namespace

TUpsDiagram::TUpsDiagram(TDiagramMode mode, QWidget* parent) : QWidget(parent), FMode(mode) {
  setFixedSize(420, 220);
  FTimer.setInterval(FrameInterval);
  connect(&FTimer, &QTimer::timeout, this, [this] {
    FPhase = (FPhase + 1) % 840;
    update();
  });
}

void TUpsDiagram::showEvent(QShowEvent*) {
  if (FMode != TDiagramMode::Standby) FTimer.start();
}

void TUpsDiagram::hideEvent(QHideEvent*) { FTimer.stop(); }

void TUpsDiagram::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const TActive a = ActiveOf(FMode);
  const int phase = FPhase * 2;  // 2 pixels per frame

  // Panel
  QLinearGradient bg(0, 0, 0, height());
  bg.setColorAt(0, Background.lighter(125));
  bg.setColorAt(1, Background);
  p.setPen(QPen(QColor(0x2c, 0x38, 0x44), 1));
  p.setBrush(bg);
  p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
  // Faint grid, as on a control-room mimic board
  p.setPen(QPen(QColor(255, 255, 255, 10), 1));
  for (int x = 20; x < width(); x += 20) p.drawLine(x, 4, x, height() - 4);
  for (int y = 20; y < height(); y += 20) p.drawLine(4, y, width() - 4, y);

  // Conductors, grey ones first so the live ones lie on top
  struct TPath {
    QPainterPath Path;
    bool Live;
  };
  QPainterPath bypass(QPointF(SplitX, MainY));
  bypass.lineTo(SplitX, BypassY);
  bypass.lineTo(JoinX, BypassY);
  bypass.lineTo(JoinX, MainY);
  const QPointF dc(DcX, MainY);
  const QPointF batTop(DcX, BatTop);
  const TPath paths[] = {
      {Segment({InX + 13, MainY}, {SplitX, MainY}), a.InputToSplit},
      {Segment({SplitX, MainY}, {RecL, MainY}), a.Input},
      {bypass, a.Bypass},
      {Segment({RecR, MainY}, dc), a.DcLeft},
      {Segment(dc, {InvL, MainY}), a.DcRight},
      {Segment({InvR, MainY}, {JoinX, MainY}), a.Output},
      {Segment({JoinX, MainY}, {LoadX - 13, MainY}), a.Load},
      {a.BatteryUp ? Segment(batTop, dc) : Segment(dc, batTop), a.Battery},
  };
  for (const TPath& t : paths) {
    if (!t.Live) DrawLine(p, t.Path, false, phase);
  }
  for (const TPath& t : paths) {
    if (t.Live) DrawLine(p, t.Path, true, phase);
  }

  // Junction dots
  p.setPen(Qt::NoPen);
  p.setBrush(a.InputToSplit ? Flow : GreyLine);
  p.drawEllipse(QPointF(SplitX, MainY), 4, 4);
  p.setBrush(a.Load ? Flow : GreyLine);
  p.drawEllipse(QPointF(JoinX, MainY), 4, 4);
  p.setBrush((a.DcLeft || a.DcRight || a.Battery) ? Flow : GreyLine);
  p.drawEllipse(dc, 4, 4);

  // Components
  DrawSource(p, {InX, MainY}, a.InputToSplit);
  DrawConverter(p, QRectF(RecL, MainY - 24, RecR - RecL, 48), a.RecOn, RecColor, true);
  DrawConverter(p, QRectF(InvL, MainY - 24, InvR - InvL, 48), a.InvOn, InvColor, false);
  DrawSwitch(p, QRectF(DcX - 22, BypassY - 15, 44, 30), a.SwOn);
  DrawBattery(p, QRectF(DcX - 24, BatTop, 48, 34), a.BatOn);
  DrawLoad(p, {LoadX, MainY}, a.Load);

  if (FMode == TDiagramMode::Fault) {
    // Red dot with a pulsing ring at the DC link
    const double t = (FPhase % 20) / 20.0;
    const double ringR = 7 + 14 * t;
    QColor ring(0xff, 0x20, 0x20);
    ring.setAlphaF(1.0 - t);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(ring, 3));
    p.drawEllipse(dc, ringR, ringR);
    QRadialGradient dot(dc - QPointF(2, 2), 9);
    dot.setColorAt(0, QColor(0xff, 0xa0, 0xa0));
    dot.setColorAt(0.6, QColor(0xff, 0x10, 0x10));
    dot.setColorAt(1, QColor(0x90, 0x00, 0x00));
    p.setPen(Qt::NoPen);
    p.setBrush(dot);
    p.drawEllipse(dc, 7, 7);
  }
}

}  // namespace tessaro
