#include "check.h"

#include "record.h"

#include <array>
#include <cstdint>

Check_result Check_stream(std::FILE *fp)
{
    // Unbuffered, so that not a byte past the block is taken from a stream
    // that another program reads on from there.
    std::setvbuf(fp, nullptr, _IONBF, 0);
    std::array<std::uint8_t, MAC_BLOCK_LEN> block{};
    std::size_t count = 0;
    for (int c = 0; count < block.size() && (c = std::fgetc(fp)) != EOF; ++count)
        block[count] = static_cast<std::uint8_t>(c);
    if (std::ferror(fp))
        return CHECK_READ_ERROR;
    // A file shorter than a block holds none: its missing bytes are not zeros.
    if (count < block.size())
        return CHECK_INVALID;
    return Mac_block_valid(block) ? CHECK_VALID : CHECK_INVALID;
}
