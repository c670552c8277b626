#include "query/LogTable.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tessaro {

namespace {
constexpr double Pow10[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
constexpr int Precision = 5;  // significant digits of a fixed-point cell

// Two-digit groups written without snprintf: formatting is most of an export.
void Put2(char* p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// std::round without the library call, which was a sixth of an export: exact
// below 2^52, where every double with a fraction lies (x - trunc(x) is then
// exact); NaN, infinities and larger values come back as they are.
double RoundHalfAway(double x) {
  if (!(std::fabs(x) < 4503599627370496.0)) return x;
  double r = static_cast<double>(static_cast<int64_t>(x));
  const double frac = x - r;
  if (frac >= 0.5) r += 1;
  if (frac <= -0.5) r -= 1;
  return std::copysign(r, x);  // -0.3 rounds to -0, as std::round does
}
}  // namespace

uint64_t OrderedKey(double value) {
  if (std::isnan(value)) return UINT64_MAX;
  if (std::isinf(value)) return value > 0 ? UINT64_MAX - 1 : UINT64_MAX - 2;
  if (value == 0) value = 0;  // -0 and 0 are one number
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  return (bits & (uint64_t{1} << 63)) ? ~bits : bits | (uint64_t{1} << 63);
}

void SortKeys(std::vector<TSortKey>& keys, bool descending, std::vector<uint32_t>& order) {
  // A stable least-significant-digit radix sort over the key bytes: the keys
  // arrive in file order, so equal keys keep it, in both directions. Bytes
  // every key shares (most of a time stamp) cost no pass.
  const size_t n = keys.size();
  if (descending)
    for (TSortKey& k : keys) k.Key = ~k.Key;
  std::vector<std::array<uint32_t, 256>> counts(8);
  for (auto& c : counts) c.fill(0);
  for (const TSortKey& k : keys)
    for (int b = 0; b < 8; ++b) ++counts[b][(k.Key >> (8 * b)) & 0xFF];
  std::vector<TSortKey> other(n);
  for (int b = 0; b < 8; ++b) {
    std::array<uint32_t, 256>& c = counts[b];
    if (n == 0 || c[(keys[0].Key >> (8 * b)) & 0xFF] == n) continue;
    uint32_t sum = 0;
    for (uint32_t& v : c) {
      const uint32_t here = v;
      v = sum;
      sum += here;
    }
    for (const TSortKey& k : keys) other[c[(k.Key >> (8 * b)) & 0xFF]++] = k;
    keys.swap(other);
  }
  order.resize(n);
  for (size_t i = 0; i < n; ++i) order[i] = keys[i].Row;
}

bool IsShowableTime(TDateTime value) {
  // 0001-01-01 .. 9999-12-31 23:59:59
  return std::isfinite(value) && value >= -693593.0 && value < 2958466.0;
}

void AppendDateTime(TDateTime value, std::string& out) {
  char buf[CellChars];
  out.append(buf, PutDateTime(value, buf));
}

char* PutDateTime(TDateTime value, char* buf) {
  const TDateParts p = DecodeDateTime(value);
  if (p.Year < 0 || p.Year > 9999) {
    const std::string text = FormatDateTime(value);
    return std::copy_n(text.data(), std::min(text.size(), CellChars), buf);
  }
  buf[0] = static_cast<char>('0' + p.Year / 1000);
  buf[1] = static_cast<char>('0' + p.Year / 100 % 10);
  Put2(buf + 2, p.Year % 100);
  buf[4] = '-';
  Put2(buf + 5, p.Month);
  buf[7] = '-';
  Put2(buf + 8, p.Day);
  buf[10] = ' ';
  Put2(buf + 11, p.Hour);
  buf[13] = ':';
  Put2(buf + 14, p.Minute);
  buf[16] = ':';
  Put2(buf + 17, p.Second);
  return buf + 19;
}

int64_t ShownSeconds(TDateTime value) {
  if (!IsShowableTime(value)) return 0;
  // The fields packed in the order the text shows them, so keys sort as the
  // text does (negative dates count their time of day forwards too).
  const TDateParts p = DecodeDateTime(value);
  return ((((int64_t{p.Year} * 13 + p.Month) * 32 + p.Day) * 24 + p.Hour) * 60 + p.Minute) * 60 + p.Second;
}

void ShownDate(TDateTime value, int& year, int& month, int& day) {
  const TDateParts p = DecodeDateTime(value);
  year = p.Year;
  month = p.Month;
  day = p.Day;
}

double ShownFixed(double value, int decimals) {
  if (!std::isfinite(value) || value == 0) return value == 0 ? 0.0 : value;
  const double a = std::fabs(value);
  int digits;
  if (a >= 1) {
    digits = 1;
    while (digits <= Precision && a >= Pow10[digits]) ++digits;
    if (digits > Precision) return value;  // shown in scientific notation
  } else {
    digits = static_cast<int>(std::floor(std::log10(a))) + 1;
  }
  const double scale = digits >= 0 ? Pow10[Precision - digits] : std::pow(10.0, Precision - digits);
  double rounded = RoundHalfAway(value * scale) / scale;
  const double unit = Pow10[decimals];
  rounded = RoundHalfAway(rounded * unit) / unit;
  return rounded == 0 ? 0.0 : rounded;
}

void AppendFixed(double value, int decimals, char point, std::string& out) {
  char buf[CellChars];
  out.append(buf, PutFixed(value, decimals, point, buf));
}

char* PutFixed(double value, int decimals, char point, char* p) {
  if (std::isnan(value)) return std::copy_n("NAN", 3, p);
  if (std::isinf(value)) return value > 0 ? std::copy_n("INF", 3, p) : std::copy_n("-INF", 4, p);
  if (std::fabs(value) >= Pow10[Precision]) {
    char buf[40];
    const int n = std::snprintf(buf, sizeof buf, "%.*E", Precision - 1, value);
    for (int i = 0; i < n; ++i) *p++ = buf[i] == '.' ? point : buf[i];
    return p;
  }
  const double shown = ShownFixed(value, decimals);
  const uint64_t unit = static_cast<uint64_t>(Pow10[decimals]);
  // Whole and below 2^53 after the rounding above: the cast is exact.
  const uint64_t scaled = static_cast<uint64_t>(RoundHalfAway(std::fabs(shown) * static_cast<double>(unit)));
  if (shown < 0) *p++ = '-';
  p = std::to_chars(p, p + 24, scaled / unit).ptr;
  if (decimals > 0) {
    *p++ = point;
    uint64_t f = scaled % unit;
    for (int i = decimals - 1; i >= 0; --i) {
      p[i] = static_cast<char>('0' + f % 10);
      f /= 10;
    }
    p += decimals;
  }
  return p;
}

void AppendUnsigned(uint64_t value, std::string& out) {
  char buf[CellChars];
  out.append(buf, PutUnsigned(value, buf));
}

void AppendSigned(int64_t value, std::string& out) {
  char buf[CellChars];
  out.append(buf, PutSigned(value, buf));
}

char* PutUnsigned(uint64_t value, char* p) { return std::to_chars(p, p + 24, value).ptr; }
char* PutSigned(int64_t value, char* p) { return std::to_chars(p, p + 24, value).ptr; }

}  // namespace tessaro
