#include "core/Clock.h"
#include "core/UnixTime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tessaro {

namespace {
// Days from 0001-03-01 style civil calendar (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

const int64_t OleEpochDays = DaysFromCivil(1899, 12, 30);
}  // namespace

TDateTime EncodeDateTime(const TDateParts& p) {
  const int64_t days = DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day)) - OleEpochDays;
  const double frac = (p.Hour * 3600000.0 + p.Minute * 60000.0 + p.Second * 1000.0 + p.Millisecond) / 86400000.0;
  // Dates before the epoch count the time of day forwards from a negative day.
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

TDateParts DecodeDateTime(TDateTime value) {
  TDateParts p;
  if (!std::isfinite(value) || std::fabs(value) > 3.0e6) return p;
  // Round to the millisecond first so 23:59:59.9996 does not show as :60.
  const double days = std::trunc(value);
  int64_t ms = std::llround(std::fabs(value - days) * 86400000.0);
  int64_t whole = static_cast<int64_t>(days);
  if (ms >= 86400000) {
    ms -= 86400000;
    whole += value >= 0 ? 1 : -1;
  }
  CivilFromDays(whole + OleEpochDays, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

std::string FormatDateTime(TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                p.Second);
  return buf;
}

namespace {
// The local time's fields and its Unix seconds; the offset is in tm_gmtoff.
std::tm LocalTm(TDateTime local, std::time_t& unix) {
  const TDateParts p = DecodeDateTime(local);
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  tm.tm_isdst = -1;
  unix = std::mktime(&tm);
  return tm;
}
}  // namespace

int64_t UnixSeconds(TDateTime local) {
  std::time_t unix = 0;
  LocalTm(local, unix);
  return static_cast<int64_t>(unix);
}

std::string FormatIso8601(TDateTime local) {
  std::time_t unix = 0;
  const std::tm tm = LocalTm(local, unix);
  // Zones lie within a day of UTC.
  const int offset = static_cast<int>(std::clamp<long>(tm.tm_gmtoff / 60, -1439, 1439));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', std::abs(offset) / 60,
                std::abs(offset) % 60);
  return buf;
}

TDateTime TSystemClock::Now() const {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  return EncodeDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec, static_cast<int>(ms)});
}

int64_t TSystemClock::MonotonicMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace tessaro
