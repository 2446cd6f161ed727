// The bar codes of one label, made before its text is laid out: the QR code
// of its wifi cell, and the rows of Code 128 (the MAC address, then the
// serial), each with the module at which it fits across the label. Neither
// the font nor any other shared state is touched, so that the codes of the
// next labels can be made on a second thread while one is drawn.
#pragma once

#include "layout.h"

#include <cstddef>
#include <functional>
#include <vector>

// Makes layout.qr and layout.bars: encoded for drawing, or with setup.zpl
// or setup.bound only sized (a ZPL printer encodes its codes itself). The
// MAC address is printed as the manifest writes it, or as its 12 digits
// where that form does not fit. false with the column at fault as where.
bool Codes_make(const Layout_setup &setup, const Label &label, Label_layout &layout, Fault &fault);

// Calls draw(i, layout) for each label in turn, with its codes made on a
// second thread a few labels ahead, until draw returns false. draw runs on
// the calling thread, and completes the layout itself. false with the
// fault when a label's codes cannot be made, or draw's own fault.
bool Codes_ahead(const Layout_setup &setup, const std::vector<Label> &labels,
                 const std::function<bool(std::size_t, Label_layout &, Fault &)> &draw, Fault &fault);
