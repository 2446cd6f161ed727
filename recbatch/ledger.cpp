#include "ledger.h"

#include "hex.h"
#include "record.h"

#include <array>
#include <cstdio>
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

bool Prepare(sqlite3 *db, const char *sql, sqlite3_stmt **stmt)
{
    return sqlite3_prepare_v2(db, sql, -1, stmt, nullptr) == SQLITE_OK;
}

bool Bind_text(sqlite3_stmt *stmt, int index, std::string_view text)
{
    return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) ==
           SQLITE_OK;
}

// Runs a statement that returns no rows, then makes it ready to run again.
bool Step_done(sqlite3_stmt *stmt)
{
    bool done = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
    return done;
}

} // namespace

std::string Mac_hex(std::uint64_t mac)
{
    std::string hex(12, '0');
    for (std::size_t i = 0; i < hex.size(); ++i)
        hex[i] = "0123456789abcdef"[mac >> (44 - 4 * i) & 0x0f];
    return hex;
}

bool Mac_parse(std::string_view text, std::uint64_t &mac)
{
    std::array<std::uint8_t, MAC_ADDR_LEN> bytes{};
    if (!Hex_decode({text.data(), text.size()}, bytes))
        return false;
    mac = 0;
    for (std::uint8_t byte : bytes)
        mac = mac << 8 | byte;
    return true;
}

bool Ledger_open(const char *path, sqlite3 **db)
{
    if (sqlite3_open_v2(path, db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(*db, LEDGER_WAIT_MS);
    return sqlite3_exec(*db, SCHEMA, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Ledger_close(sqlite3 *db)
{
    sqlite3_close(db);
}

const char *Ledger_error(sqlite3 *db)
{
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

bool Ledger_begin(sqlite3 *db)
{
    // IMMEDIATE takes the write lock at once: the checks and the issue that
    // follow see every address issued before, and none is issued meanwhile.
    return sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Ledger_end(sqlite3 *db, bool commit)
{
    return sqlite3_exec(db, commit ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Ledger_issuers(sqlite3 *db, const std::vector<std::uint64_t> &macs, std::vector<long long> &batches)
{
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(db, "SELECT batch FROM address WHERE mac = ?", &query);
    batches.clear();
    for (std::size_t i = 0; ok && i < macs.size(); ++i) {
        ok = Bind_text(query, 1, Mac_hex(macs[i]));
        int rc = ok ? sqlite3_step(query) : SQLITE_ERROR;
        batches.push_back(rc == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        sqlite3_reset(query);
    }
    sqlite3_finalize(query);
    return ok;
}

bool Ledger_free(sqlite3 *db, std::uint64_t first, std::uint64_t last, std::size_t need,
                 const std::unordered_set<std::uint64_t> &taken, std::vector<std::uint64_t> &out)
{
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(db, "SELECT mac FROM address WHERE mac BETWEEN ? AND ? ORDER BY mac", &query) &&
              Bind_text(query, 1, Mac_hex(first)) && Bind_text(query, 2, Mac_hex(last));
    // The issued addresses come in order; the free ones are the gaps.
    std::uint64_t next = first;
    int rc = SQLITE_ROW;
    while (ok && out.size() < need && next <= last) {
        std::uint64_t issued = last + 1;
        if (rc == SQLITE_ROW && (rc = sqlite3_step(query)) == SQLITE_ROW)
            Mac_parse(reinterpret_cast<const char *>(sqlite3_column_text(query, 0)), issued);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        for (; next < issued && out.size() < need; ++next)
            if (!taken.contains(next))
                out.push_back(next);
        if (next == issued)
            ++next;
    }
    sqlite3_finalize(query);
    return ok;
}

bool Ledger_issue(sqlite3 *db, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id)
{
    sqlite3_stmt *insertBatch = nullptr;
    sqlite3_stmt *insertAddress = nullptr;
    bool ok = Prepare(db, "INSERT INTO batch (started, template_sha256, outdir, units) VALUES (?, ?, ?, ?)",
                      &insertBatch) &&
              Prepare(db, "INSERT INTO address (mac, batch, unit, serial, sha256) VALUES (?, ?, ?, ?, ?)", &insertAddress) &&
              Bind_text(insertBatch, 1, batch.started) && Bind_text(insertBatch, 2, batch.templateSha256) &&
              Bind_text(insertBatch, 3, batch.outdir) &&
              sqlite3_bind_int64(insertBatch, 4, static_cast<sqlite3_int64>(batch.units)) == SQLITE_OK &&
              Step_done(insertBatch);
    *id = sqlite3_last_insert_rowid(db);
    for (std::size_t i = 0; ok && i < addresses.size(); ++i) {
        const Ledger_address &address = addresses[i];
        ok = Bind_text(insertAddress, 1, Mac_hex(address.mac)) &&
             sqlite3_bind_int64(insertAddress, 2, *id) == SQLITE_OK &&
             sqlite3_bind_int64(insertAddress, 3, static_cast<sqlite3_int64>(address.unit)) == SQLITE_OK &&
             (address.serial.empty() ? sqlite3_bind_null(insertAddress, 4) == SQLITE_OK
                                     : Bind_text(insertAddress, 4, address.serial)) &&
             Bind_text(insertAddress, 5, Digest_hex(address.sha256)) && Step_done(insertAddress);
    }
    sqlite3_finalize(insertBatch);
    sqlite3_finalize(insertAddress);
    return ok;
}

bool Ledger_finish(sqlite3 *db, long long id, const std::string &finished)
{
    sqlite3_stmt *markBatch = nullptr;
    bool ok = Prepare(db, "UPDATE batch SET finished = ? WHERE id = ?", &markBatch) &&
              Bind_text(markBatch, 1, finished) && sqlite3_bind_int64(markBatch, 2, id) == SQLITE_OK &&
              Step_done(markBatch);
    sqlite3_finalize(markBatch);
    return ok;
}
