// Labels in ZPL II for thermal label printers: one ^XA ... ^XZ format per
// label, UTF-8 field data (^CI28), the printer encoding the QR code (^BQ)
// and Code 128 (^BC) itself. Field data holding ^, ~ or _ is written with
// ^FH hex escapes; a '\' in the text under a bar code, set in a ^FB field
// block, as "\\".
#pragma once

#include "layout.h"

#include <cstdio>
#include <string>
#include <vector>

// Writes every label to out at setup.dot (a dot of a 203 or 300 dpi
// printer); 0, or errno when writing failed, or -1 with why.
int Zpl_write(std::FILE *out, const Layout_setup &setup, const std::vector<Label> &labels, std::string &why);
