#include "secret.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <sys/random.h>

namespace {

bool Kernel_bytes(std::uint8_t *bytes, std::size_t len)
{
    while (len > 0) {
        ssize_t got = getrandom(bytes, len, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        len -= static_cast<std::size_t>(got);
    }
    return true;
}

// Random bytes, drawn from the kernel a pool at a time rather than with a
// call per secret; a byte is handed out once.
bool Random_bytes(std::uint8_t *bytes, std::size_t len)
{
    static std::array<std::uint8_t, 4096> pool;
    static std::size_t left = 0;
    for (; len > 0; --len) {
        if (left == 0) {
            if (!Kernel_bytes(pool.data(), pool.size()))
                return false;
            left = pool.size();
        }
        *bytes++ = pool[--left];
        pool[left] = 0;
    }
    return true;
}

} // namespace

bool Secret_text(std::string &out)
{
    // A byte below the largest multiple of the alphabet's size picks a
    // character without bias; the bytes above it are drawn again.
    constexpr unsigned size = SECRET_ALPHABET.size();
    constexpr unsigned fair = 256 / size * size;
    std::array<std::uint8_t, 32> pool{};
    out.clear();
    while (out.size() < SECRET_TEXT_LEN) {
        if (!Random_bytes(pool.data(), pool.size()))
            return false;
        for (std::uint8_t byte : pool)
            if (byte < fair && out.size() < SECRET_TEXT_LEN)
                out.push_back(SECRET_ALPHABET[byte % size]);
    }
    return true;
}

bool Secret_key(std::string &out)
{
    std::array<std::uint8_t, SECRET_KEY_BYTES> key{};
    if (!Random_bytes(key.data(), key.size()))
        return false;
    out.clear();
    for (std::uint8_t byte : key) {
        out.push_back("0123456789abcdef"[byte >> 4]);
        out.push_back("0123456789abcdef"[byte & 0x0f]);
    }
    return true;
}

namespace {

bool Contains_folded(std::string_view text, std::string_view part)
{
    if (part.empty())
        return false;
    auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
}

} // namespace

const char *Secret_derived(std::string_view secret, bool hasMac, Mac_address mac, std::string_view serial)
{
    if (hasMac && Contains_folded(secret, std::string_view(Mac_hex(mac).data()).substr(6)))
        return "holds the unit's address, a public identifier";
    if (Contains_folded(secret, serial))
        return "holds the unit's serial, a public identifier";
    return nullptr;
}

bool Secret_draw(bool key, bool hasMac, Mac_address mac, std::string_view serial, std::string &out)
{
    // A draw holds neither with a chance of at least 1 in 6 (26 hex digits
    // of a WEP key against a serial of one hex digit), far more for a longer
    // serial: the loop ends after a few draws at most.
    do
        if (!(key ? Secret_key(out) : Secret_text(out)))
            return false;
    while (Secret_derived(out, hasMac, mac, serial) != nullptr);
    return true;
}
