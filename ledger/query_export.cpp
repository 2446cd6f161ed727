// Every address with its history, for an export: one query whose rows come
// by address, a row for each of its claims with the claim's read-back; an
// address that was voided or released has those read apart, as it comes.
// Each address is handed on as soon as the next one begins, so that one
// address is held at a time, whatever the ledger's size.
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

// An address's voids and releases: kind, time, who, reason, claim.
constexpr char CORRECTIONS[] =
    "SELECT 2, CAST(v.at AS TEXT), v.who, v.reason, NULL FROM void v WHERE v.mac = $1"
    " UNION ALL SELECT 3, CAST(l.at AS TEXT), l.who, l.reason, l.claim FROM release l WHERE l.mac = $1";

struct Export {
    Ledger *ledger;
    Ledger_found found;
    std::vector<long long> claims; // of found's history
    bool held;                     // whether found holds an address not yet handed on
};

bool Corrections(Export &each)
{
    return each.ledger->ops->query(*each.ledger, CORRECTIONS, {Mac_hex(each.found.mac).data()},
                                  [&](const Query_row &row) {
                                      const std::vector<const char *> &c = row.columns;
                                      each.claims.push_back(c[4] == nullptr ? LLONG_MAX : Query_integer(c[4]));
                                      each.found.history.push_back(
                                          {Query_integer(c[0]) == 2 ? LEDGER_EVENT_VOID : LEDGER_EVENT_RELEASE,
                                           Ledger_isoTime(c[1]), Query_text(c[2]), "", false, -1, Query_text(c[3])});
                                      return true;
                                  });
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
    return c[14] == nullptr || !each.held || Corrections(each);
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
    Export each{ledger, {}, {}, false};
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
    });
    if (!ok || failed)
        return Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str());
    if (!stopped && each.held)
        hand();
    return !stopped || Fault_fail(fault, "export", "stopped");
}
