// The ledger's answers to a person: find, report and export. Every query is
// plain SQL that both backends read alike; times are compared and grouped
// as the database holds them (text on a file, timestamptz on a server) and
// turned into ISO 8601 here. What a backend's collation would order
// differently (station names) is ordered here, byte by byte.
#include "backend.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>

namespace {

constexpr char MATCH_COLUMNS[] =
    "SELECT a.mac, a.unit, a.serial, a.sha256, b.id, b.started, b.finished, b.outdir, b.template_sha256,"
    " b.range_first, b.range_last, b.host, b.runner,"
    " (SELECT min(u.mac) FROM address u WHERE u.batch = a.batch AND u.unit = a.unit),"
    " (SELECT max(u.mac) FROM address u WHERE u.batch = a.batch AND u.unit = a.unit)"
    " FROM address a JOIN batch b ON b.id = a.batch";

// An address's history, one event a row: kind (0 claim, 1 read-back, 2 void,
// 3 release), time, who, station, verdict, differs_at, reason, and the claim
// that the event belongs to (none for a void).
constexpr char HISTORY[] =
    "SELECT 0, CAST(c.claimed AS TEXT), c.login, c.station, NULL, CAST(NULL AS BIGINT), NULL, c.id FROM claim c"
    " WHERE c.mac = $1"
    " UNION ALL SELECT 1, CAST(r.checked AS TEXT), r.login, c.station, r.verdict, r.differs_at, NULL, c.id"
    " FROM readback r JOIN claim c ON c.id = r.claim WHERE c.mac = $1"
    " UNION ALL SELECT 2, CAST(v.at AS TEXT), v.who, NULL, NULL, NULL, v.reason, NULL FROM void v"
    " WHERE v.mac = $1"
    " UNION ALL SELECT 3, CAST(l.at AS TEXT), l.who, NULL, NULL, NULL, l.reason, l.claim FROM release l"
    " WHERE l.mac = $1";

std::size_t Count(const char *text)
{
    return static_cast<std::size_t>(std::max(0LL, Query_integer(text)));
}

Mac_address Mac(const char *text)
{
    Mac_address mac{0};
    if (text != nullptr)
        Mac_parse(text, mac);
    return mac;
}

// The batch's columns from column on: id, started, finished, outdir,
// template, range first and last, host, runner.
Ledger_batchInfo Batch_info(const Query_row &row, std::size_t column)
{
    const std::vector<const char *> &c = row.columns;
    Ledger_batchInfo batch{Query_integer(c[column]), Ledger_isoTime(c[column + 1]), Ledger_isoTime(c[column + 2]),
                           Query_text(c[column + 3]), Query_text(c[column + 4]), false, {}, Query_text(c[column + 7]),
                           Query_text(c[column + 8])};
    batch.ranged = c[column + 5] != nullptr && c[column + 6] != nullptr &&
                   Mac_parse(c[column + 5], batch.range.first) && Mac_parse(c[column + 6], batch.range.last);
    return batch;
}

// One event of the history from its columns, from column on (HISTORY's).
Ledger_event Event(const Query_row &row, std::size_t column)
{
    const std::vector<const char *> &c = row.columns;
    static constexpr Ledger_eventKind KINDS[] = {LEDGER_EVENT_CLAIM, LEDGER_EVENT_READBACK, LEDGER_EVENT_VOID,
                                                 LEDGER_EVENT_RELEASE};
    Ledger_event event{KINDS[std::clamp(Query_integer(c[column]), 0LL, 3LL)],
                       Ledger_isoTime(c[column + 1]),
                       Query_text(c[column + 2]),
                       Query_text(c[column + 3]),
                       Query_text(c[column + 4]) == "verified",
                       c[column + 5] == nullptr ? -1 : Query_integer(c[column + 5]),
                       Query_text(c[column + 6])};
    return event;
}

bool History(Ledger *ledger, Ledger_found &found, Fault &fault)
{
    std::vector<long long> ids;
    bool ok = Query_run(
        ledger, HISTORY, {Mac_hex(found.first).data()}, // a unit's history is its base's
        [&](const Query_row &row) {
            found.history.push_back(Event(row, 0));
            ids.push_back(row.columns[7] == nullptr ? LLONG_MAX : Query_integer(row.columns[7]));
            return true;
        },
        fault);
    Ledger_orderHistory(found.history, ids);
    return ok;
}

} // namespace

std::string Query_text(const char *text)
{
    return text == nullptr ? std::string() : std::string(text);
}

long long Query_integer(const char *text)
{
    return text == nullptr ? 0 : std::strtoll(text, nullptr, 10);
}

bool Query_run(Ledger *ledger, const char *query, const std::vector<std::string> &params, const Query_take &take,
               Fault &fault)
{
    return ledger->ops->query(*ledger, query, params, take, false) ||
           Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str());
}

void Ledger_orderHistory(std::vector<Ledger_event> &history, const std::vector<long long> &claims)
{
    std::vector<std::size_t> order(history.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        const Ledger_event &a = history[x];
        const Ledger_event &b = history[y];
        if (a.when != b.when)
            return a.when < b.when;
        return claims[x] != claims[y] ? claims[x] < claims[y] : a.kind < b.kind;
    });
    std::vector<Ledger_event> sorted;
    sorted.reserve(history.size());
    for (std::size_t i : order)
        sorted.push_back(std::move(history[i]));
    history = std::move(sorted);
}

std::string Ledger_isoTime(const char *text)
{
    std::string time = Query_text(text);
    if (time.size() >= 19 && time[10] == ' ')
        time[10] = 'T';
    if (time.size() > 19 && time.ends_with("+00"))
        time.replace(time.size() - 3, 3, "Z");
    return time;
}

bool Ledger_find(Ledger *ledger, bool isMac, Mac_address mac, std::string_view key, std::vector<Ledger_found> &matches,
                 Fault &fault)
{
    matches.clear();
    std::string query = std::string(MATCH_COLUMNS) + (isMac ? " WHERE a.mac = $1" : " WHERE a.serial = $1") +
                        " ORDER BY b.id, a.unit, a.mac";
    std::string param = isMac ? std::string(Mac_hex(mac).data()) : std::string(key);
    bool ok = Query_run(
        ledger, query.c_str(), {param},
        [&](const Query_row &row) {
            const std::vector<const char *> &c = row.columns;
            if (!isMac && Mac(c[0]) != Mac(c[13]))
                return true; // a serial matches a unit once, by its base
            matches.push_back({Mac(c[0]), Mac(c[13]), Mac(c[14]), Batch_info(row, 4), Count(c[1]), Query_text(c[2]),
                               Query_text(c[3]), {}});
            return true;
        },
        fault);
    for (std::size_t i = 0; ok && i < matches.size(); ++i)
        ok = History(ledger, matches[i], fault);
    return ok;
}
