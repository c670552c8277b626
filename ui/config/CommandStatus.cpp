#include "ui/config/CommandStatus.h"

#include "control/Control.h"
#include "engine/Context.h"
#include "ui/widgets/GrowToContent.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

TCommandStatus::TCommandStatus(TContext& context, QWidget* parent) : QLabel(parent), FCtx(context) {
  setObjectName(QStringLiteral("lblOutcome"));
  setWordWrap(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse);
  FToken = FCtx.Commands.Subscribe([this](const TTrackedCommand& command) {
    if (FId != 0 && command.Id == FId) Show(command);
  });
}

TCommandStatus::~TCommandStatus() { FCtx.Commands.Unsubscribe(FToken); }

void TCommandStatus::Track(uint32_t id, int language) {
  FId = id;
  FLanguage = language;
  if (const TTrackedCommand* command = FCtx.Commands.Find(id)) Show(*command);
}

void TCommandStatus::Show(const TTrackedCommand& command) {
  const char* colour = "";
  switch (command.State) {
    case TCommandState::Confirmed:
    case TCommandState::ConfirmedLate: colour = "color: #1b7a2f;"; break;
    case TCommandState::NotAnswered: colour = "color: #b34700;"; break;  // not known either way
    case TCommandState::Refused:
    case TCommandState::NotSent: colour = "color: #b3261e;"; break;
    case TCommandState::Pending:
    case TCommandState::Superseded: break;
  }
  setStyleSheet(QString::fromLatin1(colour));
  setText(QString::fromStdString(OutcomeLine(FCtx, command, static_cast<uint8_t>(FLanguage))));
  // The outcome wraps; its window grows rather than clip it or squeeze the choices above it.
  GrowToContent(window());
}

QString TitleWithDevice(const TContext& ctx, const QString& title, uint8_t addr, int language) {
  if (addr == 0) return title;
  return title + QStringLiteral(" - ") + QString::fromStdString(DeviceText(ctx, addr, static_cast<uint8_t>(language)));
}

uint32_t AskAndQueue(QWidget* parent, const TControlHost& host, const TCommandRequest& request, int language) {
  const auto lang = static_cast<uint8_t>(language);
  const TCommandCheck check = CheckCommand(host.Ctx, request, host.PortOpen());
  if (check != TCommandCheck::Ok) {
    ShowMessage(parent, QString::fromStdString(CheckText(check, lang)));
    return 0;
  }
  if (!AskYesNo(parent, QString::fromStdString(ConfirmQuestion(host.Ctx, request, lang)))) return 0;
  // Checked again: the link or the port may have gone while the question was open.
  const TCommandTicket ticket = QueueControlCommand(host.Ctx, request, host.PortOpen());
  if (ticket.Check != TCommandCheck::Ok) ShowMessage(parent, QString::fromStdString(CheckText(ticket.Check, lang)));
  return ticket.Id;
}

}  // namespace tessaro
