// Every address with its history, for an export: one query whose rows come
// by address, a row for each of its claims with the claim's read-back; the
// voids and releases (a person's corrections, rare) of the addresses that
// have any are read apart, WINDOW at a time in address order, as the
// addresses come to them: a few queries in all rather than one an address
// (each a round trip to a server). Each address is handed on as soon as the
// next one begins, so that one address, and at most a window of
// corrections, is held at a time, whatever the ledger's size.
#include "backend.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {

// Each row: the address, its batch, unit, serial and SHA-256; a claim's id,
// time, login and station; its read-back's claim, time, login, verdict and
// differs_at; and whether the address has a void or a release.
constexpr char EVERY_ADDRESS[] =
    "SELECT a.mac, a.batch, a.unit, a.serial, a.sha256, c.id, CAST(c.claimed AS TEXT), c.login, c.station,"
    " r.claim, CAST(r.checked AS TEXT), r.login, r.verdict, r.differs_at, m.mac FROM address a"
    " LEFT JOIN claim c ON c.mac = a.mac LEFT JOIN readback r ON r.claim = c.id"
    " LEFT JOIN (SELECT mac FROM void UNION SELECT mac FROM release) m ON m.mac = a.mac ORDER BY a.mac, c.id";

// Voids and releases: address, kind, id, time, who, reason, claim; those
// of the address $1, and the first WINDOW of those after it.
#define CORRECTIONS(mac)                                                                                               \
    "SELECT v.mac, 2 AS kind, v.id, CAST(v.at AS TEXT), v.who, v.reason, NULL FROM void v WHERE v.mac " mac           \
    " UNION ALL SELECT l.mac, 3, l.id, CAST(l.at AS TEXT), l.who, l.reason, l.claim FROM release l WHERE l.mac " mac
constexpr char CORRECTIONS_OF[] = CORRECTIONS("= $1") " ORDER BY 2, 3";
constexpr std::size_t WINDOW = 4096;
const std::string CORRECTIONS_AFTER =
    "SELECT * FROM (" CORRECTIONS("> $1") ") x ORDER BY 1, 2, 3 LIMIT " + std::to_string(WINDOW);

struct Correction {
    std::string mac;
    Ledger_event event;
    long long claim; // LLONG_MAX for a void
};

struct Export {
    Ledger *ledger;
    Ledger_found found;
    std::vector<long long> claims; // of found's history
    bool held;                     // whether found holds an address not yet handed on
    // Every void and release of the addresses from the one that the window
    // was read for up to end (all after it when end is empty), by address.
    std::vector<Correction> window;
    std::size_t next;   // the first of window not yet handed on
    std::string end;    // the first address that the window may hold only some of
    bool read;          // whether the window was read
};

// Reads the window from mac on.
bool Read_window(Export &each, const std::string &mac)
{
    each.window.clear();
    each.next = 0;
    each.read = true;
    auto keep = [&](const Query_row &row) {
        const std::vector<const char *> &c = row.columns;
        bool isVoid = Query_integer(c[1]) == 2;
        each.window.push_back({Query_text(c[0]),
                               {isVoid ? LEDGER_EVENT_VOID : LEDGER_EVENT_RELEASE, Ledger_isoTime(c[3]),
                                Query_text(c[4]), "", false, -1, Query_text(c[5])},
                               c[6] == nullptr ? LLONG_MAX : Query_integer(c[6])});
        return true;
    };
    Ledger &ledger = *each.ledger;
    if (!ledger.ops->query(ledger, CORRECTIONS_OF, {mac}, keep, false))
        return false;
    std::size_t own = each.window.size();
    if (!ledger.ops->query(ledger, CORRECTIONS_AFTER.c_str(), {mac}, keep, false))
        return false;
    each.end.clear();
    if (each.window.size() - own == WINDOW) { // the last address's may go on past the window
        each.end = each.window.back().mac;
        while (!each.window.empty() && each.window.back().mac == each.end)
            each.window.pop_back();
    }
    return true;
}

// Adds the voids and releases of the address mac to its history.
bool Corrections(Export &each, const std::string &mac)
{
    if ((!each.read || (!each.end.empty() && mac >= each.end)) && !Read_window(each, mac))
        return false;
    for (; each.next < each.window.size() && each.window[each.next].mac <= mac; ++each.next) {
        if (each.window[each.next].mac < mac)
            continue;
        each.found.history.push_back(each.window[each.next].event);
        each.claims.push_back(each.window[each.next].claim);
    }
    return true;
}

// The address of the row, when it begins one; false when its voids and
// releases could not be read.
bool Address(Export &each, const Query_row &row)
{
    const std::vector<const char *> &c = row.columns;
    each.found.history.clear();
    each.claims.clear();
    each.held = Mac_parse(Query_text(c[0]), each.found.mac);
    each.found.first = each.found.last = each.found.mac;
    each.found.batch.id = Query_integer(c[1]);
    each.found.unit = static_cast<std::size_t>(std::max(0LL, Query_integer(c[2])));
    each.found.serial = Query_text(c[3]);
    each.found.sha256 = Query_text(c[4]);
    return c[14] == nullptr || !each.held || Corrections(each, c[0]);
}

// The row's claim and its read-back.
void Claim(Export &each, const Query_row &row)
{
    const std::vector<const char *> &c = row.columns;
    if (c[5] == nullptr)
        return;
    long long claim = Query_integer(c[5]);
    each.claims.push_back(claim);
    each.found.history.push_back({LEDGER_EVENT_CLAIM, Ledger_isoTime(c[6]), Query_text(c[7]), Query_text(c[8]), false, -1, ""});
    if (c[9] == nullptr)
        return;
    each.claims.push_back(claim);
    each.found.history.push_back({LEDGER_EVENT_READBACK, Ledger_isoTime(c[10]), Query_text(c[11]), Query_text(c[8]),
                                  Query_text(c[12]) == "verified", c[13] == nullptr ? -1 : Query_integer(c[13]), ""});
}

} // namespace

bool Ledger_export(Ledger *ledger, const Ledger_each &take, Fault &fault)
{
    Export each{ledger, {}, {}, false, {}, 0, "", false};
    bool stopped = false;
    bool failed = false;
    auto hand = [&]() {
        Ledger_orderHistory(each.found.history, each.claims);
        stopped = !take(each.found);
        return !stopped;
    };
    std::string mac; // of the address held
    bool ok = ledger->ops->query(*ledger, EVERY_ADDRESS, {}, [&](const Query_row &row) {
        if (!each.held || mac != row.columns[0]) {
            if (each.held && !hand())
                return false;
            mac = Query_text(row.columns[0]);
            failed = !Address(each, row);
            if (failed)
                return false;
        }
        Claim(each, row);
        return true;
    }, true);
    if (!ok || failed)
        return Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str());
    if (!stopped && each.held)
        hand();
    return !stopped || Fault_fail(fault, "export", "stopped");
}
