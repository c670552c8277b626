// libFuzzer target: request lines of the network UPS protocol. The input is
// cut at its line feeds, as the server cuts what a client sends, and every
// line is answered on one session over a small bus. Checked: SplitLine never
// reads past the line, every answer is whole lines with no control byte in
// them, and each word quoted back splits to itself.

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
  tessaro::net::TNutSession session;
  tessaro::net::TLoginTable logins;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
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
    const tessaro::net::TNutReply reply = tessaro::net::HandleLine(view, session, bus.Source(), logins);
    CheckReply(reply.Text);
    std::free(line);
    if (reply.Close) break;
    start = end + 1;
  }
  tessaro::net::EndSession(session, logins);
  Check(logins.empty());
  return 0;
}
