#include "backend.h"
#include "chain.h"
#include "cli.h"
#include "lease.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <pwd.h>
#include <unistd.h>

namespace {

// The null ledger: no address was ever issued, and nothing is recorded.
bool Null_open(Ledger &, const char *, bool)
{
    return true;
}

void Null_close(Ledger &)
{
}

// The null ledger is of this program's layout, and never changed.
bool Null_layout(Ledger &, int &layout)
{
    layout = LEDGER_SCHEMA_VERSION;
    return true;
}

bool Null_exec(Ledger &, const char *)
{
    return true;
}

constexpr Layout_dialect NULL_DIALECT{LAYOUT_BOTH, {}};

bool Null_begin(Ledger &)
{
    return true;
}

bool Null_end(Ledger &, bool)
{
    return true;
}

bool Null_issuers(Ledger &, const std::vector<Mac_address> &macs, std::vector<long long> &batches)
{
    batches.assign(macs.size(), 0);
    return true;
}

bool Null_free(Ledger &ledger, Mac_range, std::size_t, std::size_t, const std::unordered_set<std::uint64_t> &,
               std::vector<Mac_address> &)
{
    ledger.error = "an address range needs a ledger";
    return false;
}

bool Null_start(Ledger &, bool *held)
{
    *held = true;
    return true;
}

bool Null_hold(Ledger &)
{
    return true;
}

bool Null_serials(Ledger &, const std::vector<std::string_view> &serials, std::vector<Ledger_holder> &holders,
                  long long)
{
    holders.assign(serials.size(), Ledger_holder{0, {0}});
    return true;
}

bool Null_issue(Ledger &, const Ledger_batch &, const std::vector<Ledger_address> &, long long *id)
{
    *id = 0;
    return true;
}

bool Null_finish(Ledger &, long long, const std::string &)
{
    return true;
}

bool Null_read(Ledger &ledger, long long id, Ledger_batch &, std::vector<Ledger_issued> &)
{
    ledger.error = "no batch " + std::to_string(id);
    return false;
}

bool Null_beginClaim(Ledger &, Mac_address)
{
    return true;
}

bool Null_lookup(Ledger &, Mac_address, Ledger_record &record)
{
    record = Ledger_record{};
    return true;
}

bool Null_addClaim(Ledger &ledger, Mac_address, const Ledger_claim &, long long *)
{
    ledger.error = "a claim needs a ledger";
    return false;
}

bool Null_checkClaim(Ledger &ledger, long long, const Ledger_claim &)
{
    ledger.error = "a claim needs a ledger";
    return false;
}

bool Null_query(Ledger &, const char *, const std::vector<std::string> &, const Query_take &, bool)
{
    return true;
}

constexpr Ledger_ops LEDGER_NULL{
    .open = Null_open,
    .close = Null_close,
    .layout = Null_layout,
    .exec = Null_exec,
    .dialect = &NULL_DIALECT,
    .begin = Null_begin,
    .end = Null_end,
    .start = Null_start,
    .hold = Null_hold,
    .issuers = Null_issuers,
    .free = Null_free,
    .serials = Null_serials,
    .issue = Null_issue,
    .finish = Null_finish,
    .read = Null_read,
    .beginClaim = Null_beginClaim,
    .lookup = Null_lookup,
    .addClaim = Null_addClaim,
    .checkClaim = Null_checkClaim,
    .rows = nullptr, // the null ledger has no rows, and no chain
    .put = nullptr,
    .lockAddress = nullptr,
    .query = Null_query,
};

// A server's ledger is named by a connection URI; anything else is a file.
bool Is_server(const char *where)
{
    return std::strncmp(where, "postgresql://", 13) == 0 || std::strncmp(where, "postgres://", 11) == 0;
}

} // namespace

namespace {

// The backend's words for what failed, as the fault of the ledger.
bool Failed(const Ledger *ledger, Fault &fault)
{
    return Fault_fail(fault, ledger->name.c_str(), "%s", ledger->error.c_str());
}

bool Done(const Ledger *ledger, bool done, Fault &fault)
{
    return done || Failed(ledger, fault);
}

// Runs of addresses recorded in one statement: a units table's addresses
// apart from each other are as many runs, each a round trip to a server.
constexpr std::size_t RUNS_AT_ONCE = 500;

// Records the runs of addresses, each unbroken, that batch id issued, for
// the grant of a lease to step over.
bool Record_runs(Ledger &ledger, long long id, const std::vector<Ledger_address> &addresses)
{
    if (ledger.ops->put == nullptr)
        return true;
    std::vector<std::uint64_t> bits;
    bits.reserve(addresses.size());
    for (const Ledger_address &address : addresses)
        bits.push_back(address.mac.bits);
    std::sort(bits.begin(), bits.end());
    std::string batch = std::to_string(id);
    std::string values;
    bool ok = true;
    for (std::size_t at = 0, end = 0, runs = 0; ok && at < bits.size(); at = ++end) {
        while (end + 1 < bits.size() && bits[end + 1] == bits[end] + 1)
            ++end;
        values.append(values.empty() ? "('" : ", ('").append(Mac_hex({bits[at]}).data()).append("', '");
        values.append(Mac_hex({bits[end]}).data()).append("', ").append(batch).append(")");
        if (++runs % RUNS_AT_ONCE == 0 || end + 1 == bits.size()) {
            ok = ledger.ops->exec(ledger, ("INSERT INTO address_run (first, last, batch) VALUES " + values).c_str());
            values.clear();
        }
    }
    return ok;
}

// Ledger_open, or Ledger_make when unsynced.
bool Open_as(const char *where, Ledger_ptr &owner, Fault &fault, bool create, bool unsynced)
{
    owner.reset();
    Ledger *ledger = new (std::nothrow) Ledger{};
    if (ledger == nullptr)
        return Fault_system(fault, where, ENOMEM);
    owner.reset(ledger);
    ledger->ops = where == nullptr ? &LEDGER_NULL : Is_server(where) ? &LEDGER_POSTGRES : &LEDGER_SQLITE;
    ledger->name = where == nullptr ? "" : where; // a server's backend elides its password
    ledger->unsynced = unsynced;
    bool opened = ledger->ops->open(*ledger, where, create);
    if (ledger->password) {
        Fault warning{};
        Fault_fail(warning, "warning", "the ledger's URI holds a password, which ps shows; use PGPASSFILE or a service file");
        Cli_warn(warning);
    }
    return Done(ledger, opened && Layout_bring(*ledger, create), fault);
}

} // namespace

bool Ledger_open(const char *where, Ledger_ptr &owner, Fault &fault, bool create)
{
    return Open_as(where, owner, fault, create, false);
}

bool Ledger_make(const char *path, Ledger_ptr &owner, Fault &fault)
{
    return Open_as(path, owner, fault, true, true);
}

void Ledger_close(Ledger *ledger)
{
    if (ledger == nullptr)
        return;
    ledger->ops->close(*ledger);
    delete ledger;
}

const char *Ledger_name(const Ledger *ledger)
{
    return ledger == nullptr ? "" : ledger->name.c_str();
}

bool Ledger_begin(Ledger *ledger, Fault &fault)
{
    return Done(ledger, ledger->ops->begin(*ledger), fault);
}

bool Ledger_end(Ledger *ledger, bool commit, Fault &fault)
{
    long long unchained = ledger->unchained;
    ledger->unchained = 0;
    // On a server a batch copies its addresses before it takes the issuing
    // lock: a lease granted meanwhile is seen here, under it.
    if (commit && unchained != 0 && ledger->ops->rows != nullptr &&
        (!Chain_batch(*ledger, unchained) || !Lease_clear(*ledger, unchained))) {
        std::string error = ledger->error;
        ledger->ops->end(*ledger, false);
        ledger->error = error;
        return Failed(ledger, fault);
    }
    return Done(ledger, ledger->ops->end(*ledger, commit), fault);
}

bool Ledger_issuers(Ledger *ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches,
                    Fault &fault)
{
    return Done(ledger, ledger->ops->issuers(*ledger, macs, batches), fault);
}

bool Ledger_free(Ledger *ledger, Mac_range range, std::size_t need, std::size_t run,
                 const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out, Fault &fault)
{
    return Done(ledger, ledger->ops->free(*ledger, range, need, run, taken, out), fault);
}

bool Ledger_start(Ledger *ledger, bool *held, Fault &fault)
{
    return Done(ledger, ledger->ops->start(*ledger, held), fault);
}

bool Ledger_hold(Ledger *ledger, Fault &fault)
{
    return Done(ledger, ledger->ops->hold(*ledger), fault);
}

bool Ledger_taken(const Ledger *ledger)
{
    return ledger != nullptr && ledger->taken;
}

bool Ledger_serials(Ledger *ledger, const std::vector<std::string_view> &serials, std::vector<Ledger_holder> &holders,
                    long long except, Fault &fault)
{
    return Done(ledger, ledger->ops->serials(*ledger, serials, holders, except), fault);
}

bool Ledger_issue(Ledger *ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id, Fault &fault)
{
    ledger->taken = false;
    Ledger_batch record = batch;
    char host[256] = "";
    if (record.host.empty() && gethostname(host, sizeof host - 1) == 0)
        record.host = host;
    const passwd *user = record.runner.empty() ? getpwuid(geteuid()) : nullptr;
    if (user != nullptr)
        record.runner = user->pw_name; // a server's is its login, whatever this says
    if (!ledger->ops->issue(*ledger, record, addresses, id) || !Record_runs(*ledger, *id, addresses))
        return Failed(ledger, fault);
    ledger->unchained = *id; // chained at the commit, under the issuing lock
    return true;
}

bool Ledger_finish(Ledger *ledger, long long id, const std::string &finished, Fault &fault)
{
    long long lease = 0;
    if (!Done(ledger, Lease_ofBatch(*ledger, id, &lease), fault))
        return false;
    if (lease != 0)
        return Fault_refuse(fault, ledger->name.c_str(),
                            "batch %lld was issued by a site (lease %lld): it is finished on the site's ledger,"
                            " whose sync brings it",
                            id, lease);
    return Done(ledger, ledger->ops->finish(*ledger, id, finished), fault);
}

bool Ledger_read(Ledger *ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses,
                 Fault &fault)
{
    return Done(ledger, ledger->ops->read(*ledger, id, batch, addresses), fault);
}

bool Ledger_beginClaim(Ledger *ledger, Mac_address mac, Fault &fault)
{
    return Done(ledger, ledger->ops->beginClaim(*ledger, mac), fault);
}

bool Ledger_lookup(Ledger *ledger, Mac_address mac, Ledger_record &record, Fault &fault)
{
    return Done(ledger, ledger->ops->lookup(*ledger, mac, record) && Lease_of(*ledger, mac, &record.lease), fault);
}

bool Ledger_addClaim(Ledger *ledger, Mac_address mac, const Ledger_claim &claim, long long *id, Fault &fault)
{
    return Done(ledger, ledger->ops->addClaim(*ledger, mac, claim, id), fault);
}

bool Ledger_checkClaim(Ledger *ledger, long long id, const Ledger_claim &result, Fault &fault)
{
    return Done(ledger, ledger->ops->checkClaim(*ledger, id, result), fault);
}

std::string Ledger_now()
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[32] = "";
    if (gmtime_r(&now, &utc) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}
