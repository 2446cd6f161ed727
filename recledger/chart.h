// The report page's charts, drawn with cairo on its SVG surface in memory
// and kept as inline SVG. Each draws at most a fixed number of bars, so that
// the page stays small however large the ledger; its note says what it left
// out.
#pragma once

#include "fault.h"
#include "records.h"

#include <string>

// At most this many hours, the last ones with a verified unit, and this many
// stations by name (the others together).
inline constexpr std::size_t CHART_HOURS_MAX = 72;
inline constexpr std::size_t CHART_STATIONS_MAX = 8;
// At most this many stations in the yield chart, and ranges in the ranges'.
inline constexpr std::size_t CHART_YIELDS_MAX = 30;
inline constexpr std::size_t CHART_RANGES_MAX = 20;

// The library that draws them, loaded for the first chart (cairo.cpp).
inline constexpr char CAIRO_SONAME[] = "libcairo.so.2";

struct Chart {
    std::string svg;  // one <svg> element, no XML prolog; its ids begin with the chart's name
    std::string note; // what the chart leaves out, or empty
};

// Verified units per hour, a bar for each hour, stacked by station.
bool Chart_hours(const Ledger_report &report, Chart &chart, Fault &fault);

// First-pass yield per station, a bar each.
bool Chart_yield(const Ledger_report &report, Chart &chart, Fault &fault);

// Addresses left per range: a bar each, issued, voided and free.
bool Chart_ranges(const Ledger_report &report, Chart &chart, Fault &fault);
