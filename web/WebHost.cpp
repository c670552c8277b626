#include "web/WebHost.h"

#include <algorithm>

#include "core/Version.h"
#include "engine/Context.h"

namespace tessaro::web {

TWebHost::TWebHost(const TContext& context, std::function<bool()> portOpen)
    : FCtx(context), FPortOpen(std::move(portOpen)), FFeed(context.Clock), FServer(FFeed, TESSARO_VERSION) {}

TWebHost::~TWebHost() { Stop(); }

bool TWebHost::Start(const TWebConfig& config) {
  if (config.Listen.empty()) return true;
  std::string error;
  if (!FServer.Configure(config, error)) {
    Say("web server not started: " + error);
    return false;
  }
  FWanted = true;
  // Pages served before the first tick show the table as it is now.
  FFeed.Publish(FCtx, FPortOpen());
  TryStart();
  return true;
}

void TWebHost::Stop() {
  FWanted = false;
  FServer.Stop();
}

void TWebHost::TryStart() {
  std::string error;
  if (FServer.Start(error)) {
    Say("web server listening on http://" + FServer.Address() + "/");
    FFailing = false;
    FRetryCountdown = 0;
    return;
  }
  if (!FFailing) Say("web server not started: " + error + "; retrying every " + std::to_string(RetryTicks / 10) + " s");
  FFailing = true;
  FRetryCountdown = RetryTicks;
}

void TWebHost::Tick(int ticks) {
  if (!FWanted) return;
  if (!FServer.Running()) {
    if (FRetryCountdown > 0 && (FRetryCountdown -= std::min(ticks, FRetryCountdown)) == 0) TryStart();
    return;
  }
  FFeed.Publish(FCtx, FPortOpen(), Parts ? Parts() : std::vector<TPartHealth>{});
  FServer.Notify();
  for (const std::string& line : FServer.TakeReports()) Say(line);
}

}  // namespace tessaro::web
