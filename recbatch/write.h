// The write stage: an issued batch written so that nothing is half-written.
// Every file goes into a hidden folder beside OUTDIR, made before any
// address is issued, which is synced once and renamed to OUTDIR only when
// it is complete. Each image is converted again as it is written, and
// written only when its bytes have the SHA-256 that the ledger recorded for
// its address; the manifest's row of the unit is made from the same values.
#pragma once

#include "batch.h"

#include <string>

// From now on SIGINT, SIGTERM and SIGHUP end the run at once, the hidden
// folder removed while nothing is written into it yet; while Batch_write
// writes, they stop it before its next file.
void Write_catchSignals();

// Makes the hidden folder beside outdir (.NAME.XXXXXX, mode 0700), so that
// an OUTDIR that exists or cannot be made is found now; absolute is OUTDIR
// as an absolute path. False when it cannot be made (fault says why).
bool Write_start(const char *outdir, std::string &absolute, Fault &fault);

// Removes the hidden folder and what was written into it, if it is there.
void Write_remove();

// Writes each unit's image as <mac>.bin and the manifest, both mode 0600
// since they hold the units' secrets, into the hidden folder and renames it
// to OUTDIR; on a terminal, a line on standard error tells how far it got.
// False when writing failed (fault says why) or a signal stopped it; the
// hidden folder is then removed.
bool Batch_write(const Request &request, const Template &tpl, const Units &units, const Secrets &secrets,
                 const std::vector<Digest> &hashes, Fault &fault);

// Whether a signal asked the run to stop.
bool Write_stopped();

// Ends the run by the signal that asked it to stop.
[[noreturn]] void Write_endByStop();
