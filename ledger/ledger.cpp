#include "backend.h"

#include <cstring>
#include <new>

namespace {

// The null ledger: no address was ever issued, and nothing is recorded.
bool Null_open(Ledger &, const char *, bool)
{
    return true;
}

void Null_close(Ledger &)
{
}

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

bool Null_free(Ledger &ledger, Mac_range, std::size_t, const std::unordered_set<std::uint64_t> &,
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
    record = Ledger_record{0, {}, {}, {}};
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

constexpr Ledger_ops LEDGER_NULL{Null_open,    Null_close,      Null_begin,  Null_end,      Null_start,  Null_hold,  Null_issuers,
                                 Null_free,    Null_serials,    Null_issue,  Null_finish,   Null_read,
                                 Null_beginClaim, Null_lookup, Null_addClaim, Null_checkClaim};

// A server's ledger is named by a connection URI; anything else is a file.
bool Is_server(const char *where)
{
    return std::strncmp(where, "postgresql://", 13) == 0 || std::strncmp(where, "postgres://", 11) == 0;
}

} // namespace

bool Ledger_open(const char *where, Ledger **ledger, bool create)
{
    *ledger = new (std::nothrow) Ledger{};
    if (*ledger == nullptr)
        return false;
    (*ledger)->ops = where == nullptr ? &LEDGER_NULL : Is_server(where) ? &LEDGER_POSTGRES : &LEDGER_SQLITE;
    (*ledger)->name = where == nullptr ? "" : where; // a server's backend elides its password
    return (*ledger)->ops->open(**ledger, where, create);
}

void Ledger_close(Ledger *ledger)
{
    if (ledger == nullptr)
        return;
    ledger->ops->close(*ledger);
    delete ledger;
}

const char *Ledger_error(const Ledger *ledger)
{
    return ledger == nullptr ? "out of memory" : ledger->error.c_str();
}

const char *Ledger_name(const Ledger *ledger)
{
    return ledger == nullptr ? "" : ledger->name.c_str();
}

bool Ledger_begin(Ledger *ledger)
{
    return ledger->ops->begin(*ledger);
}

bool Ledger_end(Ledger *ledger, bool commit)
{
    return ledger->ops->end(*ledger, commit);
}

bool Ledger_issuers(Ledger *ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches)
{
    return ledger->ops->issuers(*ledger, macs, batches);
}

bool Ledger_free(Ledger *ledger, Mac_range range, std::size_t need, const std::unordered_set<std::uint64_t> &taken,
                 std::vector<Mac_address> &out)
{
    return ledger->ops->free(*ledger, range, need, taken, out);
}

bool Ledger_start(Ledger *ledger, bool *held)
{
    return ledger->ops->start(*ledger, held);
}

bool Ledger_hold(Ledger *ledger)
{
    return ledger->ops->hold(*ledger);
}

bool Ledger_taken(const Ledger *ledger)
{
    return ledger != nullptr && ledger->taken;
}

bool Ledger_serials(Ledger *ledger, const std::vector<std::string_view> &serials, std::vector<Ledger_holder> &holders,
                    long long except)
{
    return ledger->ops->serials(*ledger, serials, holders, except);
}

bool Ledger_issue(Ledger *ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id)
{
    ledger->taken = false;
    return ledger->ops->issue(*ledger, batch, addresses, id);
}

bool Ledger_finish(Ledger *ledger, long long id, const std::string &finished)
{
    return ledger->ops->finish(*ledger, id, finished);
}

bool Ledger_read(Ledger *ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses)
{
    return ledger->ops->read(*ledger, id, batch, addresses);
}

bool Ledger_beginClaim(Ledger *ledger, Mac_address mac)
{
    return ledger->ops->beginClaim(*ledger, mac);
}

bool Ledger_lookup(Ledger *ledger, Mac_address mac, Ledger_record &record)
{
    return ledger->ops->lookup(*ledger, mac, record);
}

bool Ledger_addClaim(Ledger *ledger, Mac_address mac, const Ledger_claim &claim, long long *id)
{
    return ledger->ops->addClaim(*ledger, mac, claim, id);
}

bool Ledger_checkClaim(Ledger *ledger, long long id, const Ledger_claim &result)
{
    return ledger->ops->checkClaim(*ledger, id, result);
}
