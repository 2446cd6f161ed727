// The inputs into units: the template, read once and converted as the
// converter converts a script; the table of units, its header checked and
// each row a unit; and the addresses that they give.
#pragma once

#include "batch.h"

#include <cstdio>

// The most bytes a template may hold: far more than any script of fifteen
// settings, which is read into memory whole.
inline constexpr std::size_t TEMPLATE_MAX = 1 << 20;

// Reads the template once into memory (from standard input for "-"),
// converts it and lists its settings; false when it is refused (a fault) or
// cannot be read (readError, errno set).
bool Batch_template(Batch &batch, bool &readError);

enum Table_result { TABLE_OK, TABLE_BAD, TABLE_READ_ERROR };

// Reads the table of units from fp: its header names the columns, each row
// is a unit. What cannot be used is a fault.
Table_result Batch_table(Batch &batch, std::FILE *fp);

// Gives each unit the address that its table cell gives, 12 hex digits or
// the colon form, of an address a device can have; in a batch of one
// without -m and without a cell, the template's (the last it gives, as the
// converter takes the last). Returns the units that need one from the -m
// range.
std::size_t Batch_givenAddresses(Batch &batch);
