#include "secret.h"

#include "batch.h"

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

bool Random_bytes(Random_pool &pool, std::uint8_t *bytes, std::size_t len)
{
    for (; len > 0; --len) {
        if (pool.left == 0) {
            if (!Kernel_bytes(pool.bytes.data(), pool.bytes.size()))
                return false;
            pool.left = pool.bytes.size();
        }
        *bytes++ = pool.bytes[--pool.left];
        pool.bytes[pool.left] = 0;
    }
    return true;
}

} // namespace

bool Secret_text(Random_pool &pool, std::span<char> out)
{
    // A byte below the largest multiple of the alphabet's size picks a
    // character without bias; the bytes above it are drawn again.
    constexpr unsigned size = SECRET_ALPHABET.size();
    constexpr unsigned fair = 256 / size * size;
    std::size_t made = 0;
    while (made < out.size()) {
        std::uint8_t byte = 0;
        if (!Random_bytes(pool, &byte, 1))
            return false;
        if (byte < fair)
            out[made++] = SECRET_ALPHABET[byte % size];
    }
    return true;
}

bool Secret_key(Random_pool &pool, std::span<char> out)
{
    for (std::size_t at = 0; at + 1 < out.size(); at += 2) {
        std::uint8_t byte = 0;
        if (!Random_bytes(pool, &byte, 1))
            return false;
        out[at] = "0123456789abcdef"[byte >> 4];
        out[at + 1] = "0123456789abcdef"[byte & 0x0f];
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

const char *Secret_derived(std::string_view secret, std::size_t macs, Mac_address mac, std::string_view serial)
{
    for (std::size_t a = 0; a < macs; ++a)
        if (Contains_folded(secret, std::string_view(Mac_hex({mac.bits + a}).data()).substr(6)))
            return "holds the unit's address, a public identifier";
    if (Contains_folded(secret, serial))
        return "holds the unit's serial, a public identifier";
    return nullptr;
}

bool Secret_draw(Random_pool &pool, bool key, std::size_t macs, Mac_address mac, std::string_view serial,
                 std::span<char> out)
{
    // A draw holds neither with a chance of at least 1 in 6 (26 hex digits
    // of a WEP key against a serial of one hex digit), far more for a longer
    // serial: the loop ends after a few draws at most.
    do
        if (!(key ? Secret_key(pool, out) : Secret_text(pool, out)))
            return false;
    while (Secret_derived({out.data(), out.size()}, macs, mac, serial) != nullptr);
    return true;
}

bool Batch_secrets(const Request &request, const Units &units, Secrets &secrets, Fault &fault)
{
    secrets.types = request.generate;
    std::size_t perUnit = 0;
    for (unsigned type : secrets.types)
        perUnit += Secret_length(type);
    secrets.text.assign(units.list.size() * perUnit, '\0');
    for (std::size_t u = 0; u < units.list.size(); ++u) {
        const Unit &unit = units.list[u];
        for (std::size_t g = 0; g < secrets.types.size(); ++g)
            if (!Secret_draw(secrets.random, secrets.types[g] == ZOL_FACT_DFLT_WEP_KEY_ID, Unit_macs(units, unit), unit.mac,
                             Serial_of(units, u), Unit_secretRoom(secrets, u, g)))
                return Fault_system(fault, "getrandom", errno);
    }
    return true;
}

bool Unit_drawAgain(const Units &units, std::size_t u, Secrets &secrets, Fault &fault)
{
    const Unit &unit = units.list[u];
    std::string_view serial = Serial_of(units, u);
    for (std::size_t g = 0; g < secrets.types.size(); ++g)
        if (Secret_derived(Unit_secret(secrets, u, g), Unit_macs(units, unit), unit.mac, serial) != nullptr &&
            !Secret_draw(secrets.random, secrets.types[g] == ZOL_FACT_DFLT_WEP_KEY_ID, Unit_macs(units, unit), unit.mac,
                         serial, Unit_secretRoom(secrets, u, g)))
            return Fault_system(fault, "getrandom", errno);
    return true;
}
