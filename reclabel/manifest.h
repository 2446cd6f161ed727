// The manifest that recbatch writes, read into the labels to print: one
// label per unit row, or per unit asked for with -u.
#pragma once

#include "fault.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// A line of text beside the QR code: "Caption: value".
struct Label_text {
    std::string column; // the manifest column, for messages
    std::string text;
};

struct Label {
    long line;                     // the manifest line the unit's row starts on
    std::string wifi;              // the QR code's text, byte for byte
    std::string mac;               // as the manifest writes it, for its Code 128
    std::string macDigits;         // its 12 hex digits, where that does not fit
    std::string serial;            // empty: no serial Code 128
    std::vector<Label_text> texts; // the lines beside the QR code
};

struct Manifest {
    const char *path;
    std::vector<std::string> columns; // -c, in order; none: the default lines
    std::vector<std::string> units;   // -u, as given
    std::vector<Label> labels;        // the units to print, in manifest order
    std::vector<Fault> faults;        // where: PATH:LINE (PATH alone for the whole file); why: COLUMN: WHY
};

// Reads the manifest from fp into manifest.labels. false with a fault for
// each row or cell refused, in the manifest's order, or with the one fault
// of a stream that failed. A row's wifi text must say the network and key
// of its own ssid and passphrase (or wep-key) cells, where it has them.
bool Manifest_read(Manifest &manifest, std::FILE *fp);

// A fault of the manifest at path: "PATH:LINE", or PATH alone when line is
// 0, and "COLUMN: WHY".
void Manifest_fault(Fault &fault, const char *path, long line, std::string_view column, std::string_view why);
