// The address ledger: every MAC address ever issued, by which batch, for
// which unit. Its users see an opaque ledger and these operations; which
// database stands behind it is chosen when it is opened, and only that
// backend's file knows it. The tables, in plain SQL on every backend:
//
//   batch(id, started, template_sha256, outdir, units, finished)
//   address(mac, batch, unit, serial, sha256)
//
// mac is the address as 12 lower-case hex digits and the primary key, so
// that the database itself refuses an address issued twice; finished is
// NULL until the batch's OUTDIR is complete, with the images whose SHA-256
// each address holds.
#pragma once

#include "digest.h"
#include "mac.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct Ledger;

// How long a run waits for another run's hold on the ledger.
inline constexpr int LEDGER_WAIT_MS = 10 * 60 * 1000;

struct Ledger_batch {
    std::string started; // UTC, ISO 8601
    std::string templateSha256;
    std::string outdir;
    std::size_t units;
};

struct Ledger_address {
    Mac_address mac;
    std::size_t unit;        // from 1
    std::string_view serial; // empty when the table has none
    Digest sha256;           // of the unit's image
};

// Opens the ledger that where names, creating its tables on first use; with
// where nullptr, the null ledger, which holds nothing and records nothing.
// On failure *ledger may still hold a ledger whose error says why; it needs
// Ledger_close either way.
bool Ledger_open(const char *where, Ledger **ledger);

// Ends the use of the ledger; an open transaction is rolled back.
void Ledger_close(Ledger *ledger);

// What the last failed operation said.
const char *Ledger_error(const Ledger *ledger);

// The ledger as messages name it.
const char *Ledger_name(const Ledger *ledger);

// Starts the transaction that checks and issues addresses; a second run
// waits here (up to LEDGER_WAIT_MS) until the first has ended.
bool Ledger_begin(Ledger *ledger);
bool Ledger_end(Ledger *ledger, bool commit);

// For each of macs, the batch that issued it, or 0 when none did.
bool Ledger_issuers(Ledger *ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches);

// The lowest need addresses of range that were never issued and are not in
// taken, ascending; fewer when the range has no more.
bool Ledger_free(Ledger *ledger, Mac_range range, std::size_t need, const std::unordered_set<std::uint64_t> &taken,
                 std::vector<Mac_address> &out);

// Records the batch and every address it issues, with its unit's serial and
// image SHA-256; *id is its number (0 on the null ledger).
bool Ledger_issue(Ledger *ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id);

// Marks the batch finished: its OUTDIR, with every image, is complete.
bool Ledger_finish(Ledger *ledger, long long id, const std::string &finished);
