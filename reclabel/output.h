// OUTPUT appears whole or not at all: its files (OUTPUT, or the pages of a
// PNG contact sheet) are written into a hidden folder beside it
// (.reclabel-XXXXXX, mode 0700; each file 0600, as the labels hold every
// unit's secrets), synced, and renamed to their names only when every one
// is complete. SIGINT, SIGTERM and SIGHUP remove the hidden folder before
// they end the run; one that was ignored when the run started stays
// ignored.
#pragma once

#include "fault.h"

#include <cstdio>
#include <string>
#include <vector>

struct Output {
    std::string folder;             // the hidden folder
    std::vector<std::string> paths; // the name of each file when it is done
    std::FILE *fp;                  // the file being written, the last of paths
};

// Whether path may be written: a regular file when it is there (not a
// folder, a device, a FIFO or a symbolic link, which the rename would
// replace), and not the file at other (the manifest).
bool Output_check(const char *path, const char *other, Fault &fault);

// The name of a contact sheet's page: OUTPUT less its ".png", "-", and the
// page's number in three digits or more, then ".png".
std::string Output_pagePath(const char *path, std::size_t page);

// Makes the hidden folder beside path.
bool Output_open(Output &output, const char *path, Fault &fault);

// Closes the file being written, if any (flushed and synced, checked), and
// starts the next, to be named path.
bool Output_add(Output &output, const std::string &path, Fault &fault);

// Closes the last file, renames every file to its name and syncs the
// folder; false with the hidden folder removed.
bool Output_commit(Output &output, Fault &fault);

// Closes and removes the hidden folder and what is in it.
void Output_abandon(Output &output);
