// recledger void and release: rows that correct what the tools recorded,
// each made against a unit's base, whichever of its addresses was given,
// added to the chain like every other, by the owner or a supervisor (a
// station's login may not add them). Each runs in one transaction under the
// locks of its units' bases and the chain's lock (the issuing lock); on a
// server, who is the session's login, which the server sets, read first so
// that the hash covers it.
#include "chain.h"
#include "cli.h"
#include "lease.h"

#include <algorithm>

namespace {

// Why an address of a site's lease is not the centre's to void or release.
std::string Leased(long long lease)
{
    return "leased to a site (lease " + std::to_string(lease) + "): void or release it on the site's ledger";
}

// Why mac may not be voided; empty when it may.
bool Void_refusal(Ledger &ledger, Mac_address mac, std::string &why)
{
    std::string hex = Mac_hex(mac).data();
    std::vector<std::string> issued;
    std::vector<std::string> voided;
    long long lease = 0;
    if (!Chain_firstRow(ledger, "SELECT batch FROM address WHERE mac = '" + hex + "'", issued) ||
        !Chain_firstRow(ledger, "SELECT " + Chain_text(ledger, "at") + ", reason FROM void WHERE mac = '" + hex + "'", voided) ||
        !Lease_of(ledger, mac, &lease))
        return false;
    why = lease != 0 ? Leased(lease) : issued.empty() ? "never issued" : !voided.empty() ? "voided already at " + voided[0] + ": " + voided[1] : "";
    return true;
}

// Why mac's latest claim may not be released (empty when it may), and its id.
bool Release_refusal(Ledger &ledger, Mac_address mac, std::string &why, std::string &claim)
{
    std::string hex = Mac_hex(mac).data();
    std::vector<std::string> latest;
    long long lease = 0;
    if (!Lease_of(ledger, mac, &lease) ||
        !Chain_firstRow(ledger,
                   "SELECT CAST(c.id AS TEXT), r.verdict, (SELECT " + Chain_text(ledger, "max(at)") +
                       " FROM release WHERE release.claim = c.id)"
                   " FROM claim c LEFT JOIN readback r ON r.claim = c.id WHERE c.mac = '" +
                       hex + "' ORDER BY c.id DESC LIMIT 1",
                   latest))
        return false;
    if (lease != 0)
        why = Leased(lease);
    else if (latest.empty())
        why = "no claim in progress: never claimed";
    else if (latest[1] == "verified")
        why = "no claim in progress: its latest claim was read back verified";
    else if (!latest[2].empty())
        why = "no claim in progress: its latest claim was released at " + latest[2];
    claim = latest.empty() ? "" : latest[0];
    return true;
}

// Ends the transaction: committed when ok, else rolled back with the
// ledger's error kept; fault says why when it was not committed.
bool Settle(Ledger &ledger, bool ok, const std::string &refusal, Mac_address mac, Fault &fault)
{
    std::string error = ledger.error;
    if (ok && refusal.empty() && ledger.ops->end(ledger, true))
        return true;
    if (ok && refusal.empty())
        error = ledger.error;
    ledger.ops->end(ledger, false);
    if (ok && !refusal.empty())
        return Fault_refuse(fault, Mac_colons(mac).data(), "%s", refusal.c_str());
    return Fault_fail(fault, ledger.name.c_str(), "%s", error.c_str());
}

// An address given, and its unit's base (the lowest of its addresses; an
// address never issued stands for itself).
struct Given {
    Mac_address mac;
    Mac_address base;
};

bool Base_of(Ledger &ledger, Mac_address mac, Mac_address &base)
{
    std::vector<std::string> row;
    bool ok = Chain_firstRow(ledger,
                        std::string("SELECT min(u.mac) FROM address a JOIN address u ON u.batch = a.batch"
                                    " AND u.unit = a.unit WHERE a.mac = '") +
                            Mac_hex(mac).data() + "'",
                        row);
    base = mac;
    if (ok && !row.empty() && !row[0].empty())
        Mac_parse(row[0], base);
    return ok;
}

// Starts the transaction of a void or release of macs, each standing for
// its unit (each unit once, by the first address given of it): the lock of
// each base, lowest first, as a station's claim of the unit's image takes
// it, then the chain's. Both take an address's lock before the chain's, so
// neither waits for the other in turn.
bool Begin(Ledger &ledger, const std::vector<Mac_address> &macs, std::vector<Given> &units)
{
    bool held = false;
    bool ok = ledger.ops->start(ledger, &held);
    units.clear();
    std::vector<Mac_address> bases;
    for (std::size_t i = 0; ok && i < macs.size(); ++i) {
        Given given{macs[i], macs[i]};
        ok = Base_of(ledger, macs[i], given.base);
        if (ok && std::find(bases.begin(), bases.end(), given.base) == bases.end()) {
            bases.push_back(given.base);
            units.push_back(given);
        }
    }
    std::sort(bases.begin(), bases.end());
    for (std::size_t i = 0; ok && i < bases.size(); ++i)
        ok = ledger.ops->lockAddress(ledger, bases[i]);
    return ok && ledger.ops->hold(ledger);
}

} // namespace

bool Ledger_void(Ledger *ledger, const std::vector<Mac_address> &macs, const std::string &reason, Fault &fault)
{
    if (ledger->ops->rows == nullptr)
        return Fault_fail(fault, ledger->name.c_str(), "a void needs a ledger");
    std::string who;
    std::string at = Ledger_now();
    std::vector<Given> units;
    bool ok = Begin(*ledger, macs, units) && Chain_who(*ledger, who);
    std::string why;
    Mac_address refused{0};
    for (std::size_t i = 0; ok && why.empty() && i < units.size(); ++i) {
        std::string id;
        ok = Void_refusal(*ledger, units[i].base, why) && (!why.empty() || Chain_nextId(*ledger, "void", id));
        ok = ok && (!why.empty() || Chain_insert(*ledger, "void", {id.c_str(), Mac_hex(units[i].base).data(),
                                                                    reason.c_str(), who.c_str(), at.c_str()}));
        refused = units[i].mac;
    }
    return Settle(*ledger, ok, why, refused, fault);
}

bool Ledger_release(Ledger *ledger, Mac_address mac, const std::string &reason, Fault &fault)
{
    if (ledger->ops->rows == nullptr)
        return Fault_fail(fault, ledger->name.c_str(), "a release needs a ledger");
    std::string who;
    std::string at = Ledger_now();
    std::string why;
    std::string claim;
    std::string id;
    std::vector<Given> units;
    bool ok = Begin(*ledger, {mac}, units) && Chain_who(*ledger, who) &&
              Release_refusal(*ledger, units[0].base, why, claim);
    ok = ok && (!why.empty() || (Chain_nextId(*ledger, "release", id) &&
                                 Chain_insert(*ledger, "release", {id.c_str(), claim.c_str(),
                                                                   Mac_hex(units[0].base).data(), reason.c_str(),
                                                                   who.c_str(), at.c_str()})));
    return Settle(*ledger, ok, why, mac, fault);
}
