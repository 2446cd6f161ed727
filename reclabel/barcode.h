// Bar codes made by libzint, as rectangles that cover their dark modules:
// the bars of a Code 128; runs of modules across or down a QR code, as few as
// a simple greedy cover gives. Both are drawn without their quiet zones,
// which the layout keeps clear. Nothing here keeps state between calls, so
// that codes may be made on any thread.
#pragma once

#include "fault.h"

#include <string_view>
#include <vector>

struct Bar_rect {
    float x, y, width, height; // in modules, from the symbol's top left corner
};

struct Barcode {
    int width;   // in modules
    int height;  // in modules for a QR code; 1 for Code 128, whose bars the layout sizes
    bool linear; // Code 128: every rectangle is a bar
    std::vector<Bar_rect> rects;
};

// A QR code of text at error correction level M; text that is not plain
// ASCII is marked as UTF-8 (ECI 26). false when it cannot be made, with why
// (where left empty, for the caller to name the column).
bool Barcode_qr(std::string_view text, Barcode &code, Fault &fault);

// The width of a QR code of that many bytes in byte mode at level M, as a
// label printer encodes a ZPL field of manual byte input; -1 when no QR
// code holds that many.
int Barcode_qrBytesWidth(std::size_t bytes);

// Why text cannot be a Code 128 here (it must be printable ASCII), or true.
bool Barcode_check128(std::string_view text, Fault &fault);

// The width of a Code 128 of that many characters kept in subset B, as a
// ZPL field that starts in it is; -1 when it is too long for one.
int Barcode_code128bWidth(std::size_t characters);

// Code 128 of text, which must be printable ASCII. With subsetB, the code
// stays in subset B throughout, as a ZPL field that starts in it does.
bool Barcode_code128(std::string_view text, bool subsetB, Barcode &code, Fault &fault);
