// The standard descriptors 0, 1 and 2 at the start of a run. A program
// started with one of them closed would hand that number to the next file it
// opens, and then write its console into that file or read a file as its
// input; holding each closed one open on /dev/null prevents that, and the
// program learns which ones it was not given.
#pragma once

#include <cstdio>

inline constexpr unsigned STREAM_IN_CLOSED = 1u << 0;
inline constexpr unsigned STREAM_OUT_CLOSED = 1u << 1;
inline constexpr unsigned STREAM_ERR_CLOSED = 1u << 2;

// Holds every closed standard descriptor open on /dev/null and returns which
// were closed, as STREAM_*_CLOSED bits.
unsigned Streams_hold();

// Flushes and closes fp, whose every write is checked here once: 0, or the
// system's error of the first that failed (EIO when it gave none).
int Streams_close(std::FILE *fp);
