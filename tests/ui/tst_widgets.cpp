// The presentation widgets and the language table, without the core.
#include <QtTest>

#include <QSet>

#include "ui/main/LangTable.h"
#include "ui/widgets/AngularGauge.h"
#include "ui/widgets/Artwork.h"
#include "ui/widgets/FlowPipe.h"
#include "ui/widgets/Lamp.h"
#include "ui/widgets/LedBar.h"
#include "ui/widgets/UpsDiagram.h"
#include "ui/widgets/ValueBox.h"

using namespace tessaro;

class TstWidgets : public QObject {
  Q_OBJECT

 private slots:
  void gaugeMapsItsRangeOntoTheArc() {
    TAngularGauge g;
    g.SetRange(0, 300);
    g.SetArc(170, 160);
    g.SetValue(0);
    QCOMPARE(g.NeedleAngle(), 170.0);
    g.SetValue(150);
    QCOMPARE(g.NeedleAngle(), 90.0);
    g.SetValue(300);
    QCOMPARE(g.NeedleAngle(), 10.0);
    g.SetValue(400);  // pinned at the end
    QCOMPARE(g.NeedleAngle(), 10.0);
    g.SetValue(std::numeric_limits<double>::quiet_NaN());
    QCOMPARE(g.NeedleAngle(), 170.0);
  }

  void gaugeSectionColours() {
    TAngularGauge g;
    g.SetSections({{0, 205, Qt::yellow}, {205, 245, Qt::green}, {245, 300, Qt::red}});
    QCOMPARE(g.SectionColorAt(100), QColor(Qt::yellow));
    QCOMPARE(g.SectionColorAt(230), QColor(Qt::green));
    QCOMPARE(g.SectionColorAt(280), QColor(Qt::red));
    g.resize(190, 130);
    QImage img(g.size(), QImage::Format_ARGB32);
    g.render(&img);  // paints without trouble
  }

  void ledBarLimeBelowAHundredRedAbove() {
    TLedBar bar;
    bar.resize(64, 166);
    QCOMPARE(bar.SegmentSize(), 4);
    bar.SetValue(45.5);
    QVERIFY(bar.LitSegments() > 0);
    QCOMPARE(bar.TopLitColor(), QColor(0x00, 0xff, 0x00));
    bar.SetValue(120);
    QCOMPARE(bar.TopLitColor(), QColor(0xff, 0x20, 0x20));
    bar.SetValue(0);
    QCOMPARE(bar.LitSegments(), 0);
    bar.SetValue(150);
    QCOMPARE(bar.LitSegments(), bar.SegmentCount());
  }

  void valueBoxKeepsCaptionValueUnit() {
    TValueBox box;
    box.SetCaption(QStringLiteral("输出频率"));
    box.SetValueText(QStringLiteral("50.0"));
    box.SetUnit(QStringLiteral("Hz"));
    QCOMPARE(box.ValueText(), QStringLiteral("50.0"));
    QCOMPARE(box.Unit(), QStringLiteral("Hz"));
  }

  void pipeMovesOnlyWhileFlowing() {
    TFlowPipe pipe;
    pipe.resize(13, 35);
    pipe.show();
    pipe.SetInterval(20);
    pipe.SetFlowOn(false);
    QVERIFY(!pipe.Running());
    const int before = pipe.Offset();
    pipe.SetFlowOn(true);
    QVERIFY(pipe.Running());
    QTRY_VERIFY_WITH_TIMEOUT(pipe.Offset() != before, 2000);
    pipe.hide();
    QVERIFY(!pipe.Running());
  }

  void pipeShowsMarksOnlyWhileFlowing() {
    auto limePixels = [](TFlowPipe& pipe) {
      QImage img(pipe.size(), QImage::Format_ARGB32);
      img.fill(Qt::black);
      pipe.render(&img);
      int n = 0;
      for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += img.pixelColor(x, y) == QColor(0x00, 0xff, 0x00);
      return n;
    };
    TFlowPipe pipe;
    pipe.resize(13, 35);
    QCOMPARE(limePixels(pipe), 0);
    pipe.SetFlowOn(true);
    QVERIFY(limePixels(pipe) > 0);
    pipe.SetFlowOn(false);
    QCOMPARE(limePixels(pipe), 0);
  }

  void diagramsAnimateOnlyWhenVisibleAndNotStandby() {
    TUpsDiagram standby(TDiagramMode::Standby);
    TUpsDiagram online(TDiagramMode::Online);
    QCOMPARE(online.size(), QSize(420, 220));
    standby.show();
    online.show();
    QVERIFY(!standby.Animating());
    QVERIFY(online.Animating());
    online.hide();
    QVERIFY(!online.Animating());
    for (auto mode : {TDiagramMode::Standby, TDiagramMode::Online, TDiagramMode::Bypass, TDiagramMode::Battery,
                      TDiagramMode::Economy, TDiagramMode::Test, TDiagramMode::Fault}) {
      TUpsDiagram d(mode);
      QImage img(d.size(), QImage::Format_ARGB32);
      d.render(&img);
      QVERIFY(!img.isNull());
    }
  }

  void lampLights() {
    TLamp lamp(Qt::yellow);
    QCOMPARE(lamp.size(), QSize(17, 17));
    QVERIFY(!lamp.IsLit());
    lamp.SetLit(true);
    QVERIFY(lamp.IsLit());
  }

  void everyAssetLoads() {
    for (int i = 0; i < 4; ++i) QVERIFY(!TreeIcon(i).isNull());
    for (const char* name : {"tb_settings", "tb_chinese", "tb_english", "tb_eventlog", "tb_datalog", "tb_logset",
                             "tb_about", "tb_exit", "app"}) {
      QVERIFY2(!AssetPixmap(QString::fromLatin1(name), 16).isNull(), name);
    }
  }

  void langTableHasEveryIdInBothLanguages() {
    const auto table = LangTable();
    QCOMPARE(static_cast<int>(table.size()), static_cast<int>(TTextId::Count));
    for (const TLangEntry& e : table) {
      if (e.Id == TTextId::GrpCode) continue;
      QVERIFY(QString::fromUtf8(e.Chinese).size() > 0);
      QVERIFY(QString::fromUtf8(e.English).size() > 0);
    }
    QCOMPARE(LangText(TTextId::MainCaption, 1), QStringLiteral("Tessaro监控"));
    QCOMPARE(LangText(TTextId::MainCaption, 0), QStringLiteral("Tessaro Monitor"));
    QCOMPARE(LangText(TTextId::MainCaption, 7), QStringLiteral("Tessaro Monitor"));
    QCOMPARE(LangText(TTextId::BtnNewHint, 0), QStringLiteral("Append inverter of need to be Monitored "));
    QCOMPARE(LangText(TTextId::HintSpeedButton6, 1), QStringLiteral("帮助"));
    QCOMPARE(LangText(TTextId::HintSpeedButton6, 0), QStringLiteral("About"));
    QCOMPARE(LangText(TTextId::PortLinkSuffix, 1), QStringLiteral("  已开启"));
  }
};

QTEST_MAIN(TstWidgets)
#include "tst_widgets.moc"
