// The command line that every program shares, in the manner of err(3): the
// program's name set once; --help and --version; a message for a fault, a
// misuse or a refusal, each with the status to end with; standard output
// closed and checked at the end. Everything a message repeats (a path, a
// table's cell, a ledger's words) is escaped as Text_escape does, the same
// way in every program.
#pragma once

#include "fault.h"
#include "streams.h"

#include <chrono>
#include <cstddef>

// Sets the program's name, which every message begins with, and its usage:
// the whole text that --help prints and a misuse repeats, newline-ended.
// Holds the standard descriptors that the run was started without (see
// streams.h) and returns which, as STREAM_*_CLOSED bits.
unsigned Cli_start(const char *name, const char *usage);

// When the command line is --help or --version alone, prints the usage or
// "NAME VERSION" on standard output, closes it, and sets status (0, or 2
// when the output failed or the run started with it closed); returns
// whether it did.
bool Cli_answered(int argc, char *const argv[], int &status);

// Every main's opening: Cli_start, then Cli_answered; closed, when given,
// is set to Cli_start's STREAM_*_CLOSED bits. True when the run is answered
// and ends with status.
bool Cli_begin(const char *name, const char *usage, int argc, char *const argv[], int &status,
               unsigned *closed = nullptr);

// The usage on standard error; returns 2.
int Cli_usage();

// "NAME: WHY" for a command line that is wrong, made as printf makes it;
// returns 2.
int Cli_misuse(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "NAME: WHERE: WHY" for a fault, with ": " and the system's words when it
// holds a system error, or the usage for a fault that calls for it
// (Fault_usage); returns the fault's status.
int Cli_fail(const Fault &fault);

// A fault's message without the status: a warning, or one of a list.
void Cli_warn(const Fault &fault);

// A path that a system call failed on: "NAME: PATH: the system's words";
// returns 2.
int Cli_system(const char *path, int errnum);

// Flushes and closes standard output, which held the run's result; returns
// status, or 2 with a message when the output failed.
int Cli_finish(int status);

// How far long work has got, on standard error when it is a terminal:
// "\rNAME: DONE of TOTAL WHAT, RATE WHAT/s", once the work has taken a
// second, rewritten in place at most four times a second.
struct Cli_progress {
    const char *what; // what is counted: "units", "labels"
    std::size_t total;
    bool on;          // standard error is a terminal
    bool shown;       // a line is on it
    std::size_t done;
    std::chrono::steady_clock::time_point start, last;
};

void Cli_progressStart(Cli_progress &progress, const char *what, std::size_t total);
void Cli_progressShow(Cli_progress &progress, std::size_t done);

// The last figures and the line's end, when a line was shown: before the
// run's last message, or its end.
void Cli_progressEnd(Cli_progress &progress);
