// The SQLite backend: the ledger is one database file, created on first
// use. SQLite's file locking lets two runs on one file wait for each other.
// The connection and every statement are held by owners, which close and
// finalize them on every path.
#include "backend.h"
#include "chain.h"
#include "lease.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sqlite3.h>
#include <string>

namespace sqlite {
namespace {

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// The state of an open ledger.
struct File {
    Database db{nullptr, sqlite3_close};
};

// A file has no logins, and its address's batch is declared a reference.
constexpr Layout_word WORDS[] = {
    {"${ID}", "INTEGER PRIMARY KEY"}, {"${INT}", "INTEGER"}, {"${MAC}", "TEXT"},
    {"${BATCH_KEY}", " REFERENCES batch(id)"}, {"${SERIAL_ONLY}", ""}, {"${TIME}", "TEXT"},
};
constexpr Layout_dialect DIALECT{LAYOUT_FILE, WORDS};

sqlite3 *Db(Ledger &ledger)
{
    auto *file = static_cast<File *>(ledger.state);
    return file != nullptr ? file->db.get() : nullptr;
}

// Keeps the database's message and fails.
bool Fail(Ledger &ledger)
{
    ledger.error = Db(ledger) != nullptr ? sqlite3_errmsg(Db(ledger)) : "out of memory";
    return false;
}

bool Exec(Ledger &ledger, const char *sql)
{
    return sqlite3_exec(Db(ledger), sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail(ledger);
}

// The statement, prepared; null when it could not be (Fail says why).
Statement Prepare(Ledger &ledger, const char *sql)
{
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(Db(ledger), sql, -1, &stmt, nullptr);
    return Statement{stmt, sqlite3_finalize};
}

bool Bind_text(const Statement &stmt, int index, std::string_view text)
{
    return sqlite3_bind_text(stmt.get(), index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) ==
           SQLITE_OK;
}

bool Bind_int(const Statement &stmt, int index, long long value)
{
    return sqlite3_bind_int64(stmt.get(), index, value) == SQLITE_OK;
}

bool Bind_mac(const Statement &stmt, int index, Mac_address mac)
{
    Mac_hexText hex = Mac_hex(mac);
    return Bind_text(stmt, index, {hex.data(), hex.size() - 1});
}

// A batch's range as two addresses from index on; NULL without one.
bool Bind_range(const Statement &stmt, int index, const Ledger_batch &batch)
{
    if (!batch.ranged)
        return sqlite3_bind_null(stmt.get(), index) == SQLITE_OK && sqlite3_bind_null(stmt.get(), index + 1) == SQLITE_OK;
    return Bind_mac(stmt, index, batch.range.first) && Bind_mac(stmt, index + 1, batch.range.last);
}

// A text column; empty for NULL.
std::string_view Column_text(const Statement &stmt, int column)
{
    const unsigned char *text = sqlite3_column_text(stmt.get(), column);
    return text == nullptr ? std::string_view() : reinterpret_cast<const char *>(text);
}

// Runs a statement that returns no rows, then makes it ready to run again.
bool Step_done(const Statement &stmt)
{
    bool done = sqlite3_step(stmt.get()) == SQLITE_DONE;
    sqlite3_reset(stmt.get());
    return done;
}

// ---- the file and its layout

// ledger_mac_number(mac): the address as a number, as the server's function
// of that name gives it; NULL for what is no address.
void Mac_number(sqlite3_context *context, int, sqlite3_value **values)
{
    const unsigned char *text = sqlite3_value_text(values[0]);
    Mac_address mac{0};
    if (text == nullptr || !Mac_parse(reinterpret_cast<const char *>(text), mac))
        sqlite3_result_null(context);
    else
        sqlite3_result_int64(context, static_cast<sqlite3_int64>(mac.bits));
}

bool Open(Ledger &ledger, const char *where, bool create)
{
    auto *file = new (std::nothrow) File{};
    ledger.state = file;
    if (file == nullptr)
        return Fail(ledger);
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(where, &db, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr);
    file->db.reset(db);
    if (rc != SQLITE_OK && db != nullptr && sqlite3_system_errno(db) != 0) {
        ledger.error = std::strerror(sqlite3_system_errno(db)); // as the other files' messages say it
        return false;
    }
    if (rc != SQLITE_OK)
        return Fail(ledger);
    sqlite3_busy_timeout(db, LEDGER_WAIT_MS);
    if (sqlite3_create_function(db, "ledger_mac_number", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, Mac_number,
                                nullptr, nullptr) != SQLITE_OK)
        return Fail(ledger);
    return !ledger.unsynced || Exec(ledger, "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY");
}

void Close(Ledger &ledger)
{
    delete static_cast<File *>(ledger.state); // an open transaction is rolled back
    ledger.state = nullptr;
}

// The layout of the file: 0 for an empty one, 1 for the first layout (no
// ledger_schema), else ledger_schema's; another program's tables are no
// ledger.
bool Layout(Ledger &ledger, int &layout)
{
    Statement query = Prepare(ledger, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%'");
    bool batch = false;
    bool schema = false;
    bool other = false;
    int rc = query ? SQLITE_ROW : SQLITE_ERROR;
    while (rc == SQLITE_ROW && (rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        std::string_view name = Column_text(query, 0);
        batch = batch || name == "batch";
        schema = schema || name == "ledger_schema";
        other = other || (name != "batch" && name != "address" && name != "claim" && name != "readback" &&
                          name != "ledger_schema" && name != "chain" && name != "finish" && name != "void" &&
                          name != "release");
    }
    if (rc != SQLITE_DONE)
        return Fail(ledger);
    layout = batch && !schema ? 1 : 0;
    if (other && !batch && !schema) {
        ledger.error = "holds tables of another kind, not a ledger";
        return false;
    }
    if (!schema)
        return true;
    query = Prepare(ledger, "SELECT version FROM ledger_schema");
    if (!query || sqlite3_step(query.get()) != SQLITE_ROW)
        return Fail(ledger);
    layout = sqlite3_column_int(query.get(), 0);
    return true;
}

// ---- issuing

bool Begin(Ledger &ledger)
{
    // IMMEDIATE takes the write lock at once: the checks and the issue that
    // follow see every address issued before, and none is issued meanwhile.
    return Exec(ledger, "BEGIN IMMEDIATE");
}

bool End(Ledger &ledger, bool commit)
{
    return Exec(ledger, commit ? "COMMIT" : "ROLLBACK");
}

// A file is written under its write lock alone: the transaction holds it
// from the start.
bool Start(Ledger &ledger, bool *held)
{
    *held = true;
    return Begin(ledger);
}

bool Hold(Ledger &)
{
    return true;
}

bool Issuers(Ledger &ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches)
{
    Statement query = Prepare(ledger, "SELECT batch FROM address WHERE mac = ?");
    std::vector<Lease_span> leases; // an address leased to a site: -(its lease)
    bool ok = query != nullptr && Lease_spans(ledger, leases);
    batches.clear();
    for (std::size_t i = 0; ok && i < macs.size(); ++i) {
        ok = Bind_mac(query, 1, macs[i]);
        int rc = ok ? sqlite3_step(query.get()) : SQLITE_ERROR;
        batches.push_back(rc == SQLITE_ROW ? sqlite3_column_int64(query.get(), 0) : -Lease_holding(leases, macs[i].bits));
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        sqlite3_reset(query.get());
    }
    return ok || Fail(ledger);
}

// The range's free runs: what is not free comes in order, each issued
// address a stretch of one; a further exclusion is a further SELECT of
// stretches (first, last) joined here with UNION ALL.
bool Free(Ledger &ledger, Mac_range range, std::size_t need, std::size_t run,
          const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out)
{
    // Leased to a site (kept_last NULL once wholly returned), never issued here.
    Statement query = Prepare(ledger, "SELECT mac, mac FROM address WHERE mac BETWEEN ?1 AND ?2"
                                      " UNION ALL SELECT first, kept_last FROM lease"
                                      " WHERE kept_last IS NOT NULL AND kept_last >= ?1 AND first <= ?2 ORDER BY 1");
    bool ok = query && Bind_mac(query, 1, range.first) && Bind_mac(query, 2, range.last);
    Free_search search = Free_start(range, need, run, taken, out);
    int rc = ok ? SQLITE_ROW : SQLITE_ERROR;
    bool more = true;
    while (more && rc == SQLITE_ROW && (rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        Mac_address first{};
        Mac_address last{};
        Mac_parse(Column_text(query, 0), first);
        Mac_parse(Column_text(query, 1), last);
        more = Free_blocked(search, first.bits, last.bits);
    }
    if (rc == SQLITE_DONE)
        Free_end(search);
    return rc == SQLITE_DONE || (rc == SQLITE_ROW && !more) || Fail(ledger);
}

bool Serials(Ledger &ledger, const std::vector<std::string_view> &serials, std::vector<Ledger_holder> &holders,
             long long except)
{
    Statement query =
        Prepare(ledger, "SELECT batch, mac FROM address WHERE serial = ? AND batch <> ? ORDER BY batch, unit, mac LIMIT 1");
    bool ok = query && Bind_int(query, 2, except);
    holders.clear();
    for (std::size_t i = 0; ok && i < serials.size(); ++i) {
        Ledger_holder holder{0, {0}};
        ok = Bind_text(query, 1, serials[i]);
        int rc = ok ? sqlite3_step(query.get()) : SQLITE_ERROR;
        if (rc == SQLITE_ROW) {
            holder.batch = sqlite3_column_int64(query.get(), 0);
            Mac_parse(Column_text(query, 1), holder.mac);
        }
        holders.push_back(holder);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        sqlite3_reset(query.get());
    }
    return ok || Fail(ledger);
}

bool Issue(Ledger &ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses, long long *id)
{
    Statement insertBatch =
        Prepare(ledger, "INSERT INTO batch (started, template_sha256, outdir, units, version, reissue, range_first,"
                        " range_last, host, runner) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    Statement insertAddress =
        Prepare(ledger, "INSERT INTO address (mac, batch, unit, serial, sha256) VALUES (?, ?, ?, ?, ?)");
    bool ok = insertBatch && insertAddress && Bind_text(insertBatch, 1, batch.started) &&
              Bind_text(insertBatch, 2, batch.templateSha256) && Bind_text(insertBatch, 3, batch.outdir) &&
              Bind_int(insertBatch, 4, static_cast<long long>(batch.units)) && Bind_text(insertBatch, 5, batch.version) &&
              Bind_int(insertBatch, 6, batch.reissue ? 1 : 0) && Bind_range(insertBatch, 7, batch) &&
              Bind_text(insertBatch, 9, batch.host) && Bind_text(insertBatch, 10, batch.runner) && Step_done(insertBatch);
    *id = sqlite3_last_insert_rowid(Db(ledger));
    for (std::size_t i = 0; ok && i < addresses.size(); ++i) {
        const Ledger_address &address = addresses[i];
        ok = Bind_mac(insertAddress, 1, address.mac) && Bind_int(insertAddress, 2, *id) &&
             Bind_int(insertAddress, 3, static_cast<long long>(address.unit)) &&
             (address.serial.empty() ? sqlite3_bind_null(insertAddress.get(), 4) == SQLITE_OK
                                     : Bind_text(insertAddress, 4, address.serial)) &&
             Bind_text(insertAddress, 5, Digest_hex(address.sha256)) && Step_done(insertAddress);
    }
    return ok || Fail(ledger);
}

bool Read(Ledger &ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses)
{
    Statement query = Prepare(ledger, "SELECT started, template_sha256, outdir, units, finished, version, reissue"
                                      " FROM batch WHERE id = ?");
    int rc = query && Bind_int(query, 1, id) ? sqlite3_step(query.get()) : SQLITE_ERROR;
    if (rc == SQLITE_ROW) {
        batch.id = id;
        batch.started = Column_text(query, 0);
        batch.templateSha256 = Column_text(query, 1);
        batch.outdir = Column_text(query, 2);
        batch.units = static_cast<std::size_t>(sqlite3_column_int64(query.get(), 3));
        batch.finished = Column_text(query, 4);
        batch.version = Column_text(query, 5);
        batch.reissue = sqlite3_column_int(query.get(), 6) != 0;
    }
    if (rc == SQLITE_DONE) {
        ledger.error = "no batch " + std::to_string(id);
        return false;
    }
    if (rc == SQLITE_ROW)
        query = Prepare(ledger, "SELECT mac, unit, serial, sha256 FROM address WHERE batch = ? ORDER BY unit, mac");
    bool ok = rc == SQLITE_ROW && query && Bind_int(query, 1, id);
    addresses.clear();
    while (ok && (rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        Ledger_issued issued{};
        Mac_parse(Column_text(query, 0), issued.mac);
        issued.unit = static_cast<std::size_t>(sqlite3_column_int64(query.get(), 1));
        issued.serial = Column_text(query, 2);
        issued.sha256 = Column_text(query, 3);
        addresses.push_back(std::move(issued));
    }
    return (ok && rc == SQLITE_DONE) || Fail(ledger);
}

// ---- claims

// A claim takes the write lock at once too: of two stations that claim one
// image, the second sees the first's claim.
bool Begin_claim(Ledger &ledger, Mac_address)
{
    return Exec(ledger, "BEGIN IMMEDIATE");
}

bool Lookup(Ledger &ledger, Mac_address mac, Ledger_record &record)
{
    record = Ledger_record{};
    Statement query = Prepare(ledger, "SELECT address.batch, address.sha256, batch.finished, void.at, void.reason"
                                      " FROM address JOIN batch ON batch.id = address.batch"
                                      " LEFT JOIN void ON void.mac = address.mac WHERE address.mac = ?");
    int rc = query && Bind_mac(query, 1, mac) ? sqlite3_step(query.get()) : SQLITE_ERROR;
    if (rc == SQLITE_ROW) {
        record.batch = sqlite3_column_int64(query.get(), 0);
        record.sha256 = Column_text(query, 1);
        record.finished = Column_text(query, 2);
        record.voided = Column_text(query, 3);
        record.voidReason = Column_text(query, 4);
    }
    if (rc == SQLITE_ROW || rc == SQLITE_DONE)
        query = Prepare(ledger, "SELECT c.id, c.station, c.claimed, c.version, r.verdict, r.checked, r.differs_at, c.login,"
                                " (SELECT max(at) FROM release WHERE release.claim = c.id)"
                                " FROM claim c LEFT JOIN readback r ON r.claim = c.id WHERE c.mac = ? ORDER BY c.id");
    bool ok = (rc == SQLITE_ROW || rc == SQLITE_DONE) && query && Bind_mac(query, 1, mac);
    while (ok && (rc = sqlite3_step(query.get())) == SQLITE_ROW)
        record.claims.push_back({sqlite3_column_int64(query.get(), 0), std::string(Column_text(query, 1)),
                                 std::string(Column_text(query, 2)), std::string(Column_text(query, 3)),
                                 std::string(Column_text(query, 4)), std::string(Column_text(query, 5)),
                                 sqlite3_column_type(query.get(), 6) == SQLITE_NULL ? -1
                                                                                    : sqlite3_column_int64(query.get(), 6),
                                 std::string(Column_text(query, 7)), std::string(Column_text(query, 8))});
    return (ok && rc == SQLITE_DONE) || Fail(ledger);
}

// ---- rows of any query, and statements with parameters (chain.cpp)

bool Rows(Ledger &ledger, const std::string &sql, const Ledger_take &take)
{
    Statement query = Prepare(ledger, sql.c_str());
    int rc = query ? SQLITE_ROW : SQLITE_ERROR;
    int columns = query ? sqlite3_column_count(query.get()) : 0;
    Ledger_row row(static_cast<std::size_t>(columns));
    bool more = true;
    while (more && rc == SQLITE_ROW && (rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(query.get(), i));
            row[static_cast<std::size_t>(i)] =
                text == nullptr ? std::string_view()
                                : std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(query.get(), i)));
        }
        more = take(row);
    }
    return rc == SQLITE_DONE || (rc == SQLITE_ROW && !more) || Fail(ledger);
}

// A file's transaction holds its write lock from its start (Begin).
bool Lock_address(Ledger &, Mac_address)
{
    return true;
}

bool Put(Ledger &ledger, const std::string &sql, const std::vector<const char *> &params)
{
    Statement statement = Prepare(ledger, sql.c_str());
    bool ok = statement != nullptr;
    for (std::size_t i = 0; ok && i < params.size(); ++i) {
        int index = static_cast<int>(i + 1);
        ok = params[i] == nullptr ? sqlite3_bind_null(statement.get(), index) == SQLITE_OK
                                  : Bind_text(statement, index, params[i]);
    }
    return (ok && Step_done(statement)) || Fail(ledger);
}

// ---- what a person asks of the ledger (query.cpp)

// Parameters are bound by name ($1, $2, ...), wherever each first appears.
// A file's rows are read as they are stepped to, many or few.
bool Query(Ledger &ledger, const char *query, const std::vector<std::string> &params, const Query_take &take, bool)
{
    Statement stmt = Prepare(ledger, query);
    bool ok = stmt != nullptr;
    for (std::size_t i = 0; ok && i < params.size(); ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "$%zu", i + 1);
        int index = sqlite3_bind_parameter_index(stmt.get(), name);
        ok = index == 0 || Bind_text(stmt, index, params[i]);
    }
    Query_row row;
    row.columns.resize(ok ? static_cast<std::size_t>(sqlite3_column_count(stmt.get())) : 0);
    row.lengths.resize(row.columns.size());
    int rc = ok ? SQLITE_ROW : SQLITE_ERROR;
    bool more = true;
    while (more && rc == SQLITE_ROW && (rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        for (std::size_t i = 0; i < row.columns.size(); ++i) {
            row.columns[i] = reinterpret_cast<const char *>(sqlite3_column_text(stmt.get(), static_cast<int>(i)));
            row.lengths[i] = static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), static_cast<int>(i)));
        }
        more = take(row);
    }
    return (ok && (rc == SQLITE_DONE || (rc == SQLITE_ROW && !more))) || Fail(ledger);
}

} // namespace
} // namespace sqlite

const Ledger_ops LEDGER_SQLITE{
    .open = sqlite::Open,
    .close = sqlite::Close,
    .layout = sqlite::Layout,
    .exec = sqlite::Exec,
    .dialect = &sqlite::DIALECT,
    .begin = sqlite::Begin,
    .end = sqlite::End,
    .start = sqlite::Start,
    .hold = sqlite::Hold,
    .issuers = sqlite::Issuers,
    .free = sqlite::Free,
    .serials = sqlite::Serials,
    .issue = sqlite::Issue,
    .finish = Chain_finish,
    .read = sqlite::Read,
    .beginClaim = sqlite::Begin_claim,
    .lookup = sqlite::Lookup,
    .addClaim = Chain_addClaim,
    .checkClaim = Chain_checkClaim,
    .rows = sqlite::Rows,
    .put = sqlite::Put,
    .lockAddress = sqlite::Lock_address,
    .query = sqlite::Query,
};
