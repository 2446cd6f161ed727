#include "digest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <openssl/evp.h>

Digest Sha256(const std::uint8_t *bytes, std::size_t len)
{
    // The algorithm is looked up once, not for every image.
    static EVP_MD *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    static EVP_MD_CTX *context = EVP_MD_CTX_new();
    Digest digest{};
    unsigned size = 0;
    if (sha256 == nullptr || context == nullptr || EVP_DigestInit_ex2(context, sha256, nullptr) != 1 ||
        EVP_DigestUpdate(context, bytes, len) != 1 || EVP_DigestFinal_ex(context, digest.data(), &size) != 1)
        std::abort(); // libcrypto without SHA-256: nothing could be trusted
    return digest;
}

bool Sha256_file(const char *path, Digest &digest)
{
    std::FILE *fp = std::fopen(path, "rb");
    if (fp == nullptr)
        return false;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    std::array<unsigned char, 65536> buf{};
    std::size_t n = 0;
    while (ok && (n = std::fread(buf.data(), 1, buf.size(), fp)) > 0)
        ok = EVP_DigestUpdate(context, buf.data(), n) == 1;
    ok = ok && !std::ferror(fp);
    int error = errno;
    unsigned size = 0;
    ok = ok && EVP_DigestFinal_ex(context, digest.data(), &size) == 1;
    EVP_MD_CTX_free(context);
    std::fclose(fp);
    errno = error;
    return ok;
}

std::string Digest_hex(const Digest &digest)
{
    std::string hex;
    for (std::uint8_t byte : digest) {
        hex.push_back("0123456789abcdef"[byte >> 4]);
        hex.push_back("0123456789abcdef"[byte & 0x0f]);
    }
    return hex;
}
