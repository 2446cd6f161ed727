// What happens inside the ledger's transaction, where what it holds cannot
// change: each unit's address (its table cell, else the -m range's, else in a
// batch of one the template's), the checks against the ledger, the secrets
// drawn for each unit once its address is known, and the record of the
// batch that is issued.
#pragma once

#include "batch.h"
#include "ledger.h"

#include <string>
#include <vector>

// Gives every unit without an address its address and refuses, as faults,
// an address that the ledger issued before, a range without room for every
// unit, and a serial repeated within the table or recorded in the ledger
// (unless -R). need is the number of units that take one from the range;
// false when the ledger fails, its error saying why.
bool Batch_assign(Batch &batch, Ledger *ledger, std::size_t need);

// Draws every unit's secrets for -g, each holding neither the unit's address
// nor its serial; false with errno set when the kernel gives no random bytes.
bool Batch_generate(Batch &batch);

// What the ledger records of the batch and of each unit.
Ledger_batch Batch_record(const Batch &batch, const std::string &outdir, const Digest &templateSha256);
std::vector<Ledger_address> Batch_issued(const Batch &batch);

// The time now as the ledger records it: UTC, ISO 8601.
std::string Now_utc();
