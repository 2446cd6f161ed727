// Text as a JSON string, the same way in every program's JSON.
#pragma once

#include <cstdio>
#include <string_view>

// Writes text to out as a quoted JSON string. A text that is wholly UTF-8
// stays text; otherwise each byte from 0x80 up is written as \u00XX, so that
// no byte is lost or invented. The quote and the backslash are escaped with
// a backslash; control characters and DEL are written as \u00XX. The
// caller checks out for a failed write.
void Json_string(std::FILE *out, std::string_view text);
