// What the fuzz targets require of every input: a broken requirement aborts,
// which the fuzzer reports with the input that broke it.
#ifndef ZOL_FUZZ_REQUIRE_H
#define ZOL_FUZZ_REQUIRE_H

#include "convert.h"
#include "script.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

inline void Require(bool ok)
{
    if (!ok)
        std::abort();
}

// The script text, read whole and converted without a refusal, gives back
// exactly the bytes.
inline void Require_converts_to(std::string_view text, const std::uint8_t *bytes, std::size_t size)
{
    Script script{};
    Script_initBytes(script, text);
    static Script_given given;
    Script_readAll(script, given);
    Require(Script_complete(given));
    static Image image;
    Image_init(image);
    Require(!Convert_refused(Script_convert(given, image)));
    std::span<const std::uint8_t> made = Image_bytes(image);
    Require(made.size() == size && std::memcmp(made.data(), bytes, size) == 0);
}

#endif
