// The progress line of a long run on a terminal: "recbatch: 120 of 500
// units, 240 units/s" on standard error, rewritten in place at most four
// times a second once the run has taken a second.
#pragma once

#include <chrono>
#include <cstddef>

struct Progress {
    bool on;          // standard error is a terminal
    const char *what; // "units", "images"
    std::size_t total;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point shown;
    bool any; // a line was shown
};

void Progress_start(Progress &progress, bool on, const char *what, std::size_t total);

// done of the total are done.
void Progress_show(Progress &progress, std::size_t done);

// The last figures and the line's end, when a line was shown.
void Progress_end(Progress &progress);
