// The first stages: the template, read once and converted as the converter
// converts a script; the units, from the table (its header checked, each row
// a unit) or a count, and the addresses that the table or the template
// gives them.
#pragma once

#include "batch.h"

// The most bytes a template may hold: far more than any script of fifteen
// settings, which is read into memory whole.
inline constexpr std::size_t TEMPLATE_MAX = 1 << 20;

// Reads the template once into memory (from standard input for "-") and
// converts it. False when it is refused (a fault added) or cannot be read
// (fault says why).
bool Batch_template(const Request &request, Template &tpl, Faults &faults, Fault &fault);

// The units of the table (or request.count of them), each with the address
// that its table cell gives, 12 hex digits or the colon form, of an address
// that a device can have, aligned to the addresses of a unit (-a); in a
// batch of one without -m and without a cell, the template's (the last it
// gives, as the converter takes the last), aligned as well. The
// faults of a row are added, and the stage goes on; false when the table
// cannot be used at all (its faults added), cannot be read, or has a column
// for a setting of -g (fault says why).
bool Batch_units(const Request &request, const Template &tpl, Units &units, Faults &faults, Fault &fault);
