// Per-unit secrets from the kernel's random source, never from a seeded
// generator.
#pragma once

#include "mac.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Letters and digits without the look-alikes 0 O 1 l I: 57 characters, so
// that 16 of them carry about 93 bits.
inline constexpr std::string_view SECRET_ALPHABET = "23456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
inline constexpr std::size_t SECRET_TEXT_LEN = 16;
inline constexpr std::size_t SECRET_KEY_BYTES = 13; // a long WEP key, 26 hex digits

// Random bytes from the kernel, drawn a pool at a time rather than with a
// call per secret; each byte is handed out once.
struct Random_pool {
    std::array<std::uint8_t, 4096> bytes;
    std::size_t left; // bytes[0, left) are not handed out yet
};

// A pass phrase or password of out.size() characters of the alphabet, each
// drawn without bias; false when the kernel gives no random bytes.
bool Secret_text(Random_pool &pool, std::span<char> out);

// A WEP key of out.size() / 2 random bytes, as lower-case hex digits.
bool Secret_key(Random_pool &pool, std::span<char> out);

// Why a secret can be guessed from the unit's label or what the device
// sends, or nullptr: it holds one of the unit's macs addresses from mac on
// (its last six hex digits, and so its twelve, in either case; none looked
// for when macs is 0) or its serial.
const char *Secret_derived(std::string_view secret, std::size_t macs, Mac_address mac, std::string_view serial);

// A fresh WEP key (key) or text that Secret_derived finds nothing in: it is
// drawn again until it holds neither the unit's addresses nor its serial.
bool Secret_draw(Random_pool &pool, bool key, std::size_t macs, Mac_address mac, std::string_view serial,
                 std::span<char> out);

// ---- the secrets stage

struct Request;
struct Units;
struct Secrets;
struct Fault;

// Draws every unit's -g secrets, each holding neither the unit's addresses
// (where it has them, or foreseen ones) nor its serial. False when the kernel
// gives no random bytes (fault says why).
bool Batch_secrets(const Request &request, const Units &units, Secrets &secrets, Fault &fault);

// For a unit whose address moved: its -g secrets drawn again where they
// hold its new addresses. False as Batch_secrets.
bool Unit_drawAgain(const Units &units, std::size_t unit, Secrets &secrets, Fault &fault);
