// Renders the main window over a sample bus, and the dialogs, into PNG files, on whatever
// platform Qt is given (offscreen in scripts/screenshots.sh).
//   tessaro-screenshots OUTDIR

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QPixmap>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/Clock.h"
#include "core/DeviceList.h"
#include "core/Gbk.h"
#include "engine/Context.h"
#include "ui/config/FrmDataSet.h"
#include "ui/config/FrmUserSet.h"
#include "engine/PollEngine.h"
#include "serial/FakeSerialPort.h"
#include "ui/logs/FrmDataLog.h"
#include "ui/logs/FrmEventLog.h"
#include "ui/logs/LogMenu.h"
#include "ui/main/Desktop.h"
#include "ui/main/FrmEquipSearch.h"
#include "ui/main/DeviceTreePane.h"
#include "ui/main/FrmMain.h"
#include "ui/settings/FrmSoftwarePara.h"
#include "ui/trace/FrmCom.h"

using namespace tessaro;

namespace {

void WriteSample(const std::string& dir, int language) {
  std::filesystem::create_directories(dir + "Record");
  std::ofstream ini(dir + "UserParaIni.ini", std::ios::trunc);
  ini << "[CommPort]\nComName=COM1\nProtocol=2\n[Language]\nLanguage=" << language << "\n";
  std::ofstream list(dir + "Record/TreeNode.dat", std::ios::binary | std::ios::trunc);
  const std::pair<int, const char*> devices[] = {
      {1, "1#UPS 机房A"}, {2, "2#UPS 机房B"}, {3, "3#UPS 配电室"}, {4, "4#UPS 监控中心"}};
  for (const auto& [address, name] : devices) {
    TDeviceNode node;
    node.Address = static_cast<uint8_t>(address);
    node.Name = PadDeviceName(*Utf8ToGbk(name));
    list.write(reinterpret_cast<const char*>(&node), sizeof node);
  }
}

void Online(TUpsInfo& r, double phase) {
  r.CommState = 0;
  r.StateCode = 4;
  TMeasureBlock& m = r.Measure;
  m.InputVoltA = 221.4 + 2.0 * std::sin(phase);
  m.InputVoltB = 219.8 + 1.6 * std::sin(phase + 2.1);
  m.InputVoltC = 222.6 + 1.8 * std::sin(phase + 4.2);
  m.OutputVoltA = 220.1 + 0.4 * std::sin(phase * 1.7);
  m.OutputVoltB = 219.9 + 0.4 * std::sin(phase * 1.7 + 2);
  m.OutputVoltC = 220.3 + 0.4 * std::sin(phase * 1.7 + 4);
  m.LoadA = 45.5;
  m.LoadB = 62.0;
  m.LoadC = 38.4;
  m.OutputFreq = 50.02;
  m.DcInputVolt = 384.6;
  m.BattCapacity = 96;
  m.BattBackupTime = 42;
  m.BattChargeCurr = 8.2;
  r.InputSupply = 1;
  r.UpsSupply = 1;
  r.Status.CmmState1 = 0x0011;
  r.Status.InvState1 = 0x0402;
  r.Status.SysState = 0x0004;
}

// The two log viewers over an hour of snapshots and a few events of the sample bus.
bool ShootLogViewers(TContext& context, TPollEngine& engine, TFrmMain& main, const QString& outDir,
                     const QString& suffix) {
  const TDateTime now = context.Clock.Now();
  for (int minute = 60; minute > 0; --minute)
    for (const int address : {1, 2, 4}) {
      TUpsInfo& r = context.UpsInfo[address];
      Online(r, minute * 0.3);
      context.DataLogger->Append(MakeDataRecord(r, now - minute / 1440.0));
    }
  TEventLog& log = *context.EventLogger;
  log.LogDeviceEvent(2, 1);
  log.LogDeviceEvent(6, 1);
  log.LogAlarmEvent(2, 21, true);
  log.LogAlarmEvent(2, 16, true);
  log.LogDeviceEvent(3, 3);
  log.LogAlarmEvent(2, 16, false);
  main.mni201Click();
  QWidget* events = main.LogMenu->EventLog();
  events->resize(800, 420);
  QApplication::processEvents();
  bool ok = events->grab().save(outDir + QStringLiteral("/eventlog-%1.png").arg(suffix));
  events->hide();

  TFrmDataLog data(context, engine, *main.LogMenu->Progress(), &main);
  data.resize(1060, 480);
  data.show();
  for (int i = 0; i < 200 && (data.Loading() || data.Table()->RowCount() == 0); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  QApplication::processEvents();
  ok = data.grab().save(outDir + QStringLiteral("/datalog-%1.png").arg(suffix)) && ok;
  data.hide();
  return ok;
}

// The search window after a search, the settings dialog and the trace window.
bool ShootDialogs(const QString& outDir, TContext& context, TPollEngine& engine, TFrmMain& main, const QString& suffix) {
  TFrmEquipSearch search(context, engine, &main);
  search.show();
  search.btnSearchClick();
  for (uint8_t a : {12, 3, 7, 5}) search.DeviceFound(a);
  while (context.Vars.SearchMode) search.NextSearchAddress();
  search.btnSelectAllClick();
  search.grdAppend->item(0, 1)->setText(QStringLiteral("UPS 5 east wing"));
  QApplication::processEvents();
  bool ok = search.grab().save(outDir + QStringLiteral("/search-%1.png").arg(suffix));
  search.hide();

  context.Settings.PortInfo.ReadIntervalTimeout = 0;  // shows a settings check
  TFrmSoftwarePara settings(context, engine, {}, &main);
  settings.show();
  QApplication::processEvents();
  ok = settings.grab().save(outDir + QStringLiteral("/settings-%1.png").arg(suffix)) && ok;
  settings.hide();
  context.Settings.PortInfo.ReadIntervalTimeout = 200;

  TFrmCom trace(engine);
  trace.show();
  const uint8_t request[] = {0x01, 0x04, 0x75, 0x30, 0x00, 0x0E, 0x6B, 0xCD};
  for (int i = 0; i < 4; ++i) trace.EchoTx(request, sizeof request);
  context.Stats.TxCount = 4;
  context.Stats.RxCount = 4;
  trace.medtAddr->setText(QStringLiteral("20"));
  trace.RefreshTrace();
  QApplication::processEvents();
  ok = trace.grab().save(outDir + QStringLiteral("/trace-%1.png").arg(suffix)) && ok;
  trace.hide();
  return ok;
}

// The user settings view and the parameter dialog for UPS 1, as after the
// model gate accepted "RXA410LT".
bool ShootConfig(const QString& outDir, TContext& context, const QString& suffix) {
  TDeviceParams& p = context.UpsInfo[1].Params;
  p = TDeviceParams{};
  p.SysId = 1;
  p.VoltLevel = 220;
  p.FreqLevel = 50;
  p.ParallelNum = 1;
  p.BypassFreqRange = 5;
  p.BypassVoltMax = 15;
  p.BypassVoltMin = -20;
  p.OutputVoltFine = 10;
  p.BattNum = 32;
  p.BattGroup = 1;
  p.BoostVolt = 235;
  p.FloatVolt = 225;
  p.EodVolt = 175;
  p.BattCapAh = 100;
  p.MaxChargeCurr = 10;
  p.BoostLastTime = 120;
  context.SelectedModel = "RXA410LT";
  const TControlHost host{context, [] { return uint8_t{1}; }, [] { return true; }};
  TFrmUserSet view(host);
  view.show();
  view.Timer1Timer();
  QApplication::processEvents();
  bool ok = view.grab().save(outDir + QStringLiteral("/userset-%1.png").arg(suffix));
  view.hide();
  TFrmDataSet dialog(host);
  dialog.show();
  dialog.ListBox1->setCurrentRow(1);
  QApplication::processEvents();
  ok = dialog.grab().save(outDir + QStringLiteral("/dataset-%1.png").arg(suffix)) && ok;
  dialog.hide();
  return ok;
}

int Shoot(const QString& outDir, int language, const QString& suffix) {
  QTemporaryDir tmp;
  const std::string dir = tmp.path().toStdString() + "/";
  WriteSample(dir, language);
  TSystemClock clock;
  TContext context(dir, clock);
  TFakeSerialPort port;
  TPollEngine engine(context, port);
  TFrmMain main(context, engine);
  main.Timer1.stop();
  engine.OpenCommPort();

  // 1 online, 2 on battery with alarms, 3 lost, 4 in bypass
  for (int i = 0; i < 70; ++i) {
    Online(context.UpsInfo[1], i * 0.18);
    main.RefreshView();
  }
  TUpsInfo& batt = context.UpsInfo[2];
  Online(batt, 0);
  batt.StateCode = 5;
  batt.Measure.InputVoltA = batt.Measure.InputVoltB = batt.Measure.InputVoltC = 0;
  batt.InputSupply = 2;
  batt.AlarmCount = 2;
  batt.AlarmCodes[0] = 21;
  batt.AlarmCodes[1] = 16;
  context.UpsInfo[3].CommState = 2;
  Online(context.UpsInfo[4], 1);
  context.UpsInfo[4].StateCode = 3;
  context.UpsInfo[4].UpsSupply = 2;
  context.UpsInfo[1].AlarmCount = 0;

  main.resize(1040, 720);
  main.show();
  main.TreePane().Tree()->expandItem(main.TreePane().Tree()->topLevelItem(0));
  main.HousekeepingPass();
  main.RefreshView();
  QApplication::processEvents();
  bool ok = main.grab().save(outDir + QStringLiteral("/main-%1.png").arg(suffix));

  main.LiveTabs()->setCurrentIndex(1);
  main.RefreshView();
  for (int i = 0; i < 15; ++i) QApplication::processEvents();
  ok = main.grab().save(outDir + QStringLiteral("/sketch-%1.png").arg(suffix)) && ok;

  // On battery: the battery pipe flows upwards
  main.TreePane().Tree()->setCurrentItem(main.TreePane().Tree()->topLevelItem(1));
  main.TreePane().TreeView1Click();
  batt.Status.CmmState1 = 0x0100;
  batt.Measure.BattDischargeCurr = 12;
  main.RefreshView();
  main.RefreshView();
  QApplication::processEvents();
  ok = main.LiveTabs()->currentWidget()->grab().save(outDir + QStringLiteral("/sketch-battery-%1.png").arg(suffix)) && ok;

  main.TreePane().Tree()->setCurrentItem(main.TreePane().Tree()->topLevelItem(0)->child(1));
  main.TreePane().TreeView1Click();
  main.RefreshView();
  QApplication::processEvents();
  ok = main.grab().save(outDir + QStringLiteral("/graph-%1.png").arg(suffix)) && ok;
  ok = ShootLogViewers(context, engine, main, outDir, suffix) && ok;
  if (language == 0) ok = ShootDialogs(outDir, context, engine, main, suffix) && ok;
  ok = ShootConfig(outDir, context, suffix) && ok;
  main.hide();
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  UseInterfaceFont(app);
  const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
  QDir().mkpath(outDir);
  int rc = Shoot(outDir, 0, QStringLiteral("en"));
  rc |= Shoot(outDir, 1, QStringLiteral("zh"));
  if (rc == 0) std::printf("screenshots written to %s\n", qPrintable(outDir));
  return rc;
}
