// Fuzz target: any script bytes through the conversion, with no files
// written. Besides surviving, every image must read back cleanly by the byte
// tables of the record file, checked here by plain loops of their own.
#include "convert.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Require(bool ok)
{
    if (!ok)
        std::abort();
}

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *console = std::fopen("/dev/null", "w");
    static std::uint8_t empty = 0;
    std::FILE *fpIn = size > 0 ? fmemopen(const_cast<std::uint8_t *>(data), size, "r")
                               : fmemopen(&empty, 1, "r");
    if (fpIn == nullptr)
        return 0;
    if (size == 0)
        std::fgetc(fpIn); // leave the one-byte stand-in at its end
    static Image image;
    Image_init(image);
    Convert_status status = Convert_script(fpIn, console, image);
    std::fclose(fpIn);
    Require(status == CONVERT_DONE || status == CONVERT_INVALID);
    std::span<const std::uint8_t> file = Image_bytes(image);
    Require(file.size() <= IMAGE_MAX);
    Require_well_formed(file.data(), file.size(), image.hasMac);
    return 0;
}
