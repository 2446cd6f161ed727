// Every check of the units before anything is issued, made outside the
// ledger's lock: each unit's values by the rules of a script line, by
// recbatch's own rules of a network (an SSID of 1 to 32 bytes, a pass phrase
// of 8 to 63 printable ASCII characters) and by the converter's own code;
// addresses, secrets and serials that two units share; secrets that hold a
// public identifier. Each unit's image is converted with the address it has
// or is foreseen to have, and its SHA-256 kept.
#pragma once

#include "batch.h"

// Draws every unit's -g secrets and checks every unit; the faults found are
// the batch's. False with errno set when the kernel gives no random bytes.
bool Batch_check(Batch &batch);

// For a unit whose address was settled only in the ledger's transaction:
// its -g secrets drawn again where they hold the address, a table's or
// template's secret that holds it refused, and the SHA-256 of its image
// with that address. False with errno set as Batch_check.
bool Unit_settle(Batch &batch, std::size_t unit);
