// Converting a factory-default script into a record file image.
#pragma once

#include "image.h"
#include "script.h"

#include <array>
#include <cstdio>

enum Convert_status {
    CONVERT_DONE,       // the script ended, or 15 type numbers were read
    CONVERT_INVALID,    // a value was refused; its message is printed
    CONVERT_READ_ERROR, // the script stream failed; nothing is printed for it
};

// One accepted setting as the script gave it: the text of its value as read
// (a host name line with its newline, if it had one), a number in decimal.
struct Given_setting {
    unsigned type;
    Value value;
};

// The accepted settings of a script, in script order.
struct Given_settings {
    std::array<Given_setting, SCRIPT_TYPES_MAX> items;
    std::size_t count;
};

// Reads the script from fpIn, echoes and refuses on console (none when it is
// nullptr), and builds the records of every accepted value into image, which
// must be initialised.
// With given, the accepted settings are listed there too.
Convert_status Convert_script(std::FILE *fpIn, std::FILE *console, Image &image, Given_settings *given = nullptr);
