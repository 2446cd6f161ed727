// How every function below a program's main says that it did not work, and
// why. A function that can fail returns bool: true when it worked; false
// when it did not, with the Fault its caller passed filled in. main hands a
// Fault to cli/ (Cli_fail), which prints it and gives the status to end
// with. Verdicts on the input that are data of their own (a converter's
// Convert_result, a record's fault) stay data; a Fault is for telling why.
//
// A Fault is fixed in size, so that the programs that use no heap can
// carry one; a text longer than its buffer is cut.
#pragma once

#include <cstddef>

enum Fault_status {
    FAULT_REFUSED = 1, // the input is refused: a value, a file, a table's cell
    FAULT_FAILED = 2,  // the system, the command line or a ledger failed
};

inline constexpr std::size_t FAULT_TEXT_MAX = 1024;

struct Fault {
    Fault_status status;
    int errnum;                // the system's error (errno), 0 when none
    char where[FAULT_TEXT_MAX]; // what it concerns: "units.csv:17", a path, a ledger; may be empty
    char why[FAULT_TEXT_MAX];   // what is wrong, in the rule's own words; empty with errnum alone
};

// A system call failed on where with errnum (EIO when errnum is 0):
// FAULT_FAILED, and the message ends in the system's words. Returns false.
bool Fault_system(Fault &fault, const char *where, int errnum);

// The input is refused (FAULT_REFUSED), or something failed (FAULT_FAILED),
// for the reason made from format as printf makes it. where may be nullptr.
// Returns false.
bool Fault_refuse(Fault &fault, const char *where, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
bool Fault_fail(Fault &fault, const char *where, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The command line is wrong in a way that the program's usage says:
// FAULT_FAILED with neither where, why nor errnum, which cli/ answers with
// the usage. Returns false.
bool Fault_usage(Fault &fault);

// True when fault is one that Fault_usage made.
bool Fault_isUsage(const Fault &fault);

// Puts prefix and ": " before the fault's where (a table's name before its
// line, a ledger's before a batch); returns false, so that a caller adds its
// context in its return statement.
bool Fault_within(Fault &fault, const char *prefix);
