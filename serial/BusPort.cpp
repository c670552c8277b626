#include "serial/BusPort.h"

#include "serial/PortName.h"

namespace tessaro {

TBusPort::TBusPort() {
  Forward(FSerial);
  Forward(FNet);
}

void TBusPort::Forward(TSerialPort& inner) {
  inner.OnReceiveData = [this](const uint8_t* buffer, size_t length) {
    if (OnReceiveData) OnReceiveData(buffer, length);
  };
  inner.OnReceiveError = [this](uint32_t mask) {
    if (OnReceiveError) OnReceiveError(mask);
  };
  inner.OnModemStateChange = [this](uint32_t bits) {
    if (OnModemStateChange) OnModemStateChange(bits);
  };
  inner.OnPortFailure = [this](const TPortFailure& failure) {
    if (OnPortFailure) OnPortFailure(failure);
  };
  inner.OnSendDataEmpty = [this] {
    if (OnSendDataEmpty) OnSendDataEmpty();
  };
}

void TBusPort::SetCommName(const std::string& name) {
  FSerial.SetCommName(name);
  FNet.SetCommName(name);
}

void TBusPort::SetBaudRate(uint32_t value) {
  FSerial.SetBaudRate(value);
  FNet.SetBaudRate(value);
}

void TBusPort::SetReadIntervalTimeout(uint32_t ms) {
  FSerial.SetReadIntervalTimeout(ms);
  FNet.SetReadIntervalTimeout(ms);
}

void TBusPort::SetStopBits(TStopBits value) {
  FSerial.SetStopBits(value);
  FNet.SetStopBits(value);
}

void TBusPort::OpenPort() {
  if (IsOpen()) throw ECommsError(MsgAlreadyOpened);
  if (HasNetworkScheme(FSerial.CommName())) {
    FNet.SetLineSettings(FSerial.LineSettings());
    FActive = &FNet;
  } else {
    FActive = &FSerial;
  }
  FActive->OpenPort();
}

}  // namespace tessaro
