#pragma once
// Device commands over the network UPS protocol: the users file named by
// [Network] UsersFile, and the same checks and queue as the windows'.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/CommandTracker.h"
#include "net/CredentialChecker.h"
#include "net/NutCommands.h"
#include "net/UsersFile.h"

namespace tessaro {

class TContext;

struct TNutCommandHost {
  std::optional<net::TUsersFile> Users;
  std::unique_ptr<net::TCredentialChecker> Checker;  // with Users: their password checks
  net::TNutControl Control;  // Control.Users and Control.Checker point into the above
};

// The commands' part of the server for `ctx`: `portOpen` tells whether the
// port is open now, `report` hears every accepted or refused command, and
// `say` why no one may give commands when the users file is refused.
std::unique_ptr<TNutCommandHost> MakeNutCommandHost(TContext& ctx, std::function<bool()> portOpen,
                                                    std::function<void(const std::string&)> report,
                                                    const std::function<void(const std::string&)>& say);

// The request a network command stands for; none when the value is not one
// the battery test window would take.
std::optional<TCommandRequest> NutCommandRequest(uint8_t address, net::TNutCommand command, const std::string* value);

// A tracked command's state as the protocol tells it.
net::TNutOutcome NutOutcome(const TTrackedCommand* command);

}  // namespace tessaro
