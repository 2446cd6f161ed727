// Fuzz target: any bytes as a record file, through the listing, the JSON
// document and the script. Besides surviving, whenever the bytes are taken
// as a script, that script, read and converted by the conversion core, must
// give back the same bytes.
#include "convert.h"
#include "dump.h"
#include "script.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Require(bool ok)
{
    if (!ok)
        std::abort();
}

// A script of 15 settings of the longest values is well below this.
std::array<char, 16384> script;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *sink = std::fopen("/dev/null", "w");
    if (size == 0)
        return 0; // a stream of no bytes cannot be opened on memory
    std::FILE *fp = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (fp == nullptr)
        return 0;
    Require(Dump_file(fp, sink, sink, DUMP_TEXT) != DUMP_READ_ERROR);
    Require(Dump_file(fp, sink, sink, DUMP_JSON) != DUMP_READ_ERROR);

    std::FILE *out = fmemopen(script.data(), script.size(), "w");
    Require(out != nullptr);
    Dump_status status = Dump_file(fp, out, sink, DUMP_SCRIPT);
    std::fflush(out);
    long length = std::ftell(out);
    std::fclose(out);
    std::fclose(fp);
    Require(status != DUMP_READ_ERROR && length >= 0 && static_cast<std::size_t>(length) < script.size());
    if (status != DUMP_OK)
        return 0;

    // The round trip: the script converts, without a refusal, into the bytes.
    Script in{};
    Script_initBytes(in, {script.data(), static_cast<std::size_t>(length)});
    static Script_given given;
    Script_readAll(in, given);
    Require(Script_complete(given));
    static Image image;
    Image_init(image);
    Require(!Convert_refused(Script_convert(given, image)));
    std::span<const std::uint8_t> bytes = Image_bytes(image);
    Require(bytes.size() == size && std::memcmp(bytes.data(), data, size) == 0);
    return 0;
}
