// The converter's console: what trosket prints of each setting it converts
// and of how its script ended, byte for byte.
#pragma once

#include "convert.h"
#include "script.h"

#include <array>
#include <cstdio>
#include <string_view>

// Room for the longest text of a refusal or an ending.
using Console_text = std::array<char, 64>;

// "\nType: N", then the value's echo (hex values alone, texts with their
// length), then what became of it: "\nIn valid type" for a type number
// outside the table, the words of a refusal.
void Console_setting(std::FILE *out, const Convert_value &value, const Convert_result &result);

// How the script ended: "\nScript done !", nothing after the fifteenth type
// number, or the refusal that ended it. Nothing for a read error.
void Console_ending(std::FILE *out, const Script_given &given);

// The words of a refusal, as the console prints them: "\nIn valid channel: 166".
std::string_view Console_refusal(const Convert_result &result, Console_text &text);

// The words of how a script ended, as the console prints them (after the
// type number, for a value that could not be read).
std::string_view Console_endingWords(const Script_given &given, Console_text &text);
