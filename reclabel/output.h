// OUTPUT appears whole or not at all: it is written as a hidden temporary
// file beside it (.reclabel-XXXXXX, mode 0600, as the labels hold every
// unit's secrets), synced, and renamed over OUTPUT only when complete.
// SIGINT, SIGTERM and SIGHUP remove the temporary file before they end the
// run; one that was ignored when the run started stays ignored.
#pragma once

#include <cstdio>
#include <string>

struct Output {
    const char *path;
    std::string temp;
    std::FILE *fp;
};

// Creates the temporary file; false with errno set.
bool Output_open(Output &output, const char *path);

// Flushes, syncs and closes it, renames it to OUTPUT and syncs the folder;
// false with errno set, the temporary file removed.
bool Output_commit(Output &output);

// Closes and removes the temporary file.
void Output_abandon(Output &output);
