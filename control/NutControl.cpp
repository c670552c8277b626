#include "control/NutControl.h"

#include "control/Control.h"
#include "control/Shutdown.h"
#include "engine/Context.h"

namespace tessaro {

std::optional<TCommandRequest> NutCommandRequest(uint8_t address, net::TNutCommand command,
                                                 const std::string* value) {
  TCommandRequest r;
  r.Addr = address;
  switch (command) {
    case net::TNutCommand::BatteryTestStart: {
      r.Kind = TCommandKind::BatteryTest;
      const std::optional<uint16_t> seconds = value ? TestTimeValue(*value) : DefaultTestSeconds;
      if (!seconds) return std::nullopt;
      r.Value = *seconds;
      return r;
    }
    case net::TNutCommand::BatteryTestStop: r.Kind = TCommandKind::CancelTest; break;
    case net::TNutCommand::LoadOff: r.Kind = TCommandKind::LoadOff; break;
    case net::TNutCommand::LoadOn: r.Kind = TCommandKind::LoadOn; break;
  }
  if (value) return std::nullopt;
  return r;
}

net::TNutOutcome NutOutcome(const TTrackedCommand* command) {
  if (!command) return net::TNutOutcome::Unknown;
  switch (command->State) {
    case TCommandState::Pending: return net::TNutOutcome::Pending;
    case TCommandState::Confirmed:
    case TCommandState::ConfirmedLate: return net::TNutOutcome::Success;
    // Illegal data address or value: the device would not take what was sent.
    case TCommandState::Refused:
      return command->ExceptionCode == 2 || command->ExceptionCode == 3 ? net::TNutOutcome::InvalidArgument
                                                                        : net::TNutOutcome::Failed;
    default: return net::TNutOutcome::Failed;
  }
}

std::unique_ptr<TNutCommandHost> MakeNutCommandHost(TContext& ctx, std::function<bool()> portOpen,
                                                    std::function<void(const std::string&)> report,
                                                    const std::function<void(const std::string&)>& say) {
  auto host = std::make_unique<TNutCommandHost>();
  const std::string& path = ctx.Settings.NutUsersFile;
  std::string error;
  if (!path.empty()) host->Users = net::TUsersFile::Load(path, error);
  if (say && !path.empty() && !host->Users)
    say("network UPS server: users file " + path + " refused, so no one may give device commands: " + error);
  net::TNutControl& c = host->Control;
  c.Users = host->Users ? &*host->Users : nullptr;
  if (host->Users) host->Checker = std::make_unique<net::TCredentialChecker>(ctx.Clock);
  c.Checker = host->Checker.get();
  c.RemoteCommands = ctx.Settings.NutRemoteCommands;
  c.Offers = [&ctx](int) { return ProtocolTakesCommands(ctx.Settings.PortInfo.Protocol); };
  c.Queue = [&ctx, portOpen = std::move(portOpen)](int address, net::TNutCommand command, const std::string* value) {
    net::TNutQueued out;
    const std::optional<TCommandRequest> request = NutCommandRequest(static_cast<uint8_t>(address), command, value);
    if (!request) {
      out.BadValue = true;
      out.Reason = "the test time is a whole number of seconds up to 65535";
      return out;
    }
    const TCommandTicket ticket = QueueControlCommand(ctx, *request, portOpen());
    out.Id = ticket.Check == TCommandCheck::Ok ? ticket.Id : 0;
    out.Reason = CheckText(ticket.Check, 0);
    return out;
  };
  c.Outcome = [&ctx](uint32_t id) { return NutOutcome(ctx.Commands.Find(id)); };
  c.OnReport = std::move(report);
  c.Forced = &ctx.Forced;
  c.ForceShutdown = [&ctx, onReport = c.OnReport](int address, const std::string& user, const std::string& peer) {
    std::string logError;
    const bool first = ForceShutdown(ctx, address, {"user \"" + user + "\"", peer}, logError);
    if (!logError.empty() && onReport) onReport(logError);
    return first;
  };
  return host;
}

}  // namespace tessaro
