#pragma once
// Time as the log files store it: local date and time as days since
// 1899-12-30 00:00, the fraction being the time of day. Every time stamp in
// the program comes from an injectable TClock.

#include <cstdint>
#include <string>

namespace tessaro {

using TDateTime = double;

struct TDateParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

TDateTime EncodeDateTime(const TDateParts& parts);
TDateParts DecodeDateTime(TDateTime value);
// "yyyy-mm-dd hh:mm:ss"
std::string FormatDateTime(TDateTime value);

class TClock {
 public:
  virtual ~TClock() = default;
  virtual TDateTime Now() const = 0;
  // Milliseconds on a clock that never jumps, for short intervals.
  virtual int64_t MonotonicMs() const = 0;
};

// The local wall clock.
class TSystemClock final : public TClock {
 public:
  TDateTime Now() const override;
  int64_t MonotonicMs() const override;
};

// A clock that only moves when told to; for tests and simulations.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(TDateTime start = 0) : FNow(start) {}
  TDateTime Now() const override { return FNow; }
  int64_t MonotonicMs() const override { return FMs; }
  void Set(TDateTime value) { FNow = value; }
  void AdvanceMs(int64_t ms) {
    FNow += static_cast<double>(ms) / 86400000.0;
    FMs += ms;
  }

 private:
  TDateTime FNow;
  int64_t FMs = 0;
};

}  // namespace tessaro
