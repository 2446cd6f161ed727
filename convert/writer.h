// Writing settings as a factory-default script, and the one rule of what a
// script line cannot carry. A script written from values that fit reads
// back, by the readers of script.h, as the same values.
#pragma once

#include "convert.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

// Why a script cannot give a value.
enum Script_misfit : std::uint8_t {
    MISFIT_NONE,
    MISFIT_EMPTY,    // an empty word: the reader would take the next one
    MISFIT_NUL,      // a 0x00 byte
    MISFIT_BLANK,    // a blank in a word or number
    MISFIT_LINE_END, // a line end inside a text, or a host name line
    MISFIT_CR_END,   // a text that ends in CR, which would join its line end
    MISFIT_NOT_LAST, // a host name without its line end, or a text ending in
                     // CR, that does not end the script
};

// Whether a script can give value, a setting of the table; last means that
// nothing follows it in the script. The checks are made in the order of
// the enumeration.
Script_misfit Script_misfitOf(const Convert_value &value, bool last);

// The misfit in words, after the setting's name: "holds a blank".
const char *Script_misfitWords(Script_misfit misfit);

// The text of value as its line shows it: a host name without the line end
// that it carries as its own.
std::string_view Script_lineText(const Convert_value &value);

// Writes value as a script line, "TYPE VALUE", ended by its line end unless
// the value must end the script. The value must fit.
void Script_writeSetting(std::FILE *out, const Convert_value &value);
