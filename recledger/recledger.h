// recledger: reads, corrects and verifies the address ledger. The command
// line as parsed, and one entry point for each command, each in its own
// file; each returns the status to end with, its messages said.
#pragma once

#include "mac.h"

#include <string>
#include <vector>

// What find looks for: an address in any form a label prints, or else a serial.
struct Find_key {
    std::string text; // as given
    bool isMac;
    Mac_address mac; // when isMac
};

struct Options {
    const char *ledger;
    bool json;                     // -j
    const char *page;              // report -o, or nullptr
    const char *reason;            // void and release -r
    std::vector<Find_key> keys;    // find
    std::vector<Mac_address> macs; // void and release
    const char *site;              // lease -s
    std::size_t count;             // lease -n
    bool ranged;                   // lease -m
    Mac_range range;
    const char *local;             // lease's LOCAL
    bool giveBack;                 // sync --return
};

// The longest reason that void and release record, in bytes.
inline constexpr std::size_t REASON_MAX = 200;


int Find_run(const Options &options);
int Report_run(const Options &options);
int Void_run(const Options &options);
int Release_run(const Options &options);
int Export_run(const Options &options);
int Verify_run(const Options &options);
int Lease_run(const Options &options);
int Sync_run(const Options &options);
