#include "issue.h"

#include "checks.h"
#include "manifest.h"

#include <algorithm>
#include <unordered_set>

namespace {

// At most this many units are settled anew inside a transaction that holds
// the lock: when other runs took more of the foreseen addresses, the
// transaction is given up, they are settled outside it, and it is tried
// again, up to ATTEMPTS times in all; the last attempt settles them inside,
// however many. A transaction that does not hold the lock is tried again
// when another run issued one of its addresses first, up to TRIES times.
constexpr std::size_t SETTLED_INSIDE = 4096;
constexpr int ATTEMPTS = 4;
constexpr int TRIES = 16;

bool From_range(const Unit &unit)
{
    return unit.from == ADDRESS_NONE || unit.from == ADDRESS_RANGE;
}

// Whether the table or the template gives the unit its address.
bool Given(const Unit &unit)
{
    return unit.from == ADDRESS_TABLE || unit.from == ADDRESS_TEMPLATE;
}

// The units that take an address from the range: the lowest free ones, in
// unit order, passing over those that the table gives. moved lists the
// units whose address differs from the one they had.
bool Take_range(const Request &request, Ledger *ledger, Units &units, std::vector<std::size_t> &moved, Faults &faults,
                Fault &fault)
{
    moved.clear();
    std::size_t need = 0;
    std::unordered_set<std::uint64_t> taken;
    for (const Unit &unit : units.list) {
        need += From_range(unit);
        for (std::size_t a = 0; Given(unit) && a < units.addresses; ++a)
            taken.insert(unit.mac.bits + a);
    }
    if (!request.ranged || need == 0)
        return true;
    std::vector<Mac_address> free;
    Ledger_lease lease{}; // a LOCAL's, read again: --return may have given some of it back
    bool local = false;
    if (!Ledger_site(ledger, &local, lease, fault))
        return false;
    Mac_range range = !local ? request.range
                             : Mac_range{std::max(request.range.first, lease.kept.first), std::min(request.range.last, lease.kept.last)};
    if ((!local || lease.left) && range.first <= range.last &&
        !Ledger_free(ledger, range, need, units.addresses, taken, free, fault))
        return false;
    bool one = free.size() == 1;
    std::string runs = units.addresses == 1 ? (one ? " address" : " addresses")
                                            : std::string(one ? " run" : " runs") + " of " +
                                                  std::to_string(units.addresses) + " addresses";
    if (free.size() < need)
        Place_fault(faults, 0, "-m", MANIFEST_MAC,
                    std::to_string(free.size()) +
                        (local ? runs + " left in lease " + std::to_string(lease.id) : " free" + runs + " in the range") +
                        " for " + std::to_string(need) + (need == 1 ? " unit" : " units"));
    std::size_t next = 0;
    for (std::size_t u = 0; u < units.list.size() && next < free.size(); ++u) {
        Unit &unit = units.list[u];
        if (!From_range(unit))
            continue;
        if (unit.from == ADDRESS_NONE || unit.mac != free[next])
            moved.push_back(u);
        unit.mac = free[next++];
        unit.from = ADDRESS_RANGE;
    }
    return true;
}

// The addresses that the table or the template gives, every one of each
// unit's, against the ledger: a unit is refused once, for the first of its
// addresses that the ledger holds.
bool Check_given(const Request &request, Ledger *ledger, const Units &units, Faults &faults, Fault &fault)
{
    std::vector<Mac_address> macs;
    std::vector<std::size_t> given;
    for (std::size_t u = 0; u < units.list.size(); ++u)
        for (std::size_t a = 0; Given(units.list[u]) && a < units.addresses; ++a) {
            macs.push_back({units.list[u].mac.bits + a});
            given.push_back(u);
        }
    std::vector<long long> issuers;
    if (!Ledger_issuers(ledger, macs, issuers, fault))
        return false;
    std::size_t named = units.list.size(); // the unit refused last
    for (std::size_t m = 0; m < macs.size(); ++m) {
        bool outside = request.lease != 0 && (macs[m] < request.range.first || request.range.last < macs[m]);
        if ((issuers[m] == 0 && !outside) || given[m] == named)
            continue;
        named = given[m];
        std::string why = Mac_text(macs[m]) + (outside     ? " is outside lease " + std::to_string(request.lease)
                                               : issuers[m] < 0 ? " is leased to a site (lease " + std::to_string(-issuers[m]) + ")"
                                                                : " was issued by batch " + std::to_string(issuers[m]));
        if (units.list[given[m]].from == ADDRESS_TEMPLATE)
            Place_fault(faults, 0, request.templatePath, MANIFEST_MAC, why);
        else
            Unit_fault(faults, units, given[m], MANIFEST_MAC, why);
    }
    return true;
}

// A serial of the table that the ledger recorded for another batch than
// this one (except, once recorded) is refused unless the batch reissues
// serials; those repeated within the table were refused by the checks.
bool Check_serials(const Request &request, Ledger *ledger, const Units &units, long long except, Faults &faults,
                   Fault &fault)
{
    if (request.reissue)
        return true;
    std::vector<std::string_view> serials;
    std::vector<std::size_t> given;
    for (std::size_t u = 0; u < units.list.size(); ++u) {
        std::string_view serial = Serial_of(units, u);
        if (!serial.empty()) {
            serials.push_back(serial);
            given.push_back(u);
        }
    }
    std::vector<Ledger_holder> holders;
    if (!Ledger_serials(ledger, serials, holders, except, fault))
        return false;
    for (std::size_t i = 0; i < serials.size(); ++i)
        if (holders[i].batch > 0)
            Unit_fault(faults, units, given[i], MANIFEST_SERIAL,
                       std::string(serials[i]) + " was recorded by batch " + std::to_string(holders[i].batch) +
                           " for " + Mac_text(holders[i].mac));
    return true;
}

// Records the batch and each unit's addresses, each with the unit's serial
// and image SHA-256.
bool Record(const Request &request, const Template &tpl, Ledger *ledger, const std::string &outdir,
            const Units &units, const std::vector<Digest> &hashes, long long &id, Fault &fault)
{
    Ledger_batch record{};
    record.started = Ledger_now();
    record.templateSha256 = Digest_hex(tpl.sha256);
    record.outdir = outdir;
    record.units = units.list.size();
    record.version = ZOL_VERSION;
    record.reissue = request.reissue;
    record.ranged = request.ranged;
    record.range = request.range;
    std::vector<Ledger_address> issued;
    issued.reserve(units.list.size() * units.addresses);
    for (std::size_t u = 0; u < units.list.size(); ++u)
        for (std::size_t a = 0; a < units.addresses; ++a)
            issued.push_back({{units.list[u].mac.bits + a}, u + 1, Serial_of(units, u), hashes[u]});
    return Ledger_issue(ledger, record, issued, &id, fault);
}

// The units whose address moved, settled at it; false when a fault was
// found or the random source failed.
bool Settle(const Template &tpl, Units &units, Secrets &secrets, std::vector<Digest> &hashes,
            const std::vector<std::size_t> &moved, Faults &faults, Fault &fault)
{
    for (std::size_t u : moved) {
        if (!Unit_drawAgain(units, u, secrets, fault))
            return false;
        Unit_settle(tpl, units, secrets, u, hashes[u], faults);
    }
    return faults.empty();
}

} // namespace

bool Batch_lease(Request &request, Ledger *ledger, Units &units, Faults &faults, Fault &fault)
{
    Ledger_lease lease{};
    bool local = false;
    if (!Ledger_site(ledger, &local, lease, fault))
        return false;
    if (!local)
        return true;
    request.lease = lease.id;
    if (request.ranged && (request.range.first < lease.kept.first || lease.kept.last < request.range.last || !lease.left))
        Place_fault(faults, 0, "-m", MANIFEST_MAC,
                    "outside what is left of lease " + std::to_string(lease.id) +
                        (lease.left ? " (" + Mac_text(lease.kept.first) + "-" + Mac_text(lease.kept.last) + ")" : ""));
    if (!request.ranged && units.list.size() == 1 && units.list[0].from == ADDRESS_TEMPLATE)
        units.list[0].from = ADDRESS_NONE;
    // Nor is the template's address refused (unaligned to -a, a group's)
    // when the lease gives it.
    std::string refused = std::string(MANIFEST_MAC) + ": ";
    auto template_mac = [&](const Batch_fault &each) {
        return each.where == request.templatePath && each.why.starts_with(refused);
    };
    if (!request.ranged && units.list.size() == 1 && units.list[0].from == ADDRESS_REFUSED &&
        std::erase_if(faults, template_mac) > 0)
        units.list[0].from = ADDRESS_NONE;
    if (!request.ranged)
        request.range = lease.range; // what is left of it, when the range is read (Take_range)
    request.ranged = true;
    return faults.empty();
}

bool Batch_foresee(const Request &request, Ledger *ledger, Units &units, Faults &faults, Fault &fault)
{
    std::vector<std::size_t> moved;
    return Take_range(request, ledger, units, moved, faults, fault);
}

bool Ledger_checks(const Request &request, Ledger *ledger, const Units &units, Faults &faults, Fault &fault)
{
    return Check_given(request, ledger, units, faults, fault) &&
           Check_serials(request, ledger, units, 0, faults, fault);
}

bool Batch_issue(const Request &request, const Template &tpl, Ledger *ledger, const std::string &outdir, Units &units,
                 Secrets &secrets, std::vector<Digest> &hashes, long long &id, Faults &faults, Fault &fault)
{
    for (int attempt = 1;; ++attempt) {
        // The checks again, inside the transaction, and the range's free
        // addresses as they are now.
        bool held = false;
        std::vector<std::size_t> moved;
        if (!Ledger_start(ledger, &held, fault) || !Check_given(request, ledger, units, faults, fault) ||
            !Take_range(request, ledger, units, moved, faults, fault) ||
            (held && !Check_serials(request, ledger, units, 0, faults, fault)) || !faults.empty())
            return false;
        // Many units moved: they are settled outside the lock, and the
        // transaction is tried again.
        bool outside = held && moved.size() > SETTLED_INSIDE && attempt < ATTEMPTS;
        if ((outside && !Ledger_end(ledger, false, fault)) || !Settle(tpl, units, secrets, hashes, moved, faults, fault))
            return false;
        if (outside)
            continue;
        // Another run issued one of the addresses first (on a server): the
        // transaction is rolled back and tried again.
        if (Fault tried{}; !Record(request, tpl, ledger, outdir, units, hashes, id, tried)) {
            if (!Ledger_taken(ledger)) {
                fault = tried;
                return false;
            }
            if (attempt == TRIES)
                return Fault_fail(fault, Ledger_name(ledger),
                                  "other runs issued the free addresses first, try after try; run it again");
            if (!Ledger_end(ledger, false, fault))
                return false;
            continue;
        }
        // Without the lock so far: the last checks and the commit hold it.
        if (!held && (!Ledger_hold(ledger, fault) || !Check_serials(request, ledger, units, id, faults, fault)))
            return false;
        return faults.empty() && Ledger_end(ledger, true, fault);
    }
}
