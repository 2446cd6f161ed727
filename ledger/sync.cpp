// sync: a LOCAL's rows sent to the centre that granted its lease. Each
// transaction takes at most SYNC_ROWS of the LOCAL's rows after the last
// one the centre holds (the lease's synced_seq), adds them to the centre's
// tables under new ids (lease_map keeps the ids of batches and claims,
// which later rows refer to) and to its chain, hashed there, and moves the
// lease's synced_seq and synced_hash on, all in one commit: a run killed at
// any moment leaves each transaction whole or absent, and the next run goes
// on from there. A LOCAL whose row at synced_seq has another hash than the
// one the centre recorded is a copy that another copy synced: refused.
#include "chain.h"
#include "lease.h"

#include <map>
#include <optional>

namespace {

constexpr std::size_t SYNC_ROWS = 2000; // a LOCAL's rows in one transaction
constexpr std::size_t INSERT_ROWS = 500; // rows that one statement adds

using Field = std::optional<std::string>;

// A chained row: as the LOCAL holds it, then as the centre will.
struct Sync_row {
    long long seq;
    const Chain_table *table;
    std::string hash;
    std::vector<Field> fields;
};

struct Sync {
    Ledger &local;
    Ledger &central;
    Ledger_lease lease;
    std::map<std::string, std::string> ids[2]; // the LOCAL's batch and claim ids: the centre's
    long long syncedSeq = 0;
    std::string syncedHash;
    std::map<std::string, long long> next; // each table's next id in the centre
    Ledger_synced &out;
    long long known = -1; // the synced_seq that ids were loaded or kept at
};

enum { MAP_BATCH, MAP_CLAIM };

std::vector<std::string_view> Views(const std::vector<Field> &fields)
{
    std::vector<std::string_view> views;
    for (const Field &field : fields)
        views.push_back(field ? std::string_view(*field) : std::string_view());
    return views;
}

bool First(Ledger &ledger, const std::string &sql, std::vector<Field> &row)
{
    row.clear();
    return ledger.ops->rows(ledger, sql, [&](const Ledger_row &columns) {
        for (std::string_view column : columns)
            row.push_back(column.data() == nullptr ? Field() : Field(std::string(column)));
        return false;
    });
}

const Chain_table *Table(std::string_view name)
{
    for (const Chain_table &table : CHAIN_TABLES)
        if (name == table.name)
            return &table;
    return nullptr;
}

// The lease as the centre holds it: where its sync stands. Refused when
// the centre holds no such lease, or one granted to another LOCAL.
bool Lease_state(Sync &sync, Fault &fault)
{
    std::vector<Field> row;
    std::string id = std::to_string(sync.lease.id);
    if (!First(sync.central, "SELECT local, CAST(synced_seq AS TEXT), synced_hash, first, last FROM lease WHERE id = " + id,
               row))
        return Fault_fail(fault, sync.central.name.c_str(), "%s", sync.central.error.c_str());
    if (row.empty() || row[0] != sync.lease.local)
        return Fault_refuse(fault, sync.local.name.c_str(), "lease %lld is not this ledger's in %s", sync.lease.id,
                            sync.central.name.c_str());
    sync.syncedSeq = std::stoll(*row[1]);
    sync.syncedHash = row[2].value_or("");
    // The lease's bounds as the centre granted them, not as the LOCAL says.
    return Mac_parse(row[3].value_or(""), sync.lease.range.first) && Mac_parse(row[4].value_or(""), sync.lease.range.last);
}

// The LOCAL's row at synced_seq must be the one that the centre holds.
bool Same_copy(Sync &sync, Fault &fault)
{
    std::vector<Field> row;
    std::string seq = std::to_string(sync.syncedSeq);
    bool ok = First(sync.local, "SELECT tbl FROM chain WHERE seq = " + seq, row);
    const Chain_table *table = ok && !row.empty() && row[0] ? Table(*row[0]) : nullptr;
    ok = ok && (table == nullptr || First(sync.local, std::string("SELECT hash FROM ") + table->name + " WHERE seq = " + seq, row));
    if (!ok)
        return Fault_fail(fault, sync.local.name.c_str(), "%s", sync.local.error.c_str());
    if (table == nullptr || row.empty() || row[0] != sync.syncedHash)
        return Fault_refuse(fault, sync.local.name.c_str(), "lease %lld was synced from another copy of this ledger",
                            sync.lease.id);
    return true;
}

// The LOCAL's next rows after synced_seq, at most SYNC_ROWS, in order of
// place, each checked against the chain.
bool Next_rows(Sync &sync, std::vector<Sync_row> &rows, Fault &fault)
{
    std::string after = std::to_string(sync.syncedSeq);
    std::map<long long, const Chain_table *> places;
    long long last = sync.syncedSeq;
    bool ok = sync.local.ops->rows(sync.local,
                                   "SELECT seq, tbl FROM chain WHERE seq > " + after + " ORDER BY seq LIMIT " +
                                       std::to_string(SYNC_ROWS),
                                   [&](const Ledger_row &row) {
                                       last = std::stoll(std::string(row[0]));
                                       places[last] = Table(row[1]);
                                       return true;
                                   });
    std::map<long long, Sync_row> found;
    for (const Chain_table &table : CHAIN_TABLES) {
        std::string select = "SELECT seq, hash";
        for (const std::string &field : Chain_fields(table))
            select += ", CAST(" + field + " AS TEXT)";
        ok = ok && sync.local.ops->rows(sync.local,
                                        select + " FROM " + table.name + " WHERE seq > " + after + " AND seq <= " +
                                            std::to_string(last),
                                        [&](const Ledger_row &row) {
                                            Sync_row each{std::stoll(std::string(row[0])), &table, std::string(row[1]), {}};
                                            for (std::size_t i = 2; i < row.size(); ++i)
                                                each.fields.push_back(row[i].data() == nullptr ? Field() : Field(std::string(row[i])));
                                            found[each.seq] = std::move(each);
                                            return true;
                                        });
    }
    if (!ok)
        return Fault_fail(fault, sync.local.name.c_str(), "%s", sync.local.error.c_str());
    std::string prev = sync.syncedHash;
    for (const auto &[seq, table] : places) {
        auto row = found.find(seq);
        if (row == found.end() || row->second.table != table || std::string_view(table->name) == "site" ||
            std::string_view(table->name) == "lease" ||
            Chain_hash(prev, table->name, Views(row->second.fields)) != row->second.hash)
            return Fault_refuse(fault, sync.local.name.c_str(), "the chain breaks at row %lld: run verify", seq);
        prev = row->second.hash;
        rows.push_back(std::move(row->second));
    }
    return true;
}

// The centre's next id of table: batches from the identity's sequence on a
// server, as recbatch numbers them; the rest counted on from the highest.
bool Next_id(Sync &sync, const char *table, std::string &id)
{
    bool sequence = sync.central.ops->dialect->backend == LAYOUT_SERVER && std::string_view(table) == "batch";
    auto at = sync.next.find(table);
    if (sequence || at == sync.next.end()) {
        std::string first;
        bool ok = sequence ? sync.central.ops->rows(sync.central,
                                                     "SELECT CAST(nextval(pg_get_serial_sequence('batch', 'id')) AS TEXT)",
                                                     [&](const Ledger_row &row) {
                                                         first = row[0];
                                                         return false;
                                                     })
                           : Chain_nextId(sync.central, table, first);
        if (!ok)
            return false;
        at = sync.next.insert_or_assign(table, std::stoll(first)).first;
    }
    id = std::to_string(at->second++);
    return true;
}

} // namespace

namespace {

// The centre's id for a LOCAL's id of a batch or claim; false when the
// centre was never sent it.
bool Map_id(Sync &sync, int which, Field &field)
{
    auto at = field ? sync.ids[which].find(*field) : sync.ids[which].end();
    if (at == sync.ids[which].end()) {
        sync.central.error = "a row refers to one that was never sent: " + field.value_or("NULL");
        return false;
    }
    field = at->second;
    return true;
}

// A row's fields as the centre records them: ids of its own, and the ids
// of the rows it refers to as the centre gave them; mapped gets the ids of
// batches and claims for lease_map (which, LOCAL's, the centre's).
bool Translate(Sync &sync, Sync_row &row, std::vector<std::string> &mapped)
{
    std::string_view name = row.table->name;
    int which = name == "batch" ? MAP_BATCH : MAP_CLAIM;
    if (name == "batch" || name == "claim" || name == "void" || name == "release" || name == "lease_return") {
        std::string id;
        if (!Next_id(sync, row.table->name, id))
            return false;
        if (name == "batch" || name == "claim") {
            mapped.insert(mapped.end(), {which == MAP_BATCH ? "batch" : "claim", row.fields[0].value_or(""), id});
            sync.ids[which][row.fields[0].value_or("")] = id;
        }
        row.fields[0] = id;
    }
    Mac_address mac{0};
    if (name == "address" && (!Mac_parse(row.fields[0].value_or(""), mac) || mac < sync.lease.range.first ||
                              sync.lease.range.last < mac)) {
        sync.central.error = "address " + row.fields[0].value_or("") + " is outside lease " +
                             std::to_string(sync.lease.id) + ": the LOCAL's record of its lease was changed";
        return false;
    }
    if (name == "lease_return" && row.fields[1] != std::to_string(sync.lease.id)) {
        sync.central.error = "a return of another lease than this ledger's";
        return false;
    }
    return (name != "address" || Map_id(sync, MAP_BATCH, row.fields[1])) &&
           (name != "finish" || Map_id(sync, MAP_BATCH, row.fields[0])) &&
           (name != "readback" || Map_id(sync, MAP_CLAIM, row.fields[0])) &&
           (name != "release" || Map_id(sync, MAP_CLAIM, row.fields[1]));
}

// Adds rows (n fields each, in texts) to table, INSERT_ROWS a statement.
bool Insert(Ledger &ledger, const std::string &into, std::size_t n, const std::vector<const char *> &texts)
{
    bool ok = true;
    // A file numbers ? itself: its lookup of $N names grows with their number.
    bool file = ledger.ops->dialect->backend == LAYOUT_FILE;
    for (std::size_t at = 0; ok && at < texts.size(); at += INSERT_ROWS * n) {
        std::size_t end = std::min(texts.size(), at + INSERT_ROWS * n);
        std::string sql = into + " VALUES ";
        for (std::size_t i = at; i < end; ++i) {
            sql += i == at ? "(" : (i - at) % n == 0 ? "), (" : ", ";
            sql += file ? "?" : "$"; // in steps: GCC 12's optimiser warns of "$" + std::string
            sql += file ? std::string() : std::to_string(i - at + 1);
        }
        ok = ledger.ops->put(ledger, sql + ")", std::vector<const char *>(texts.begin() + static_cast<long>(at),
                                                                           texts.begin() + static_cast<long>(end)));
    }
    return ok;
}

// The rows added to the centre's tables and chain, hashed there; a
// batch's finish and a lease's return also change the rows they concern.
bool Write(Sync &sync, std::vector<Sync_row> &rows)
{
    Ledger &central = sync.central;
    long long seq = 0;
    std::string hash;
    std::vector<std::string> mapped;
    bool ok = Chain_head(central, seq, hash);
    std::vector<std::string> places; // seq and hash of each row
    places.reserve(2 * rows.size());
    for (std::size_t i = 0; ok && i < rows.size(); ++i) {
        ok = Translate(sync, rows[i], mapped);
        hash = Chain_hash(hash, rows[i].table->name, Views(rows[i].fields));
        places.insert(places.end(), {std::to_string(++seq), hash});
    }
    if (!ok)
        return false;
    std::vector<const char *> chain;
    for (std::size_t i = 0; i < rows.size(); ++i)
        chain.insert(chain.end(), {places[2 * i].c_str(), rows[i].table->name});
    for (const Chain_table &table : CHAIN_TABLES) {
        std::vector<const char *> texts;
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].table == &table) {
                for (const Field &field : rows[i].fields)
                    texts.push_back(field ? field->c_str() : nullptr);
                texts.insert(texts.end(), {places[2 * i].c_str(), places[2 * i + 1].c_str()});
            }
        ok = ok && Insert(central, std::string("INSERT INTO ") + table.name + " (" + table.fields + ", seq, hash)",
                          Chain_fields(table).size() + 2, texts);
    }
    std::string lease = std::to_string(sync.lease.id);
    std::vector<const char *> maps;
    for (std::size_t i = 0; i < mapped.size(); i += 3)
        maps.insert(maps.end(), {lease.c_str(), mapped[i].c_str(), mapped[i + 1].c_str(), mapped[i + 2].c_str()});
    return ok && Insert(central, "INSERT INTO chain (seq, tbl)", 2, chain) &&
           Insert(central, "INSERT INTO lease_map (lease, tbl, local_id, central_id)", 4, maps);
}

// What a batch's finish and a lease's return change in the rows they
// concern, and how far the lease is synced.
bool Amend(Sync &sync, const std::vector<Sync_row> &rows)
{
    Ledger &central = sync.central;
    bool ok = true;
    std::string lease = std::to_string(sync.lease.id);
    for (std::size_t i = 0; ok && i < rows.size(); ++i) {
        const Sync_row &row = rows[i];
        Mac_address first{0};
        if (std::string_view(row.table->name) == "finish")
            ok = central.ops->put(central, "UPDATE batch SET finished = $1 WHERE id = $2",
                                  {row.fields[1]->c_str(), row.fields[0]->c_str()});
        if (std::string_view(row.table->name) != "lease_return" || !Mac_parse(*row.fields[2], first))
            continue;
        std::string kept = Mac_hex({first.bits - 1}).data();
        ok = central.ops->put(central, "UPDATE lease SET kept_last = $1 WHERE id = $2 AND kept_last >= $3",
                              {first.bits > sync.lease.range.first.bits ? kept.c_str() : nullptr, lease.c_str(),
                               row.fields[2]->c_str()});
    }
    std::string seq = std::to_string(rows.back().seq);
    return ok && central.ops->put(central, "UPDATE lease SET synced_seq = $1, synced_hash = $2 WHERE id = $3",
                                  {seq.c_str(), rows.back().hash.c_str(), lease.c_str()});
}

} // namespace

namespace {

// Whether the centre's batch id was allowed to repeat serials.
bool Reissues(Sync &sync, const std::string &id, bool &reissue)
{
    std::vector<Field> row;
    bool ok = First(sync.central, "SELECT CAST(reissue AS TEXT) FROM batch WHERE id = " + id, row);
    reissue = ok && !row.empty() && row[0] == "1";
    return ok;
}

// The site (empty for the centre's own) and unit of an address the centre holds.
bool Holder(Sync &sync, Mac_address mac, std::string &site, long long &unit)
{
    std::vector<Field> row;
    bool ok = First(sync.central,
                    std::string("SELECT CAST(a.unit AS TEXT), l.site FROM address a LEFT JOIN lease_map m ON m.tbl = "
                                "'batch' AND m.central_id = a.batch LEFT JOIN lease l ON l.id = m.lease WHERE a.mac = '") +
                        Mac_hex(mac).data() + "'",
                    row);
    unit = ok && !row.empty() ? std::stoll(row[0].value_or("0")) : 0;
    site = ok && !row.empty() ? row[1].value_or("") : "";
    return ok;
}

// The serials of the addresses sent that the centre held already for
// another batch (unless the batch sent repeats serials by leave).
bool Twins(Sync &sync, const std::vector<Sync_row> &rows)
{
    std::map<std::string, std::vector<const Sync_row *>> batches; // the centre's id: its addresses sent with a serial
    for (const Sync_row &row : rows)
        if (std::string_view(row.table->name) == "address" && row.fields[3])
            batches[*row.fields[1]].push_back(&row);
    bool ok = true;
    for (auto at = batches.begin(); ok && at != batches.end(); ++at) {
        bool reissue = false;
        std::vector<std::string_view> serials;
        for (const Sync_row *row : at->second)
            serials.emplace_back(*row->fields[3]);
        std::vector<Ledger_holder> holders;
        ok = Reissues(sync, at->first, reissue) &&
             (reissue || sync.central.ops->serials(sync.central, serials, holders, std::stoll(at->first)));
        for (std::size_t i = 0; ok && i < holders.size(); ++i) {
            if (holders[i].batch == 0)
                continue;
            const Sync_row &row = *at->second[i];
            Ledger_twin twin{*row.fields[3], sync.lease.site, "", std::stoll(at->first), holders[i].batch,
                             std::stoll(*row.fields[2]), 0, {0}, holders[i].mac};
            Mac_parse(*row.fields[0], twin.mac);
            ok = Holder(sync, holders[i].mac, twin.otherSite, twin.otherUnit);
            sync.out.twins.push_back(twin);
        }
    }
    return ok;
}

bool Central_failed(Sync &sync, Fault &fault)
{
    std::string error = sync.central.error;
    sync.central.ops->end(sync.central, false);
    return Fault_fail(fault, sync.central.name.c_str(), "%s", error.c_str());
}

// The LOCAL's ids of batches and claims that the centre holds already:
// loaded again whenever another sync of the lease moved it on meanwhile.
bool Load_ids(Sync &sync, Fault &fault)
{
    sync.ids[MAP_BATCH].clear();
    sync.ids[MAP_CLAIM].clear();
    bool ok = sync.central.ops->rows(
        sync.central,
        "SELECT tbl, CAST(local_id AS TEXT), CAST(central_id AS TEXT) FROM lease_map WHERE lease = " +
            std::to_string(sync.lease.id),
        [&](const Ledger_row &row) {
            sync.ids[row[0] == "batch" ? MAP_BATCH : MAP_CLAIM][std::string(row[1])] = row[2];
            return true;
        });
    return ok || Fault_fail(fault, sync.central.name.c_str(), "%s", sync.central.error.c_str());
}

// One transaction: the LOCAL's next rows sent; *more false once there
// were none left.
bool Send(Sync &sync, bool *more, Fault &fault)
{
    Ledger &central = sync.central;
    bool server = central.ops->dialect->backend == LAYOUT_SERVER;
    std::vector<Sync_row> rows;
    sync.next.clear();
    if (!central.ops->begin(central) || (server && !central.ops->exec(central, "SET LOCAL ledger.sync = 'on'")))
        return Central_failed(sync, fault);
    if (!Lease_state(sync, fault) || !Same_copy(sync, fault) || (sync.syncedSeq != sync.known && !Load_ids(sync, fault)) ||
        !Next_rows(sync, rows, fault)) {
        central.ops->end(central, false);
        return false;
    }
    *more = !rows.empty();
    if (*more && (!Write(sync, rows) || !Amend(sync, rows) || !Twins(sync, rows)))
        return Central_failed(sync, fault);
    if (!central.ops->end(central, true))
        return Central_failed(sync, fault);
    sync.out.sent += static_cast<long long>(rows.size());
    sync.out.head = rows.empty() ? sync.syncedSeq : rows.back().seq;
    sync.known = sync.out.head;
    return true;
}

// Gives the lease's unused tail back in the LOCAL: from its highest
// address issued on (the whole lease when none was) to what is left of it.
bool Give_back(Sync &sync, Fault &fault)
{
    Ledger &local = sync.local;
    std::vector<Field> row;
    Ledger_lease now{};
    bool isLocal = false;
    bool ok = local.ops->begin(local) && First(local, "SELECT max(mac) FROM address", row);
    if (!ok || !Ledger_site(&local, &isLocal, now, fault)) {
        std::string error = local.error;
        local.ops->end(local, false);
        return fault.why[0] != '\0' || Fault_fail(fault, local.name.c_str(), "%s", error.c_str());
    }
    Mac_address highest{0};
    std::uint64_t first = row.empty() || !row[0] || !Mac_parse(*row[0], highest) ? now.range.first.bits : highest.bits + 1;
    sync.out.returned = now.left && first <= now.kept.last.bits;
    sync.out.tail = {{first}, now.kept.last};
    std::string id;
    std::string who;
    std::string lease = std::to_string(now.id);
    std::string at = Ledger_now();
    ok = !sync.out.returned ||
         (Chain_nextId(local, "lease_return", id) && Chain_who(local, who) &&
          Chain_insert(local, "lease_return",
                       {id.c_str(), lease.c_str(), Mac_hex({first}).data(), Mac_hex(now.kept.last).data(), at.c_str(),
                        who.c_str()}));
    std::string error = local.error;
    if (ok && local.ops->end(local, true))
        return true;
    local.ops->end(local, false);
    return Fault_fail(fault, local.name.c_str(), "%s", ok ? local.error.c_str() : error.c_str());
}

} // namespace

bool Ledger_sync(Ledger *local, bool giveBack, Ledger_synced &synced, Fault &fault)
{
    synced = {};
    bool isLocal = false;
    Ledger_lease lease{};
    if (!Ledger_site(local, &isLocal, lease, fault))
        return false;
    if (!isLocal)
        return Fault_refuse(fault, local->name.c_str(), "not a site's ledger: sync sends what a lease's ledger holds");
    Ledger_ptr central{nullptr, Ledger_close};
    if (!Ledger_open(lease.central.c_str(), central, fault, false))
        return false;
    Sync sync{*local, *central, lease, {}, 0, "", {}, synced};
    bool more = true;
    bool ok = true;
    while (ok && more)
        ok = Send(sync, &more, fault);
    if (!ok || !giveBack)
        return ok;
    ok = Give_back(sync, fault);
    for (more = true; ok && more && synced.returned;)
        ok = Send(sync, &more, fault);
    return ok;
}
