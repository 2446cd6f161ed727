// The MAC address: six bytes, first byte first, held as the low 48 bits of
// a number so that addresses compare and count as numbers. Written as 12
// lower-case hex digits (file names, the ledger) or with colons
// (00:50:c2:a1:b2:c3, for people: manifests and messages).
#pragma once

#include "record.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

struct Mac_address {
    std::uint64_t bits; // byte 0 in bits 47 to 40
    friend constexpr bool operator==(Mac_address, Mac_address) = default;
    friend constexpr auto operator<=>(Mac_address, Mac_address) = default;
};

inline constexpr std::uint64_t MAC_BITS_MAX = 0xffffffffffffULL;

// 12 hex digits and a NUL; 17 characters with colons and a NUL.
using Mac_hexText = std::array<char, 2 * MAC_ADDR_LEN + 1>;
using Mac_colonText = std::array<char, 3 * MAC_ADDR_LEN>;

// Exactly 12 hex digits, no separators, as a script gives an address.
bool Mac_parse(std::string_view text, Mac_address &mac);

// As a person types an address: 12 hex digits, or six pairs joined by colons.
bool Mac_parseTyped(std::string_view text, Mac_address &mac);

// As a label or a device prints an address, in any case: 12 hex digits; six
// pairs joined by colons or by dashes (00-50-C2-A1-B2-C3), one separator
// throughout; or three groups of four joined by dots (0050.c2a1.b2c3).
bool Mac_parseAny(std::string_view text, Mac_address &mac);

Mac_address Mac_fromBytes(std::span<const std::uint8_t, MAC_ADDR_LEN> bytes);
void Mac_toBytes(Mac_address mac, std::span<std::uint8_t, MAC_ADDR_LEN> bytes);

Mac_hexText Mac_hex(Mac_address mac);
Mac_colonText Mac_colons(Mac_address mac);

// Why mac cannot be a device's own address, or nullptr: all zeros, or the
// group bit (0x01 of the first byte) set.
const char *Mac_misfit(Mac_address mac);

// An address range FIRST-LAST: both individual addresses, FIRST not above
// LAST, within one IEEE block (the first three bytes shared).
struct Mac_range {
    Mac_address first;
    Mac_address last;
};

// Parses "FIRST-LAST" (12 hex digits each, or the colon form); nullptr or
// why the text is no range, for a message after "-m: ".
const char *Mac_parseRange(std::string_view text, Mac_range &range);
