// The add-device, property and About dialogs, opened from a real main window.
#include <QtTest>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>

#include "MainFixture.h"
#include "ui/main/FrmAbout.h"
#include "ui/main/FrmNewEquip.h"
#include "ui/main/FrmProperty.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {
QString Repeat(const QString& s, int n) { return s.repeated(n); }
}  // namespace

class TstDialogs : public QObject {
  Q_OBJECT

 private slots:
  void addListsOnlyFreeAddresses() {
    TMainFixture f({{1, "a"}, {2, "b"}, {5, "c"}});
    TFrmNewEquip dialog(f.Context->DeviceList, 0, f.Main.get());
    QCOMPARE(dialog.cbxAddr->currentIndex(), -1);
    QCOMPARE(dialog.cbxAddr->count(), 252 - 3);
    QCOMPARE(dialog.cbxAddr->itemText(0), QStringLiteral("3"));
    QCOMPARE(dialog.cbxAddr->itemText(1), QStringLiteral("4"));
    QCOMPARE(dialog.cbxAddr->itemText(2), QStringLiteral("6"));
    QCOMPARE(dialog.cbxAddr->itemText(dialog.cbxAddr->count() - 1), QStringLiteral("252"));
    QVERIFY(!dialog.cbxAddr->isEditable());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Append Equipment"));
  }

  void addRefusesBadInputAndStaysOpen_data() {
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("chooseAddress");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty name") << 0 << "" << true << "Equipment Name is empty !";
    QTest::newRow("empty name, Chinese") << 1 << "" << true << "设备名不能为空";
    QTest::newRow("no address") << 0 << "UPS" << false << "Equipment Address is empty !";
    QTest::newRow("41 bytes") << 0 << Repeat("x", 41) << true << "Equipment name is too long !";
    QTest::newRow("21 Chinese characters") << 1 << Repeat("电", 21) << true << "设备名过长";
  }
  void addRefusesBadInputAndStaysOpen() {
    QFETCH(int, language);
    QFETCH(QString, name);
    QFETCH(bool, chooseAddress);
    QFETCH(QString, message);
    TMainFixture f({{1, "a"}});
    TFrmNewEquip dialog(f.Context->DeviceList, language, f.Main.get());
    dialog.show();
    dialog.edtEquipName->setText(name);
    if (chooseAddress) dialog.cbxAddr->setCurrentIndex(0);
    TBoxAnswerer ok(QMessageBox::Ok);
    dialog.btnNew->click();
    QCOMPARE(ok.Texts.size(), qsizetype(1));
    QCOMPARE(ok.Texts[0], message);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.edtEquipName->text(), name);
    QCOMPARE(int(f.Context->DeviceList.Count), 1);
  }

  void addAcceptsFortyBytesAndPadsShorterNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("bytes");
    QTest::newRow("40 ASCII bytes") << Repeat("n", 40) << 40;
    QTest::newRow("20 Chinese characters") << Repeat("电", 20) << 40;
    QTest::newRow("short") << QStringLiteral("机房UPS") << 7;
  }
  void addAcceptsFortyBytesAndPadsShorterNames() {
    QFETCH(QString, name);
    QFETCH(int, bytes);
    TMainFixture f({{1, "a"}});
    TFrmNewEquip dialog(f.Context->DeviceList, 1, f.Main.get());
    dialog.show();
    dialog.edtEquipName->setText(name);
    dialog.cbxAddr->setCurrentIndex(dialog.cbxAddr->findText(QStringLiteral("9")));
    dialog.btnNew->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    TDeviceList reread(f.Context->RecordDir);
    reread.LoadDeviceList();
    QCOMPARE(int(reread.Count), 2);
    const TDeviceNode& node = reread.Nodes[2];
    QCOMPARE(int(node.Address), 9);
    QCOMPARE(QString::fromStdString(GbkToUtf8(TrimDeviceName(node.Name))), name);
    for (int i = bytes; i < DeviceNameLen; ++i) QCOMPARE(int(node.Name[i]), 13);
    // The tree followed, and the selected position stayed.
    QCOMPARE(f.Tree()->topLevelItemCount(), 2);
    QCOMPARE(f.Tree()->topLevelItem(1)->text(0), name);
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(1));
  }

  void propertyOnTheGraphChildShowsItsDeviceAndRenames() {
    TMainFixture f({{1, "a"}, {7, "配电室"}});
    f.ShowWindow();
    f.Click(f.Device(2)->child(1));
    TFrmProperty dialog(f.Context->DeviceList, 0, 2, f.Main.get());
    QCOMPARE(dialog.edtEquipName->text(), QStringLiteral("配电室"));
    QCOMPARE(dialog.cbxAddr->currentText(), QStringLiteral("7"));
    QVERIFY(!dialog.cbxAddr->isEnabled());
    dialog.show();
    {
      TBoxAnswerer ok(QMessageBox::Ok);
      dialog.edtEquipName->clear();
      dialog.btnOK->click();
      QCOMPARE(ok.Texts.value(0), QStringLiteral("Equipment name is empty !"));
      dialog.edtEquipName->setText(Repeat("电", 21));
      dialog.btnOK->click();
      QCOMPARE(ok.Texts.value(1), QStringLiteral("Equipment name is too long !"));
      QVERIFY(dialog.isVisible());
    }
    dialog.edtEquipName->setText(QStringLiteral("Power room"));
    dialog.btnOK->click();
    QCOMPARE(f.Device(2)->text(0), QStringLiteral("Power room"));
    TDeviceList reread(f.Context->RecordDir);
    reread.LoadDeviceList();
    QCOMPARE(QString::fromStdString(TrimDeviceName(reread.Nodes[2].Name)), QStringLiteral("Power room"));
    QCOMPARE(int(reread.Nodes[2].Address), 7);
  }

  void propertyButtonOpensTheDialogForTheSelectedDevice() {
    TMainFixture f({{1, "a"}, {7, "b"}});
    f.ShowWindow();
    f.Click(f.Device(2)->child(0));
    QString shown;
    QTimer::singleShot(0, [&] {
      auto* dialog = f.Main->findChild<TFrmProperty*>();
      shown = dialog->edtEquipName->text() + QLatin1Char('@') + dialog->cbxAddr->currentText();
      dialog->Form.Cancel->click();
    });
    f.Main->TreePane().PropertyButton()->click();
    QCOMPARE(shown, QStringLiteral("b@7"));
  }

  void addIsCentredOnTheMainWindowPropertyAndAboutOnTheScreen() {
    TMainFixture f({{1, "a"}});
    f.Main->move(60, 40);
    f.ShowWindow();
    const QPoint screenCentre = f.Main->screen()->availableGeometry().center();
    const QPoint mainCentre = f.Main->frameGeometry().center();
    QVERIFY((screenCentre - mainCentre).manhattanLength() > 20);
    auto near = [](QDialog& d, QPoint centre) {
      d.show();
      // within the few pixels of a window frame
      const bool ok = (d.frameGeometry().center() - centre).manhattanLength() <= 6;
      d.close();
      return ok;
    };
    TFrmNewEquip add(f.Context->DeviceList, 0, f.Main.get());
    QVERIFY(near(add, mainCentre));
    TFrmProperty property(f.Context->DeviceList, 0, 1, f.Main.get());
    QVERIFY(near(property, screenCentre));
    TFrmAbout about(0, QStringLiteral("1.0.0"), [] {}, [] {}, f.Main.get());
    QVERIFY(near(about, screenCentre));
  }

  void aboutDigitCodeOpensTheTraceWindow_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("opens");
    QTest::newRow("the code") << "52719304" << true;
    QTest::newRow("a digit before the code") << "152719304" << false;
    QTest::newRow("a letter, then the code") << "12x52719304" << true;
    QTest::newRow("overflow, then the code") << "9999999999952719304" << true;
  }
  void aboutDigitCodeOpensTheTraceWindow() {
    QFETCH(QString, typed);
    QFETCH(bool, opens);
    TMainFixture f({{1, "a"}});
    TFrmAbout about(0, QStringLiteral("1.0.0"), [&] { f.Main->ShowTraceWindow(); }, [&] { f.Main->HideTraceWindow(); },
                    f.Main.get());
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QCOMPARE(about.bsSkinStdLabel2->text(), QStringLiteral("PC Monitor Software Version 1.0.0"));
    QTest::keyClicks(&about, typed);
    const bool open = f.Main->TraceWindow() && f.Main->TraceWindow()->isVisible();
    QCOMPARE(open, opens);
    QCOMPARE(about.isVisible(), !opens);
  }

  void aboutLetterHidesTheTraceWindow() {
    TMainFixture f({{1, "a"}});
    f.Main->ShowTraceWindow();
    TFrmAbout about(1, QStringLiteral("1.0.0"), [&] { f.Main->ShowTraceWindow(); }, [&] { f.Main->HideTraceWindow(); },
                    f.Main.get());
    QCOMPARE(about.bsSkinStdLabel2->text(), QStringLiteral("PC监控软件 版本 1.0.0"));
    QCOMPARE(about.windowTitle(), QStringLiteral("关于"));
    about.FormKeyPress(QLatin1Char('q'));
    QVERIFY(!f.Main->TraceWindow()->isVisible());
  }

  void aboutFourDoubleClicksOpenTheTraceWindow() {
    TMainFixture f({{1, "a"}});
    TFrmAbout about(0, QStringLiteral("1.0.0"), [&] { f.Main->ShowTraceWindow(); }, [&] { f.Main->HideTraceWindow(); },
                    f.Main.get());
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    for (int i = 1; i <= 3; ++i) {
      QTest::mouseDClick(about.bsSkinStdLabel2, Qt::LeftButton);
      QCOMPARE(about.lb1->text(), QString::number(i));
      QVERIFY(!f.Main->TraceWindow());
    }
    QTest::mouseDClick(about.bsSkinStdLabel2, Qt::LeftButton);
    QVERIFY(f.Main->TraceWindow() && f.Main->TraceWindow()->isVisible());
    QVERIFY(!about.isVisible());
    QCOMPARE(about.DblClickCount(), 0);
  }
};

QTEST_MAIN(TstDialogs)
#include "tst_dialogs.moc"
