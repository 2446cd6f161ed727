// The address ledger: every MAC address ever issued, by which batch, for
// which unit, and every station's claim of an image. Its users see an
// opaque ledger and these operations; which database stands behind it is
// chosen when it is opened, and only that backend's files know it. The
// tables, in plain SQL on every backend (layout.cpp makes them):
//
//   ledger_schema(version)        one row: the layout of the tables, 6
//   batch(id, started, template_sha256, outdir, units, finished, version, reissue,
//         range_first, range_last, host, runner, seq, hash)
//   address(mac, batch, unit, serial, sha256, seq, hash)   a row per address
//   claim(id, mac, station, claimed, version, login, seq, hash)
//   readback(claim, verdict, checked, differs_at, login, seq, hash)
//   void(id, mac, reason, who, at, seq, hash)
//   release(id, claim, mac, reason, who, at, seq, hash)
//   chain(seq, tbl)               one row per row of the chain
//   lease(id, site, first, last, count, granted, who, local, seq, hash,
//         kept_last, synced_seq, synced_hash)
//   lease_return(id, lease, first, last, at, who, seq, hash)
//   site(lease, site, central, local, first, last, count, granted, seq, hash)
//   lease_map(lease, tbl, local_id, central_id)
//
// mac is the address as 12 lower-case hex digits and the primary key, so
// that the database itself refuses an address issued twice. A unit given
// several addresses (recbatch -a N) has a row for each, all with its batch,
// unit, serial and image: its base, the lowest, is the address its image
// holds, and its claims, read-backs, voids and releases are the base's. finished is
// NULL until the batch's OUTDIR is complete, with the images whose SHA-256
// each address holds; version is the version of the program that issued
// the batch, and reissue 1 when it was allowed to repeat serials. A claim is
// a flashing station's; its read-back, when the station read the device
// back, is a row of readback: 'verified' or 'failed' (checked: when;
// differs_at: the first byte that differed). Claims and read-backs are added
// and never changed; a claim has one read-back at most (readback's primary
// key). On a server, login is the login that added the row, set by the
// server itself, and a read-back's login must be its claim's; on a file it
// is NULL, as it is for claims recorded before layout 3. A ledger of an
// earlier layout is brought to this one when it is opened.
//
// The ledger is an SQLite file, or a database on a PostgreSQL server when
// its name is a connection URI (postgresql:// or postgres://).
#pragma once

#include "digest.h"
#include "fault.h"
#include "mac.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct Ledger;

// How long a run waits for another run's hold on the ledger.
inline constexpr int LEDGER_WAIT_MS = 10 * 60 * 1000;

// The layout of the tables that this program makes and reads.
inline constexpr int LEDGER_SCHEMA_VERSION = 7;

struct Ledger_batch {
    std::string started; // UTC, ISO 8601
    std::string templateSha256;
    std::string outdir;  // an absolute path
    std::size_t units;
    std::string version; // of the program that issues it
    bool reissue;        // serials may repeat those of earlier batches
    std::string finished; // empty while it is not (as read back)
    long long id;         // as read back
    bool ranged;          // the batch took its addresses from a range (-m)
    Mac_range range;      // when ranged
    std::string host;     // the machine it ran on; the ledger fills it in when empty
    std::string runner;   // the OS user on a file, the login on a server; set by the ledger
};

struct Ledger_address {
    Mac_address mac;
    std::size_t unit;        // from 1
    std::string_view serial; // empty when the table has none
    Digest sha256;           // of the unit's image
};

// An address as the ledger holds it.
struct Ledger_issued {
    Mac_address mac;
    std::size_t unit;
    std::string serial; // empty when none was recorded
    std::string sha256; // 64 hex digits
};

// The batch and address that recorded a serial; batch 0 when none did.
struct Ledger_holder {
    long long batch;
    Mac_address mac;
};

// A flashing station's claim of the image of an address.
struct Ledger_claim {
    long long id;         // as read back
    std::string station;
    std::string claimed;  // UTC, ISO 8601
    std::string version;  // of the program that claimed it
    std::string readback; // empty until read back, then "verified" or "failed"
    std::string checked;  // when it was read back
    long long differsAt;  // the first byte that differed; -1 when none did
    std::string login;    // that made the claim, on a server (as read back)
    std::string released; // when the claim was released; empty while it is not
};

// What the ledger holds of an address, for a station.
struct Ledger_record {
    long long batch;                  // 0 when the address was never issued
    std::string sha256;               // of the image issued with it
    std::string finished;             // empty while its batch is not
    std::vector<Ledger_claim> claims; // oldest first
    std::string login;                // this session's, on a server; empty on a file
    std::string voided;               // when the address was voided; empty while it is not
    std::string voidReason;           // why
    long long lease;                  // the site's lease that holds the address (its claims are the site's); 0 for none
};

// Every operation below returns true when it worked, and false with fault
// saying why (status 2, named by the ledger as messages print it).

// Ends the use of the ledger; an open transaction is rolled back.
void Ledger_close(Ledger *ledger);

// The owner of an open ledger, which closes it on every path.
using Ledger_ptr = std::unique_ptr<Ledger, decltype(&Ledger_close)>;

// Opens the ledger that where names into owner, creating its tables on first
// use unless create is false (then a ledger without them is refused), and
// bringing a ledger of an earlier layout to this one; with where nullptr,
// the null ledger, which holds nothing and records nothing. A where that
// holds a password, which every user of the machine sees in the program's
// arguments, is warned of on standard error (Cli_warn), once per opening.
bool Ledger_open(const char *where, Ledger_ptr &owner, Fault &fault, bool create = true);

// The ledger as messages name it: a server's URI without its password.
const char *Ledger_name(const Ledger *ledger);

// Starts the transaction that checks and issues addresses, holding the
// issuing lock: a second run waits here (up to LEDGER_WAIT_MS) until the
// first has ended.
bool Ledger_begin(Ledger *ledger, Fault &fault);
bool Ledger_end(Ledger *ledger, bool commit, Fault &fault);

// Starts the same transaction, taking the issuing lock only where the
// backend must (a file: *held is true, as with Ledger_begin). On a server
// (*held false) other runs go on meanwhile: the checks read what they
// committed, an address that one of them issues first makes Ledger_issue
// fail with Ledger_taken true, and Ledger_hold takes the lock for the last
// checks and the commit, so that other lines wait only for those.
bool Ledger_start(Ledger *ledger, bool *held, Fault &fault);
bool Ledger_hold(Ledger *ledger, Fault &fault);

// Whether the last failed Ledger_issue found an address that another run
// had issued (its transaction is then to be rolled back and tried again).
bool Ledger_taken(const Ledger *ledger);

// For each of macs, the batch that issued it, or 0 when none did.
bool Ledger_issuers(Ledger *ledger, const std::vector<Mac_address> &macs, std::vector<long long> &batches,
                    Fault &fault);

// The lowest need runs of run consecutive addresses of range (run a power
// of two, the first of each aligned to run: first % run == 0) whose
// addresses were never issued and are not in taken, as the first address
// of each, ascending; fewer when the range has no more.
bool Ledger_free(Ledger *ledger, Mac_range range, std::size_t need, std::size_t run,
                 const std::unordered_set<std::uint64_t> &taken, std::vector<Mac_address> &out, Fault &fault);

// For each of serials, the earliest batch and address (its unit's base,
// the lowest) that recorded it, other than batch except (0 for none).
bool Ledger_serials(Ledger *ledger, const std::vector<std::string_view> &serials,
                    std::vector<Ledger_holder> &holders, long long except, Fault &fault);

// Records the batch and every address it issues, with its unit's serial and
// image SHA-256; *id is its number (0 on the null ledger).
bool Ledger_issue(Ledger *ledger, const Ledger_batch &batch, const std::vector<Ledger_address> &addresses,
                  long long *id, Fault &fault);

// Marks the batch finished: its OUTDIR, with every image, is complete.
// Refused (status 1) on the centre for a batch that a site issued.
bool Ledger_finish(Ledger *ledger, long long id, const std::string &finished, Fault &fault);

// Reads batch id and every address it issued, in unit order (a unit's
// several by address, its base first); false with "no batch N" when there
// is none.
bool Ledger_read(Ledger *ledger, long long id, Ledger_batch &batch, std::vector<Ledger_issued> &addresses,
                 Fault &fault);

// Starts the transaction of one claim or read-back of mac's image: stations
// that take the same address at once wait here for each other (up to
// LEDGER_WAIT_MS); Ledger_end ends it.
bool Ledger_beginClaim(Ledger *ledger, Mac_address mac, Fault &fault);

// What the ledger holds of mac: its batch, image and claims.
bool Ledger_lookup(Ledger *ledger, Mac_address mac, Ledger_record &record, Fault &fault);

// Records a claim of mac's image (station, claimed, version); *id is its number.
bool Ledger_addClaim(Ledger *ledger, Mac_address mac, const Ledger_claim &claim, long long *id, Fault &fault);

// Records the read-back of claim id: readback, checked and differsAt of
// result. The ledger refuses a second read-back of one claim and, on a
// server, one from another login than the claim's.
bool Ledger_checkClaim(Ledger *ledger, long long id, const Ledger_claim &result, Fault &fault);

// Recomputes the ledger's chain of hashes over every chained row, in order
// of place: true with the number of rows and the last one's hash (64 '0'
// for none); false with status 1 naming the first row that breaks it.
bool Ledger_verify(Ledger *ledger, long long &rows, std::string &head, Fault &fault);

// Voids each of macs (a unit scrapped or returned, an address burnt): its
// image is never claimed again. Any of a unit's addresses voids the unit,
// recorded against its base, once however many of them are given.
// Recorded with reason, who (the login on a server, user@host on a file)
// and when, all or none; refused (status 1) for an address never issued or
// whose unit was voided already.
bool Ledger_void(Ledger *ledger, const std::vector<Mac_address> &macs, const std::string &reason, Fault &fault);

// Releases the claim in progress of mac's unit (its base's latest, not read
// back or read back failed), which another station may then claim
// (recclaim -R); refused (status 1) when it has none.
bool Ledger_release(Ledger *ledger, Mac_address mac, const std::string &reason, Fault &fault);

// A site's lease of a block of addresses: as the centre granted it, and as
// its LOCAL holds it.
struct Ledger_lease {
    long long id;
    std::string site;
    std::string central; // the centre's name, as LOCAL holds it (no password)
    std::string local;   // the LOCAL's identity: 32 hex digits
    Mac_range range;     // as granted
    std::size_t count;
    std::string granted; // UTC, ISO 8601
    bool left;           // whether any of it is left to issue (a LOCAL's)
    Mac_range kept;      // what is left to issue from, when left
};

// The longest name of a site, in bytes.
inline constexpr std::size_t LEDGER_SITE_MAX = 64;

// Grants site the lowest run of count addresses of range (nullptr: the
// range of the centre's latest batch that had one) that were never issued
// nor leased, records the lease in central, and makes local, a new ledger
// that holds it. Refused (status 1): local exists, central is a LOCAL, no
// such run; lease says what was granted.
bool Ledger_grant(Ledger *central, const std::string &site, std::size_t count, const Mac_range *range,
                  const char *local, Ledger_lease &lease, Fault &fault);

// The lease that a LOCAL holds; *local false on any other ledger.
bool Ledger_site(Ledger *ledger, bool *local, Ledger_lease &lease, Fault &fault);

// A serial that a LOCAL's sync sent and that the centre held already, for
// another unit: the unit sent and the other, each with its site ("" for
// the centre's own batches) and batch and unit as the centre numbers them.
struct Ledger_twin {
    std::string serial;
    std::string site, otherSite;
    long long batch, otherBatch;
    long long unit, otherUnit;
    Mac_address mac, otherMac;
};

// What a sync did.
struct Ledger_synced {
    long long sent;                 // rows sent to the centre
    long long head;                 // the LOCAL's last row that the centre holds
    std::vector<Ledger_twin> twins; // serials recorded twice, as sent
    bool returned;                  // whether it gave the lease's tail back
    Mac_range tail;                 // what it gave back, when it did
};

// Sends the centre every row of local that it lacks, in LOCAL's order, in
// transactions of a bounded size; with giveBack, then gives the lease's
// unused tail back. Refused (status 1): not a LOCAL, a copy of a LOCAL that
// another copy synced, a LOCAL whose chain breaks; the centre out of reach:
// status 2, local unchanged.
bool Ledger_sync(Ledger *local, bool giveBack, Ledger_synced &synced, Fault &fault);

// Now, as the ledger records times: UTC, ISO 8601 (2026-12-08T10:31:07Z).
std::string Ledger_now();
