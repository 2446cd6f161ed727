// The ledger's one chain of hashes, for the ledger's own files: every row a
// tool adds (a batch, its addresses, its finish, a claim, a read-back, a
// void, a release) has its place in the chain (seq, from 1, unique across
// the tables through chain's primary key) and a hash:
//
//   hash = SHA-256(previous row's hash, 64 hex digits; 64 '0' for the first
//                  + "\n" + canonical(row))
//   canonical(row) = the table's name, then ";" and each of its fields in
//                  CHAIN_TABLES' order: "-" for NULL, else the byte length
//                  in decimal, ":", and the text as the ledger holds it
//                  (integers in decimal, times as ISO 8601 UTC text).
//
// Written through the backend's rows and put, in the same SQL on both, so
// this file alone says what a row's hash covers. Every function here works
// within a transaction that holds the issuing lock (the chain's lock).
#pragma once

#include "backend.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

struct Chain_table {
    const char *name;
    const char *key;    // the column that names a row in messages
    bool textKey;       // the key is text (an address), not a number
    const char *fields; // in the chain's order
};

extern const Chain_table CHAIN_TABLES[10];

// The fields of table, in the chain's order.
std::vector<std::string> Chain_fields(const Chain_table &table);

// The SQL that gives column as the chain's text: a server's times as
// ISO 8601 UTC text, whole seconds (2026-12-08T13:00:00Z), as a file holds
// them; anything else as its text.
std::string Chain_text(const Ledger &ledger, std::string_view column);
std::string Chain_text(Layout_backend backend, std::string_view column);

// The hash of a row whose fields (nullptr for NULL) follow prev's.
std::string Chain_hash(std::string_view prev, const char *table, std::span<const std::string_view> fields);

// The first row of sql, each column as text ("" for NULL); none: empty.
bool Chain_firstRow(Ledger &ledger, const std::string &sql, std::vector<std::string> &row);

// The chain's last place and its row's hash: 0 and 64 '0' for none.
bool Chain_head(Ledger &ledger, long long &seq, std::string &hash);

// Adds a row to table with fields in CHAIN_TABLES' order (nullptr for
// NULL) at the chain's head.
bool Chain_insert(Ledger &ledger, const char *table, const std::vector<const char *> &fields);

// Chains the rows that batch id's issue added: the batch, then its
// addresses in unit order (a unit's several by address).
bool Chain_batch(Ledger &ledger, long long id);

// Chains every row of a ledger that had no chain, in the order they were
// written: each batch, its addresses and its finish, then the claims, then
// the read-backs.
bool Chain_existing(Ledger &ledger);

// The operations of both backends that add a chained row (backend.h):
// a batch's finish, a claim and a read-back.
bool Chain_finish(Ledger &ledger, long long id, const std::string &finished);
bool Chain_addClaim(Ledger &ledger, Mac_address mac, const Ledger_claim &claim, long long *id);
bool Chain_checkClaim(Ledger &ledger, long long id, const Ledger_claim &result);

// The next id of table (its highest, plus 1), as the rows a tool adds
// number themselves under the chain's lock.
bool Chain_nextId(Ledger &ledger, const char *table, std::string &id);

// The ledger's login on a server (session_user), or user@host on a file.
bool Chain_who(Ledger &ledger, std::string &who);
