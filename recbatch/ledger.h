// The address ledger: every MAC address ever issued, by which batch, for
// which unit. An SQLite database in plain SQL, so that a shared server
// database can take its place:
//
//   batch(id, started, template_sha256, outdir, units, finished)
//   address(mac, batch, unit, serial, sha256)
//
// mac is the address as 12 lower-case hex digits and the primary key, so
// that the database itself refuses an address issued twice; finished
// is NULL until the batch's OUTDIR is complete, with the images whose
// SHA-256 each address holds.
#pragma once

#include "digest.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct sqlite3;

// How long a run waits for another run's hold on the ledger.
inline constexpr int LEDGER_WAIT_MS = 10 * 60 * 1000;

struct Ledger_batch {
    std::string started; // UTC, ISO 8601
    std::string templateSha256;
    std::string outdir;
    std::size_t units;
};

struct Ledger_address {
    std::uint64_t mac;
    std::size_t unit;        // from 1
    std::string_view serial; // empty when the table has none
    Digest sha256;           // of the unit's image
};

// Opens the ledger, creating it and its tables on first use. On failure
// *db may still need Ledger_close.
bool Ledger_open(const char *path, sqlite3 **db);
void Ledger_close(sqlite3 *db);
const char *Ledger_error(sqlite3 *db);

// Starts the transaction that checks and issues addresses; a second run
// waits here until the first has committed or rolled back.
bool Ledger_begin(sqlite3 *db);
bool Ledger_end(sqlite3 *db, bool commit);

// For each of macs, the batch that issued it, or 0 when none did.
bool Ledger_issuers(sqlite3 *db, const std::vector<std::uint64_t> &macs, std::vector<long long> &batches);

// The lowest need addresses of first to last that were never issued and are
// not in taken, ascending; fewer when the block has no more.
bool Ledger_free(sqlite3 *db, std::uint64_t first, std::uint64_t last, std::size_t need,
                 const std::unordered_set<std::uint64_t> &taken, std::vector<std::uint64_t> &out);

// Records the batch and every address it issues, with its unit's serial and
// image SHA-256; *id is its number.
bool Ledger_issue(sqlite3 *db, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id);

// Marks the batch finished: its OUTDIR, with every image, is complete.
bool Ledger_finish(sqlite3 *db, long long id, const std::string &finished);

// 12 lower-case hex digits, as the ledger and file names hold an address.
std::string Mac_hex(std::uint64_t mac);

// An address from exactly 12 hex digits, as the converter reads one; false
// for anything else.
bool Mac_parse(std::string_view text, std::uint64_t &mac);
