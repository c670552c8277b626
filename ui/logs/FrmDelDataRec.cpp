#include "ui/logs/FrmDelDataRec.h"

#include <dirent.h>
#include <unistd.h>

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

#include "ui/logs/LogTableModel.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

TFrmDelDataRec::TFrmDelDataRec(std::string recordDir, int language, std::function<void()> reload, QWidget* parent)
    : QDialog(parent), FRecordDir(std::move(recordDir)), FLanguage(language), FReload(std::move(reload)) {
  setObjectName(QStringLiteral("FrmDelDataRec"));
  const int l = language;
  setWindowTitle(LangPick(l, "删除月记录", "Delete Data Log"));
  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName(QStringLiteral("ListBox1"));
  btnDelete = new QPushButton(LangPick(l, "删除该月记录", "Delete Record Of This Month"), this);
  btnDelete->setObjectName(QStringLiteral("btnDelete"));
  btnDelete->setToolTip(LangPick(l, "删除所选项对应的月记录", "Delete Record Of This Month"));
  lbl1 = new QLabel(LangPick(l, "从下表中选择要删除的月数据记录,然后点击删除按钮!",
                             "In left list, select a item that you want to delete, and then click deleting button,"),
                    this);
  lbl2 = new QLabel(LangPick(l, "列表项解析: 如DataLog2008_12表示的是2008年12月的月记录!",
                             "data section of every item express time of this log."),
                    this);
  lbl1->setWordWrap(true);
  lbl2->setWordWrap(true);
  auto* side = new QVBoxLayout;
  side->addWidget(lbl1);
  side->addWidget(lbl2);
  side->addStretch(1);
  side->addWidget(btnDelete);
  auto* box = new QHBoxLayout(this);
  box->addWidget(ListBox1, 1);
  box->addLayout(side, 1);
  resize(520, 300);
  connect(btnDelete, &QPushButton::clicked, this, &TFrmDelDataRec::btnDeleteClick);
  ListMonths();
}

void TFrmDelDataRec::ListMonths() {
  ListBox1->clear();
  // In the order the file system gives them.
  DIR* dir = ::opendir(FRecordDir.c_str());
  if (!dir) return;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".dat") != 0) continue;
    const std::string stem = name.substr(0, name.size() - 4);
    if (stem.compare(0, 7, "DataLog") == 0 && stem.size() >= 7) ListBox1->addItem(QString::fromStdString(stem));
  }
  ::closedir(dir);
}

QString TFrmDelDataRec::Question(int language, const QString& entry) {
  // DataLog<yyyy>_<mm>: the question names the month it deletes.
  static const QRegularExpression monthName(QStringLiteral("^DataLog(\\d{4})_(\\d{2})$"));
  const QRegularExpressionMatch m = monthName.match(entry);
  if (!m.hasMatch())
    return LangPick(language, "你确定要删除 %1 吗? ", "Are you sure delete %1 ?").arg(entry);
  const int year = m.captured(1).toInt();
  const int month = m.captured(2).toInt();
  return language == 1 ? QStringLiteral("你确定要删除 %1 年 %2 月的数据日志 (%3)? ").arg(year).arg(month).arg(entry)
                       : QStringLiteral("Are you sure delete the data log of %1-%2 (%3) ?")
                             .arg(year)
                             .arg(month, 2, 10, QLatin1Char('0'))
                             .arg(entry);
}

void TFrmDelDataRec::btnDeleteClick() {
  const int l = FLanguage;
  // Nothing chosen, nothing to delete: no question either.
  QListWidgetItem* item = ListBox1->currentItem();
  if (!item || !item->isSelected()) return;
  if (!AskWarningYesNo(this, LangPick(l, "请确认", "Confirm"), Question(l, item->text()))) return;
  const std::string path = FRecordDir + item->text().toStdString() + ".dat";
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    // Not deleted: said so, and the month stays in the list.
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    ShowMessage(this, LangPick(l, "不能删除 ", "Cannot delete ") + QString::fromStdString(path) + ": " + reason);
    return;
  }
  if (FReload) FReload();
  delete item;
}

}  // namespace tessaro
