#include "record.h"

std::uint8_t Chksum_calculate(const std::uint8_t *buff, std::uint8_t len)
{
    std::uint8_t retcode = 0;
    for (std::uint8_t i = 0; i < len; ++i)
        retcode ^= buff[i];
    return retcode;
}

void Mac_block_form(std::span<const std::uint8_t, MAC_ADDR_LEN> addr,
                    std::span<std::uint8_t, MAC_BLOCK_LEN> block)
{
    std::span<std::uint8_t, MAC_BODY_LEN> mac = block.last<MAC_BODY_LEN>();
    mac[0] = MAC_BODY_TAG;
    for (std::size_t i = 0; i < MAC_ADDR_LEN; ++i)
        mac[1 + i] = addr[i];
    block[0] = Chksum_calculate(mac.data(), MAC_BODY_LEN);
}

bool Mac_block_valid(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < MAC_BLOCK_LEN || bytes[1] != MAC_BODY_TAG)
        return false;
    return bytes[0] == Chksum_calculate(bytes.data() + 1, MAC_BODY_LEN);
}
