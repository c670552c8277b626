#include "ui/main/AlarmPanel.h"

#include <QPlainTextEdit>
#include <QStringList>
#include <QVBoxLayout>

#include <algorithm>

#include "core/Catalogue.h"
#include "ui/main/LangTable.h"

namespace tessaro {

TAlarmPanel::TAlarmPanel(QWidget* parent) : QGroupBox(parent) {
  setObjectName(QStringLiteral("grpAlarm"));
  auto* av = new QVBoxLayout(this);
  av->setContentsMargins(8, 16, 8, 8);
  MemoAlarm = new QPlainTextEdit(this);
  MemoAlarm->setObjectName(QStringLiteral("MemoAlarm"));
  MemoAlarm->setReadOnly(true);
  MemoAlarm->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  av->addWidget(MemoAlarm);
}

void TAlarmPanel::ApplyLanguage(int language) { setTitle(LangText(TTextId::GrpAlarm, language)); }

void TAlarmPanel::ShowAlarms(const TUpsInfo& r, int language) {
  QStringList lines;
  const int count = std::min<int>(r.AlarmCount, MaxAlarms);
  for (int i = 0; i < count; ++i) {
    const std::string text = AlarmText(r.AlarmCodes[i], language);
    if (!text.empty()) lines << QString::fromStdString(text);
  }
  const QString joined = lines.join(QLatin1Char('\n'));
  if (MemoAlarm->toPlainText() != joined) MemoAlarm->setPlainText(joined);
}

}  // namespace tessaro
