// The software parameter dialog over a real main window and poll engine: the
// lists it offers, values it must keep, the checks it shows, saving through a
// real port reopened on pseudo-terminals, the autostart entry in a temporary
// home, and start-up with a port that cannot be opened.
#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstdlib>

#include "MainFixture.h"
#include "serial/Comm.h"
#include "serial/PtyPair.h"
#include "ui/main/EngineHost.h"
#include "ui/settings/AutoStart.h"
#include "ui/settings/FrmSoftwarePara.h"
#include "ui/settings/PortList.h"
#include "TestFiles.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {

// A main window with the given [CommPort] and [CommMast] lines.
std::unique_ptr<TMainFixture> Fixture(const std::string& iniLines, int language = 0) {
  auto f = std::make_unique<TMainFixture>(std::vector<TDeviceSpec>{{1, "a"}}, language);
  WriteText(f->Context->IniPath(), iniLines + "[Language]\nLanguage=" + std::to_string(language) + "\n");
  f->Context->LoadSettings();
  return f;
}

// Clicks Cancel on the software parameter dialog once it shows, noting that it did.
class TDialogCanceller : public QObject {
 public:
  TDialogCanceller() {
    FTimer.setInterval(5);
    connect(&FTimer, &QTimer::timeout, this, [this] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<TFrmSoftwarePara*>(w); d && d->isVisible()) {
          ++Shown;
          d->Button4->click();
        }
    });
    FTimer.start();
  }
  int Shown = 0;

 private:
  QTimer FTimer;
};

}  // namespace

class TstSoftwarePara : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(Home.isValid());
    qputenv("HOME", Home.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
  }

  void portListHoldsTheMachinesPortsThenTheComNames() {
    QTemporaryDir dev;
    const std::string d = dev.path().toStdString();
    std::filesystem::create_directories(d + "/serial/by-id");
    for (const char* name : {"ttyUSB0", "ttyACM0", "ttyS10", "ttyS2", "ttyS1", "tty0", "null"}) WriteText(d + "/" + name, "");
    std::filesystem::create_symlink("../../ttyUSB0", d + "/serial/by-id/usb-Maker_Cable_A1-if00-port0");
    const std::vector<TPortEntry> ports = MachinePorts(d);
    QStringList names, labels;
    for (const TPortEntry& p : ports) {
      names << QString::fromStdString(p.Name).remove(dev.path());
      labels << QString::fromStdString(p.Label).remove(dev.path());
    }
    QCOMPARE(names, QStringList({"/serial/by-id/usb-Maker_Cable_A1-if00-port0", "/ttyUSB0", "/ttyACM0", "/ttyS1",
                                 "/ttyS2", "/ttyS10"}));
    QCOMPARE(labels[0], QStringLiteral("usb-Maker_Cable_A1-if00-port0  (/ttyUSB0)"));

    auto f = Fixture("[CommPort]\nComName=COM3\n");
    TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get(), d);
    QCOMPARE(dialog.cbxComName->count(), 6 + 256);
    QCOMPARE(dialog.cbxComName->itemText(6), QStringLiteral("COM1"));
    QCOMPARE(dialog.cbxComName->itemText(6 + 255), QStringLiteral("COM256"));
    QCOMPARE(dialog.cbxComName->currentText(), QStringLiteral("COM3"));
    QStringList bauds;
    for (int i = 0; i < dialog.cbxBaudRate->count(); ++i) bauds << dialog.cbxBaudRate->itemText(i);
    QCOMPARE(bauds, QStringList({"2400", "4800", "9600", "19200", "38400"}));
  }

  // What the file holds is shown and, saved untouched, written back as it was.
  void unlistedPortsAndSpeedsAreShownAndKept_data() {
    QTest::addColumn<QString>("comName");
    QTest::addColumn<int>("baud");
    QTest::newRow("COM25, 19200") << "COM25" << 19200;
    QTest::newRow("unplugged path, 115200") << "/dev/ttyUSB7" << 115200;
    QTest::newRow("by-id path, 1200") << "/dev/serial/by-id/usb-gone-port0" << 1200;
    QTest::newRow("listed, listed") << "COM2" << 4800;
  }
  void unlistedPortsAndSpeedsAreShownAndKept() {
    QFETCH(QString, comName);
    QFETCH(int, baud);
    auto f = Fixture("[CommPort]\nComName=" + comName.toStdString() + "\nBaudRate=" + std::to_string(baud) + "\n");
    TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get(), "/nonexistent");
    QCOMPARE(dialog.cbxComName->currentText(), comName);
    QCOMPARE(dialog.cbxBaudRate->currentText(), QString::number(baud));
    dialog.SaveSetBtn->click();
    TSettings saved;
    LoadSettings(saved, f->Context->IniPath());
    QCOMPARE(QString::fromStdString(saved.PortInfo.ComName), comName);
    QCOMPARE(saved.PortInfo.BaudRate, baud);
  }

  void showsTextsAndAnUnknownProtocolAsTheFirst() {
    auto f = Fixture("[CommPort]\nProtocol=9\n", 1);
    TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("软件参数设定"));
    QCOMPARE(dialog.cbxcurProtocol->currentText(), QStringLiteral("多模块UPS"));
    QCOMPARE(int(f->Context->Settings.PortInfo.Protocol), 0);
    f->Context->Settings.Language = 0;
    dialog.FormShow();
    QCOMPARE(dialog.cbxcurProtocol->itemText(2), QStringLiteral("Modbus "));
    QCOMPARE(dialog.crbAutoStartup->text(), QStringLiteral("Automatic Run Program At Windows Startup"));
  }

  void showsTheMqttBrokerWithoutLettingItBeEdited() {
    auto f = Fixture("[Mqtt]\nBroker=mqtts://broker.lan:8883\nCommands=1\n");
    TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get());
    QVERIFY(dialog.edMqtt->isReadOnly());
    QCOMPARE(dialog.edMqtt->text(), QStringLiteral("mqtts://broker.lan:8883, device commands taken"));
    f->Context->Settings.MqttBroker.clear();
    dialog.FormShow();
    QCOMPARE(dialog.edMqtt->text(), QStringLiteral("off ([Mqtt] Broker in the settings file)"));
  }

  void showsTheSettingsWithWhichNothingIsPolled_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("warning");
    QTest::newRow("MaxReSend 1") << "[CommMast]\nMaxReSend=1\n" << "MaxReSend is 1";
    QTest::newRow("ReadIntervalTimeout 0") << "[CommPort]\nReadIntervalTimeout=0\n" << "ReadIntervalTimeout is 0";
    QTest::newRow("BaudRate 0") << "[CommPort]\nBaudRate=0\n" << "BaudRate is 0";
    QTest::newRow("sound settings") << "[CommPort]\nBaudRate=9600\n" << "";
  }
  void showsTheSettingsWithWhichNothingIsPolled() {
    QFETCH(QString, ini);
    QFETCH(QString, warning);
    auto f = Fixture(ini.toStdString());
    TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get());
    dialog.show();
    QCOMPARE(dialog.lbWarnings->isVisible(), !warning.isEmpty());
    QVERIFY(warning.isEmpty() ? dialog.lbWarnings->text().isEmpty() : dialog.lbWarnings->text().startsWith(warning));
    if (warning.startsWith("BaudRate")) {
      dialog.cbxBaudRate->setCurrentText(QStringLiteral("9600"));  // choosing a speed clears it
      QVERIFY(!dialog.lbWarnings->isVisible());
    }
  }

  // Save through the real port: the engine closes the old pty and opens the
  // new one, the layout follows the protocol and the file is written.
  void saveReopensThePortOnANewPath() {
    TPtyPair oldLine, newLine;
    auto f = Fixture("[CommPort]\nComName=" + oldLine.SlavePath() + "\nProtocol=0\n");
    TComm port;
    ConfigureProgramPort(port);
    TPollEngine engine(*f->Context, port);
    engine.OpenCommPort();
    QVERIFY(engine.PortIsOpen());
    int layouts = 0;
    TFrmSoftwarePara dialog(*f->Context, engine, [&] { ++layouts; }, f->Main.get(), "/nonexistent");
    dialog.show();
    dialog.cbxComName->setCurrentText(QString::fromStdString(newLine.SlavePath()));
    dialog.cbxcurProtocol->setCurrentIndex(2);
    dialog.SaveSetBtn->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(engine.PortIsOpen());
    QCOMPARE(port.CommName(), newLine.SlavePath());
    QCOMPARE(layouts, 1);
    const uint8_t frame[] = {0x01, 0x04, 0x75, 0x30, 0x00, 0x0E, 0x6B, 0xCD};
    QVERIFY(engine.SendFrame(frame, sizeof frame));
    QCOMPARE(newLine.ReadExactly(sizeof frame), std::vector<uint8_t>(frame, frame + sizeof frame));
    TSettings saved;
    LoadSettings(saved, f->Context->IniPath());
    QCOMPARE(saved.PortInfo.ComName, newLine.SlavePath());
    QCOMPARE(int(saved.PortInfo.Protocol), 2);
  }

  void aPortThatWillNotOpenChangesNothingAndKeepsTheDialogOpen() {
    TPtyPair oldLine;
    auto f = Fixture("[CommPort]\nComName=" + oldLine.SlavePath() + "\nProtocol=1\n");
    const std::string fileBefore = ReadText(f->Context->IniPath());
    TComm port;
    ConfigureProgramPort(port);
    TPollEngine engine(*f->Context, port);
    engine.OpenCommPort();
    int layouts = 0;
    TFrmSoftwarePara dialog(*f->Context, engine, [&] { ++layouts; }, f->Main.get(), "/nonexistent");
    dialog.show();
    dialog.cbxComName->setCurrentText(QStringLiteral("/dev/tessaro-no-such-port"));
    dialog.cbxcurProtocol->setCurrentIndex(2);
    dialog.crbAutoStartup->setChecked(true);
    TBoxAnswerer ok(QMessageBox::Ok);
    dialog.SaveSetBtn->click();
    QCOMPARE(ok.Texts.size(), qsizetype(1));
    QCOMPARE(ok.Texts[0], QStringLiteral("Error opening serial port\n/dev/tessaro-no-such-port: No such file or directory"));
    QVERIFY(dialog.isVisible());
    QCOMPARE(layouts, 0);
    QCOMPARE(ReadText(f->Context->IniPath()), fileBefore);
    QVERIFY(!std::filesystem::exists(AutoStartEntryPath()));
    QCOMPARE(f->Context->Settings.PortInfo.ComName, oldLine.SlavePath());
    QCOMPARE(int(f->Context->Settings.PortInfo.Protocol), 1);
    QVERIFY(engine.PortIsOpen());  // the old port is back
    QCOMPARE(port.CommName(), oldLine.SlavePath());
  }

  // A serial server is typed in: a malformed name is refused with its reason
  // and changes nothing; a sound one is opened and saved as typed.
  void serverNamesAreTypedInAndAMalformedOneChangesNothing() {
    auto f = Fixture("[CommPort]\nComName=COM1\n");
    const std::string fileBefore = ReadText(f->Context->IniPath());
    TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get(), "/nonexistent");
    dialog.show();
    dialog.cbxComName->setCurrentText(QStringLiteral("rfc2217://192.0.2.10"));
    QVERIFY(dialog.lbWarnings->isVisible());
    QVERIFY(dialog.lbWarnings->text().contains(QStringLiteral("has no \":PORT\" after the host")));
    {
      TBoxAnswerer ok(QMessageBox::Ok);
      dialog.SaveSetBtn->click();
      QCOMPARE(ok.Texts.size(), qsizetype(1));
      QVERIFY(ok.Texts[0].contains(QStringLiteral("rfc2217://HOST:PORT")));
    }
    QVERIFY(dialog.isVisible());
    QCOMPARE(ReadText(f->Context->IniPath()), fileBefore);
    QCOMPARE(f->Context->Settings.PortInfo.ComName, std::string("COM1"));

    dialog.cbxComName->setCurrentText(QStringLiteral("rfc2217://192.0.2.10:4001"));
    QVERIFY(!dialog.lbWarnings->isVisible());
    dialog.SaveSetBtn->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(f->Port.OpenedNames.back(), std::string("rfc2217://192.0.2.10:4001"));
    TSettings saved;
    LoadSettings(saved, f->Context->IniPath());
    QCOMPARE(saved.PortInfo.ComName, std::string("rfc2217://192.0.2.10:4001"));
  }

  // In Chinese the port name's refusal is Chinese too, and two warnings at
  // once are shown whole: the dialog grows to their wrapped lines.
  void portNameWarningsAreInTheWindowsLanguageAndNotClipped() {
    auto f = Fixture("[CommPort]\nComName=COM1\nReadIntervalTimeout=0\n", 1);
    TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get(), "/nonexistent");
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.cbxComName->setCurrentText(QStringLiteral("tcp://nohost"));
    QCoreApplication::processEvents();
    const QString shown = dialog.lbWarnings->text();
    QVERIFY2(shown.startsWith(QStringLiteral("“tcp://nohost” 在主机之后缺少“:端口”")), qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("接收间隔超时为 0")), qPrintable(shown));
    QVERIFY(dialog.lbWarnings->height() >= dialog.lbWarnings->heightForWidth(dialog.lbWarnings->width()));
    QVERIFY(dialog.rect().contains(dialog.lbWarnings->geometry()));
    QVERIFY(!dialog.lbWarnings->geometry().intersects(dialog.SaveSetBtn->geometry()));
    {
      TBoxAnswerer ok(QMessageBox::Ok);
      dialog.SaveSetBtn->click();
      QCOMPARE(ok.Texts.size(), qsizetype(1));
      QVERIFY2(ok.Texts[0].contains(QStringLiteral("tcp://主机:端口")), qPrintable(ok.Texts[0]));
    }
  }

  void autoStartEntryIsWrittenLeftAloneAndRemoved() {
    auto f = Fixture("[CommPort]\nComName=COM1\n");
    const std::string entry = Home.path().toStdString() + "/.config/autostart/tessaro.desktop";
    QCOMPARE(AutoStartEntryPath(), entry);
    auto save = [&](bool on) {
      TFrmSoftwarePara dialog(*f->Context, *f->Engine, {}, f->Main.get(), "/nonexistent");
      dialog.crbAutoStartup->setChecked(on);
      dialog.SaveSetBtn->click();
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
    };
    save(true);
    const std::string written = ReadText(entry);
    QVERIFY(written.find("[Desktop Entry]\n") == 0);
    QVERIFY(written.find("Exec=\"" + QCoreApplication::applicationFilePath().toStdString() + "\" --data-dir \"" +
                         f->Context->DataDir + "\"\n") != std::string::npos);
    TSettings saved;
    LoadSettings(saved, f->Context->IniPath());
    QVERIFY(saved.PortInfo.AutoStart);
    // Another installation's entry stays as it is.
    WriteText(entry, "[Desktop Entry]\nExec=/opt/other/tessaro\n");
    save(true);
    QCOMPARE(ReadText(entry), std::string("[Desktop Entry]\nExec=/opt/other/tessaro\n"));
    save(false);
    QVERIFY(!std::filesystem::exists(entry));
    save(false);  // nothing to remove is fine
    QVERIFY(!std::filesystem::exists(entry));
  }

  void autoStartCommandQuotesWhatTheEntryFormatReserves() {
    QCOMPARE(AutoStartCommand("/opt/my apps/te$t\"%", "/data/"),
             std::string("\"/opt/my apps/te\\$t\\\"%%\" --data-dir \"/data/\""));
  }

  // Start-up with a port that cannot be opened: the message, then the dialog.
  void startUpWithAFailingPortShowsTheMessageThenTheDialog() {
    TMainFixture f({{1, "a"}}, 0);
    f.Port.FailNextOpen();
    TEngineHost host(*f.Engine, f.Port);
    TBoxAnswerer ok(QMessageBox::Ok);
    TDialogCanceller cancel;
    int messagesBeforeDialog = -1;
    host.Start(f.Main.get(), [&] {
      messagesBeforeDialog = int(ok.Texts.size());
      f.Main->mni102Click();
    });
    QCOMPARE(messagesBeforeDialog, 1);
    QCOMPARE(ok.Texts.value(0), QStringLiteral("There was an error to open serial port,please check the serial port settings !"));
    QCOMPARE(cancel.Shown, 1);
    QVERIFY(!f.Engine->PortIsOpen());
    QVERIFY(host.Timer1.isActive());
  }

 private:
  QTemporaryDir Home;
};

QTEST_MAIN(TstSoftwarePara)
#include "tst_softwarepara.moc"
