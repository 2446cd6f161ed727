// The ledger's part: the addresses of the -m range foreseen before its
// transaction, the ledger's checks, and the issue stage: the transaction,
// which holds the ledger's issuing lock for the address step alone: the
// checks against the ledger, the free addresses of the range, the units
// whose foreseen address another run took meanwhile settled anew, and the
// record of the batch that is issued. On a server the lock is taken only
// for the last checks and the commit: the unique address refuses one that
// another run issued first, and the transaction is tried again.
#pragma once

#include "batch.h"
#include "ledger.h"

#include <string>

// On a site's ledger (a LOCAL), the range is the lease's, what is left of
// it (a -m range outside it is a fault), and a batch of one takes its
// address from it, not from the template. False when the ledger fails or
// a fault was found.
bool Batch_lease(Request &request, Ledger *ledger, Units &units, Faults &faults, Fault &fault);

// Gives each unit without an address of its own the address of the range
// that it will have if no other run issues one first: the lowest free ones,
// read without taking the lock. A range without room for every unit is a
// fault. False when the ledger fails (fault says why).
bool Batch_foresee(const Request &request, Ledger *ledger, Units &units, Faults &faults, Fault &fault);

// The addresses that the table or the template gives, and the table's
// serials (unless -R), against the ledger: one that it holds is a fault.
// False when the ledger fails.
bool Ledger_checks(const Request &request, Ledger *ledger, const Units &units, Faults &faults, Fault &fault);

// In one transaction of the ledger: refuses, as faults, an address that the
// ledger issued before, a range without room, and a serial that the ledger
// recorded (unless -R); settles the range's units at the addresses that
// are free now (their secrets drawn again where they hold the new address,
// their hashes made anew); records the batch (OUTDIR as outdir) and its
// addresses, and commits. When other runs took many of the foreseen
// addresses, the transaction is given up and those units are settled
// outside it first; when another run issued one of them first, it is tried
// again. id is the batch's number. False when faults were found, or the
// ledger, the random source or the tries failed (fault says why); an
// uncommitted transaction is left for Ledger_close to roll back.
bool Batch_issue(const Request &request, const Template &tpl, Ledger *ledger, const std::string &outdir, Units &units,
                 Secrets &secrets, std::vector<Digest> &hashes, long long &id, Faults &faults, Fault &fault);
