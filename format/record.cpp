#include "record.h"

#include <array>

namespace {

constexpr std::array<Setting, ZOL_FACT_DFLT_MAX_ID> SETTINGS{{
    {"", DATA_NONE},
    {"mac", DATA_MAC},              // ZOL_FACT_DFLT_MAC_ID
    {"ssid", DATA_TEXT},            // ZOL_FACT_DFLT_SSID_ID
    {"channel", DATA_NUMBER},       // ZOL_FACT_DFLT_CHANNEL_ID
    {"security", DATA_NUMBER},      // ZOL_FACT_DFLT_SECURITY_ID
    {"wep-index", DATA_NUMBER},     // ZOL_FACT_DFLT_WEP_INDEX_ID
    {"wep-key", DATA_KEY},          // ZOL_FACT_DFLT_WEP_KEY_ID
    {"passphrase", DATA_TEXT},      // ZOL_FACT_DFLT_PASSPHRASE_ID
    {"user-name", DATA_TEXT},       // ZOL_FACT_DFLT_USER_NAME_ID
    {"password", DATA_TEXT},        // ZOL_FACT_DFLT_PASSWORD_ID
    {"manufacturer", DATA_TEXT_Z},  // ZOL_FACT_DFLT_MANUFACTURER_ID
    {"model-number", DATA_TEXT_Z},  // ZOL_FACT_DFLT_MODEL_NUMER_ID
    {"model-type", DATA_TEXT_Z},    // ZOL_FACT_DFLT_MODEL_TYPE_ID
    {"device-name", DATA_TEXT_Z},   // ZOL_FACT_DFLT_DEVICE_NAME_ID
    {"host-name", DATA_TEXT},       // ZOL_FACT_DFLT_HOST_NAME
}};

} // namespace

Setting Setting_of(unsigned type)
{
    return type < SETTINGS.size() ? SETTINGS[type] : SETTINGS[0];
}

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
