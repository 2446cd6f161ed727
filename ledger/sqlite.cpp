// The SQLite backend: the ledger is one database file, created on first
// use. SQLite's file locking lets two runs on one file wait for each other.
#include "backend.h"

#include <sqlite3.h>

namespace {

constexpr const char *SCHEMA = "CREATE TABLE IF NOT EXISTS batch ("
                               " id INTEGER PRIMARY KEY,"
                               " started TEXT NOT NULL,"
                               " template_sha256 TEXT NOT NULL,"
                               " outdir TEXT NOT NULL,"
                               " units INTEGER NOT NULL,"
                               " finished TEXT);"
                               "CREATE TABLE IF NOT EXISTS address ("
                               " mac TEXT PRIMARY KEY,"
                               " batch INTEGER NOT NULL REFERENCES batch(id),"
                               " unit INTEGER NOT NULL,"
                               " serial TEXT,"
                               " sha256 TEXT);";

sqlite3 *Db(Ledger &ledger)
{
    return static_cast<sqlite3 *>(ledger.state);
}

// Keeps the database's message and fails.
bool Fail(Ledger &ledger)
{
    ledger.error = ledger.state != nullptr ? sqlite3_errmsg(Db(ledger)) : "out of memory";
    return false;
}

bool Exec(Ledger &ledger, const char *sql)
{
    return sqlite3_exec(Db(ledger), sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail(ledger);
}

bool Prepare(Ledger &ledger, const char *sql, sqlite3_stmt **stmt)
{
    return sqlite3_prepare_v2(Db(ledger), sql, -1, stmt, nullptr) == SQLITE_OK;
}

bool Bind_text(sqlite3_stmt *stmt, int index, std::string_view text)
{
    return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) ==
           SQLITE_OK;
}

bool Bind_mac(sqlite3_stmt *stmt, int index, Mac_address mac)
{
    Mac_hexText hex = Mac_hex(mac);
    return Bind_text(stmt, index, {hex.data(), hex.size() - 1});
}

// Runs a statement that returns no rows, then makes it ready to run again.
bool Step_done(sqlite3_stmt *stmt)
{
    bool done = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
    return done;
}

bool Open(Ledger &ledger, const char *where)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(where, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    ledger.state = db;
    if (rc != SQLITE_OK)
        return Fail(ledger);
    sqlite3_busy_timeout(db, LEDGER_WAIT_MS);
    return Exec(ledger, SCHEMA);
}

void Close(Ledger &ledger)
{
    sqlite3_close(Db(ledger)); // an open transaction is rolled back
    ledger.state = nullptr;
}

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

bool Issuers(Ledger &ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches)
{
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(ledger, "SELECT batch FROM address WHERE mac = ?", &query);
    batches.clear();
    for (std::size_t i = 0; ok && i < macs.size(); ++i) {
        ok = Bind_mac(query, 1, macs[i]);
        int rc = ok ? sqlite3_step(query) : SQLITE_ERROR;
        batches.push_back(rc == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        sqlite3_reset(query);
    }
    ok = ok || Fail(ledger);
    sqlite3_finalize(query);
    return ok;
}

bool Free(Ledger &ledger, Mac_range range, std::size_t need, const std::unordered_set<std::uint64_t> &taken,
          std::vector<Mac_address> &out)
{
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(ledger, "SELECT mac FROM address WHERE mac BETWEEN ? AND ? ORDER BY mac", &query) &&
              Bind_mac(query, 1, range.first) && Bind_mac(query, 2, range.last);
    // The issued addresses come in order; the free ones are the gaps.
    std::uint64_t next = range.first.bits;
    std::uint64_t last = range.last.bits;
    int rc = SQLITE_ROW;
    while (ok && out.size() < need && next <= last) {
        Mac_address issued{last + 1};
        if (rc == SQLITE_ROW && (rc = sqlite3_step(query)) == SQLITE_ROW)
            Mac_parse(reinterpret_cast<const char *>(sqlite3_column_text(query, 0)), issued);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        for (; next < issued.bits && out.size() < need; ++next)
            if (!taken.contains(next))
                out.push_back({next});
        if (next == issued.bits)
            ++next;
    }
    ok = ok || Fail(ledger);
    sqlite3_finalize(query);
    return ok;
}

bool Issue(Ledger &ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses, long long *id)
{
    sqlite3_stmt *insertBatch = nullptr;
    sqlite3_stmt *insertAddress = nullptr;
    bool ok = Prepare(ledger, "INSERT INTO batch (started, template_sha256, outdir, units) VALUES (?, ?, ?, ?)",
                      &insertBatch) &&
              Prepare(ledger, "INSERT INTO address (mac, batch, unit, serial, sha256) VALUES (?, ?, ?, ?, ?)",
                      &insertAddress) &&
              Bind_text(insertBatch, 1, batch.started) && Bind_text(insertBatch, 2, batch.templateSha256) &&
              Bind_text(insertBatch, 3, batch.outdir) &&
              sqlite3_bind_int64(insertBatch, 4, static_cast<sqlite3_int64>(batch.units)) == SQLITE_OK &&
              Step_done(insertBatch);
    *id = sqlite3_last_insert_rowid(Db(ledger));
    for (std::size_t i = 0; ok && i < addresses.size(); ++i) {
        const Ledger_address &address = addresses[i];
        ok = Bind_mac(insertAddress, 1, address.mac) && sqlite3_bind_int64(insertAddress, 2, *id) == SQLITE_OK &&
             sqlite3_bind_int64(insertAddress, 3, static_cast<sqlite3_int64>(address.unit)) == SQLITE_OK &&
             (address.serial.empty() ? sqlite3_bind_null(insertAddress, 4) == SQLITE_OK
                                     : Bind_text(insertAddress, 4, address.serial)) &&
             Bind_text(insertAddress, 5, Digest_hex(address.sha256)) && Step_done(insertAddress);
    }
    ok = ok || Fail(ledger);
    sqlite3_finalize(insertBatch);
    sqlite3_finalize(insertAddress);
    return ok;
}

bool Finish(Ledger &ledger, long long id, const std::string &finished)
{
    sqlite3_stmt *markBatch = nullptr;
    bool ok = Prepare(ledger, "UPDATE batch SET finished = ? WHERE id = ?", &markBatch) &&
              Bind_text(markBatch, 1, finished) && sqlite3_bind_int64(markBatch, 2, id) == SQLITE_OK &&
              Step_done(markBatch);
    ok = ok || Fail(ledger);
    sqlite3_finalize(markBatch);
    return ok;
}

} // namespace

const Ledger_ops LEDGER_SQLITE{Open, Close, Begin, End, Issuers, Free, Issue, Finish};
