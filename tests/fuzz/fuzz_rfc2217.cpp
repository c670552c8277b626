// libFuzzer target: what an RFC 2217 serial server sends, through the Telnet
// layer, cut into chunks as a socket would deliver it (the first byte picks
// the chunk sizes). Checked: the line's data is never more than what came in,
// what we send back stays in proportion to it, a failed link stays failed and
// names why, and a ready link sent its line settings and, when the server
// gave a speed, got the one it asked for.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial/Rfc2217.h"
#include "tests/fuzz/FileFuzz.h"

using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  TLineSettings line;
  line.BaudRate = (data[0] & 0x80) ? 9600 : 0xFFFFFFFF;  // a speed whose bytes are all IAC
  TRfc2217Link link(line);
  link.Start();
  const size_t greeting = link.Out().size();
  const size_t chunk = (data[0] & 0x3F) + 1;
  std::vector<uint8_t> received;
  bool failed = false;
  for (size_t at = 1; at < size; at += chunk) {
    const size_t n = std::min(chunk, size - at);
    link.Receive(data + at, n, received);
    const TRfc2217Link::TState now = link.State();
    if (failed) fuzz::Check(now == TRfc2217Link::TState::Failed);
    if (now == TRfc2217Link::TState::Failed) {
      failed = true;
      fuzz::Check(!link.Problem().empty());
    }
    // Ready only after the line settings went out.
    if (now == TRfc2217Link::TState::Ready) fuzz::Check(link.Out().size() > greeting);
    // Our data goes out with every 0xFF doubled, whatever state the link is in.
    const size_t before = link.Out().size();
    const uint8_t probe[] = {0xFF, 'x'};
    link.Send(probe, sizeof probe);
    fuzz::Check(link.Out().size() == before + 3);
  }
  fuzz::Check(received.size() <= size - 1);
  // Each negotiation is answered at most once in kind; the line settings go once.
  fuzz::Check(link.Out().size() <= greeting + 128 + 2 * size + 3 * ((size + chunk - 1) / chunk));
  if (link.State() == TRfc2217Link::TState::Ready && link.AckedBaudRate())
    fuzz::Check(*link.AckedBaudRate() == line.BaudRate);
  return 0;
}
