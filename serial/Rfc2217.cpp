#include "serial/Rfc2217.h"

#include <libtelnet.h>

namespace tessaro {

namespace {

// What we agree to when the server asks: binary and suppress-go-ahead both
// ways, the COM port option on our side only. Everything else (echo above
// all) is refused by libtelnet.
const telnet_telopt_t Options[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {comport::Option, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};

uint8_t ParityCode(TParity p) { return static_cast<uint8_t>(static_cast<uint8_t>(p) + 1); }  // 1 none .. 5 space

uint8_t StopSizeCode(TStopBits s) {
  switch (s) {
    case TStopBits::_1: return 1;
    case TStopBits::_2: return 2;
    case TStopBits::_1_5: return 3;
  }
  return 1;
}

// SET-CONTROL values.
uint8_t FlowCode(const TLineSettings& l) {
  if (l.Outx_CtsFlow || l.RtsControl == TRtsControl::RtsHandshake) return 3;  // hardware
  if (l.Outx_XonXoffFlow || l.Inx_XonXoffFlow) return 2;                     // XON/XOFF
  return 1;
}
uint8_t DtrCode(const TLineSettings& l) { return l.DtrControl == TDtrControl::DtrDisable ? 9 : 8; }
uint8_t RtsCode(const TLineSettings& l) { return l.RtsControl == TRtsControl::RtsDisable ? 12 : 11; }

}  // namespace

TRfc2217Link::TRfc2217Link(const TLineSettings& line) : FLine(line) {
  FTelnet = telnet_init(Options, &TRfc2217Link::OnEvent, 0, this);
  if (!FTelnet) Fail("no memory for the Telnet state");
}

TRfc2217Link::~TRfc2217Link() {
  if (FTelnet) telnet_free(FTelnet);
}

void TRfc2217Link::OnEvent(telnet_t*, telnet_event_t* event, void* self) {
  static_cast<TRfc2217Link*>(self)->Handle(*event);
}

void TRfc2217Link::Start() {
  if (!FTelnet) return;
  telnet_negotiate(FTelnet, TELNET_WILL, comport::Option);
  telnet_negotiate(FTelnet, TELNET_WILL, TELNET_TELOPT_BINARY);
  telnet_negotiate(FTelnet, TELNET_DO, TELNET_TELOPT_BINARY);
  telnet_negotiate(FTelnet, TELNET_WILL, TELNET_TELOPT_SGA);
  telnet_negotiate(FTelnet, TELNET_DO, TELNET_TELOPT_SGA);
}

void TRfc2217Link::Receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data) {
  if (!FTelnet || count == 0) return;
  FData = &data;
  telnet_recv(FTelnet, reinterpret_cast<const char*>(bytes), count);
  FData = nullptr;
}

void TRfc2217Link::Send(const uint8_t* bytes, size_t count) {
  if (FTelnet && count > 0) telnet_send(FTelnet, reinterpret_cast<const char*>(bytes), count);
}

void TRfc2217Link::Fail(std::string problem) {
  if (FState == TState::Failed) return;
  FState = TState::Failed;
  FProblem = std::move(problem);
}

void TRfc2217Link::SendLineSettings() {
  const uint32_t baud = FLine.BaudRate;
  const char baudBytes[] = {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                            static_cast<char>(baud >> 8), static_cast<char>(baud)};
  auto sb = [this](uint8_t code, const char* value, size_t size) {
    telnet_begin_sb(FTelnet, comport::Option);
    const char c = static_cast<char>(code);
    telnet_send(FTelnet, &c, 1);
    telnet_send(FTelnet, value, size);  // a 0xFF in the value is doubled
    telnet_finish_sb(FTelnet);
  };
  auto sb1 = [&sb](uint8_t code, uint8_t value) {
    const char v = static_cast<char>(value);
    sb(code, &v, 1);
  };
  sb(comport::SetBaudRate, baudBytes, sizeof baudBytes);
  sb1(comport::SetDataSize, static_cast<uint8_t>(static_cast<uint8_t>(FLine.ByteSize) + 5));
  sb1(comport::SetParity, ParityCode(FLine.Parity));
  sb1(comport::SetStopSize, StopSizeCode(FLine.StopBits));
  sb1(comport::SetControl, FlowCode(FLine));
  sb1(comport::SetControl, DtrCode(FLine));
  sb1(comport::SetControl, RtsCode(FLine));
}

void TRfc2217Link::Handle(const telnet_event_t& event) {
  switch (event.type) {
    case TELNET_EV_DATA:
      if (FData) FData->insert(FData->end(), event.data.buffer, event.data.buffer + event.data.size);
      break;
    case TELNET_EV_SEND:
      FOut.insert(FOut.end(), event.data.buffer, event.data.buffer + event.data.size);
      break;
    case TELNET_EV_DO:
      if (event.neg.telopt == comport::Option && FState == TState::Negotiating) {
        FState = TState::Configuring;
        SendLineSettings();
      }
      break;
    case TELNET_EV_DONT:
      // Reported only for an option that was on: a refusal of our offer
      // raises no event and shows as no answer.
      if (event.neg.telopt == comport::Option) Fail("the server turned the RFC 2217 COM port option off");
      break;
    case TELNET_EV_SUBNEGOTIATION: {
      if (event.sub.telopt != comport::Option || event.sub.size == 0) break;
      const auto* v = reinterpret_cast<const uint8_t*>(event.sub.buffer);
      if (v[0] != comport::ServerOffset + comport::SetBaudRate || FState != TState::Configuring) break;
      if (event.sub.size == 5) {
        const uint32_t baud = uint32_t{v[1]} << 24 | uint32_t{v[2]} << 16 | uint32_t{v[3]} << 8 | v[4];
        FAckedBaudRate = baud;
        if (baud != FLine.BaudRate) {
          Fail("the server runs the line at " + std::to_string(baud) + " bit/s, not at the " +
               std::to_string(FLine.BaudRate) + " asked for");
          break;
        }
      }
      // A one-byte answer is an older server's speed code: taken as agreed.
      FState = TState::Ready;
      break;
    }
    case TELNET_EV_ERROR:
      Fail(std::string("the server broke the Telnet protocol: ") + (event.error.msg ? event.error.msg : "?"));
      break;
    default: break;
  }
}

}  // namespace tessaro
