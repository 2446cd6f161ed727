// The ledger's part: the addresses of the -m range foreseen before its
// transaction, and the transaction, which holds the ledger's issuing lock
// for the address step alone: the checks against the ledger, the free
// addresses of the range, the units whose foreseen address another run
// took meanwhile settled anew, and the record of the batch that is issued.
// On a server the lock is taken only for the last checks and the commit:
// the unique address refuses one that another run issued first, and the
// transaction is tried again.
#pragma once

#include "batch.h"
#include "ledger.h"

#include <string>

// Gives each unit that needs one (need of them) the address of the range
// that it will have if no other run issues one first: the lowest free ones,
// read without taking the lock. A range without room for every unit is a
// fault, as are an address and a serial that the ledger already holds (read
// without the lock too; the transaction checks them again). False when the
// ledger fails, batch.ledgerFault saying why.
bool Batch_foresee(Batch &batch, Ledger *ledger, std::size_t need);

enum Issue_result {
    ISSUED,              // committed: the batch's addresses are never issued again
    ISSUE_REFUSED,       // the ledger's checks found faults; nothing was issued
    ISSUE_LEDGER_FAILED, // batch.ledgerFault says why
    ISSUE_RANDOM_FAILED, // no random bytes for a secret drawn again; errno says why
    ISSUE_BUSY,          // other runs issued the foreseen addresses first, try after try
};

// In one transaction of the ledger: refuses, as faults, an address that the
// ledger issued before, a range without room, and a serial that the ledger
// recorded (unless -R); settles the range's units at the addresses that
// are free now; records the batch (OUTDIR as outdir) and its addresses, and
// commits. When other runs took many of the foreseen addresses, the
// transaction is given up and those units are settled outside it first;
// when another run issued one of them first, it is tried again.
// *id is the batch's number. An uncommitted transaction is left for
// Ledger_close to roll back.
Issue_result Batch_issue(Batch &batch, Ledger *ledger, std::size_t need, const std::string &outdir, long long *id);

// The time now as the ledger records it: UTC, ISO 8601.
std::string Now_utc();
