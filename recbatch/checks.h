// The checks stage: every check of the units before anything is issued,
// made outside the ledger's lock: the addresses and serials that the ledger
// holds; each unit's values by what its image can hold (the rules of a
// script line for the template's values; a 0x00 byte or a line end in a
// table's text), by recbatch's own rules of a network (an SSID of 1 to 32
// bytes, a pass phrase of 8 to 63 printable ASCII characters) and by the
// converter's own code; addresses, secrets and serials that two units
// share; secrets that hold a public identifier. Each unit's image is
// converted with the address it has or is foreseen to have, and its SHA-256
// kept.
#pragma once

#include "batch.h"
#include "ledger.h"

// Checks every unit; the faults found are added. hashes gets each unit's
// image SHA-256, when it passes. False when a fault was found, or the
// ledger failed (fault says why).
bool Batch_check(const Request &request, const Template &tpl, const Units &units, const Secrets &secrets,
                 Ledger *ledger, std::vector<Digest> &hashes, Faults &faults, Fault &fault);

// For a unit whose address was settled only in the ledger's transaction,
// its secrets drawn again for it: a table's or template's secret that holds
// the address refused, and hash the SHA-256 of its image with it.
void Unit_settle(const Template &tpl, const Units &units, const Secrets &secrets, std::size_t unit, Digest &hash,
                 Faults &faults);
