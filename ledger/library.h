// Libraries that only some runs need, loaded the first time one of their
// functions is called rather than at every start: libpq for a ledger on a
// server, cairo for recledger's page. Linked, they cost every run of a
// program their loading and relocation, most of a short run's time (a
// recledger find on a file). Each is named by its soname, as the package
// depends on it.
//
// A file that calls such a library includes its header as usual, and
// defines each function it calls with LIBRARY_FUNCTION: the definition
// finds the library's own on its first call, and calls it.
#pragma once

#include "fault.h"

// Loads the library of soname once; false when it cannot be, with fault
// filled in (dlerror's words).
bool Library_load(const char *soname, Fault &fault);

// The function name of the library of soname, which is loaded when it is
// not yet; a library or a function that is missing ends the program
// (Library_load tells a run that can go on without it).
void *Library_function(const char *soname, const char *name);

// Defines function name of the library of soname, with its parameters
// (types and names) and the arguments that pass them on.
#define LIBRARY_FUNCTION(soname, result, name, parameters, arguments)                                        \
    extern "C" result name parameters                                                                       \
    {                                                                                                       \
        static const auto real = reinterpret_cast<decltype(&name)>(Library_function(soname, #name));       \
        return real arguments;                                                                              \
    }
