// Every address with its history, for an export: one query whose rows come
// by address, the address's own row first, then its claims, read-backs,
// voids and releases; each address is handed on as soon as the next one
// begins, so that one address is held at a time, whatever the ledger's size.
#include "backend.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {

// Each row: the address, then its kind (0 the address itself, then an
// event: 1 claim, 2 read-back, 3 void, 4 release), then the address's batch,
// unit, serial and SHA-256, or the event's claim (none for a void), time,
// who, station, verdict, differs_at and reason.
constexpr char EVERY_ADDRESS[] =
    "SELECT a.mac, 0, a.batch, CAST(a.unit AS TEXT), a.serial, a.sha256, NULL, CAST(NULL AS BIGINT), NULL"
    " FROM address a"
    " UNION ALL SELECT c.mac, 1, c.id, CAST(c.claimed AS TEXT), c.login, c.station, NULL, NULL, NULL FROM claim c"
    " UNION ALL SELECT c.mac, 2, c.id, CAST(r.checked AS TEXT), r.login, c.station, r.verdict, r.differs_at, NULL"
    " FROM readback r JOIN claim c ON c.id = r.claim"
    " UNION ALL SELECT v.mac, 3, NULL, CAST(v.at AS TEXT), v.who, NULL, NULL, NULL, v.reason FROM void v"
    " UNION ALL SELECT l.mac, 4, l.claim, CAST(l.at AS TEXT), l.who, NULL, NULL, NULL, l.reason FROM release l"
    " ORDER BY 1, 2, 3";

std::string Text(const char *text)
{
    return text == nullptr ? std::string() : std::string(text);
}

long long Integer(const char *text)
{
    return text == nullptr ? 0 : std::strtoll(text, nullptr, 10);
}

} // namespace

bool Ledger_export(Ledger *ledger, const Ledger_each &take, Fault &fault)
{
    static constexpr Ledger_eventKind KINDS[] = {LEDGER_EVENT_CLAIM, LEDGER_EVENT_READBACK, LEDGER_EVENT_VOID,
                                                 LEDGER_EVENT_RELEASE};
    Ledger_found found{};
    std::vector<long long> claims; // of found's history
    bool held = false; // whether found holds an address not yet handed on
    bool stopped = false;
    auto hand = [&]() {
        Ledger_orderHistory(found.history, claims);
        stopped = !take(found);
        return !stopped;
    };
    bool ok = ledger->ops->rows(*ledger, EVERY_ADDRESS, {}, [&](const Ledger_row &row) {
        const std::vector<const char *> &c = row.columns;
        long long kind = Integer(c[1]);
        if (kind == 0) {
            if (held && !hand())
                return false;
            found.history.clear();
            claims.clear();
            held = Mac_parse(Text(c[0]), found.mac);
            found.first = found.last = found.mac;
            found.batch.id = Integer(c[2]);
            found.unit = static_cast<std::size_t>(std::max(0LL, Integer(c[3])));
            found.serial = Text(c[4]);
            found.sha256 = Text(c[5]);
            return true;
        }
        if (!held || kind > 4)
            return true;
        claims.push_back(c[2] == nullptr ? LLONG_MAX : Integer(c[2]));
        found.history.push_back({KINDS[kind - 1], Ledger_isoTime(c[3]), Text(c[4]), Text(c[5]),
                                     Text(c[6]) == "verified", c[7] == nullptr ? -1 : Integer(c[7]), Text(c[8])});
        return true;
    });
    if (!ok)
        return Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str());
    if (!stopped && held)
        hand();
    return !stopped || Fault_fail(fault, "export", "stopped");
}
