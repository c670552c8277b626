#pragma once
// The logs as the listener serves them: the event log with the viewer's
// filters (JSON pages and the CSV of the command-line export), a month of the
// data log, and the trends of one device. Each call reads the files anew, on
// the listener's thread, never on the engine's.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "query/CsvExport.h"
#include "query/EventTable.h"

namespace tessaro::web {

using TQuery = std::map<std::string, std::string>;

// The device address (1..252) at the end of "PREFIX/N", or -1.
int TrailingAddress(const std::string& url, const std::string& prefix);
// "YYYY-MM" (the rest of /api/v1/datalog/YYYY-MM) put into the query as its
// year and month, for ParseEventFilter to check; false when it is no such text.
bool SetMonthFields(const std::string& month, TQuery& query);

// year, month, day and address from a query, checked as the command line
// checks them; nullopt with the reason in `error`.
std::optional<TEventFilter> ParseEventFilter(const TQuery& query, std::string& error);
// offset (0..) and limit (1..max, default `fallback`).
bool ParsePage(const TQuery& query, size_t fallback, size_t max, size_t& offset, size_t& limit, std::string& error);
// "gbk" (default) or "utf-8".
bool ParseEncoding(const TQuery& query, TCsvEncoding& encoding, std::string& error);

// Events newest first: {"total":N,"offset":..,"limit":..,"events":[{"id","index","time","timeAt","timeUnix",
// "address","device","kind","code","raised","event","texts":{"en","zh"}}]}. `id` is the record's position in
// the log file; `index` the viewer's number, which moves as events arrive. `names`: device names by address.
std::string EventsJson(const std::string& recordDir, const TEventFilter& filter, int language, size_t offset,
                       size_t limit, const std::map<int, std::string>& names = {});
// The bytes `tessaro --export-events` writes for the same filter and encoding.
std::string EventsCsv(const std::string& recordDir, const TEventFilter& filter, int language, TCsvEncoding encoding);

// One month of the data log, file order: {"total":N,..,"records":[{"time","address","values":{..}}]}.
std::string DataLogJson(const std::string& recordDir, uint16_t year, uint16_t month, uint16_t day,
                        uint16_t address, uint8_t protocol, size_t offset, size_t limit);

// The data log of one device from `from` to `to`, averaged into at most
// `points` buckets: {"from","to","records","bucketMs","first","averaged","t":[ms..],
// "series":{"input.L1-N.voltage":[..],..},"min":{..},"max":{..}}. Times are Unix milliseconds; `first`
// the oldest record's (null: none); min and max per bucket are given when any bucket averaged more
// than one record.
std::string TrendJson(const std::string& recordDir, uint8_t address, TDateTime from, TDateTime to, size_t points,
                      uint8_t protocol);

}  // namespace tessaro::web
