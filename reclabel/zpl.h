// Labels in ZPL II for thermal label printers: one ^XA ... ^XZ format per
// label, UTF-8 field data (^CI28), the printer encoding the QR code (^BQ)
// and Code 128 (^BC) itself. Field data holding ^, ~ or _ is written with
// ^FH hex escapes; a '\' in the text under a bar code, set in a ^FB field
// block, as "\\".
#pragma once

#include "layout.h"

#include "output.h"

#include <cstddef>
#include <functional>
#include <vector>

// Writes every label into the file output has begun, at setup.dot (a dot
// of a 203 or 300 dpi printer); show(done) is called as labels are
// written. false with why when a write failed, or a label cannot be laid
// out.
bool Zpl_write(Output &output, const Layout_setup &setup, const std::vector<Label> &labels,
               const std::function<void(std::size_t)> &show, Fault &fault);
