// report: a whole ledger's counts, as text, JSON or a page (page.h).
#pragma once

#include "ledger.h"
#include "records.h"
#include "show.h"

#include <cstdio>
#include <string>
#include <string_view>

// The counts of the whole ledger, taken at one moment, into report.
bool Report_query(Ledger *ledger, Ledger_report &report, Fault &fault);

// The addresses that range issued a day over the last 7 days.
double Report_perDay(const Ledger_rangeCount &range);

// The day (YYYY-MM-DD, UTC) on which range has no free address left at the
// last 7 days' rate, counting from the report's time made: that day itself
// when none is left. Empty when none was issued in those 7 days, or the day
// falls after the year 9999.
std::string Report_runsOut(const Ledger_rangeCount &range, std::string_view made);

// The tables of the report, the same in text and on the page: a row for
// each batch, station or range, cells as Show_plain shows them.
Show_table Report_batchTable(const Ledger_report &report);
Show_table Report_stationTable(const Ledger_report &report);
Show_table Report_rangeTable(const Ledger_report &report);

// The report as aligned tables: batches, stations, ranges.
void Report_text(std::FILE *out, const Ledger_report &report);

// The report as one JSON document, the verified units per hour included.
void Report_json(std::FILE *out, const Ledger_report &report);
