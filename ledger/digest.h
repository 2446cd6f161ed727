// SHA-256 digests, from OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Digest = std::array<std::uint8_t, 32>;

Digest Sha256(const std::uint8_t *bytes, std::size_t len);

// The SHA-256 of the file at path; false with errno set when it cannot be read.
bool Sha256_file(const char *path, Digest &digest);

// 64 lower-case hex digits.
std::string Digest_hex(const Digest &digest);
