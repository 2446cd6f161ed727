// What the ledger answers to a person: everything it holds of one address
// (recledger find), and the counts of a whole ledger (recledger report).
// These are plain data, filled by the ledger's queries and printed by
// recledger as text, JSON or a page; nothing here touches a database.
// Times are UTC, ISO 8601 (2026-03-02T09:15:00Z), as the ledger writes them.
#pragma once

#include "mac.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One thing that happened to an address after it was issued.
enum Ledger_eventKind {
    LEDGER_EVENT_CLAIM,    // a station claimed its image to flash it
    LEDGER_EVENT_READBACK, // the station read the device back
    LEDGER_EVENT_VOID,     // the unit was scrapped or returned, or the address burnt
    LEDGER_EVENT_RELEASE,  // a claim in progress was abandoned
};

struct Ledger_event {
    Ledger_eventKind kind;
    std::string when;    // UTC, ISO 8601
    std::string who;     // the login on a server; user@host on a file; empty when unknown
    std::string station; // a claim's, and its read-back's; empty for a void or a release
    bool verified;       // a read-back: the device held the image
    long long differsAt; // a failed read-back: the first byte that differed; -1 when none
    std::string reason;  // a void's or a release's, as given
};

// The batch that issued an address, as its row records it.
struct Ledger_batchInfo {
    long long id;
    std::string started;
    std::string finished; // empty while the batch is not
    std::string outdir;
    std::string templateSha256;
    bool ranged;          // whether the batch recorded its range (-m)
    Mac_range range;      // when ranged
    std::string host;     // empty when not recorded (batches of earlier layouts)
    std::string user;     // the login on a server, the user on a file; empty when not recorded
};

// One address that a key matched, with all the ledger holds of it.
struct Ledger_found {
    Mac_address mac;                  // the address that matched
    Mac_address first;                // the unit's addresses, first to last
    Mac_address last;                 // (first == last == mac with one a unit)
    Ledger_batchInfo batch;
    std::size_t unit;                 // from 1
    std::string serial;               // empty when none was recorded
    std::string sha256;               // of the unit's image, 64 hex digits
    std::vector<Ledger_event> history; // oldest first
};

// One batch's units by where they are now.
struct Ledger_batchCount {
    long long id;
    std::string started;
    std::size_t units;
    std::size_t claimed;      // units with at least one claim
    std::size_t verified;     // units whose latest read-back verified
    std::size_t failed;       // units read back whose latest read-back failed
    std::size_t neverClaimed; // units without a claim
    std::size_t voided;       // units voided
};

// One station's claims and how its flashing held.
struct Ledger_stationCount {
    std::string station;
    std::size_t claims;    // every claim, retries included
    std::size_t readBack;  // units that the station read back at least once
    std::size_t firstPass; // of those, units verified at their first read-back
    std::size_t retries;   // claims after a unit's first at the same station
};

// One address range (a batch's -m) and what is left of it.
struct Ledger_rangeCount {
    Mac_range range;
    std::uint64_t issued;     // addresses issued from the range, voided ones included
    std::uint64_t voided;     // of those, voided
    std::uint64_t free;       // never issued
    std::uint64_t issuedWeek; // issued in the 7 days before the report's time
};

// Units verified at one station in one hour.
struct Ledger_hourCount {
    std::string hour; // UTC: 2026-03-02T09
    std::string station;
    std::size_t verified;
};

struct Ledger_report {
    std::string made;                         // when the counts were taken, UTC, ISO 8601
    std::vector<Ledger_batchCount> batches;   // by id
    std::vector<Ledger_stationCount> stations; // by name
    std::vector<Ledger_rangeCount> ranges;    // by first address
    std::vector<Ledger_hourCount> hours;      // by hour, then station; hours with none left out
};
