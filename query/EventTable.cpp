#include "query/EventTable.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/Gbk.h"
#include "logs/EventLog.h"
#include "logs/EventText.h"
#include "query/RecordReader.h"

namespace tessaro {

namespace {
const char* const TitlesZh[] = {"序号", "时间", "设备地址", "事件"};
const char* const TitlesEn[] = {"Index", "Time", "Address", "Event"};

bool DatePasses(const TEventFilter& f, TDateTime time) {
  if (f.Day == 0 && f.Month == 0 && f.Year == 0) return true;
  int y, m, d;
  ShownDate(time, y, m, d);
  if (f.Day != 0) return y == f.Year && m == f.Month && d == f.Day;
  if (f.Month != 0) return y == f.Year && m == f.Month;
  return y == f.Year;
}

// Texts sort by their GBK bytes (the order the program's Chinese texts have
// always sorted in), letters without regard to case.
std::string TextSortKey(const std::string& utf8) {
  std::string key = Utf8ToGbk(utf8).value_or(utf8);
  for (char& c : key)
    if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}
}  // namespace

int TEventTable::TextId(uint8_t kind, int32_t code, bool cleared) {
  const uint64_t key = (uint64_t{kind} << 40) | (uint64_t{cleared} << 32) | static_cast<uint32_t>(code);
  const auto found = FTextIds.find(key);
  if (found != FTextIds.end()) return found->second;
  EventRecord probe{};
  probe.Kind = kind;
  probe.Code = code;
  probe.Active = cleared ? 0 : 1;
  std::string text = EventRecordText(probe, FLanguage);
  int id = -1;
  if (!text.empty()) {
    id = static_cast<int>(FTexts.size());
    FTexts.push_back(std::move(text));
  }
  FTextIds.emplace(key, id);
  return id;
}

void TEventTable::Clear() {
  FRows.clear();
  FOrder.clear();
}

std::error_code TEventTable::Load(const std::string& path, const TEventFilter& filter) {
  Clear();
  TRecordBuffer buf;
  const std::error_code ec = ReadRecordFile(path, sizeof(EventRecord), buf);
  if (ec) return ec;
  const unsigned char* data = buf.Data.get();
  auto recordAt = [data](size_t i) {
    EventRecord r;
    std::memcpy(&r, data + i * sizeof r, sizeof r);
    return r;
  };
  // Zero-filled records are not records at all; they neither count nor show.
  size_t n = 0;
  for (size_t i = 0; i < buf.Count; ++i)
    if (!IsZeroRecord(data + i * sizeof(EventRecord), sizeof(EventRecord))) ++n;
  int64_t index = static_cast<int64_t>(n) + 1;
  for (size_t i = 0; i < buf.Count; ++i) {
    if (IsZeroRecord(data + i * sizeof(EventRecord), sizeof(EventRecord))) continue;
    const EventRecord rec = recordAt(i);
    if (!IsShowableTime(rec.Time)) continue;
    --index;
    if (!DatePasses(filter, rec.Time)) continue;
    if (filter.Address != 0 && filter.Address != rec.Address) continue;
    if (rec.Kind > EventKindAlarm) continue;
    const bool cleared = rec.Kind == EventKindAlarm && rec.Active != 1;
    const int text = TextId(rec.Kind, rec.Code, cleared);
    if (text < 0) continue;
    FRows.push_back({rec.Time, static_cast<int32_t>(index), static_cast<uint32_t>(i + 1), rec.Code,
                     static_cast<uint16_t>(text), rec.Address, rec.Kind, cleared});
  }
  FOrder.resize(FRows.size());
  for (size_t i = 0; i < FOrder.size(); ++i) FOrder[i] = static_cast<uint32_t>(i);
  return {};
}

void TEventTable::Sort(int column, bool descending) {
  if (column < 0 || column >= Columns) return;
  std::vector<uint64_t> textRank;
  if (column == ColEvent) {
    std::vector<std::pair<std::string, size_t>> keys;
    for (size_t i = 0; i < FTexts.size(); ++i) keys.emplace_back(TextSortKey(FTexts[i]), i);
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    textRank.resize(FTexts.size());
    uint64_t rank = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i > 0 && keys[i].first != keys[i - 1].first) ++rank;
      textRank[keys[i].second] = rank + 1;
    }
  }
  std::vector<TSortKey> keys(FRows.size());
  for (size_t i = 0; i < FRows.size(); ++i) {
    const TRow& r = FRows[i];
    uint64_t key = 0;
    switch (column) {
      case ColIndex: key = static_cast<uint64_t>(r.Index); break;
      case ColTime: key = OrderedKey(static_cast<double>(ShownSeconds(r.Time))); break;
      case ColAddress: key = r.Address == 0 ? EmptyCellKey : r.Address; break;
      default: key = textRank[r.Text]; break;
    }
    keys[i] = {key, static_cast<uint32_t>(i)};
  }
  SortKeys(keys, descending, FOrder);
}

std::string TEventTable::Title(int column) const {
  if (column < 0 || column >= Columns) return {};
  return FLanguage == 1 ? TitlesZh[column] : TitlesEn[column];
}

void TEventTable::AppendCell(size_t row, int column, std::string& out) const {
  if (row >= FOrder.size()) return;
  const TRow& r = At(row);
  switch (column) {
    case ColIndex: AppendSigned(r.Index, out); break;
    case ColTime: AppendDateTime(r.Time, out); break;
    case ColAddress:
      if (r.Address != 0) AppendUnsigned(r.Address, out);
      break;
    case ColEvent: out += FTexts[r.Text]; break;
    default: break;
  }
}

std::error_code LoadEventGrid(TEventTable& table, const std::string& recordDir, const TEventFilter& filter) {
  const std::error_code ec = table.Load(recordDir + "EventLog.dat", filter);
  table.Sort(TEventTable::ColIndex, false);
  return ec;
}

}  // namespace tessaro
