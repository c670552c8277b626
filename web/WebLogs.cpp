#include "web/WebLogs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/UnixTime.h"
#include "core/MeasureCatalogue.h"
#include "core/PathTrust.h"
#include "core/ProtocolTraits.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "logs/EventText.h"
#include "query/DataTable.h"
#include "query/RecordReader.h"
#include "web/Json.h"
#include "web/WebModel.h"

namespace tessaro::web {

namespace {

// A whole decimal number in [low, high] from the query, 0 when absent.
bool Field(const TQuery& q, const char* name, long low, long high, uint16_t& out, std::string& error) {
  const auto it = q.find(name);
  if (it == q.end() || it->second.empty()) return true;
  const std::string& v = it->second;
  if (v.size() > 5 || v.find_first_not_of("0123456789") != std::string::npos || std::stol(v) < low ||
      std::stol(v) > high) {
    error = std::string(name) + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
            ", not \"" + v + "\"";
    return false;
  }
  out = static_cast<uint16_t>(std::stol(v));
  return true;
}

const char* const KindNames[] = {"program", "state", "alarm"};

// Unix milliseconds, for the page's charts.
double UnixMs(TDateTime t) {
  return static_cast<double>(UnixSeconds(t)) * 1000 + DecodeDateTime(t).Millisecond;
}

// The values a chart shows: every measured value with a phase or a metric of
// its own (the unphased copies of phase 1 and the highest load are left out).
bool Charted(const TMeasure& def) { return def.Metric != nullptr; }

// Reads the records of `address` with from <= Time <= to from one month
// file, from its end backwards: records are appended in time order, so the
// read stops at the first block older than `from` and a chart of the last day
// reads a day, however long the month file is.
void ReadTail(const std::string& path, uint8_t address, TDateTime from, TDateTime to, std::vector<DataRecord>& out) {
  std::error_code ec;
  const int fd = OpenOwnedFile(path, ec);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return;
  }
  constexpr size_t Block = 4096;
  std::vector<DataRecord> buf(Block);
  size_t end = static_cast<size_t>(st.st_size) / sizeof(DataRecord);
  while (end > 0) {
    const size_t first = end > Block ? end - Block : 0;
    const size_t bytes = (end - first) * sizeof(DataRecord);
    const ssize_t n = ::pread(fd, buf.data(), bytes, static_cast<off_t>(first * sizeof(DataRecord)));
    if (n != static_cast<ssize_t>(bytes)) break;
    bool newer = false;
    for (size_t i = 0; i < end - first; ++i) {
      const DataRecord& r = buf[i];
      if (IsZeroRecord(reinterpret_cast<const unsigned char*>(&r), sizeof r) || !std::isfinite(r.Time)) continue;
      if (r.Time >= from) newer = true;
      if (r.Address == address && r.Time >= from && r.Time <= to) out.push_back(r);
    }
    if (!newer) break;
    end = first;
  }
  ::close(fd);
}

// The head of a page of rows: how many there are in all and which are given.
void PageHead(TJson& j, size_t total, size_t offset, size_t limit) {
  j.Key("total").Integer(static_cast<long long>(total));
  j.Key("offset").Integer(static_cast<long long>(offset));
  j.Key("limit").Integer(static_cast<long long>(limit));
}

}  // namespace

int TrailingAddress(const std::string& url, const std::string& prefix) {
  if (url.compare(0, prefix.size(), prefix) != 0) return -1;
  const std::string rest = url.substr(prefix.size());
  if (rest.empty() || rest.size() > 3 || rest.find_first_not_of("0123456789") != std::string::npos) return -1;
  const int a = std::stoi(rest);
  return a >= 1 && a <= MaxAddress ? a : -1;
}

bool SetMonthFields(const std::string& month, TQuery& query) {
  if (month.size() != 7 || month[4] != '-' || month.find_first_not_of("0123456789-") != std::string::npos) return false;
  query["year"] = month.substr(0, 4);
  query["month"] = month.substr(5);
  return true;
}

std::optional<TEventFilter> ParseEventFilter(const TQuery& q, std::string& error) {
  TEventFilter f;
  if (!Field(q, "year", 2000, 2100, f.Year, error) || !Field(q, "month", 1, 12, f.Month, error) ||
      !Field(q, "day", 1, 31, f.Day, error) || !Field(q, "address", 1, 254, f.Address, error))
    return std::nullopt;
  if (f.Day != 0 && f.Month == 0) {
    error = "day goes with month and year";
    return std::nullopt;
  }
  if (f.Month != 0 && f.Year == 0) {
    error = "month goes with year";
    return std::nullopt;
  }
  return f;
}

bool ParsePage(const TQuery& q, size_t fallback, size_t max, size_t& offset, size_t& limit, std::string& error) {
  offset = 0;
  limit = fallback;
  for (const auto& [name, low, high, out] :
       {std::tuple{"offset", size_t{0}, size_t{999999999}, &offset}, std::tuple{"limit", size_t{1}, max, &limit}}) {
    const auto it = q.find(name);
    if (it == q.end() || it->second.empty()) continue;
    const std::string& v = it->second;
    if (v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos || std::stoul(v) < low ||
        std::stoul(v) > high) {
      error = std::string(name) + " takes a whole number from " + std::to_string(low) + " to " +
              std::to_string(high) + ", not \"" + v + "\"";
      return false;
    }
    *out = std::stoul(v);
  }
  return true;
}

bool ParseEncoding(const TQuery& q, TCsvEncoding& encoding, std::string& error) {
  const auto it = q.find("encoding");
  encoding = TCsvEncoding::Gbk;
  if (it == q.end() || it->second.empty() || it->second == "gbk") return true;
  if (it->second == "utf-8") {
    encoding = TCsvEncoding::Utf8Bom;
    return true;
  }
  error = "encoding takes gbk or utf-8, not \"" + it->second + "\"";
  return false;
}

std::string EventsJson(const std::string& recordDir, const TEventFilter& filter, int language, size_t offset,
                       size_t limit, const std::map<int, std::string>& names) {
  TEventTable table(language);
  (void)LoadEventGrid(table, recordDir, filter);  // no log yet: no rows, as the viewer shows it
  TJson j;
  j.BeginObject();
  PageHead(j, table.RowCount(), offset, limit);
  j.Key("events").BeginArray();
  std::string cell;
  for (size_t row = offset; row < table.RowCount() && row < offset + limit; ++row) {
    const TEventTable::TRow& r = table.RowAt(row);
    j.BeginObject();
    j.Key("id").Integer(r.Position);
    j.Key("index").Integer(r.Index);
    cell.clear();
    table.AppendCell(row, TEventTable::ColTime, cell);
    j.Key("time").String(cell);
    j.Key("timeAt").String(FormatIso8601(r.Time)).Key("timeUnix").Integer(static_cast<long long>(UnixSeconds(r.Time)));
    j.Key("address").Integer(r.Address);
    const auto name = names.find(r.Address);
    j.Key("device");
    if (name != names.end())
      j.String(name->second);
    else
      j.Null();
    j.Key("kind").String(KindNames[std::min<size_t>(r.Kind, 2)]).Key("code").Integer(r.Code);
    j.Key("raised");
    if (r.Kind == EventKindAlarm)
      j.Bool(!r.Cleared);
    else
      j.Null();
    cell.clear();
    table.AppendCell(row, TEventTable::ColEvent, cell);
    j.Key("event").String(cell);
    EventRecord probe{};
    probe.Kind = r.Kind;
    probe.Code = r.Code;
    probe.Active = r.Cleared ? 0 : 1;
    j.Key("texts").BeginObject();
    j.Key("en").String(EventRecordText(probe, 0)).Key("zh").String(EventRecordText(probe, 1));
    j.EndObject();
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
  return j.Take();
}

std::string EventsCsv(const std::string& recordDir, const TEventFilter& filter, int language, TCsvEncoding encoding) {
  TEventTable table(language);
  (void)LoadEventGrid(table, recordDir, filter);
  std::string out;
  WriteCsv(table, encoding, [&out](const std::string& bytes) {
    out += bytes;
    return std::error_code();
  });
  return out;
}

std::string DataLogJson(const std::string& recordDir, uint16_t year, uint16_t month, uint16_t day,
                        uint16_t address, uint8_t protocol, size_t offset, size_t limit) {
  TDataTable table;
  (void)table.Load(recordDir, {.Year = year, .Month = month, .Day = day, .Address = address});
  TJson j;
  j.BeginObject();
  PageHead(j, table.RowCount(), offset, limit);
  j.Key("records").BeginArray();
  for (size_t row = offset; row < table.RowCount() && row < offset + limit; ++row) {
    const DataRecord& r = table.RecordAt(row);
    j.BeginObject();
    j.Key("time").String(FormatDateTime(r.Time));
    j.Key("address").Integer(r.Address);
    j.Key("values");
    WriteValues(j, r.Measure, protocol);
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
  return j.Take();
}

std::string TrendJson(const std::string& recordDir, uint8_t address, TDateTime from, TDateTime to, size_t points,
                      uint8_t protocol) {
  std::vector<DataRecord> records;
  TDateParts p = DecodeDateTime(from);
  const TDateParts last = DecodeDateTime(to);
  for (int guard = 0; guard < 24 && (p.Year < last.Year || (p.Year == last.Year && p.Month <= last.Month));
       ++guard) {
    ReadTail(DataLogFileName(recordDir, p.Year, p.Month), address, from, to, records);
    if (++p.Month > 12) {
      p.Month = 1;
      ++p.Year;
    }
  }
  std::sort(records.begin(), records.end(), [](const DataRecord& a, const DataRecord& b) { return a.Time < b.Time; });

  const TProtocolTraits& traits = ProtocolTraits(protocol);
  std::vector<const TMeasure*> defs;
  for (const TMeasure& def : Measures())
    if (Charted(def) && ProtocolHas(traits, def)) defs.push_back(&def);
  // Averages per bucket of equal time; empty buckets give no point, so a gap
  // in the log stays a gap in the chart.
  points = std::max<size_t>(points, 1);
  const double width = (to - from) / static_cast<double>(points);
  std::vector<double> times;
  std::vector<std::vector<double>> sums(defs.size()), lows(defs.size()), highs(defs.size());
  size_t averaged = 0;  // buckets of more than one record
  size_t i = 0;
  while (i < records.size()) {
    const size_t bucket = std::min(points - 1, static_cast<size_t>(std::max(0.0, (records[i].Time - from) / width)));
    size_t n = 0;
    double t = 0;
    std::vector<double> sum(defs.size(), 0.0), low(defs.size(), HUGE_VAL), high(defs.size(), -HUGE_VAL);
    for (; i < records.size(); ++i) {
      const size_t b = std::min(points - 1, static_cast<size_t>(std::max(0.0, (records[i].Time - from) / width)));
      if (b != bucket) break;
      ++n;
      t += records[i].Time;
      for (size_t k = 0; k < defs.size(); ++k) {
        const double v = defs[k]->Value(records[i].Measure);
        sum[k] += v;
        low[k] = std::min(low[k], v);
        high[k] = std::max(high[k], v);
      }
    }
    if (n > 1) ++averaged;
    times.push_back(UnixMs(t / static_cast<double>(n)));
    for (size_t k = 0; k < defs.size(); ++k) {
      sums[k].push_back(sum[k] / static_cast<double>(n));
      lows[k].push_back(low[k]);
      highs[k].push_back(high[k]);
    }
  }
  TJson j;
  j.BeginObject();
  j.Key("from").Number(UnixMs(from));
  j.Key("to").Number(UnixMs(to));
  j.Key("records").Integer(static_cast<long long>(records.size()));
  // A bucket's width: points further apart than about this have a gap between them.
  j.Key("bucketMs").Number(std::round(width * 86400000.0));
  j.Key("first");
  if (records.empty())
    j.Null();
  else
    j.Number(UnixMs(records.front().Time));
  j.Key("averaged").Bool(averaged > 0);
  j.Key("t").BeginArray();
  for (const double t : times) j.Number(t);
  j.EndArray();
  j.Key("series").BeginObject();
  for (size_t k = 0; k < defs.size(); ++k) {
    j.Key(defs[k]->Name).BeginArray();
    for (const double v : sums[k]) j.Number(std::round(v * 100) / 100);
    j.EndArray();
  }
  j.EndObject();
  // Where points are averages, the lowest and highest reading behind each,
  // so a short outage stays visible.
  for (const auto& [key, values] : {std::pair{"min", &lows}, std::pair{"max", &highs}}) {
    j.Key(key).BeginObject();
    for (size_t k = 0; averaged > 0 && k < defs.size(); ++k) {
      j.Key(defs[k]->Name).BeginArray();
      for (const double v : (*values)[k]) j.Number(std::round(v * 100) / 100);
      j.EndArray();
    }
    j.EndObject();
  }
  j.EndObject();
  return j.Take();
}

}  // namespace tessaro::web
