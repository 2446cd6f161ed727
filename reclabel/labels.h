// The manifest that recbatch writes, read into the labels to print: one
// label per unit row, or per unit asked for with -u.
#pragma once

#include "fault.h"
#include "manifest.h"

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
    std::vector<std::string> units;   // -u, as given: a unit's number, serial, or any of its addresses (mac to last-mac)
    std::vector<Label> labels;        // the units to print, in manifest order
    std::vector<Manifest_fault> faults; // where: PATH:LINE (PATH alone for the whole file); why: COLUMN: WHY
};

// Reads the manifest from fp into manifest.labels. false with a fault in
// manifest.faults for each row or cell refused, in the manifest's order, or
// with fault filled (and its status not 0) when the stream failed. A row's
// wifi text must be the Wi-Fi text of its own ssid, passphrase and wep-key
// cells, where the manifest has any of those columns; a last-mac cell, where
// the manifest has that column, an address from the row's mac on.
bool Manifest_read(Manifest &manifest, std::FILE *fp, Fault &fault);
