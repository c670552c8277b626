#pragma once
// The numbered debug registers of the trace window's dump: engine variables,
// settings, line statistics and per-device counters, by register number.

#include <cstdint>

namespace tessaro {

class TContext;
class TSerialPort;
struct TPollStats;

// Rate as the statistics line shows it: AckOkCount x 100 / TxCount, 0 with
// nothing sent.
double TraceRate(const TPollStats& stats);

// The value of register `number`; 0 for a number that names nothing.
int32_t TraceRegister(const TContext& context, const TSerialPort& port, uint16_t number);

}  // namespace tessaro
