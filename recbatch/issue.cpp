#include "issue.h"

#include "checks.h"

#include <ctime>
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

// The units that take an address from the range: the lowest free ones, in
// unit order, passing over those that the table gives. moved counts the
// units whose address differs from the one they had.
bool Take_range(Batch &batch, Ledger *ledger, std::size_t need, std::size_t &moved)
{
    moved = 0;
    if (!batch.hasBlock || need == 0)
        return true;
    std::unordered_set<std::uint64_t> taken;
    for (const Unit &unit : batch.units)
        if (unit.hasMac && !unit.fromRange)
            taken.insert(unit.mac.bits);
    std::vector<Mac_address> free;
    if (!Ledger_free(ledger, batch.range, need, taken, free, batch.ledgerFault))
        return false;
    if (free.size() < need)
        Batch_fault(batch, "-m", "mac",
                    std::to_string(free.size()) + " free addresses in the range for " + std::to_string(need) + " units");
    std::size_t next = 0;
    for (Unit &unit : batch.units) {
        if (unit.macRefused || (unit.hasMac && !unit.fromRange) || next == free.size())
            continue;
        if (!unit.hasMac || unit.mac != free[next]) {
            unit.mac = free[next];
            unit.settled = false;
            ++moved;
        }
        unit.hasMac = unit.fromRange = true;
        ++next;
    }
    return true;
}

// The addresses that the table or the template gives, against the ledger.
bool Check_given(Batch &batch, Ledger *ledger)
{
    std::vector<Mac_address> macs;
    std::vector<std::size_t> units;
    for (std::size_t u = 0; u < batch.units.size(); ++u)
        if (batch.units[u].hasMac && !batch.units[u].fromRange) {
            macs.push_back(batch.units[u].mac);
            units.push_back(u);
        }
    std::vector<long long> issuers;
    if (!Ledger_issuers(ledger, macs, issuers, batch.ledgerFault))
        return false;
    for (std::size_t m = 0; m < macs.size(); ++m) {
        if (issuers[m] == 0)
            continue;
        std::string why = Mac_text(macs[m]) + " was issued by batch " + std::to_string(issuers[m]);
        if (batch.templateMac)
            Batch_fault(batch, batch.templatePath, "mac", why);
        else
            Unit_fault(batch, units[m], "mac", why);
    }
    return true;
}

// A serial of the table that the ledger recorded for another batch than
// this one (except, once recorded) is refused unless the batch reissues
// serials; those repeated within the table were refused by the checks.
bool Check_serials(Batch &batch, Ledger *ledger, long long except)
{
    if (batch.reissue)
        return true;
    std::vector<std::string_view> serials;
    std::vector<std::size_t> units;
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        std::string_view serial = Serial_of(batch, u);
        if (!serial.empty()) {
            serials.push_back(serial);
            units.push_back(u);
        }
    }
    std::vector<Ledger_holder> holders;
    if (!Ledger_serials(ledger, serials, holders, except, batch.ledgerFault))
        return false;
    for (std::size_t i = 0; i < serials.size(); ++i)
        if (holders[i].batch > 0)
            Unit_fault(batch, units[i], "serial",
                       std::string(serials[i]) + " was recorded by batch " + std::to_string(holders[i].batch) +
                           " for " + Mac_text(holders[i].mac));
    return true;
}

// Records the batch and each unit's address, serial and image SHA-256.
bool Record(const Batch &batch, Ledger *ledger, const std::string &outdir, long long *id, Fault &fault)
{
    Ledger_batch record{};
    record.started = Now_utc();
    record.templateSha256 = Digest_hex(batch.templateSha256);
    record.outdir = outdir;
    record.units = batch.units.size();
    record.version = ZOL_VERSION;
    record.reissue = batch.reissue;
    record.ranged = batch.hasBlock;
    record.range = batch.range;
    std::vector<Ledger_address> issued;
    issued.reserve(batch.units.size());
    for (std::size_t u = 0; u < batch.units.size(); ++u)
        issued.push_back({batch.units[u].mac, u + 1, Serial_of(batch, u), batch.units[u].sha256});
    return Ledger_issue(ledger, record, issued, id, fault);
}

} // namespace

std::string Now_utc()
{
    char text[32];
    std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

bool Batch_foresee(Batch &batch, Ledger *ledger, std::size_t need)
{
    // The ledger's own checks too, read without the lock, so that a table
    // is refused with every fault at once; the transaction checks again.
    std::size_t moved = 0;
    return Check_given(batch, ledger) && Check_serials(batch, ledger, 0) && Take_range(batch, ledger, need, moved);
}

Issue_result Batch_issue(Batch &batch, Ledger *ledger, std::size_t need, const std::string &outdir, long long *id)
{
    for (int attempt = 1;; ++attempt) {
        bool held = false;
        std::size_t moved = 0;
        if (!Ledger_start(ledger, &held, batch.ledgerFault) || !Check_given(batch, ledger) || !Take_range(batch, ledger, need, moved) ||
            (held && !Check_serials(batch, ledger, 0)))
            return ISSUE_LEDGER_FAILED;
        if (!batch.faults.empty())
            return ISSUE_REFUSED;
        bool outside = held && moved > SETTLED_INSIDE && attempt < ATTEMPTS;
        if (outside && !Ledger_end(ledger, false, batch.ledgerFault))
            return ISSUE_LEDGER_FAILED;
        for (std::size_t u = 0; u < batch.units.size() && moved > 0; ++u)
            if (!batch.units[u].settled && !Unit_settle(batch, u))
                return ISSUE_RANDOM_FAILED;
        if (!batch.faults.empty())
            return ISSUE_REFUSED;
        if (outside)
            continue;
        if (!Record(batch, ledger, outdir, id, batch.ledgerFault)) {
            if (!Ledger_taken(ledger))
                return ISSUE_LEDGER_FAILED;
            if (attempt == TRIES)
                return ISSUE_BUSY;
            if (!Ledger_end(ledger, false, batch.ledgerFault))
                return ISSUE_LEDGER_FAILED;
            continue;
        }
        // Without the lock so far: the last checks and the commit hold it.
        if (!held && (!Ledger_hold(ledger, batch.ledgerFault) || !Check_serials(batch, ledger, *id)))
            return ISSUE_LEDGER_FAILED;
        if (!batch.faults.empty())
            return ISSUE_REFUSED;
        return Ledger_end(ledger, true, batch.ledgerFault) ? ISSUED : ISSUE_LEDGER_FAILED;
    }
}
