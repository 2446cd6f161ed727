// A unit's script, value by value: the template with the unit's values in
// place of its own, then the settings that the template lacks (the table's,
// in column order, then those of -g, then the address); and its image, what
// the converter makes of those values. Made where a stage needs it, from
// the template, the units and the secrets, which it only reads.
#pragma once

#include "batch.h"
#include "convert.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

// One value of a unit's script.
struct Unit_value {
    Convert_value value; // as the converter takes it: a host name with its line end
    std::size_t slot;    // its manifest value column
    bool fromTemplate;   // the template's value, not the unit's own
};

inline constexpr std::size_t UNIT_VALUES_MAX = 64;

struct Unit_values {
    std::array<Unit_value, UNIT_VALUES_MAX> items;
    std::size_t count;
    Mac_hexText macText;  // the unit's address, when it has one
    std::string hostLine; // the unit's own host name with its line end
};

// How often the template gives a setting.
std::size_t Template_count(const Template &tpl, unsigned type);

// The unit's own value of a setting from its table row or -g, if it has one.
bool Unit_own(const Units &units, const Secrets &secrets, std::size_t unit, unsigned type, std::string_view &text);

// The unit's script, value by value, in script order.
void Unit_valuesOf(const Template &tpl, const Units &units, const Secrets &secrets, std::size_t unit,
                   Unit_values &values);

// The setting of each manifest value column, in slot order: the template's
// settings, then those that the table and -g add.
std::vector<unsigned> Value_types(const Template &tpl, const Units &units, const Secrets &secrets);

// The unit's image: its values converted by the converter itself, in the
// order of its script. False when the converter refuses one (the checks
// name it) or there are more than a script carries.
bool Unit_image(const Unit_values &values, Image &image);
