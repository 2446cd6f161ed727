// What the ledger answers to a person (recledger): everything it holds of
// an address or a serial, the counts of the whole ledger, and every address
// one after another for an export. The queries are written once, in the SQL
// that every backend reads alike, and aggregated by the database; the
// backends only run them (Ledger_ops::rows).
#pragma once

#include "ledger.h"
#include "records.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// One row of a query: each column's text, nullptr for NULL, and its length
// in bytes; valid until the next row.
struct Query_row {
    std::vector<const char *> columns;
    std::vector<std::size_t> lengths;
};

using Query_take = std::function<bool(const Query_row &row)>;

// Every address that key matches: mac when isMac (at most one), else the
// base of every unit that recorded the serial key, by batch and unit; none
// when none. Each with its unit's addresses and the history of its unit
// (its base's), whichever of them matched.
bool Ledger_find(Ledger *ledger, bool isMac, Mac_address mac, std::string_view key, std::vector<Ledger_found> &matches,
                 Fault &fault);

// The counts of the whole ledger at made (UTC, ISO 8601): by batch, station,
// range and hour.
bool Ledger_counts(Ledger *ledger, const std::string &made, Ledger_report &report, Fault &fault);

// Hands every address to take, by address, with its batch and its history
// (oldest first), one at a time: only one address is held at once. take
// returns false to stop (the export then fails with what take says).
using Ledger_each = std::function<bool(const Ledger_found &found)>;
bool Ledger_export(Ledger *ledger, const Ledger_each &take, Fault &fault);

// For the ledger's own files: a column's text (empty for NULL) and number
// (0 for NULL); a query run through the backend, its failure in fault.
std::string Query_text(const char *text);
long long Query_integer(const char *text);
bool Query_run(Ledger *ledger, const char *query, const std::vector<std::string> &params, const Query_take &take,
               Fault &fault);

// For the ledger's own files: history in time order; at one time, by the
// claim that each event belongs to (claims[i], the event's; LLONG_MAX for a
// void), a claim before its read-back before its release. Times of whole
// seconds tie often: a retry's claim and the failed read-back before it.
void Ledger_orderHistory(std::vector<Ledger_event> &history, const std::vector<long long> &claims);

// A time as the database gave it, as the ledger writes times: UTC, ISO 8601
// (2026-03-02T09:15:00Z); a server's "2026-03-02 09:15:00+00" becomes that.
std::string Ledger_isoTime(const char *text);
