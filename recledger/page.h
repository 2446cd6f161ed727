// report -o PAGE.html: one HTML file that a browser shows as it is. It loads
// nothing from anywhere (no script, no link, no image or font of its own:
// the style and the charts, as SVG, are inside it) and escapes every text of
// the ledger that it repeats.
#pragma once

#include "fault.h"
#include "records.h"

#include <cstddef>
#include <string>
#include <string_view>

// The page holds at most this many rows of each table: the newest batches,
// and the stations and ranges first in their order; a note says how many
// it left out. With the charts' own caps, a page stays under 2 MiB.
inline constexpr std::size_t PAGE_BATCHES_MAX = 500;
inline constexpr std::size_t PAGE_STATIONS_MAX = 500;
inline constexpr std::size_t PAGE_RANGES_MAX = 200;

// The page of report, for the ledger named ledger (as messages name it).
bool Page_render(const Ledger_report &report, std::string_view ledger, std::string &page, Fault &fault);

// Writes page to path whole or not at all: a temporary file beside it,
// mode 0644, synced, then renamed over path.
bool Page_save(const char *path, const std::string &page, Fault &fault);
