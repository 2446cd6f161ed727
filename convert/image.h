// The record file as it is built in memory: room for the MAC block at the
// front, then the records in script order. It is written in one go when the
// run ends, so that the block stands first wherever the script gives it.
#pragma once

#include "settings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

inline constexpr std::size_t IMAGE_MAX =
    MAC_BLOCK_LEN + SCRIPT_TYPES_MAX * (RECORD_HEADER_LEN + RECORD_DATA_MAX);

struct Image {
    std::array<std::uint8_t, IMAGE_MAX> bytes;
    std::size_t end;  // one past the last record byte
    bool hasMac;      // bytes 0 to 7 hold a MAC block
};

void Image_init(Image &image);

// Sets the MAC block; a later address replaces an earlier one.
void Image_setMac(Image &image, std::span<const std::uint8_t, MAC_ADDR_LEN> addr);

// Appends a record of data; with terminate, a 0x00 byte follows the data and
// counts in N but not in the checksum. Fails when the record does not fit.
bool Image_addRecord(Image &image, std::uint8_t type, std::span<const std::uint8_t> data,
                     bool terminate);

// The bytes of the file: the MAC block if there is one, then the records.
std::span<const std::uint8_t> Image_bytes(const Image &image);

// Writes the file to fp; false on a short write.
bool Image_write(const Image &image, std::FILE *fp);
