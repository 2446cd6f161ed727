// Fuzz target: any script bytes through the readers and the conversion,
// with no files written. Besides surviving: the script read from a stream
// and from memory gives the same settings; every image reads back cleanly by
// the byte tables of the record file, checked here by plain loops of their
// own; and a script that converts whole, written again by the writer, reads
// and converts into the same image.
#include "convert.h"
#include "require.h"
#include "script.h"
#include "writer.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

std::uint8_t Xor_of(const std::uint8_t *bytes, std::size_t n)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum = static_cast<std::uint8_t>(sum ^ bytes[i]);
    return sum;
}

void Require_well_formed(const std::uint8_t *file, std::size_t size, bool hasMac)
{
    std::size_t at = 0;
    if (hasMac) {
        Require(size >= 8 && file[1] == 0x07 && file[0] == Xor_of(file + 1, 7));
        at = 8;
    }
    while (at < size) {
        Require(size - at >= 3);
        std::uint8_t type = file[at + 1];
        std::size_t n = file[at + 2];
        Require(type >= 2 && type <= 14);
        Require(size - at - 3 >= n);
        Require(file[at] == Xor_of(file + at + 3, n));
        if (type >= 10 && type <= 13)
            Require(n >= 1 && file[at + 3 + n - 1] == 0x00);
        at += 3 + n;
    }
    Require(at == size);
}

bool Same_settings(const Script_given &a, const Script_given &b)
{
    if (a.count != b.count || a.ending != b.ending)
        return false;
    for (std::size_t i = 0; i < a.count; ++i)
        if (a.items[i].type != b.items[i].type || Script_value(a.items[i]).text != Script_value(b.items[i]).text)
            return false;
    return true;
}

// A script of 15 settings of the longest values is well below this.
std::array<char, 16384> written;

// Writes the settings of given again, when every one fits; its length, or 0.
std::size_t Write_again(const Script_given &given)
{
    for (std::size_t i = 0; i < given.count; ++i)
        if (Script_misfitOf(Script_value(given.items[i]), i + 1 == given.count) != MISFIT_NONE)
            return 0;
    std::FILE *out = fmemopen(written.data(), written.size(), "w");
    Require(out != nullptr);
    for (std::size_t i = 0; i < given.count; ++i)
        Script_writeSetting(out, Script_value(given.items[i]));
    std::fflush(out);
    long length = std::ftell(out);
    std::fclose(out);
    Require(length >= 0 && static_cast<std::size_t>(length) < written.size());
    return static_cast<std::size_t>(length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::uint8_t empty = 0;
    std::FILE *fpIn = size > 0 ? fmemopen(const_cast<std::uint8_t *>(data), size, "r")
                               : fmemopen(&empty, 1, "r");
    if (fpIn == nullptr)
        return 0;
    if (size == 0)
        std::fgetc(fpIn); // leave the one-byte stand-in at its end
    static Script_given given;
    static Script_given fromBytes;
    Script script{};
    Script_init(script, fpIn);
    Script_readAll(script, given);
    std::fclose(fpIn);
    Script_initBytes(script, {reinterpret_cast<const char *>(data), size});
    Script_readAll(script, fromBytes);
    Require(given.ending != ENDING_READ_ERROR && Same_settings(given, fromBytes));

    static Image image;
    Image_init(image);
    Convert_result result = Script_convert(given, image);
    std::span<const std::uint8_t> file = Image_bytes(image);
    Require(file.size() <= IMAGE_MAX);
    Require_well_formed(file.data(), file.size(), image.hasMac);
    if (Convert_refused(result) || !Script_complete(given))
        return 0;

    // The round trip through the writer.
    std::size_t length = Write_again(given);
    if (length == 0)
        return 0;
    Require_converts_to({written.data(), length}, file.data(), file.size());
    return 0;
}
