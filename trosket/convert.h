// Converting a factory-default script into a record file image.
#pragma once

#include "image.h"

#include <cstdio>

enum Convert_status {
    CONVERT_DONE,       // the script ended, or 15 type numbers were read
    CONVERT_INVALID,    // a value was refused; its message is printed
    CONVERT_READ_ERROR, // the script stream failed; nothing is printed for it
};

// Reads the script from fpIn, echoes and refuses on console, and builds the
// records of every accepted value into image, which must be initialised.
Convert_status Convert_script(std::FILE *fpIn, std::FILE *console, Image &image);
