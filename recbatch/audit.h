// Auditing a batch folder against the ledger: the way to settle a batch
// that a run left unfinished, and to check one at any time since.
#pragma once

#include "ledger.h"

#include <string>
#include <vector>

enum Audit_result {
    AUDIT_WHOLE,    // the folder is its batch, whole; the batch is marked finished
    AUDIT_NOT_WHOLE, // faults says what differs, a line each
    AUDIT_FAILED,   // reading failed on path, for why (the system's or the ledger's words)
};

// Finds the batch of the folder outdir by the addresses of its images and
// checks the folder against it: every image the batch issued is there,
// with the SHA-256 recorded for its address; the manifest's rows give each
// unit's number, address, file, SHA-256 and serial as the ledger does;
// nothing else is in the folder.
Audit_result Batch_audit(Ledger *ledger, const char *outdir, std::vector<std::string> &faults, std::string &path,
                         std::string &why);
