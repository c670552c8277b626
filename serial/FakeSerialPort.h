#pragma once
// An in-memory TSerialPort for engine tests that need exact timing: it records
// every frame sent and lets the test deliver received chunks, line events and
// port failures synchronously, on the test's own thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "serial/SerialPort.h"

namespace tessaro {

class TFakeSerialPort : public TSerialPort {
 public:
  // ---- what the test sees and steers

  std::vector<std::vector<uint8_t>> SentFrames;  // every accepted SendData, in order
  std::vector<std::string> OpenedNames;          // CommName at every successful OpenPort
  int OpenCount = 0;
  int CloseCount = 0;                            // ClosePort calls that closed an open port
  int PurgeCount = 0;                            // PurgeInput calls while open
  std::vector<size_t> PurgedAt;                  // SentFrames.size() at each of them
  bool RefuseSends = false;                      // SendData returns false, as with a full queue
  bool Stream = false;                           // a network stream: chunks are pieces of frames
  bool Connecting = false;                       // open, but no connection yet (no handle)

  // The next OpenPort throws ECommsError with this message (once).
  void FailNextOpen(std::string message = MsgErrorOpening) { FNextOpenError = std::move(message); }

  // Delivers one received chunk through OnReceiveData, with the trailing zero
  // byte of the real component. Ignored while closed, as the real port would.
  void InjectReceive(const uint8_t* data, size_t count) {
    if (!FOpen || count == 0) return;
    std::vector<uint8_t> chunk(data, data + count);
    chunk.push_back(0);
    if (OnReceiveData) OnReceiveData(chunk.data(), count);
  }
  void InjectReceive(const std::vector<uint8_t>& bytes) { InjectReceive(bytes.data(), bytes.size()); }
  void InjectReceive(const std::string& text) {
    InjectReceive(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }

  // A worker failure: reported once per open, like TComm; the port stays open.
  void InjectFailure(TPortFailure failure = {TPortFailureKind::HangUp, 5, "injected hang-up"}) {
    if (!FOpen || FFailureReported) return;
    FFailureReported = true;
    if (OnPortFailure) OnPortFailure(failure);
  }

  // ---- TSerialPort

  void SetCommName(const std::string& name) override { FCommName = name; }
  const std::string& CommName() const override { return FCommName; }
  void SetBaudRate(uint32_t value) override { FBaudRate = value; }
  uint32_t BaudRate() const override { return FBaudRate; }
  void SetReadIntervalTimeout(uint32_t ms) override { FReadIntervalTimeout = ms; }
  uint32_t ReadIntervalTimeout() const override { return FReadIntervalTimeout; }
  void SetStopBits(TStopBits value) override { FStopBits = value; }
  TStopBits StopBits() const override { return FStopBits; }

  void OpenPort() override {
    if (FOpen) throw ECommsError(MsgAlreadyOpened);
    if (!FNextOpenError.empty()) {
      const std::string message = std::move(FNextOpenError);
      FNextOpenError.clear();
      throw ECommsError(message);
    }
    FOpen = true;
    FFailureReported = false;
    ++OpenCount;
    OpenedNames.push_back(FCommName);
  }
  void ClosePort() override {
    if (!FOpen) return;
    FOpen = false;
    ++CloseCount;
  }
  bool IsOpen() const override { return FOpen; }
  intptr_t PortHandle() const override { return FOpen && !Connecting ? 1000 + OpenCount : 0; }
  bool SplitsFrames() const override { return Stream; }
  bool SendData(const uint8_t* data, size_t count) override {
    if (!FOpen || count == 0 || RefuseSends) return false;
    SentFrames.emplace_back(data, data + count);
    return true;
  }
  void PurgeInput() override {
    if (!FOpen) return;
    ++PurgeCount;
    PurgedAt.push_back(SentFrames.size());
  }
  int NotifyFd() const override { return -1; }
  void DispatchNotifications() override {}

 private:
  std::string FCommName = "COM2";
  uint32_t FBaudRate = 9600;
  uint32_t FReadIntervalTimeout = 100;
  TStopBits FStopBits = TStopBits::_1;
  bool FOpen = false;
  bool FFailureReported = false;
  std::string FNextOpenError;
};

}  // namespace tessaro
