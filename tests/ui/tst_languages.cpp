// Every window in each language, found by walking the program: every entry
// of the main window's menus and every button of every window it opens, in
// turn, with every question and message that shows up on the way. Each
// window is read as the operator sees it (captions, labels, buttons, group
// titles, tabs, grid titles and cells, lists, hints, the charts and the
// texts our own widgets paint) and fails on
//   - a word of English in Chinese mode, or a Chinese character in English
//     mode, proper names, numbers, units, paths and commands aside;
//   - a text cut off by its widget at the window's size.
// Qt's own windows (questions, file dialogs) are read but not explored.
#include <QtTest>

#include <QAbstractButton>
#include <QCheckBox>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMetaProperty>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTextDocumentFragment>
#include <QToolBar>
#include <QTreeWidget>

#include <functional>
#include <map>
#include <set>

#include "MainFixture.h"
#include "core/Catalogue.h"
#include "logs/DataLog.h"
#include "ui/logs/FrmDataLog.h"
#include "ui/logs/FrmEventLog.h"
#include "ui/logs/LogMenu.h"
#include "ui/main/Desktop.h"
#include "ui/main/QtTexts.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {

// What is not language: proper names, units, codes, numbers, paths, file
// names and commands. Removed from a text before it is judged.
const QRegularExpression& NotLanguage() {
  static const QRegularExpression re(QStringLiteral(
      R"(\S*/\S*)"                                      // paths
      R"(|tessaro config set \S+)"                      // a command to type
      R"(|\[\w+\] \w+)"                                  // a key of the settings file
      R"(|[\w*-]*\.(?:ini|dat|csv)\b)"                  // file names
      R"(|\bDataLog\d{4}_\d{2}\b|\bCOM\d+\b)"           // month files, ports
      R"(|\b[0-9A-F]{4}\b)"                             // status words
      R"(|\d[\d.,]*E[+-]?\d+)"                          // numbers too long for fixed notation
      // Whole Latin words (Chinese letters around them count as a boundary).
      R"(|(?<![A-Za-z])(?:Tessaro|PC|UPS|RS485|Modbus|MQTT|RXA\w*|TMV\d+|GDS\d+|ECO|EOD|ID|AH|CSV|GBK|UTF|BOM)(?![A-Za-z]))"
      R"(|(?<![A-Za-z])(?:Hz|HZ|kVA|Minute)(?![A-Za-z]))"                      // units
      R"(|(?<![A-Za-z])(?:TX|RX|CMM|INV|SYS|ST|AL|ON|OFF|NAN|INF)(?![A-Za-z]))"  // lamps, status words, switches
      // The language menu keeps its title and names English in English:
      // whoever cannot read one language finds the other.
      R"(|(?<![A-Za-z])(?:Language|English)(?![A-Za-z]))"));
  return re;
}

QString Judged(QString text) {
  text.remove(QLatin1Char('&'));
  return text.replace(NotLanguage(), QStringLiteral(" "));
}

bool ForeignTo(const QString& text, int language) {
  static const QRegularExpression english(QStringLiteral("[A-Za-z]{2,}"));
  static const QRegularExpression chinese(QStringLiteral("[\\x{3000}-\\x{303F}\\x{3400}-\\x{9FFF}\\x{FF01}-\\x{FF5E}]"));
  const QString judged = Judged(text);
  return (language == 1 ? english : chinese).match(judged).hasMatch();
}

QString PlainText(const QLabel* label) {
  const QString text = label->text();
  return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

// Every text the operator can see in one window, with where it is.
struct TText {
  QString Where;
  QString Text;
};

class TReader {
 public:
  explicit TReader(QWidget* window) : FWindow(window) {}

  std::vector<TText> Read() {
    Add(FWindow, FWindow->windowTitle());
    if (auto* main = qobject_cast<QMainWindow*>(FWindow)) ReadMenu(main->menuBar()->actions());
    for (QWidget* w : FWindow->findChildren<QWidget*>()) {
      if (!w->isVisibleTo(FWindow) || w->window() != FWindow) continue;
      ReadWidget(w);
    }
    return FTexts;
  }

 private:
  void Add(const QObject* where, const QString& text) {
    if (!text.trimmed().isEmpty()) FTexts.push_back({Name(where), text});
  }
  static QString Name(const QObject* o) {
    return o->objectName().isEmpty() ? QString::fromLatin1(o->metaObject()->className()) : o->objectName();
  }

  void ReadMenu(const QList<QAction*>& actions) {
    for (QAction* a : actions) {
      if (!a->isVisible()) continue;
      Add(a, a->text());
      if (a->menu()) ReadMenu(a->menu()->actions());
    }
  }

  void ReadWidget(QWidget* w) {
    Add(w, w->toolTip());
    if (auto* l = qobject_cast<QLabel*>(w)) Add(w, PlainText(l));
    if (auto* b = qobject_cast<QAbstractButton*>(w)) Add(w, b->text());
    if (auto* g = qobject_cast<QGroupBox*>(w)) Add(w, g->title());
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      if (e->echoMode() == QLineEdit::Normal) Add(w, e->text());
      Add(w, e->placeholderText());
    }
    if (auto* e = qobject_cast<QPlainTextEdit*>(w)) Add(w, e->toPlainText());
    if (auto* s = qobject_cast<QAbstractSpinBox*>(w)) Add(w, s->text());
    if (auto* c = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < c->count(); ++i) Add(w, c->itemText(i));
    if (auto* t = qobject_cast<QTabBar*>(w))
      for (int i = 0; i < t->count(); ++i)
        if (t->isTabVisible(i)) Add(w, t->tabText(i));
    if (auto* tb = qobject_cast<QToolBar*>(w))
      for (QAction* a : tb->actions())
        if (a->isVisible()) Add(a, a->toolTip());
    if (auto* v = qobject_cast<QAbstractItemView*>(w)) ReadItems(v);
    if (auto* c = qobject_cast<QChartView*>(w)) ReadChart(c->chart());
    // Texts our own widgets paint, which they publish as properties.
    const QMetaObject* mo = w->metaObject();
    if (QByteArray(mo->className()).startsWith("tessaro::"))
      for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        if (mo->property(i).metaType() == QMetaType::fromType<QString>()) Add(w, mo->property(i).read(w).toString());
  }

  void ReadItems(QAbstractItemView* view) {
    QAbstractItemModel* model = view->model();
    // A file dialog's listing is the disk's, not the program's.
    if (!model || model->inherits("QFileSystemModel") || view->window()->inherits("QFileDialog")) return;
    if (auto* table = qobject_cast<QTableView*>(view)) {
      for (int c = 0; c < model->columnCount(); ++c)
        if (!table->isColumnHidden(c)) Add(view, model->headerData(c, Qt::Horizontal).toString());
    }
    std::function<void(const QModelIndex&, int)> walk = [&](const QModelIndex& parent, int depth) {
      const int rows = std::min(model->rowCount(parent), 60);
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < model->columnCount(parent); ++c) {
          const QModelIndex i = model->index(r, c, parent);
          Add(view, i.data(Qt::DisplayRole).toString());
          Add(view, i.data(Qt::ToolTipRole).toString());
          if (depth < 2 && model->hasChildren(i)) walk(i, depth + 1);
        }
    };
    walk({}, 0);
  }

  void ReadChart(QChart* chart) {
    Add(chart, chart->title());
    for (QAbstractAxis* axis : chart->axes()) Add(chart, axis->titleText());
    for (QAbstractSeries* s : chart->series()) Add(chart, s->name());
  }

  QWidget* FWindow;
  std::vector<TText> FTexts;
};

// The texts cut off by their widgets, at the window's present size.
QStringList Clipped(QWidget* window) {
  QStringList out;
  const auto clipped = [&](QWidget* w, const QString& text, int needed, int has) {
    if (needed > has) out << QStringLiteral("%1 \"%2\" needs %3 px, has %4").arg(w->objectName(), text).arg(needed).arg(has);
  };
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisible() || w->window() != window) continue;
    const QFontMetrics fm(w->font());
    if (auto* l = qobject_cast<QLabel*>(w); l && !l->wordWrap() && l->pixmap().isNull()) {
      const QRect room = l->contentsRect().adjusted(l->margin(), 0, -l->margin(), 0);
      // A mnemonic's & is not drawn.
      for (const QString& line : PlainText(l).remove(QRegularExpression(QStringLiteral("&(?!&)"))).split(QLatin1Char('\n')))
        clipped(w, line, fm.horizontalAdvance(line), room.width() - std::max(0, l->indent()));
    } else if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w)) {
      auto* box = static_cast<QAbstractButton*>(w);
      clipped(w, box->text(), box->sizeHint().width(), box->width());
    } else if (auto* b = qobject_cast<QPushButton*>(w); b && !b->text().isEmpty()) {
      const QString text = QString(b->text()).remove(QLatin1Char('&'));
      const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + 4;
      clipped(w, text, fm.horizontalAdvance(text) + icon + 8, b->width());
    } else if (auto* g = qobject_cast<QGroupBox*>(w); g && !g->title().isEmpty()) {
      // Drawn in bold by the style, after the indent of its label.
      QStyleOptionGroupBox opt;
      opt.initFrom(g);
      opt.text = g->title();
      opt.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
      const QRect label = g->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, g);
      QFont bold = g->font();
      bold.setBold(true);
      const int title = QFontMetrics(bold).horizontalAdvance(g->title());
      clipped(w, g->title(), title, label.width());  // the style's own room for it
      clipped(w, g->title(), label.left() + title, g->width());
    } else if (auto* h = qobject_cast<QHeaderView*>(w);
               // Qt's file dialog sizes its own columns, by the fonts the machine has.
               h && h->orientation() == Qt::Horizontal && h->model() && !h->window()->inherits("QFileDialog")) {
      for (int c = 0; c < h->count(); ++c)
        if (!h->isSectionHidden(c) && h->sectionSize(c) > 0)
          clipped(w, h->model()->headerData(c, Qt::Horizontal).toString(), h->sectionSizeHint(c), h->sectionSize(c));
    }
  }
  // Cells of the grids in sight.
  for (QTableView* t : window->findChildren<QTableView*>()) {
    if (!t->isVisible() || !t->model() || t->window()->inherits("QFileDialog")) continue;
    const QFontMetrics fm(t->font());
    const int rows = std::min(t->model()->rowCount(), 30);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < t->model()->columnCount(); ++c) {
        const QString text = t->model()->index(r, c).data().toString();
        if (!text.isEmpty() && !t->isColumnHidden(c)) clipped(t, text, fm.horizontalAdvance(text) + 6, t->columnWidth(c));
      }
  }
  return out;
}

// Walks the windows. Each kind of window (class and name) is read when first
// met, and each of its buttons is pressed once; a button that closes its
// window is followed by opening the window again from where it came. The
// model gate is passed with a wrong word first, then a right one.
class TExplorer {
 public:
  explicit TExplorer(int language) : FLanguage(language) {}

  QStringList Faults;
  std::set<QString> Windows;  // the kinds of window met

  // Runs `open`, which shows windows (modal or not) or none, and walks every
  // window it shows; again while a window shown has buttons left to press.
  void Walk(const QString& path, const std::function<void()>& open) {
    const int level = ++FLevel;
    for (int round = 0; round < 40; ++round) {
      bool more = false;
      std::set<QWidget*> handled;
      const QList<QWidget*> before = ShownWindows();
      auto handleNew = [&] {
        // Only the innermost walk handles what appears.
        if (FLevel != level) return;
        for (QWidget* w : NewWindows(before)) {
          // A viewer still reading its month is visited when it is done.
          if (auto* data = qobject_cast<TFrmDataLog*>(w); data && data->Loading()) continue;
          if (!handled.insert(w).second) continue;
          more = Visit(path, w) || more;
          Dismiss(w);
        }
      };
      QTimer poll;
      poll.setInterval(10);
      QObject::connect(&poll, &QTimer::timeout, handleNew);
      poll.start();
      open();
      for (int i = 0; i < 10; ++i) {  // windows that do not block are up by now
        QTest::qWait(10);
        handleNew();
      }
      poll.stop();
      if (!more) break;
    }
    --FLevel;
  }

 private:
  static QList<QWidget*> ShownWindows() {
    QList<QWidget*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && !w->inherits("QMenu") && !w->inherits("QTipLabel")) out << w;
    return out;
  }
  static QList<QWidget*> NewWindows(const QList<QWidget*>& before) {
    QList<QWidget*> out;
    for (QWidget* w : ShownWindows())
      if (!before.contains(w)) out << w;
    return out;
  }


  static bool Own(const QWidget* w) { return QByteArray(w->metaObject()->className()).startsWith("tessaro::"); }

  // Reads the window and presses its next buttons; true when it closed with
  // buttons left.
  bool Visit(const QString& path, QWidget* w) {
    QTest::qWait(10);
    const QString kind = QString::fromLatin1(w->metaObject()->className()) + QLatin1Char('/') + w->objectName();
    const QString here = path + QStringLiteral(" > ") + kind;
    if (Windows.insert(kind).second) Check(here, w);
    if (!Own(w) || FLevel > 6) return false;
    if (auto* edit = w->findChild<QLineEdit*>(QStringLiteral("edtPSW"))) return PassGate(here, w, edit);
    int& next = FNextButton[here];
    while (true) {
      const QList<QAbstractButton*> buttons = Buttons(w);
      if (next >= buttons.size()) return false;
      QPointer<QAbstractButton> b = buttons[next++];
      if (!b->isVisible() || !b->isEnabled()) continue;
      const QString name = b->objectName().isEmpty() ? b->text() : b->objectName();
      Walk(here + QLatin1Char(' ') + name, [b] {
        if (b) b->click();
      });
      if (!w->isVisible()) return next < Buttons(w).size();
    }
  }

  bool PassGate(const QString& here, QWidget* gate, QLineEdit* edit) {
    auto* ok = gate->findChild<QPushButton*>(QStringLiteral("btnOK"));
    if (FGateRefused.insert(here).second) {
      edit->setText(QStringLiteral("wrong"));
      Walk(here + QStringLiteral(" wrong word"), [ok] { ok->click(); });
    }
    edit->setText(QStringLiteral("RXA410"));
    ok->click();
    return false;
  }

  // Push and tool buttons, in the order they were made.
  static QList<QAbstractButton*> Buttons(QWidget* w) {
    QList<QAbstractButton*> out;
    for (QAbstractButton* b : w->findChildren<QAbstractButton*>())
      if (b->window() == w && (qobject_cast<QPushButton*>(b) || b->inherits("QToolButton"))) out << b;
    return out;
  }

  void Check(const QString& where, QWidget* w) {
    // The trace window is for service work and speaks English only.
    const bool judged = !(FLanguage == 1 && w->objectName() == QStringLiteral("FrmCom"));
    if (judged)
      for (const TText& t : TReader(w).Read())
        if (ForeignTo(t.Text, FLanguage))
          Faults << where + QStringLiteral(": ") + t.Where + QStringLiteral(" \"") + t.Text + QLatin1Char('"');
    for (const QString& c : Clipped(w)) Faults << where + QStringLiteral(": cut off: ") + c;
  }

  static void Dismiss(QWidget* w) {
    if (!w->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      QAbstractButton* b = box->escapeButton() ? box->escapeButton() : box->buttons().value(0);
      if (b) b->click();
    } else if (auto* d = qobject_cast<QDialog*>(w)) {
      d->done(QDialog::Rejected);  // past any refusal to close
    } else {
      w->close();
    }
  }

  int FLanguage;
  int FLevel = 0;
  std::map<QString, int> FNextButton;
  std::set<QString> FGateRefused;
};

void Online(TUpsInfo& r) {
  r.CommState = 0;
  r.StateCode = StateBattery;
  r.InputSupply = 2;
  r.UpsSupply = 1;
  r.Measure.InputVoltA = 1234.5;  // wide values for the cut-off check
  r.Measure.OutputVoltA = 220.1;
  r.Measure.LoadA = 150;
  r.Measure.OutputFreq = 50.0;
  r.Measure.DcInputVolt = 384.6;
  r.Measure.BattCapacity = 96;
  r.Measure.BattBackupTime = 42;
  r.AlarmCodes[0] = 21;
  r.AlarmCodes[1] = 16;
  r.AlarmCount = 2;
}

}  // namespace

class TstLanguages : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    // The desktop's own font, as the operator sees it.
    UseInterfaceFont(*qApp);
    QVERIFY2(QFile::exists(TQtTexts::CatalogueDir() + QStringLiteral("/qtbase_zh_CN.qm")),
             "Qt's Chinese catalogue is missing (Debian qt6-translations-l10n)");
  }

  void judgeSeparatesLanguagesFromNames_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("language");
    QTest::addColumn<bool>("foreign");
    QTest::newRow("Chinese caption") << "Tessaro监控" << 1 << false;
    QTest::newRow("Qt button with its key") << "是(&Y)" << 1 << false;
    QTest::newRow("English button") << "&Yes" << 1 << true;
    QTest::newRow("command in a Chinese sentence") << "请执行 tessaro config set MaxReSend=2" << 1 << false;
    QTest::newRow("units and codes") << "0A1F-0000 220.0 V 50.0 Hz" << 1 << false;
    QTest::newRow("English word") << "输出频率 Output" << 1 << true;
    QTest::newRow("Chinese in English") << "Data Log 数据" << 0 << true;
    QTest::newRow("path") << "/dev/serial/by-id/usb-FTDI_FT232R-if00" << 0 << false;
  }
  void judgeSeparatesLanguagesFromNames() {
    QFETCH(QString, text);
    QFETCH(int, language);
    QFETCH(bool, foreign);
    QCOMPARE(ForeignTo(text, language), foreign);
  }

  void everyWindowSpeaksOneLanguage_data() {
    QTest::addColumn<int>("language");
    QTest::newRow("Chinese") << 1;
    QTest::newRow("English") << 0;
  }
  void everyWindowSpeaksOneLanguage() {
    QFETCH(int, language);
    TMainFixture f({{1, "UPS-1"}, {2, "UPS-2"}}, language, 2);
    f.Clock.Set(EncodeDateTime({.Year = 2023, .Month = 3, .Day = 15, .Hour = 12}));
    f.OpenPort();
    Online(f.Slot(1));
    f.Slot(2).CommState = 2;
    // A month of data and a few events, so the grids have rows.
    std::vector<DataRecord> month;
    for (int i = 0; i < 3; ++i) month.push_back(MakeDataRecord(f.Slot(1), f.Clock.Now() - i / 24.0));
    std::ofstream(DataLogFileName(f.Context->RecordDir, 2023, 3), std::ios::binary)
        .write(reinterpret_cast<const char*>(month.data()), static_cast<std::streamsize>(month.size() * sizeof(DataRecord)));
    f.Context->EventLogger->LogProgramEvent(0);
    f.Context->EventLogger->LogAlarmEvent(1, 21, true);
    f.Context->EventLogger->LogAlarmEvent(1, 21, false);
    f.Context->EventLogger->LogDeviceEvent(1, StateBattery);
    f.ShowWindow();
    f.Main->RefreshView();
    f.Main->HousekeepingPass();
    QTest::qWait(20);  // laid out for the new texts

    TExplorer explorer(language);
    const QList<QAction*> menus = f.Main->menuBar()->actions();
    {
      TReader reader(f.Main.get());
      for (const TText& t : reader.Read())
        if (ForeignTo(t.Text, language)) explorer.Faults << QStringLiteral("FrmMain: ") + t.Where + QStringLiteral(" \"") + t.Text + QLatin1Char('"');
      for (const QString& c : Clipped(f.Main.get())) explorer.Faults << QStringLiteral("FrmMain: cut off: ") + c;
    }
    // The sketch and the graphs.
    f.Main->LiveTabs()->setCurrentIndex(1);
    QTest::qWait(20);
    for (const QString& c : Clipped(f.Main.get())) explorer.Faults << QStringLiteral("FrmMain sketch: cut off: ") + c;
    f.Main->Pages()->setCurrentIndex(1);
    QTest::qWait(20);
    for (const QString& c : Clipped(f.Main.get())) explorer.Faults << QStringLiteral("FrmMain graphs: cut off: ") + c;
    f.Main->Pages()->setCurrentIndex(0);
    f.Main->LiveTabs()->setCurrentIndex(0);

    // Every menu entry but the language switch and Exit, then the tree's
    // buttons but Delete (it deletes without asking), then Exit (answered No).
    QAction* exit = Child<QAction>(*f.Main, "mni103");
    for (QAction* menu : menus)
      for (QAction* entry : menu->menu()->actions()) {
        if (entry->isSeparator() || !entry->isVisible() || entry == exit || menu->menu() == Child<QMenu>(*f.Main, "mni400")) continue;
        QPointer<QAction> a = entry;
        explorer.Walk(QStringLiteral("menu ") + entry->text(), [a] {
          if (a) a->trigger();
        });
      }
    for (QPushButton* b : {f.Main->TreePane().SearchButton(), f.Main->TreePane().NewButton(), f.Main->TreePane().PropertyButton()})
      explorer.Walk(b->objectName(), [b] { b->click(); });
    explorer.Walk(QStringLiteral("menu Exit"), [exit] { exit->trigger(); });

    // Windows still open follow a switch to the other language at once.
    f.Main->mni201Click();  // the event log viewer
    (language == 1 ? Child<QAction>(*f.Main, "mni402") : Child<QAction>(*f.Main, "mni401"))->trigger();
    QTest::qWait(20);
    for (int pass = 0; pass < 6; ++pass) f.Main->HousekeepingPass();  // device and port texts follow at the next refresh
    for (QWidget* w : {static_cast<QWidget*>(f.Main.get()), static_cast<QWidget*>(f.Main->LogMenu->EventLog())})
      for (const TText& t : TReader(w).Read())
        if (ForeignTo(t.Text, 1 - language))
          explorer.Faults << QStringLiteral("after the switch, ") + w->objectName() + QStringLiteral(": ") + t.Where +
                                 QStringLiteral(" \"") + t.Text + QLatin1Char('"');

    const QStringList met(explorer.Windows.begin(), explorer.Windows.end());
    qInfo().noquote() << "windows met:" << met.join(QStringLiteral(", "));
    for (const char* expected : {"TFrmEventLog", "TFrmDataLog", "TFrmDelDataRec", "TFrmDataLogSet", "TFrmSoftwarePara",
                                 "TFrmEquipSearch", "TFrmNewEquip", "TFrmProperty", "TFrmAbout", "TFrmUserSet",
                                 "TfrmPSW", "QMessageBox", "QFileDialog"})
      QVERIFY2(met.join(QLatin1Char(' ')).contains(QLatin1String(expected)), expected);
    for (const QString& fault : explorer.Faults) qWarning().noquote() << fault;
    QVERIFY2(explorer.Faults.isEmpty(), "texts in the other language or cut off: see the warnings above");
  }
};

QTEST_MAIN(TstLanguages)
#include "tst_languages.moc"
