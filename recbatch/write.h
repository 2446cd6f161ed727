// Writing an issued batch so that nothing is half-written: every file goes
// into a hidden folder beside OUTDIR, made before any address is issued,
// which is synced once and renamed to OUTDIR only when it is complete. Each
// image is converted again as it is written, and written only when its
// bytes have the SHA-256 that the ledger recorded for its address.
#pragma once

#include "batch.h"

#include <string>

enum Write_result {
    WRITE_DONE,    // OUTDIR is complete
    WRITE_FAILED,  // writing failed on path, for why; the hidden folder is removed
    WRITE_STOPPED, // SIGINT or SIGTERM came; the hidden folder is removed
};

// The folder that holds path, and its last name.
void Write_splitPath(const char *path, std::string &parent, std::string &name);

// From now on SIGINT and SIGTERM end the run at once, the hidden folder
// removed while nothing is written into it yet; while Batch_write writes,
// they stop it before its next file.
void Write_catchSignals();

// Makes the hidden folder beside outdir (.NAME.XXXXXX, mode 0700), so that
// an OUTDIR that exists or cannot be made is found now; absolute is OUTDIR
// as an absolute path. False with errno set.
bool Write_start(const char *outdir, std::string &absolute);

// Removes the hidden folder and what was written into it, if it is there.
void Write_remove();

// Writes each unit's image as <mac>.bin and the manifest (mode 0600) into
// the hidden folder and renames it to OUTDIR. With progress, a line on
// standard error tells how far it got.
Write_result Batch_write(const Batch &batch, bool progress, std::string &path, std::string &why);

// Whether SIGINT or SIGTERM asked the run to stop.
bool Write_stopped();

// Ends the run by the signal that asked it to stop.
[[noreturn]] void Write_endByStop();
