// libFuzzer target: request lines of the network UPS protocol. The input is
// cut at its line feeds, as the server cuts what a client sends, and every
// line is answered on one session over a small bus with device commands on.
// The first byte picks the session: already logged in or not, on loopback or
// not, remote commands allowed or not, the device offering commands or not.
// Checked: SplitLine never reads past the line, every answer is whole lines
// with no control byte in them, each word quoted back splits to itself, a
// command is queued only for a logged-in user on an allowed peer, and the
// tracking ids stay bounded.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/NutCommands.h"
#include "net/NutLine.h"
#include "tests/net/NutFixture.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckReply(const std::string& text) {
  Check(text.empty() || text.back() == '\n');
  for (const char c : text) Check(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tessaro::testing::TNutBus bus;
  static tessaro::testing::TCommandRig rig{bus.Clock};
  if (size == 0) return 0;
  const uint8_t choice = data[0];
  tessaro::net::TNutSource source = bus.Source();
  source.Control = &rig.Control;
  rig.Control.RemoteCommands = (choice & 4) != 0;
  rig.Offered = (choice & 8) == 0;
  rig.Queued.clear();
  tessaro::net::TNutSession session;
  session.Peer = (choice & 2) ? "192.0.2.7" : "127.0.0.1";
  if (choice & 1) {  // logged in without paying for a password check on every input
    session.UserSet = session.PasswordSet = true;
    session.User = "operator";
    session.Auth = tessaro::net::TNutSession::TAuth::Good;
  }
  tessaro::net::TNutShared logins;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    // An exact-size copy, so AddressSanitizer sees a read past the line.
    const size_t length = end - start;
    char* line = static_cast<char*>(std::malloc(length ? length : 1));
    input.copy(line, length, start);
    const std::string_view view(line, length);

    std::vector<std::string> words;
    if (tessaro::net::SplitLine(view, words)) {
      for (const std::string& w : words) {
        std::vector<std::string> back;
        Check(tessaro::net::SplitLine(tessaro::net::Quote(w), back) && back.size() == 1 && back[0] == w);
      }
    }
    const tessaro::net::TNutReply reply = tessaro::net::HandleLine(view, session, source, logins);
    CheckReply(reply.Text);
    Check(rig.Queued.empty() || (session.Auth == tessaro::net::TNutSession::TAuth::Good &&
                                 (rig.Control.RemoteCommands || session.Peer == "127.0.0.1")));
    Check(logins.Tracked.size() <= tessaro::net::TNutShared::MaxTracked);
    std::free(line);
    if (reply.Close) break;
    start = end + 1;
  }
  tessaro::net::EndSession(session, logins);
  Check(logins.Logins.empty());
  return 0;
}
