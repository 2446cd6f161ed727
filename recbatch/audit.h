// The audit (-V): a batch folder against the ledger, the way to settle a
// batch that a run left unfinished, and to check one at any time since.
#pragma once

#include "batch.h"

#include <string>

// What the audit found.
struct Audit_verdict {
    std::string dir;           // the folder as messages name it
    long long batch;           // the folder's batch; 0 when none
    std::size_t images;        // the images of that batch
    Faults faults;             // what differs, a line each, in the order found
};

// Finds the batch of the folder outdir by the addresses of its images, in
// the ledger at ledgerPath (which must exist), and checks the folder
// against it: every image the batch issued is there, with the SHA-256
// recorded for its address; the manifest's rows give each unit's number,
// address, file, SHA-256 and serial as the ledger does, and its values and
// Wi-Fi text as its image holds them, each row with its line end; nothing
// else is in the folder. A whole folder's batch is marked finished. On a
// terminal, a line on standard error tells how far it got. False when a
// file or the ledger cannot be read (fault says why).
bool Batch_audit(const char *ledgerPath, const char *outdir, Audit_verdict &verdict, Fault &fault);

// Prints the verdict: each fault a line, or that the batch is whole;
// returns the status to end with, 0 when it is whole, else 1.
int Audit_report(Audit_verdict &verdict);
