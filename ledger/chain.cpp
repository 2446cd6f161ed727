#include "chain.h"

#include <charconv>
#include <pwd.h>
#include <unistd.h>

const Chain_table CHAIN_TABLES[10] = {
    {"batch", "id", false,
     "id, started, template_sha256, outdir, units, version, reissue, range_first, range_last, host, runner"},
    {"address", "mac", true, "mac, batch, unit, serial, sha256"},
    {"finish", "batch", false, "batch, at"},
    {"claim", "id", false, "id, mac, station, claimed, version, login"},
    {"readback", "claim", false, "claim, verdict, checked, differs_at, login"},
    {"void", "id", false, "id, mac, reason, who, at"},
    {"release", "id", false, "id, claim, mac, reason, who, at"},
    {"lease", "id", false, "id, site, first, last, count, granted, who, local"},
    {"lease_return", "id", false, "id, lease, first, last, at, who"},
    {"site", "lease", false, "site, central, local, lease, first, last, count, granted"},
};

namespace {

constexpr std::size_t CHUNK = 500; // rows a statement writes at once

const Chain_table *Table_named(std::string_view name)
{
    for (const Chain_table &table : CHAIN_TABLES)
        if (name == table.name)
            return &table;
    return nullptr;
}

std::vector<std::string> Split(const char *fields)
{
    std::vector<std::string> names;
    std::string_view rest = fields;
    while (!rest.empty()) {
        std::size_t comma = rest.find(", ");
        names.emplace_back(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
    }
    return names;
}

const char *Int(const Ledger &ledger)
{
    return ledger.ops->dialect->backend == LAYOUT_SERVER ? "BIGINT" : "INTEGER";
}

// The chain's last place and its row's hash: 0 and 64 '0' for none.
bool Head(Ledger &ledger, long long &seq, std::string &hash)
{
    seq = 0;
    hash.assign(64, '0');
    std::string table;
    bool ok = ledger.ops->rows(ledger, "SELECT seq, tbl FROM chain ORDER BY seq DESC LIMIT 1", [&](const Ledger_row &row) {
        seq = std::stoll(std::string(row[0]));
        table = row[1];
        return false;
    });
    if (!ok || seq == 0)
        return ok;
    if (Table_named(table) == nullptr) {
        ledger.error = "the chain's last row " + std::to_string(seq) + " names no table of the ledger";
        return false;
    }
    hash.clear();
    ok = ledger.ops->rows(ledger, "SELECT hash FROM " + table + " WHERE seq = " + std::to_string(seq),
                          [&](const Ledger_row &row) {
                              hash = row[0].data() == nullptr ? "" : std::string(row[0]);
                              return false;
                          });
    if (ok && hash.size() != 64) {
        ledger.error = "the chain's last row " + std::to_string(seq) + " has no hash";
        return false;
    }
    return ok;
}

// A row that a segment chained: its key, place and hash.
struct Placed {
    std::string key;
    long long seq;
    std::string hash;
};

// Writes the places and hashes of rows of table, and their places in chain.
bool Write_places(Ledger &ledger, const Chain_table &table, const std::vector<Placed> &placed)
{
    bool ok = true;
    for (std::size_t at = 0; ok && at < placed.size(); at += CHUNK) {
        std::size_t end = std::min(placed.size(), at + CHUNK);
        std::string values;
        std::string places;
        std::vector<std::string> texts;
        texts.reserve(2 * (end - at));
        std::vector<const char *> params;
        std::vector<const char *> chainParams;
        for (std::size_t i = at; i < end; ++i) {
            std::size_t n = params.size();
            values += (i == at ? "" : ", ") + std::string("($") + std::to_string(n + 1) + ", $" +
                      std::to_string(n + 2) + ", $" + std::to_string(n + 3) + ")";
            places += (i == at ? "" : ", ") + std::string("($") + std::to_string(2 * (i - at) + 1) + ", $" +
                      std::to_string(2 * (i - at) + 2) + ")";
            texts.push_back(std::to_string(placed[i].seq));
            params.insert(params.end(), {placed[i].key.c_str(), texts.back().c_str(), placed[i].hash.c_str()});
            chainParams.insert(chainParams.end(), {texts.back().c_str(), table.name});
        }
        std::string key = table.textKey ? std::string("v.column1") : std::string("CAST(v.column1 AS ") + Int(ledger) + ")";
        ok = ledger.ops->put(ledger,
                             std::string("UPDATE ") + table.name + " SET seq = CAST(v.column2 AS " + Int(ledger) +
                                 "), hash = v.column3 FROM (VALUES " + values + ") AS v WHERE " + table.name + "." +
                                 table.key + " = " + key,
                             params) &&
             ledger.ops->put(ledger, "INSERT INTO chain (seq, tbl) VALUES " + places, chainParams);
    }
    return ok;
}

// Chains the rows of table that where (a WHERE and ORDER BY) selects, after
// the head at seq and hash, which it moves on.
bool Chain_segment(Ledger &ledger, const Chain_table &table, const std::string &where, long long &seq,
                   std::string &hash)
{
    std::string select = std::string("SELECT CAST(") + table.key + " AS TEXT)";
    for (const std::string &field : Split(table.fields))
        select += ", " + Chain_text(ledger, field);
    std::vector<Placed> placed;
    bool ok = ledger.ops->rows(ledger, select + " FROM " + table.name + " " + where, [&](const Ledger_row &row) {
        hash = Chain_hash(hash, table.name, std::span(row).subspan(1));
        placed.push_back({std::string(row[0]), ++seq, hash});
        return true;
    });
    return ok && Write_places(ledger, table, placed);
}

} // namespace

bool Chain_firstRow(Ledger &ledger, const std::string &sql, std::vector<std::string> &row)
{
    row.clear();
    return ledger.ops->rows(ledger, sql, [&](const Ledger_row &columns) {
        for (std::string_view column : columns)
            row.emplace_back(column.data() == nullptr ? std::string_view() : column);
        return false;
    });
}

bool Chain_head(Ledger &ledger, long long &seq, std::string &hash)
{
    return Head(ledger, seq, hash);
}

std::vector<std::string> Chain_fields(const Chain_table &table)
{
    return Split(table.fields);
}

std::string Chain_text(Layout_backend backend, std::string_view column)
{
    std::string name(column);
    std::string bare = name.substr(name.find('.') + 1);
    bool time = bare == "started" || bare == "finished" || bare == "claimed" || bare == "checked" || bare == "at" ||
                bare == "max(at)" || bare == "granted";
    if (backend == LAYOUT_SERVER && time)
        return "to_char(" + name + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";
    return "CAST(" + name + " AS TEXT)";
}

std::string Chain_text(const Ledger &ledger, std::string_view column)
{
    return Chain_text(ledger.ops->dialect->backend, column);
}

std::string Chain_hash(std::string_view prev, const char *table, std::span<const std::string_view> fields)
{
    thread_local std::string text; // its room kept from row to row: verify hashes a million
    text.assign(prev).append("\n").append(table);
    for (std::string_view field : fields) {
        text += ';';
        if (field.data() == nullptr) {
            text += '-';
            continue;
        }
        char length[24];
        auto [end, error] = std::to_chars(length, length + sizeof length, field.size());
        text.append(length, end).append(":").append(field);
    }
    return Digest_hex(Sha256(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

bool Chain_insert(Ledger &ledger, const char *table, const std::vector<const char *> &fields)
{
    long long seq = 0;
    std::string hash;
    if (!Head(ledger, seq, hash))
        return false;
    std::vector<std::string_view> views;
    for (const char *field : fields)
        views.push_back(field == nullptr ? std::string_view() : std::string_view(field));
    hash = Chain_hash(hash, table, views);
    std::string place = std::to_string(++seq);
    std::string sql = std::string("INSERT INTO ") + table + " (" + Table_named(table)->fields + ", seq, hash) VALUES (";
    for (std::size_t i = 1; i <= fields.size() + 2; ++i)
        sql += (i == 1 ? "$" : ", $") + std::to_string(i);
    std::vector<const char *> params = fields;
    params.insert(params.end(), {place.c_str(), hash.c_str()});
    return ledger.ops->put(ledger, sql + ")", params) &&
           ledger.ops->put(ledger, "INSERT INTO chain (seq, tbl) VALUES ($1, $2)", {place.c_str(), table});
}

bool Chain_batch(Ledger &ledger, long long id)
{
    long long seq = 0;
    std::string hash;
    std::string number = std::to_string(id);
    return ledger.ops->hold(ledger) && Head(ledger, seq, hash) &&
           Chain_segment(ledger, CHAIN_TABLES[0], "WHERE id = " + number, seq, hash) &&
           Chain_segment(ledger, CHAIN_TABLES[1], "WHERE batch = " + number + " ORDER BY unit, mac", seq, hash);
}

bool Chain_existing(Ledger &ledger)
{
    std::vector<std::pair<std::string, std::string>> batches; // id, finished
    bool ok = ledger.ops->rows(ledger, "SELECT CAST(id AS TEXT), " + Chain_text(ledger, "finished") + " FROM batch ORDER BY id", [&](const Ledger_row &row) {
        batches.emplace_back(row[0], row[1].data() == nullptr ? "" : std::string(row[1]));
        return true;
    });
    for (std::size_t i = 0; ok && i < batches.size(); ++i) {
        const auto &[id, finished] = batches[i];
        ok = Chain_batch(ledger, std::stoll(id)) &&
             (finished.empty() || Chain_insert(ledger, "finish", {id.c_str(), finished.c_str()}));
    }
    long long seq = 0;
    std::string hash;
    return ok && Head(ledger, seq, hash) && Chain_segment(ledger, CHAIN_TABLES[3], "ORDER BY id", seq, hash) &&
           Chain_segment(ledger, CHAIN_TABLES[4], "ORDER BY claim", seq, hash);
}

bool Chain_who(Ledger &ledger, std::string &who)
{
    if (ledger.ops->dialect->backend == LAYOUT_SERVER)
        return ledger.ops->rows(ledger, "SELECT session_user", [&](const Ledger_row &row) {
            who = row[0];
            return false;
        });
    const passwd *user = getpwuid(geteuid());
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    who = (user != nullptr ? std::string(user->pw_name) : std::to_string(geteuid())) + "@" + host;
    return true;
}

bool Chain_nextId(Ledger &ledger, const char *table, std::string &id)
{
    return ledger.ops->rows(ledger, std::string("SELECT CAST(coalesce(max(id), 0) + 1 AS TEXT) FROM ") + table,
                            [&](const Ledger_row &row) {
                                id = row[0];
                                return false;
                            });
}

bool Chain_finish(Ledger &ledger, long long id, const std::string &finished)
{
    std::string number = std::to_string(id);
    bool ok = ledger.ops->begin(ledger) &&
              ledger.ops->put(ledger, "UPDATE batch SET finished = $1 WHERE id = $2", {finished.c_str(), number.c_str()}) &&
              Chain_insert(ledger, "finish", {number.c_str(), finished.c_str()});
    std::string error = ledger.error;
    if (ok)
        return ledger.ops->end(ledger, true);
    ledger.ops->end(ledger, false);
    ledger.error = error;
    return false;
}

// A claim and its read-back: on a server, the login is the session's, which
// the server sets whatever the row says; the hash covers it, read first.
bool Chain_addClaim(Ledger &ledger, Mac_address mac, const Ledger_claim &claim, long long *id)
{
    std::string number;
    std::string login;
    bool server = ledger.ops->dialect->backend == LAYOUT_SERVER;
    if (!ledger.ops->hold(ledger) || !Chain_nextId(ledger, "claim", number) || (server && !Chain_who(ledger, login)))
        return false;
    *id = std::stoll(number);
    return Chain_insert(ledger, "claim",
                        {number.c_str(), Mac_hex(mac).data(), claim.station.c_str(), claim.claimed.c_str(),
                         claim.version.c_str(), server ? login.c_str() : nullptr});
}

bool Chain_checkClaim(Ledger &ledger, long long id, const Ledger_claim &result)
{
    std::string number = std::to_string(id);
    std::string differsAt = std::to_string(result.differsAt);
    std::string login;
    bool server = ledger.ops->dialect->backend == LAYOUT_SERVER;
    return ledger.ops->hold(ledger) && (!server || Chain_who(ledger, login)) &&
           Chain_insert(ledger, "readback",
                        {number.c_str(), result.readback.c_str(), result.checked.c_str(),
                         result.differsAt < 0 ? nullptr : differsAt.c_str(), server ? login.c_str() : nullptr});
}
