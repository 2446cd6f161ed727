// Fuzz target: the MAC block check on any bytes, both on a buffer and on a
// stream, against the plain rule: at least eight bytes, byte 1 is 0x07,
// byte 0 the XOR of bytes 1 to 7.
#include "check.h"
#include "record.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    bool expected = false;
    if (size >= 8) {
        std::uint8_t sum = 0;
        for (std::size_t i = 1; i < 8; ++i)
            sum = static_cast<std::uint8_t>(sum ^ data[i]);
        expected = data[1] == 0x07 && data[0] == sum;
    }
    if (Mac_block_valid({data, size}) != expected)
        std::abort();
    if (size == 0)
        return 0;
    std::FILE *fp = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (fp == nullptr)
        return 0;
    Check_result result = Check_stream(fp);
    std::fclose(fp);
    if (result != (expected ? CHECK_VALID : CHECK_INVALID))
        std::abort();
    return 0;
}
