// The counts of a whole ledger (recledger report), each aggregated by the
// database (GROUP BY): only the counts come back, never the rows. A unit is
// a batch's unit, whichever of its addresses was claimed or voided; a
// station's counts go by the address that it claimed.
#include "backend.h"
#include "lease.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Per batch: units; units claimed; by the latest read-back of each unit,
// verified and failed; units voided. One pass over the addresses, a unit at
// a time: a read-back is told by its claim's id, twice over, plus 1 when it
// verified, so that the greatest is the latest and its last bit its verdict.
constexpr char BATCHES[] =
    "SELECT b.id, CAST(b.started AS TEXT), coalesce(o.units, 0), coalesce(o.claimed, 0), coalesce(o.verified, 0),"
    " coalesce(o.failed, 0), coalesce(o.voided, 0) FROM batch b LEFT JOIN"
    " (SELECT batch, count(*) AS units, sum(claimed) AS claimed,"
    " sum(CASE WHEN latest % 2 = 1 THEN 1 ELSE 0 END) AS verified,"
    " sum(CASE WHEN latest % 2 = 0 THEN 1 ELSE 0 END) AS failed, sum(voided) AS voided FROM"
    " (SELECT a.batch, a.unit, max(CASE WHEN c.id IS NULL THEN 0 ELSE 1 END) AS claimed,"
    " max(CASE WHEN r.claim IS NULL THEN NULL WHEN r.verdict = 'verified' THEN c.id * 2 + 1 ELSE c.id * 2 END)"
    " AS latest, max(CASE WHEN v.mac IS NULL THEN 0 ELSE 1 END) AS voided"
    " FROM address a LEFT JOIN claim c ON c.mac = a.mac LEFT JOIN readback r ON r.claim = c.id"
    " LEFT JOIN void v ON v.mac = a.mac GROUP BY a.batch, a.unit) u GROUP BY batch) o ON o.batch = b.id"
    " ORDER BY b.id";

// Per station: claims; the addresses that it claimed; of those, the ones
// that it read back, and the ones verified at its first read-back of them
// (the least of the same numbers as the batches').
constexpr char STATIONS[] =
    "SELECT station, sum(claims), count(*), count(first), sum(CASE WHEN first % 2 = 1 THEN 1 ELSE 0 END) FROM"
    " (SELECT c.station, count(*) AS claims,"
    " min(CASE WHEN r.claim IS NULL THEN NULL WHEN r.verdict = 'verified' THEN c.id * 2 + 1 ELSE c.id * 2 END)"
    " AS first FROM claim c LEFT JOIN readback r ON r.claim = c.id GROUP BY c.mac, c.station) x GROUP BY station";

// The ranges that batches recorded.
constexpr char RANGES[] = "SELECT DISTINCT range_first, range_last FROM batch"
                          " WHERE range_first IS NOT NULL AND range_last IS NOT NULL";

// Of one range ($1 to $2): addresses issued, voided (every address of a
// voided unit, whose void is its base's), and issued since $3; the issued
// ones counted in one pass over the range's addresses.
constexpr char RANGE_COUNTS[] =
    "SELECT count(*),"
    " (SELECT count(DISTINCT u.mac) FROM void v JOIN address b ON b.mac = v.mac"
    " JOIN address u ON u.batch = b.batch AND u.unit = b.unit WHERE u.mac BETWEEN $1 AND $2),"
    " sum(CASE WHEN b.started >= $3 THEN 1 ELSE 0 END)"
    " FROM address a LEFT JOIN batch b ON b.id = a.batch WHERE a.mac BETWEEN $1 AND $2";

// Verified read-backs per hour and station.
constexpr char HOURS[] = "SELECT substr(CAST(r.checked AS TEXT), 1, 13) AS h, c.station, count(*)"
                         " FROM readback r JOIN claim c ON c.id = r.claim WHERE r.verdict = 'verified'"
                         " GROUP BY substr(CAST(r.checked AS TEXT), 1, 13), c.station";

std::size_t Count(const char *text)
{
    return text == nullptr ? 0 : static_cast<std::size_t>(std::max(0LL, std::strtoll(text, nullptr, 10)));
}

bool Stations(Ledger *ledger, Ledger_report &report, Fault &fault)
{
    bool ok = Query_run(
        ledger, STATIONS, {},
        [&](const Query_row &row) {
            const std::vector<const char *> &c = row.columns;
            std::size_t claims = Count(c[1]);
            report.stations.push_back(
                {Query_text(c[0]), claims, Count(c[3]), Count(c[4]), claims - std::min(claims, Count(c[2]))});
            return true;
        },
        fault);
    std::sort(report.stations.begin(), report.stations.end(),
              [](const auto &a, const auto &b) { return a.station < b.station; });
    return ok;
}

// made less 7 days, as the ledger writes times; empty when made is no time.
std::string Week_before(const std::string &made)
{
    std::tm tm{};
    const char *end = strptime(made.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (end == nullptr || *end != '\0')
        return "";
    std::time_t then = timegm(&tm) - 7 * 24 * 60 * 60;
    char text[32] = "";
    if (gmtime_r(&then, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return "";
    return text;
}

// The addresses of range that a site's lease holds and the centre has not
// yet heard the site issue: neither issued here nor free.
bool Leased(Ledger *ledger, const std::vector<Lease_span> &leases, Mac_range range, std::uint64_t &leased, Fault &fault)
{
    leased = 0;
    bool ok = true;
    for (const Lease_span &lease : leases) {
        std::uint64_t first = std::max(lease.first, range.first.bits);
        std::uint64_t last = std::min(lease.last, range.last.bits);
        if (first > last)
            continue;
        leased += last - first + 1;
        ok = ok && Query_run(
                       ledger, "SELECT count(*) FROM address WHERE mac BETWEEN $1 AND $2",
                       {Mac_hex({first}).data(), Mac_hex({last}).data()},
                       [&](const Query_row &row) {
                           leased -= std::min<std::uint64_t>(leased, Count(row.columns[0]));
                           return true;
                       },
                       fault);
    }
    return ok;
}

bool Ranges(Ledger *ledger, const std::string &made, Ledger_report &report, Fault &fault)
{
    bool ok = Query_run(
        ledger, RANGES, {},
        [&](const Query_row &row) {
            Ledger_rangeCount range{};
            if (Mac_parse(Query_text(row.columns[0]), range.range.first) && Mac_parse(Query_text(row.columns[1]), range.range.last))
                report.ranges.push_back(range);
            return true;
        },
        fault);
    // A site's own ledger: its lease is its range, batches or none, and
    // what it gave back is no longer its to issue.
    bool local = false;
    Ledger_lease lease{};
    ok = ok && Ledger_site(ledger, &local, lease, fault);
    if (local && std::none_of(report.ranges.begin(), report.ranges.end(),
                              [&](const Ledger_rangeCount &range) {
                                  return range.range.first == lease.range.first && range.range.last == lease.range.last;
                              }))
        report.ranges.push_back({lease.range, 0, 0, 0, 0});
    std::sort(report.ranges.begin(), report.ranges.end(), [](const auto &a, const auto &b) {
        return a.range.first.bits != b.range.first.bits ? a.range.first.bits < b.range.first.bits
                                                        : a.range.last.bits < b.range.last.bits;
    });
    std::string week = Week_before(made);
    std::vector<Lease_span> leases; // the centre's leases; on a site's ledger, what it gave back
    ok = ok && (Lease_spans(*ledger, leases) || Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str()));
    if (local && (!lease.left || lease.kept.last < lease.range.last))
        leases.push_back({lease.left ? lease.kept.last.bits + 1 : lease.range.first.bits, lease.range.last.bits, lease.id});
    for (std::size_t i = 0; ok && i < report.ranges.size(); ++i) {
        Ledger_rangeCount &range = report.ranges[i];
        ok = Query_run(
            ledger, RANGE_COUNTS, {Mac_hex(range.range.first).data(), Mac_hex(range.range.last).data(), week},
            [&](const Query_row &row) {
                range.issued = Count(row.columns[0]);
                range.voided = Count(row.columns[1]);
                range.issuedWeek = Count(row.columns[2]);
                std::uint64_t size = range.range.last.bits - range.range.first.bits + 1;
                range.free = size - std::min<std::uint64_t>(size, range.issued);
                return true;
            },
            fault);
        std::uint64_t leased = 0;
        ok = ok && Leased(ledger, leases, range.range, leased, fault);
        range.free -= std::min(range.free, leased);
    }
    return ok;
}

bool Hours(Ledger *ledger, Ledger_report &report, Fault &fault)
{
    bool ok = Query_run(
        ledger, HOURS, {},
        [&](const Query_row &row) {
            std::string hour = Query_text(row.columns[0]);
            if (hour.size() > 10 && hour[10] == ' ')
                hour[10] = 'T';
            report.hours.push_back({hour, Query_text(row.columns[1]), Count(row.columns[2])});
            return true;
        },
        fault);
    std::sort(report.hours.begin(), report.hours.end(), [](const auto &a, const auto &b) {
        return a.hour != b.hour ? a.hour < b.hour : a.station < b.station;
    });
    return ok;
}

} // namespace

bool Ledger_counts(Ledger *ledger, const std::string &made, Ledger_report &report, Fault &fault)
{
    report = {};
    report.made = made;
    bool ok = Query_run(
        ledger, BATCHES, {},
        [&](const Query_row &row) {
            const std::vector<const char *> &c = row.columns;
            Ledger_batchCount batch{std::strtoll(c[0], nullptr, 10), Ledger_isoTime(c[1]), Count(c[2]), Count(c[3]),
                                    Count(c[4]), Count(c[5]), 0, Count(c[6])};
            batch.neverClaimed = batch.units - std::min(batch.units, batch.claimed);
            report.batches.push_back(batch);
            return true;
        },
        fault);
    return ok && Stations(ledger, report, fault) && Ranges(ledger, made, report, fault) && Hours(ledger, report, fault);
}
