#pragma once
// The Telnet side of a connection to an RFC 2217 serial server, without the
// socket: bytes from the server go in through Receive and the line's data
// comes out; whatever must go to the server (option negotiation, the line
// settings, our data with 0xFF doubled) collects in Out().
//
// At the start we offer the COM port option (44) and binary transmission
// both ways; once the server agrees to the COM port option the line settings
// follow, in the order baud rate, data size, parity, stop size, flow control,
// DTR, RTS. The link is Ready when the server acknowledges the baud rate.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial/LineSettings.h"

struct telnet_t;
union telnet_event_t;

namespace tessaro {

// COM-PORT-OPTION sub-negotiation codes, client to server; the server's
// answer carries the code + 100.
namespace comport {
inline constexpr uint8_t Option = 44;
inline constexpr uint8_t SetBaudRate = 1;
inline constexpr uint8_t SetDataSize = 2;
inline constexpr uint8_t SetParity = 3;
inline constexpr uint8_t SetStopSize = 4;
inline constexpr uint8_t SetControl = 5;
inline constexpr uint8_t ServerOffset = 100;
}  // namespace comport

class TRfc2217Link {
 public:
  enum class TState : uint8_t {
    Negotiating,  // COM port option asked for, no answer yet
    Configuring,  // option agreed, line settings sent, baud rate not yet acknowledged
    Ready,        // the server runs the line at the speed we asked for
    Failed,       // the server refused the option or the speed, or broke the protocol
  };

  explicit TRfc2217Link(const TLineSettings& line);
  ~TRfc2217Link();
  TRfc2217Link(const TRfc2217Link&) = delete;
  TRfc2217Link& operator=(const TRfc2217Link&) = delete;

  void Start();
  // Appends the line's data among `bytes` to `data`.
  void Receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data);
  // Our data for the line; 0xFF goes out doubled.
  void Send(const uint8_t* bytes, size_t count);

  std::vector<uint8_t>& Out() { return FOut; }
  TState State() const { return FState; }
  // Why Failed (English, one sentence).
  const std::string& Problem() const { return FProblem; }
  std::optional<uint32_t> AckedBaudRate() const { return FAckedBaudRate; }

 private:
  static void OnEvent(telnet_t* telnet, telnet_event_t* event, void* self);
  void Handle(const telnet_event_t& event);
  void SendLineSettings();
  void Fail(std::string problem);

  TLineSettings FLine;
  telnet_t* FTelnet = nullptr;
  std::vector<uint8_t> FOut;
  std::vector<uint8_t>* FData = nullptr;  // where Receive puts line data
  TState FState = TState::Negotiating;
  std::string FProblem;
  std::optional<uint32_t> FAckedBaudRate;
};

}  // namespace tessaro
