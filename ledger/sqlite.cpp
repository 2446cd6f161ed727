// The SQLite backend: the ledger is one database file, created on first
// use. SQLite's file locking lets two runs on one file wait for each other.
#include "backend.h"

#include <cstring>
#include <sqlite3.h>
#include <string>

namespace {

// The tables of the current layout; a ledger of the first layout has batch
// and address without batch's version and reissue, and nothing else.
constexpr const char *SCHEMA = "CREATE TABLE IF NOT EXISTS batch ("
                               " id INTEGER PRIMARY KEY,"
                               " started TEXT NOT NULL,"
                               " template_sha256 TEXT NOT NULL,"
                               " outdir TEXT NOT NULL,"
                               " units INTEGER NOT NULL,"
                               " finished TEXT,"
                               " version TEXT,"
                               " reissue INTEGER NOT NULL DEFAULT 0);"
                               "CREATE TABLE IF NOT EXISTS address ("
                               " mac TEXT PRIMARY KEY,"
                               " batch INTEGER NOT NULL REFERENCES batch(id),"
                               " unit INTEGER NOT NULL,"
                               " serial TEXT,"
                               " sha256 TEXT);"
                               "CREATE INDEX IF NOT EXISTS address_serial ON address (serial);"
                               "CREATE INDEX IF NOT EXISTS address_batch ON address (batch, unit);"
                               "CREATE TABLE IF NOT EXISTS claim ("
                               " id INTEGER PRIMARY KEY,"
                               " mac TEXT NOT NULL REFERENCES address(mac),"
                               " station TEXT NOT NULL,"
                               " claimed TEXT NOT NULL,"
                               " version TEXT NOT NULL,"
                               " readback TEXT,"
                               " checked TEXT,"
                               " differs_at INTEGER);"
                               "CREATE INDEX IF NOT EXISTS claim_mac ON claim (mac);"
                               "CREATE TABLE ledger_schema (version INTEGER NOT NULL);";

constexpr const char *UPGRADE_FROM_1 = "ALTER TABLE batch ADD COLUMN version TEXT;"
                                       "ALTER TABLE batch ADD COLUMN reissue INTEGER NOT NULL DEFAULT 0;";

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

// A text column; empty for NULL.
std::string_view Column_text(sqlite3_stmt *stmt, int column)
{
    const unsigned char *text = sqlite3_column_text(stmt, column);
    return text == nullptr ? std::string_view() : reinterpret_cast<const char *>(text);
}

// Runs a statement that returns no rows, then makes it ready to run again.
bool Step_done(sqlite3_stmt *stmt)
{
    bool done = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
    return done;
}

// A database that holds tables, none of them a ledger's.
constexpr int LAYOUT_FOREIGN = -2;

// The layout of the file: 0 for an empty one, 1 for the first layout,
// LAYOUT_FOREIGN for another program's database.
bool Read_layout(Ledger &ledger, int &layout)
{
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(ledger, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%'", &query);
    bool batch = false;
    bool schema = false;
    bool other = false;
    int rc = SQLITE_ROW;
    while (ok && (rc = sqlite3_step(query)) == SQLITE_ROW) {
        std::string_view name = Column_text(query, 0);
        batch = batch || name == "batch";
        schema = schema || name == "ledger_schema";
        other = other || (name != "batch" && name != "address" && name != "claim" && name != "ledger_schema");
    }
    sqlite3_finalize(query);
    if (!ok || rc != SQLITE_DONE)
        return Fail(ledger);
    layout = schema ? -1 : batch ? 1 : other ? LAYOUT_FOREIGN : 0;
    if (layout != -1)
        return true;
    ok = Prepare(ledger, "SELECT version FROM ledger_schema", &query) && sqlite3_step(query) == SQLITE_ROW;
    if (ok)
        layout = sqlite3_column_int(query, 0);
    sqlite3_finalize(query);
    return ok || Fail(ledger);
}

// Makes the tables of a new ledger (when create allows), or brings a ledger
// of the first layout to this one, under the write lock so that two runs do
// it once.
bool Layout(Ledger &ledger, bool create)
{
    int layout = 0;
    if (!Read_layout(ledger, layout))
        return false;
    if (layout == LEDGER_SCHEMA_VERSION)
        return true;
    if (layout == 0 && !create) {
        ledger.error = "holds no ledger";
        return false;
    }
    if (layout == LAYOUT_FOREIGN) {
        ledger.error = "holds tables of another kind, not a ledger";
        return false;
    }
    if (!Exec(ledger, "BEGIN IMMEDIATE"))
        return false;
    bool ok = Read_layout(ledger, layout);
    if (ok && layout > LEDGER_SCHEMA_VERSION) {
        ledger.error = "the ledger's layout " + std::to_string(layout) + " is newer than this program's " +
                       std::to_string(LEDGER_SCHEMA_VERSION);
        ok = false;
    }
    if (ok && layout < LEDGER_SCHEMA_VERSION) {
        std::string version = "INSERT INTO ledger_schema (version) VALUES (" + std::to_string(LEDGER_SCHEMA_VERSION) + ")";
        ok = (layout == 0 || Exec(ledger, UPGRADE_FROM_1)) && Exec(ledger, SCHEMA) && Exec(ledger, version.c_str());
    }
    if (!ok) {
        std::string error = ledger.error;
        Exec(ledger, "ROLLBACK");
        ledger.error = error;
        return false;
    }
    return Exec(ledger, "COMMIT");
}

bool Open(Ledger &ledger, const char *where, bool create)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(where, &db, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr);
    ledger.state = db;
    if (rc != SQLITE_OK && db != nullptr && sqlite3_system_errno(db) != 0) {
        ledger.error = std::strerror(sqlite3_system_errno(db)); // as the other files' messages say it
        return false;
    }
    if (rc != SQLITE_OK)
        return Fail(ledger);
    sqlite3_busy_timeout(db, LEDGER_WAIT_MS);
    return Layout(ledger, create);
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
            Mac_parse(Column_text(query, 0), issued);
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

bool Serials(Ledger &ledger, const std::vector<std::string_view> &serials, std::vector<Ledger_holder> &holders,
             long long except)
{
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(ledger, "SELECT batch, mac FROM address WHERE serial = ? AND batch <> ? ORDER BY batch, unit LIMIT 1",
                      &query) &&
              sqlite3_bind_int64(query, 2, except) == SQLITE_OK;
    holders.clear();
    for (std::size_t i = 0; ok && i < serials.size(); ++i) {
        Ledger_holder holder{0, {0}};
        ok = Bind_text(query, 1, serials[i]);
        int rc = ok ? sqlite3_step(query) : SQLITE_ERROR;
        if (rc == SQLITE_ROW) {
            holder.batch = sqlite3_column_int64(query, 0);
            Mac_parse(Column_text(query, 1), holder.mac);
        }
        holders.push_back(holder);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        sqlite3_reset(query);
    }
    ok = ok || Fail(ledger);
    sqlite3_finalize(query);
    return ok;
}

bool Issue(Ledger &ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses, long long *id)
{
    sqlite3_stmt *insertBatch = nullptr;
    sqlite3_stmt *insertAddress = nullptr;
    bool ok = Prepare(ledger,
                      "INSERT INTO batch (started, template_sha256, outdir, units, version, reissue)"
                      " VALUES (?, ?, ?, ?, ?, ?)",
                      &insertBatch) &&
              Prepare(ledger, "INSERT INTO address (mac, batch, unit, serial, sha256) VALUES (?, ?, ?, ?, ?)",
                      &insertAddress) &&
              Bind_text(insertBatch, 1, batch.started) && Bind_text(insertBatch, 2, batch.templateSha256) &&
              Bind_text(insertBatch, 3, batch.outdir) &&
              sqlite3_bind_int64(insertBatch, 4, static_cast<sqlite3_int64>(batch.units)) == SQLITE_OK &&
              Bind_text(insertBatch, 5, batch.version) &&
              sqlite3_bind_int(insertBatch, 6, batch.reissue ? 1 : 0) == SQLITE_OK && Step_done(insertBatch);
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

bool Read(Ledger &ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses)
{
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(ledger,
                      "SELECT started, template_sha256, outdir, units, finished, version, reissue"
                      " FROM batch WHERE id = ?",
                      &query) &&
              sqlite3_bind_int64(query, 1, id) == SQLITE_OK;
    int rc = ok ? sqlite3_step(query) : SQLITE_ERROR;
    if (rc == SQLITE_ROW) {
        batch.id = id;
        batch.started = Column_text(query, 0);
        batch.templateSha256 = Column_text(query, 1);
        batch.outdir = Column_text(query, 2);
        batch.units = static_cast<std::size_t>(sqlite3_column_int64(query, 3));
        batch.finished = Column_text(query, 4);
        batch.version = Column_text(query, 5);
        batch.reissue = sqlite3_column_int(query, 6) != 0;
    }
    sqlite3_finalize(query);
    if (rc == SQLITE_DONE) {
        ledger.error = "no batch " + std::to_string(id);
        return false;
    }
    ok = rc == SQLITE_ROW && Prepare(ledger, "SELECT mac, unit, serial, sha256 FROM address WHERE batch = ? ORDER BY unit", &query) &&
         sqlite3_bind_int64(query, 1, id) == SQLITE_OK;
    addresses.clear();
    while (ok && (rc = sqlite3_step(query)) == SQLITE_ROW) {
        Ledger_issued issued{};
        Mac_parse(Column_text(query, 0), issued.mac);
        issued.unit = static_cast<std::size_t>(sqlite3_column_int64(query, 1));
        issued.serial = Column_text(query, 2);
        issued.sha256 = Column_text(query, 3);
        addresses.push_back(std::move(issued));
    }
    ok = (ok && rc == SQLITE_DONE) || Fail(ledger);
    sqlite3_finalize(query);
    return ok;
}

// A claim takes the write lock at once too: of two stations that claim one
// image, the second sees the first's claim.
bool Begin_claim(Ledger &ledger, Mac_address)
{
    return Exec(ledger, "BEGIN IMMEDIATE");
}

bool Lookup(Ledger &ledger, Mac_address mac, Ledger_record &record)
{
    record = Ledger_record{0, {}, {}, {}};
    sqlite3_stmt *query = nullptr;
    bool ok = Prepare(ledger,
                      "SELECT address.batch, address.sha256, batch.finished FROM address"
                      " JOIN batch ON batch.id = address.batch WHERE mac = ?",
                      &query) &&
              Bind_mac(query, 1, mac);
    int rc = ok ? sqlite3_step(query) : SQLITE_ERROR;
    if (rc == SQLITE_ROW) {
        record.batch = sqlite3_column_int64(query, 0);
        record.sha256 = Column_text(query, 1);
        record.finished = Column_text(query, 2);
    }
    sqlite3_finalize(query);
    ok = (rc == SQLITE_ROW || rc == SQLITE_DONE) &&
         Prepare(ledger,
                 "SELECT id, station, claimed, version, readback, checked, differs_at FROM claim"
                 " WHERE mac = ? ORDER BY id",
                 &query) &&
         Bind_mac(query, 1, mac);
    while (ok && (rc = sqlite3_step(query)) == SQLITE_ROW)
        record.claims.push_back({sqlite3_column_int64(query, 0), std::string(Column_text(query, 1)),
                                 std::string(Column_text(query, 2)), std::string(Column_text(query, 3)),
                                 std::string(Column_text(query, 4)), std::string(Column_text(query, 5)),
                                 sqlite3_column_type(query, 6) == SQLITE_NULL ? -1 : sqlite3_column_int64(query, 6)});
    ok = (ok && rc == SQLITE_DONE) || Fail(ledger);
    sqlite3_finalize(query);
    return ok;
}

bool Add_claim(Ledger &ledger, Mac_address mac, const Ledger_claim &claim, long long *id)
{
    sqlite3_stmt *insert = nullptr;
    bool ok = Prepare(ledger, "INSERT INTO claim (mac, station, claimed, version) VALUES (?, ?, ?, ?)", &insert) &&
              Bind_mac(insert, 1, mac) && Bind_text(insert, 2, claim.station) && Bind_text(insert, 3, claim.claimed) &&
              Bind_text(insert, 4, claim.version) && Step_done(insert);
    *id = sqlite3_last_insert_rowid(Db(ledger));
    ok = ok || Fail(ledger);
    sqlite3_finalize(insert);
    return ok;
}

bool Check_claim(Ledger &ledger, long long id, const Ledger_claim &result)
{
    sqlite3_stmt *update = nullptr;
    bool ok = Prepare(ledger, "UPDATE claim SET readback = ?, checked = ?, differs_at = ? WHERE id = ?", &update) &&
              Bind_text(update, 1, result.readback) && Bind_text(update, 2, result.checked) &&
              (result.differsAt < 0 ? sqlite3_bind_null(update, 3) : sqlite3_bind_int64(update, 3, result.differsAt)) ==
                  SQLITE_OK &&
              sqlite3_bind_int64(update, 4, id) == SQLITE_OK && Step_done(update);
    ok = ok || Fail(ledger);
    sqlite3_finalize(update);
    return ok;
}

} // namespace

const Ledger_ops LEDGER_SQLITE{Open,   Close,  Begin,  End,  Start, Hold, Issuers,    Free,   Serials,
                               Issue,  Finish, Read,   Begin_claim, Lookup, Add_claim, Check_claim};
