// Where everything goes on one label, in millimetres from its top left
// corner: the QR code at the top left with the text lines beside it, the
// Code 128 of the MAC address (and of the serial) across the bottom, each
// with its text under it. One text size for the whole label, the largest
// from 8 down to 6 points at which everything fits.
//
// A label is laid out in two steps: its bar codes are made (codes.h), which
// needs no font and may run on another thread; then the text is measured
// and everything placed (here), on the thread that owns the font.
#pragma once

#include "barcode.h"
#include "fault.h"
#include "font.h"
#include "labels.h"

#include <string>
#include <vector>

struct Layout_setup {
    double width, height; // the label
    double dot;           // a printer dot or pixel, to which modules and places snap; 0 for vector output
    bool zpl;             // bar codes as a ZPL printer encodes them, modules of at most 10 dots
    bool bound;           // the QR code's size bounded from its byte count, not encoded: for checks
    Font *font;
};

struct Placed_text {
    double x, top; // the left end, or the left of box when centred; the top of its line
    double size;   // em size
    double width;  // of the text at that size
    double box;    // the width it is centred in; 0 when it starts at x
    std::string text;
};

struct Placed_code {
    double x, y;   // the symbol's top left corner, within its quiet zone
    double module; // the width of a module
    double height; // of the bars of a Code 128; a QR code is square
    Barcode code;
    std::string data;
};

struct Label_layout {
    Placed_code qr;
    std::vector<Placed_code> bars; // the MAC address, then the serial
    std::vector<Placed_text> texts;
};

// The widest Code 128 module, in millimetres, and the fewest dots per inch
// whose dot is no wider: below that, not one module can be drawn.
inline constexpr double LAYOUT_BAR_MODULE_MOST = 0.33;
inline constexpr long LAYOUT_LEAST_DPI = 77;
static_assert(25.4 / LAYOUT_LEAST_DPI <= LAYOUT_BAR_MODULE_MOST &&
              25.4 / (LAYOUT_LEAST_DPI - 1) > LAYOUT_BAR_MODULE_MOST);

// The narrowest Code 128 module in every format: two dots of a 203 dpi
// printer, what a scanner reads from a thermal label.
inline constexpr double LAYOUT_BAR_MODULE_LEAST = 0.25;

// A margin all round the label, and the room across it inside the margins.
inline constexpr double LAYOUT_MARGIN = 1.5;

// The text's baseline below the top of its line, in em.
inline constexpr double LAYOUT_BASELINE = 0.95;

// Completes a layout whose codes are made (Codes_make): measures the text,
// finds the size at which it all fits and places everything. false when the
// label cannot hold it all, with the column at fault as where and why.
// With setup.bound, a label that this finds to fit fits when encoded too.
// Only the thread that owns setup.font may call it.
bool Layout_label(const Layout_setup &setup, const Label &label, Label_layout &layout, Fault &fault);

// The whole number of dots nearest v, the whole number at or below it, and
// the fewest whole dots at least v wide; v itself for vector output.
double Layout_snap(double v, double dot);
double Layout_snapDown(double v, double dot);
double Layout_least(double v, double dot);

// A module of that width, and for PNG and ZPL, what it is in dots:
// "0.330 mm a module (1 dot at 77 dpi)".
std::string Layout_moduleText(const Layout_setup &setup, double module);
