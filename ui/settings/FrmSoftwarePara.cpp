#include "ui/settings/FrmSoftwarePara.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>

#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "serial/PortName.h"
#include "ui/widgets/GrowToContent.h"
#include "ui/widgets/MsgBox.h"
#include "ui/settings/AutoStart.h"
#include "ui/settings/PortList.h"

namespace tessaro {

namespace {

enum TText { Caption, PortLabel, SpeedLabel, ProtocolLabel, AutoStartBox, Save, Cancel, Proto0, Proto1, Proto2, Proto3,
             SaveFailed, MqttLabel, MqttOff, MqttCommands };

struct TTextPair {
  const char* Zh;
  const char* En;
};

// Indexed by TText.
constexpr TTextPair Texts[] = {
    {"软件参数设定", "Software Parameter Setting"},
    {"通讯串口", "COM"},
    {"波特率", "Baud Rate"},
    {"通讯协议:", "Protocol:"},
    {"开机自启动", "Automatic Run Program At Windows Startup"},
    {"保存设置", "Save Setting"},
    {"取消", "Cancel"},
    {"多模块UPS", "Multimode UPS"},
    {"三相工频UPS", "Industrial Frequency UPS"},
    {"Modbus", "Modbus "},
    {"RXA", "RXA"},
    {"设置文件保存失败:", "The settings file could not be saved:"},
    {"MQTT 服务器", "MQTT broker"},
    {"未启用 (设置文件 [Mqtt] Broker)", "off ([Mqtt] Broker in the settings file)"},
    {"，接受设备命令", ", device commands taken"},
};

const int BaudRates[] = {2400, 4800, 9600, 19200, 38400};

}  // namespace

TFrmSoftwarePara::TFrmSoftwarePara(TContext& context, TPollEngine& engine, std::function<void()> applyLayout,
                                   QWidget* parent, std::string devDir)
    : QDialog(parent), FCtx(context), FEngine(engine), FApplyLayout(std::move(applyLayout)), FDevDir(std::move(devDir)) {
  setObjectName(QStringLiteral("FrmSoftwarePara"));
  setWindowFlags(Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setModal(true);
  setMinimumWidth(420);

  bsSkinLabel2 = new QLabel(this);
  bsSkinLabel3 = new QLabel(this);
  lbProtocol = new QLabel(this);
  cbxComName = new QComboBox(this);
  cbxComName->setObjectName(QStringLiteral("cbxComName"));
  cbxComName->setMaxVisibleItems(20);
  // Any other device path, or a serial server's tcp:// or rfc2217:// name,
  // can be typed in.
  cbxComName->setEditable(true);
  cbxComName->setInsertPolicy(QComboBox::NoInsert);
  cbxBaudRate = new QComboBox(this);
  cbxBaudRate->setObjectName(QStringLiteral("cbxBaudRate"));
  cbxcurProtocol = new QComboBox(this);
  cbxcurProtocol->setObjectName(QStringLiteral("cbxcurProtocol"));
  crbAutoStartup = new QCheckBox(this);
  crbAutoStartup->setObjectName(QStringLiteral("crbAutoStartup"));
  lbMqtt = new QLabel(this);
  // Set in the settings file or with `config set`, like the other listeners.
  edMqtt = new QLineEdit(this);
  edMqtt->setObjectName(QStringLiteral("edMqtt"));
  edMqtt->setReadOnly(true);
  lbWarnings = new QLabel(this);
  lbWarnings->setObjectName(QStringLiteral("lbWarnings"));
  lbWarnings->setWordWrap(true);
  lbWarnings->setStyleSheet(QStringLiteral("color: #b00000;"));
  SaveSetBtn = new QPushButton(this);
  SaveSetBtn->setObjectName(QStringLiteral("SaveSetBtn"));
  SaveSetBtn->setDefault(true);
  Button4 = new QPushButton(this);
  Button4->setObjectName(QStringLiteral("Button4"));

  auto* grid = new QGridLayout(this);
  grid->addWidget(bsSkinLabel2, 0, 0);
  grid->addWidget(cbxComName, 0, 1);
  grid->addWidget(bsSkinLabel3, 1, 0);
  grid->addWidget(cbxBaudRate, 1, 1);
  grid->addWidget(lbProtocol, 2, 0);
  grid->addWidget(cbxcurProtocol, 2, 1);
  grid->addWidget(lbMqtt, 3, 0);
  grid->addWidget(edMqtt, 3, 1);
  grid->addWidget(crbAutoStartup, 4, 0, 1, 2);
  grid->addWidget(lbWarnings, 5, 0, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(SaveSetBtn);
  buttons->addWidget(Button4);
  grid->addLayout(buttons, 6, 0, 1, 2);
  grid->setColumnStretch(1, 1);

  // The ports this machine has, then the COM names.
  for (const TPortEntry& port : MachinePorts(FDevDir))
    cbxComName->addItem(QString::fromStdString(port.Label), QString::fromStdString(port.Name));
  for (int n = 1; n <= 256; ++n) {
    const QString name = QStringLiteral("COM%1").arg(n);
    cbxComName->addItem(name, name);
  }
  for (int baud : BaudRates) cbxBaudRate->addItem(QString::number(baud), baud);
  for (int i = 0; i < 4; ++i) cbxcurProtocol->addItem(QString());

  connect(SaveSetBtn, &QPushButton::clicked, this, &TFrmSoftwarePara::SaveSetBtnClick);
  connect(Button4, &QPushButton::clicked, this, &TFrmSoftwarePara::Button4Click);
  for (QComboBox* box : {cbxComName, cbxBaudRate, cbxcurProtocol})
    connect(box, &QComboBox::currentIndexChanged, this, &TFrmSoftwarePara::UpdateWarnings);
  connect(cbxComName, &QComboBox::editTextChanged, this, &TFrmSoftwarePara::UpdateWarnings);
  FormShow();
}

QString TFrmSoftwarePara::Txt(int index) const {
  const TTextPair& t = Texts[index];
  return QString::fromUtf8(FCtx.Settings.Language == 1 ? t.Zh : t.En);
}

void TFrmSoftwarePara::FormShow() {
  setWindowTitle(Txt(Caption));
  bsSkinLabel2->setText(Txt(PortLabel));
  bsSkinLabel3->setText(Txt(SpeedLabel));
  lbProtocol->setText(Txt(ProtocolLabel));
  lbMqtt->setText(Txt(MqttLabel));
  const TSettings& s = FCtx.Settings;
  const QString commands = s.MqttCommands ? Txt(MqttCommands) : QString();
  edMqtt->setText(s.MqttBroker.empty() ? Txt(MqttOff) : QString::fromStdString(s.MqttBroker) + commands);
  crbAutoStartup->setText(Txt(AutoStartBox));
  SaveSetBtn->setText(Txt(Save));
  Button4->setText(Txt(Cancel));
  for (int i = 0; i < 4; ++i) cbxcurProtocol->setItemText(i, Txt(Proto0 + i));

  TPortInfo& port = FCtx.Settings.PortInfo;
  // A port or speed the lists do not have is shown and kept as it is.
  const QString name = QString::fromStdString(port.ComName);
  int index = cbxComName->findData(name);
  if (index < 0) {
    cbxComName->insertItem(0, name, name);
    index = 0;
  }
  cbxComName->setCurrentIndex(index);
  index = cbxBaudRate->findData(port.BaudRate);
  if (index < 0) {
    cbxBaudRate->insertItem(0, QString::number(port.BaudRate), port.BaudRate);
    index = 0;
  }
  cbxBaudRate->setCurrentIndex(index);
  crbAutoStartup->setChecked(port.AutoStart);
  if (port.Protocol > ProtocolRxa) port.Protocol = 0;
  cbxcurProtocol->setCurrentIndex(port.Protocol);
  UpdateWarnings();
}

TSettings TFrmSoftwarePara::Chosen() const {
  TSettings s = FCtx.Settings;
  TPortInfo& port = s.PortInfo;
  const int listed = cbxComName->findText(cbxComName->currentText());
  port.ComName = (listed >= 0 ? cbxComName->itemData(listed).toString() : cbxComName->currentText().trimmed()).toStdString();
  port.BaudRate = cbxBaudRate->currentData().toInt();
  port.Protocol = static_cast<uint8_t>(std::max(cbxcurProtocol->currentIndex(), 0));
  port.AutoStart = crbAutoStartup->isChecked();
  return s;
}

void TFrmSoftwarePara::UpdateWarnings() {
  QStringList lines;
  const TSettings chosen = Chosen();
  std::string why;
  if (!ParsePortName(chosen.PortInfo.ComName, &why, FCtx.Settings.Language)) lines << QString::fromStdString(why);
  for (const TSettingsProblem& warning : CheckSettings(chosen))
    lines << QString::fromStdString(warning.Text(FCtx.Settings.Language));
  lbWarnings->setText(lines.join(QLatin1Char('\n')));
  lbWarnings->setVisible(!lines.isEmpty());
  GrowToContent(this);
}

void TFrmSoftwarePara::SaveSetBtnClick() {
  const TSettings chosen = Chosen();
  std::string why;
  if (!ParsePortName(chosen.PortInfo.ComName, &why, FCtx.Settings.Language)) {
    ShowMessage(this, QString::fromStdString(why));  // nothing changes
    return;
  }
  const TSettings previous = FCtx.Settings;
  const bool wasOpen = FEngine.Port().IsOpen();  // open, or still connecting to a server
  FCtx.Settings = chosen;
  try {
    FEngine.OpenCommPort();
  } catch (const ECommsError& e) {
    // The port's message, with the name tried and the system's reason.
    QString message = QString::fromStdString(e.what()) + QLatin1Char('\n') +
                      QString::fromStdString(FCtx.Settings.PortInfo.ComName);
    if (e.ErrorCode() != 0) message += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(e.ErrorCode()));
    // Nothing changes: the old values come back, and the old port if it was open.
    FCtx.Settings = previous;
    if (wasOpen) {
      try {
        FEngine.OpenCommPort();
      } catch (const ECommsError&) {
      }
    }
    ShowMessage(this, message);
    return;
  }
  // Failing to register is not reported: the choice is still saved.
  ApplyAutoStart(FCtx.Settings.PortInfo.AutoStart,
                 AutoStartCommand(QCoreApplication::applicationFilePath().toStdString(), FCtx.DataDir));
  if (FApplyLayout) FApplyLayout();
  if (const std::error_code ec = FCtx.SaveSettings())
    ShowMessage(this, Txt(SaveFailed) + QLatin1Char('\n') + QString::fromStdString(ec.message()));
  accept();
}

void TFrmSoftwarePara::Button4Click() { reject(); }

}  // namespace tessaro
