// CSV tables (RFC 4180): rows of comma-separated fields ending in CR LF or
// LF; a quoted field may hold commas, line ends and doubled quotes. A UTF-8
// byte order mark at the start of the table and blank lines are skipped.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The most bytes of one row, its commas and quotes included: far more
// than any table of units or manifest holds, and a bound on what a row that
// never ends (a device, a file of no line ends) can take.
inline constexpr std::size_t CSV_ROW_MAX = std::size_t{1} << 20;

struct Csv_reader {
    std::FILE *fp;
    long line;    // the line the next row starts on, from 1
    long rowLine; // the line the row just read started on
    bool rowEnded; // the row just read ended in a line end, not at the end of the table
    bool started;
};

enum Csv_result {
    CSV_ROW,        // a row was read
    CSV_END,        // no row is left
    CSV_BAD,        // the table is not CSV; why says how, at rowLine
    CSV_READ_ERROR, // the stream failed
};

void Csv_init(Csv_reader &reader, std::FILE *fp);

// Reads the next row into fields; blank lines are skipped. A row of more
// than CSV_ROW_MAX bytes is not CSV.
Csv_result Csv_readRow(Csv_reader &reader, std::vector<std::string> &fields, const char **why);

// Writes one row ending in CR LF, each field quoted when it holds a comma,
// a quote or a line end.
void Csv_writeRow(std::FILE *out, const std::vector<std::string_view> &fields);
