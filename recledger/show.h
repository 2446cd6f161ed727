// What every form of recledger's output shares: text made safe for a
// terminal or a page, aligned text tables, and a station's yield.
#pragma once

#include "records.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// text with every character that could move or restyle a terminal escaped,
// as messages escape it (Text_escape): always valid UTF-8.
std::string Show_plain(std::string_view text);

// Appends text to html, escaped as Show_plain does, with &, <, >, " and '
// as character references: safe in an element and in a quoted attribute.
void Show_html(std::string &html, std::string_view text);

// The first-pass yield of station: verified at their first read-back of
// those read back, from 0 to 1; false when it read nothing back.
bool Show_yield(const Ledger_stationCount &station, double &yield);

// n with its digits grouped by three: 1234567 as "1,234,567".
std::string Show_grouped(std::uint64_t n);

// A table printed as aligned text: a head row, then the rows, columns two
// blanks apart; numeric columns aligned right. Cells are printed as given
// (Show_plain them first).
struct Show_table {
    std::vector<std::string> heads;
    std::vector<bool> numeric; // for each column
    std::vector<std::vector<std::string>> rows;
};

void Show_print(std::FILE *out, const Show_table &table);
