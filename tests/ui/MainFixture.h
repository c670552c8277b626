#pragma once
// A real main window over a prepared device table: a fresh data directory, a
// manual clock, an in-memory serial port and the real poll engine.

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/DeviceList.h"
#include "core/Gbk.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "serial/FakeSerialPort.h"
#include "ui/main/DeviceTreePane.h"
#include "ui/main/FrmMain.h"

namespace tessaro::test {

struct TDeviceSpec {
  uint8_t Address;
  const char* Name;  // UTF-8
};

// A widget, action or menu of a window by its Qt object name.
template <class T>
T* Child(const QObject& window, const char* name) {
  T* found = window.findChild<T*>(QString::fromLatin1(name));
  if (!found) qFatal("no %s named %s", T::staticMetaObject.className(), name);
  return found;
}

inline void WriteDeviceList(const std::string& recordDir, const std::vector<TDeviceSpec>& devices) {
  std::ofstream out(recordDir + "TreeNode.dat", std::ios::binary | std::ios::trunc);
  for (const TDeviceSpec& d : devices) {
    TDeviceNode node;
    node.Address = d.Address;
    node.Name = PadDeviceName(*Utf8ToGbk(d.Name));
    out.write(reinterpret_cast<const char*>(&node), sizeof node);
  }
}

inline void WriteIni(const std::string& dataDir, int language, int protocol) {
  std::ofstream out(dataDir + "UserParaIni.ini", std::ios::trunc);
  out << "[CommPort]\nComName=COM1\nProtocol=" << protocol << "\n[Language]\nLanguage=" << language << "\n";
}

// Clicks the button of the next message box that shows up, keeping its text.
class TBoxAnswerer : public QObject {
 public:
  explicit TBoxAnswerer(QMessageBox::StandardButton button) : FButton(button) {
    FTimer.setInterval(5);
    connect(&FTimer, &QTimer::timeout, this, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible()) {
          Texts.push_back(box->text());
          box->button(FButton)->click();
          return;
        }
      }
    });
    FTimer.start();
  }
  QStringList Texts;

 private:
  QMessageBox::StandardButton FButton;
  QTimer FTimer;
};

class TMainFixture {
 public:
  explicit TMainFixture(const std::vector<TDeviceSpec>& devices, int language = 0, int protocol = 0)
      : Clock(45000.5) {
    const std::string dir = Dir.path().toStdString() + "/";
    std::filesystem::create_directories(dir + "Record");
    WriteDeviceList(dir + "Record/", devices);
    WriteIni(dir, language, protocol);
    Context = std::make_unique<TContext>(dir, Clock);
    Engine = std::make_unique<TPollEngine>(*Context, Port);
    Main = std::make_unique<TFrmMain>(*Context, *Engine);
    Main->Timer1.stop();  // the tests drive the refresh themselves
  }

  void OpenPort() { Engine->OpenCommPort(); }
  TUpsInfo& Slot(int address) { return Context->UpsInfo[address]; }
  QTreeWidget* Tree() const { return Main->TreePane().Tree(); }
  QTreeWidgetItem* Device(int position) const { return Tree()->topLevelItem(position - 1); }

  void ShowWindow() {
    Main->show();
    QVERIFY(QTest::qWaitForWindowExposed(Main.get()));
  }

  // A mouse click on a node, as the operator would do it.
  void Click(QTreeWidgetItem* item, Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers modifiers = {}) {
    if (item->parent()) item->parent()->setExpanded(true);
    Tree()->scrollToItem(item);
    const QRect r = Tree()->visualItemRect(item);
    QTest::mouseClick(Tree()->viewport(), button, modifiers, r.center());
    QCoreApplication::processEvents();
  }

  // A communicating device with a decoded state.
  // A device that has just answered, with every value in.
  void Communicating(int address, int stateCode) {
    TUpsInfo& r = Slot(address);
    r.CommState = 0;
    r.StateCode = stateCode;
    r.AlarmCount = 0;
    r.DecodedSteps = Context->Vars.RequiredSteps;
    r.LastAnswerMs = Clock.MonotonicMs();
  }

  QTemporaryDir Dir;
  TManualClock Clock;
  TFakeSerialPort Port;
  std::unique_ptr<TContext> Context;
  std::unique_ptr<TPollEngine> Engine;
  std::unique_ptr<TFrmMain> Main;
};

}  // namespace tessaro::test
