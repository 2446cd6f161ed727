#include "convert.h"

#include "hex.h"
#include "script.h"

#include <array>
#include <cstdint>

namespace {

// The limits of the values that are numbers.
struct Range {
    std::int32_t min;
    std::int32_t max;
    const char *refusal; // printed with the value
};

constexpr Range CHANNEL_RANGE{0, 165, "\nIn valid channel: %d"};
constexpr Range SECURITY_RANGE{0, 128, "\nIn valid security: %d"};
constexpr Range WEP_INDEX_RANGE{1, 4, "\nIn valid wep key id: %d"};

constexpr std::size_t PASSPHRASE_MIN = 8;
constexpr std::size_t PASSPHRASE_MAX = 63;
constexpr std::size_t WEP_KEY_SHORT = 5;
constexpr std::size_t WEP_KEY_LONG = 13;

enum Step { STEP_NEXT, STEP_INVALID, STEP_READ_ERROR };

struct Run {
    Script script;
    std::FILE *console;
    Image *image;
    std::int32_t type;
    Value val;
};

std::span<const std::uint8_t> Bytes_of(const Value &val)
{
    return {reinterpret_cast<const std::uint8_t *>(val.text.data()), val.len};
}

Step Refuse(Run &run, const char *message)
{
    std::fputs(message, run.console);
    return STEP_INVALID;
}

// Reports a value that could not be read.
Step Refuse_read(Run &run, Script_result result)
{
    switch (result) {
    case SCRIPT_OK:
        return STEP_NEXT;
    case SCRIPT_READ_ERROR:
        return STEP_READ_ERROR;
    case SCRIPT_OUT_OF_RANGE:
        return Refuse(run, "\nNumber out of range");
    case SCRIPT_TOO_LONG:
        std::fprintf(run.console, "\nValue too long for type: %d", run.type);
        return STEP_INVALID;
    case SCRIPT_NUL:
        std::fprintf(run.console, "\nIn valid character for type: %d", run.type);
        return STEP_INVALID;
    case SCRIPT_END:
    case SCRIPT_NOT_NUMBER:
        break;
    }
    std::fprintf(run.console, "\nMissing value for type: %d", run.type);
    return STEP_INVALID;
}

void Echo(const Run &run)
{
    std::fprintf(run.console, "\n%s", run.val.text.data());
}

void Echo_withLength(const Run &run)
{
    std::fprintf(run.console, "\n%s, %d", run.val.text.data(), static_cast<int>(run.val.len));
}

Step Put(Run &run, std::span<const std::uint8_t> data, bool terminate)
{
    if (!Image_addRecord(*run.image, static_cast<std::uint8_t>(run.type), data, terminate)) {
        std::fprintf(run.console, "\nValue too long for type: %d", run.type);
        return STEP_INVALID;
    }
    return STEP_NEXT;
}

Step Put_number(Run &run, const Range &range)
{
    std::int32_t number = 0;
    Step step = Refuse_read(run, Script_readNumber(run.script, number));
    if (step != STEP_NEXT)
        return step;
    if (number < range.min || number > range.max) {
        std::fprintf(run.console, range.refusal, number);
        return STEP_INVALID;
    }
    const std::array<std::uint8_t, 1> byte{static_cast<std::uint8_t>(number)};
    return Put(run, byte, false);
}

Step Handle_mac(Run &run)
{
    Step step = Refuse_read(run, Script_readToken(run.script, run.val));
    if (step != STEP_NEXT)
        return step;
    Echo(run);
    std::array<std::uint8_t, MAC_ADDR_LEN> addr{};
    if (!Hex_decode({run.val.text.data(), run.val.len}, addr))
        return Refuse(run, "In valid mac\n\r");
    Image_setMac(*run.image, addr);
    return STEP_NEXT;
}

// SSID, user name and password: the token as it stands.
Step Handle_token(Run &run)
{
    Step step = Refuse_read(run, Script_readToken(run.script, run.val));
    if (step != STEP_NEXT)
        return step;
    Echo_withLength(run);
    return Put(run, Bytes_of(run.val), false);
}

Step Handle_channel(Run &run)
{
    return Put_number(run, CHANNEL_RANGE);
}

Step Handle_security(Run &run)
{
    return Put_number(run, SECURITY_RANGE);
}

Step Handle_wepIndex(Run &run)
{
    return Put_number(run, WEP_INDEX_RANGE);
}

Step Handle_wepKey(Run &run)
{
    Step step = Refuse_read(run, Script_readToken(run.script, run.val));
    if (step != STEP_NEXT)
        return step;
    Echo(run);
    std::array<std::uint8_t, WEP_KEY_LONG> key{};
    std::size_t len = run.val.len / 2;
    if ((len != WEP_KEY_SHORT && len != WEP_KEY_LONG) ||
        !Hex_decode({run.val.text.data(), run.val.len}, std::span(key).first(len)))
        return Refuse(run, "In valid wep key\n\r");
    return Put(run, std::span(key).first(len), false);
}

Step Handle_passphrase(Run &run)
{
    Step step = Refuse_read(run, Script_readToken(run.script, run.val));
    if (step != STEP_NEXT)
        return step;
    Echo_withLength(run);
    if (run.val.len < PASSPHRASE_MIN || run.val.len > PASSPHRASE_MAX)
        return Refuse(run, "\nIn valid pass phrase");
    return Put(run, Bytes_of(run.val), false);
}

// Manufacturer, model number, model type and device name: the rest of the
// line, stored with a 0x00 byte after it.
Step Handle_text(Run &run)
{
    Step step = Refuse_read(run, Script_readRestOfLine(run.script, run.val, TEXT_MAX));
    if (step != STEP_NEXT)
        return step;
    Echo_withLength(run);
    return Put(run, Bytes_of(run.val), true);
}

// The host name keeps its newline byte.
Step Handle_hostName(Run &run)
{
    Step step = Refuse_read(run, Script_readLine(run.script, run.val));
    if (step != STEP_NEXT)
        return step;
    Echo_withLength(run);
    return Put(run, Bytes_of(run.val), false);
}

// A type number outside 1 to 14 is reported and its line passed over.
Step Handle_unknown(Run &run)
{
    std::fputs("\nIn valid type", run.console);
    return Script_skipLine(run.script) == SCRIPT_OK ? STEP_NEXT : STEP_READ_ERROR;
}

using Handler = Step (*)(Run &);

constexpr std::array<Handler, ZOL_FACT_DFLT_MAX_ID> HANDLERS{
    Handle_unknown,    // 0
    Handle_mac,        // ZOL_FACT_DFLT_MAC_ID
    Handle_token,      // ZOL_FACT_DFLT_SSID_ID
    Handle_channel,    // ZOL_FACT_DFLT_CHANNEL_ID
    Handle_security,   // ZOL_FACT_DFLT_SECURITY_ID
    Handle_wepIndex,   // ZOL_FACT_DFLT_WEP_INDEX_ID
    Handle_wepKey,     // ZOL_FACT_DFLT_WEP_KEY_ID
    Handle_passphrase, // ZOL_FACT_DFLT_PASSPHRASE_ID
    Handle_token,      // ZOL_FACT_DFLT_USER_NAME_ID
    Handle_token,      // ZOL_FACT_DFLT_PASSWORD_ID
    Handle_text,       // ZOL_FACT_DFLT_MANUFACTURER_ID
    Handle_text,       // ZOL_FACT_DFLT_MODEL_NUMER_ID
    Handle_text,       // ZOL_FACT_DFLT_MODEL_TYPE_ID
    Handle_text,       // ZOL_FACT_DFLT_DEVICE_NAME_ID
    Handle_hostName,   // ZOL_FACT_DFLT_HOST_NAME
};

Handler Handler_for(std::int32_t type)
{
    if (type < 0 || type >= ZOL_FACT_DFLT_MAX_ID)
        return Handle_unknown;
    return HANDLERS[static_cast<std::size_t>(type)];
}

} // namespace

Convert_status Convert_script(std::FILE *fpIn, std::FILE *console, Image &image)
{
    Run run{};
    Script_init(run.script, fpIn);
    run.console = console;
    run.image = &image;

    for (std::size_t i = 0; i < IMAGE_TYPES_MAX; ++i) {
        Script_result result = Script_readNumber(run.script, run.type);
        if (result == SCRIPT_READ_ERROR)
            return CONVERT_READ_ERROR;
        if (result == SCRIPT_OUT_OF_RANGE) {
            Refuse_read(run, result);
            return CONVERT_INVALID;
        }
        // The script ends at end of input, at text that is no number, and at
        // a first type number of 0.
        if (result != SCRIPT_OK || (i == 0 && run.type == 0)) {
            std::fputs("\nScript done !", console);
            return CONVERT_DONE;
        }
        std::fprintf(console, "\nType: %d", run.type);
        Step step = Handler_for(run.type)(run);
        if (step == STEP_INVALID)
            return CONVERT_INVALID;
        if (step == STEP_READ_ERROR)
            return CONVERT_READ_ERROR;
    }
    return CONVERT_DONE;
}
