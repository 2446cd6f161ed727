// Writing a checked batch so that nothing is half-written: every file goes
// into a new hidden folder beside OUTDIR, which is synced once and renamed
// to OUTDIR only when it is complete.
#pragma once

#include "batch.h"
#include "digest.h"

#include <csignal>
#include <string>
#include <vector>

enum Write_result {
    WRITE_DONE,    // OUTDIR is complete
    WRITE_FAILED,  // a system call failed on path, with error; nothing is left
    WRITE_STOPPED, // SIGINT or SIGTERM came; nothing is left
};

// The signal that asked the run to stop, or 0.
extern volatile std::sig_atomic_t writeStop;

// The folder that holds path, and its last name.
void Write_splitPath(const char *path, std::string &parent, std::string &name);

// Whether a folder can be made beside outdir; errno says why not.
bool Write_canCreate(const char *outdir);

// From now on SIGINT and SIGTERM set writeStop instead of ending the run.
void Write_catchSignals();

// Writes each unit's image as <mac>.bin and the manifest (mode 0600) into
// OUTDIR. With progress, a line on standard error tells how far it got.
Write_result Batch_write(const Batch &batch, bool progress, std::string &path, int &error);
