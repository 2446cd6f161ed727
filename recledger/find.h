// find: all the ledger holds of an address or a serial, as text or JSON.
#pragma once

#include "ledger.h"
#include "recledger.h"
#include "records.h"

#include <cstdio>
#include <vector>

// One key and the addresses it matched: one for an address, as many as
// units that recorded a serial; none when the ledger knows neither.
struct Find_result {
    Find_key key;
    std::vector<Ledger_found> matches;
};

// Every address that key matches, into matches (emptied first).
bool Find_lookup(Ledger *ledger, const Find_key &key, std::vector<Ledger_found> &matches, Fault &fault);

// Each match of each result as a block of "field value" lines, blocks a
// blank line apart; keys without a match print nothing.
void Find_text(std::FILE *out, const std::vector<Find_result> &results);

// Every match of every result as one JSON document: {"matches": [...]}.
void Find_json(std::FILE *out, const std::vector<Find_result> &results);

// An event's kind as find and export name it: claim, read-back, void, release.
const char *Find_kindName(Ledger_eventKind kind);

// One event as a JSON object, as find's history and export's lines hold it.
void Find_jsonEvent(std::FILE *out, const Ledger_event &event);
