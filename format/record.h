// The record file and the MAC block: the one description of the bytes that
// the converter writes and the checker reads.
//
// Record file: records back to back, no header, count or trailer.
//   offset 0  1 byte   checksum, XOR of the N data bytes
//   offset 1  1 byte   type number (ZOL_FACT_DFLT_ID), low 8 bits
//   offset 2  1 byte   N, the number of data bytes
//   offset 3  N bytes  data
//
// MAC block: 8 bytes, at offset 0 of a record file when the script gave one.
//   offset 0  1 byte   checksum, XOR of bytes 1 to 7
//   offset 1  1 byte   0x07, the length of the body (this byte and the address)
//   offset 2  6 bytes  the MAC address, first byte first
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum ZOL_FACT_DFLT_ID : std::uint8_t {
    ZOL_FACT_DFLT_MAC_ID = 1,
    ZOL_FACT_DFLT_SSID_ID = 2,
    ZOL_FACT_DFLT_CHANNEL_ID = 3,
    ZOL_FACT_DFLT_SECURITY_ID = 4,
    ZOL_FACT_DFLT_WEP_INDEX_ID = 5,
    ZOL_FACT_DFLT_WEP_KEY_ID = 6,
    ZOL_FACT_DFLT_PASSPHRASE_ID = 7,
    ZOL_FACT_DFLT_USER_NAME_ID = 8,
    ZOL_FACT_DFLT_PASSWORD_ID = 9,
    ZOL_FACT_DFLT_MANUFACTURER_ID = 10,
    ZOL_FACT_DFLT_MODEL_NUMER_ID = 11,
    ZOL_FACT_DFLT_MODEL_TYPE_ID = 12,
    ZOL_FACT_DFLT_DEVICE_NAME_ID = 13,
    ZOL_FACT_DFLT_HOST_NAME = 14,
    ZOL_FACT_DFLT_MAX_ID = 15, // one past the last setting; never written
};

inline constexpr std::size_t RECORD_OFF_CHKSUM = 0;
inline constexpr std::size_t RECORD_OFF_TYPE = 1;
inline constexpr std::size_t RECORD_OFF_LEN = 2;
inline constexpr std::size_t RECORD_HEADER_LEN = 3;
inline constexpr std::size_t RECORD_DATA_MAX = 255;

inline constexpr std::size_t MAC_ADDR_LEN = 6;
inline constexpr std::size_t MAC_BODY_LEN = 7;
inline constexpr std::size_t MAC_BLOCK_LEN = 8;
inline constexpr std::uint8_t MAC_BODY_TAG = 0x07;

// XOR of the first len bytes of buff, starting from 0.
std::uint8_t Chksum_calculate(const std::uint8_t *buff, std::uint8_t len);

// Lays out the MAC block of addr into block.
void Mac_block_form(std::span<const std::uint8_t, MAC_ADDR_LEN> addr,
                    std::span<std::uint8_t, MAC_BLOCK_LEN> block);

// True when bytes holds at least a whole block whose length byte is 0x07 and
// whose checksum is the XOR of bytes 1 to 7.
bool Mac_block_valid(std::span<const std::uint8_t> bytes);
