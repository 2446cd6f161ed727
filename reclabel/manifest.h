// The manifest that recbatch writes, read into the labels to print: one
// label per unit row, or per unit asked for with -u.
#pragma once

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
    std::string serial;            // empty: no serial Code 128
    std::vector<Label_text> texts; // the lines beside the QR code
};

struct Manifest {
    const char *path;
    std::vector<std::string> columns; // -c, in order; none: the default lines
    std::vector<std::string> units;   // -u, as given
    std::vector<Label> labels;        // the units to print, in manifest order
    std::vector<std::string> faults;  // each a whole message line
};

enum Manifest_result {
    MANIFEST_OK,
    MANIFEST_BAD,        // faults say why, one line each
    MANIFEST_READ_ERROR, // the stream failed; errno says why
};

Manifest_result Manifest_read(Manifest &manifest, std::FILE *fp);

// "reclabel: PATH:LINE: COLUMN: WHY", without the line when it is 0.
std::string Fault_text(const char *path, long line, std::string_view column, std::string_view why);
