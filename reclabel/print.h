// A run of reclabel once its command line is read: the options checked
// against each other, every label checked, then OUTPUT written whole.
#pragma once

#include "draw.h"
#include "font.h"
#include "labels.h"

#include <vector>

enum Output_format { FORMAT_PDF, FORMAT_PNG, FORMAT_ZPL };

struct Options {
    Output_format format;
    double width, height; // the label, millimetres
    Sheet sheet;
    long dpi;             // -1 when not given
    const char *output;
};

// Whether the options go together: -p for PDF only, -d in the range of its
// format (given its default when not given), the label within the sheet.
bool Print_checkOptions(Options &options, Fault &fault);

// Prints each fault; returns the status to end with (the largest of theirs).
int Print_faults(const std::vector<Fault> &faults);
int Print_faults(const std::vector<Manifest_fault> &faults);

// Checks every label, then writes OUTPUT whole; returns the status to end
// with, having said why when it is not 0.
int Print(const Manifest &manifest, const Options &options, Font &font);
