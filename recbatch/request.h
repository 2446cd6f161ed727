// The command line of recbatch.
#pragma once

#include "batch.h"

// What --help prints and a misuse repeats.
inline constexpr const char *REQUEST_USAGE =
    "usage: recbatch [-RS] [-a addresses] [-l ledger] [-m first-last] [-n count] [-u units] [-g setting]... "
    "template outdir\n"
    "       recbatch -l ledger -V outdir\n"
    "       recbatch --help | --version\n";

// Reads the command line into request. False when it is wrong, said on
// standard error (the usage, or what is wrong): the run ends with status 2.
// closed: the STREAM_*_CLOSED bits of the run's start; "-" names standard
// input only when the run was given one.
bool Request_parse(int argc, char *argv[], Request &request, unsigned closed);
