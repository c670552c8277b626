#pragma once
// The program's one port. At every OpenPort the name picks the transport: a
// serial device (TComm) or a serial device server on the network (TNetComm,
// for tcp:// and rfc2217:// names). The two are configured alike, and the
// callbacks are those of whichever is in use, so nothing above this notices
// the difference.

#include "serial/Comm.h"
#include "serial/NetComm.h"

namespace tessaro {

class TBusPort final : public TSerialPort {
 public:
  TBusPort();
  TBusPort(const TBusPort&) = delete;
  TBusPort& operator=(const TBusPort&) = delete;

  // The line settings live on the serial component; a network server is
  // given a copy at every connect.
  TComm& Serial() { return FSerial; }
  const TSerialPort& Active() const { return *FActive; }

  void SetCommName(const std::string& name) override;
  const std::string& CommName() const override { return FSerial.CommName(); }
  void SetBaudRate(uint32_t value) override;
  uint32_t BaudRate() const override { return FSerial.BaudRate(); }
  void SetReadIntervalTimeout(uint32_t ms) override;
  uint32_t ReadIntervalTimeout() const override { return FSerial.ReadIntervalTimeout(); }
  void SetStopBits(TStopBits value) override;
  TStopBits StopBits() const override { return FSerial.StopBits(); }

  void OpenPort() override;
  void ClosePort() override { FActive->ClosePort(); }
  bool IsOpen() const override { return FActive->IsOpen(); }
  intptr_t PortHandle() const override { return FActive->PortHandle(); }
  bool SendData(const uint8_t* data, size_t count) override { return FActive->SendData(data, count); }
  void PurgeInput() override { FActive->PurgeInput(); }
  int NotifyFd() const override { return FActive->NotifyFd(); }
  void DispatchNotifications() override { FActive->DispatchNotifications(); }
  bool SplitsFrames() const override { return FActive->SplitsFrames(); }

 private:
  void Forward(TSerialPort& inner);

  TComm FSerial;
  TNetComm FNet;
  TSerialPort* FActive = &FSerial;
};

}  // namespace tessaro
