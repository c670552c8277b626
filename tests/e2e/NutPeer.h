#pragma once
// The network UPS server as the end-to-end tests reach it: the port the
// monitor says it listens on, a raw client connection, and users-file hashes.

#include <arpa/inet.h>
#include <crypt.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "e2e/ChildProcess.h"

namespace tessaro::testing {

using namespace std::chrono_literals;

// A crypt(3) hash of `password` of the kind `prefix` names ("$y$" yescrypt, "$6$" SHA-512).
inline std::string Hash(const char* prefix, const std::string& password) {
  const char* salt = ::crypt_gensalt(prefix, 0, nullptr, 0);
  EXPECT_NE(salt, nullptr);
  const char* hash = salt ? ::crypt(password.c_str(), salt) : nullptr;
  return hash && hash[0] == '$' ? hash : "";
}

// The port in "... listening on 127.0.0.1:PORT" on the monitor's stderr; 0 when it never says so.
inline int ListeningPort(TChildProcess& monitor) {
  const std::string mark = "listening on 127.0.0.1:";
  if (!monitor.WaitForError(mark, 10s)) return 0;
  const size_t at = monitor.Err().find(mark);
  return std::atoi(monitor.Err().c_str() + at + mark.size());
}

// One client connection that sends a request and reads its whole reply
// (a line, or a list to its END line), each read bounded.
class TNutConnection {
 public:
  explicit TNutConnection(int port) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval bound{5, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = ::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TNutConnection() { ::close(FFd); }
  std::string Exchange(const std::string& request) {
    const std::string line = request + "\n";
    if (::send(FFd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return "<not sent>";
    std::string reply;
    for (;;) {
      const size_t end = FIn.find('\n');
      if (end == std::string::npos) {
        char buf[4096];
        const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
        if (n <= 0) return reply + FIn + "<closed or timed out>";
        FIn.append(buf, static_cast<size_t>(n));
        continue;
      }
      const std::string got = FIn.substr(0, end + 1);
      FIn.erase(0, end + 1);
      reply += got;
      if (reply.rfind("BEGIN LIST ", 0) != 0 || got.rfind("END LIST ", 0) == 0) return reply;
    }
  }
  bool Connected = false;

 private:
  int FFd = -1;
  std::string FIn;
};

}  // namespace tessaro::testing
