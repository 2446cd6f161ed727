#include "convert.h"

#include "hex.h"
#include "script.h"

#include <array>
#include <cstdarg>
#include <cstdint>

namespace {

enum Step { STEP_NEXT, STEP_INVALID, STEP_READ_ERROR };

struct Run {
    Script script;
    std::FILE *console;
    Image *image;
    Given_settings *given; // nullptr: not listed
    std::int32_t type;
    Value val;
};

// Lists an accepted setting with the value as it was read.
Step Accept(Run &run)
{
    if (run.given != nullptr && run.given->count < run.given->items.size())
        run.given->items[run.given->count++] = {static_cast<unsigned>(run.type), run.val};
    return STEP_NEXT;
}

// Prints on the console, when there is one.
[[gnu::format(printf, 2, 3)]] void Say(const Run &run, const char *format, ...)
{
    if (run.console == nullptr)
        return;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(run.console, format, args);
    va_end(args);
}

std::span<const std::uint8_t> Bytes_of(const Value &val)
{
    return {reinterpret_cast<const std::uint8_t *>(val.text.data()), val.len};
}

Step Refuse(Run &run, const char *message)
{
    Say(run, "%s", message);
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
        Say(run, "\nValue too long for type: %d", run.type);
        return STEP_INVALID;
    case SCRIPT_NUL:
        Say(run, "\nIn valid character for type: %d", run.type);
        return STEP_INVALID;
    case SCRIPT_END:
    case SCRIPT_NOT_NUMBER:
        break;
    }
    Say(run, "\nMissing value for type: %d", run.type);
    return STEP_INVALID;
}

Step Put(Run &run, std::span<const std::uint8_t> data, bool terminate)
{
    if (!Image_addRecord(*run.image, static_cast<std::uint8_t>(run.type), data, terminate))
        return Refuse_read(run, SCRIPT_TOO_LONG);
    return Accept(run);
}

Step Put_number(Run &run, const Setting &setting)
{
    std::int32_t number = 0;
    Step step = Refuse_read(run, Script_readWholeNumber(run.script, number));
    if (step != STEP_NEXT)
        return step;
    if (number < setting.min || number > setting.max) {
        Say(run, setting.refusal, number);
        return STEP_INVALID;
    }
    const std::array<std::uint8_t, 1> byte{static_cast<std::uint8_t>(number)};
    if (run.given != nullptr) // listed as its decimal text
        run.val.len = static_cast<std::size_t>(std::snprintf(run.val.text.data(), run.val.text.size(), "%d", number));
    return Put(run, byte, false);
}

Script_result Read_text(Run &run, const Setting &setting)
{
    switch (setting.reading) {
    case READ_REST_OF_LINE:
        return Script_readRestOfLine(run.script, run.val, setting.longest);
    case READ_LINE:
        return Script_readLine(run.script, run.val, setting.longest);
    default: // READ_TOKEN; numbers and no setting do not come here
        return Script_readToken(run.script, run.val, setting.longest);
    }
}

// The MAC address and the WEP key: two hex digits a byte, as many bytes as
// the setting's min or its max.
Step Put_hex(Run &run, const Setting &setting)
{
    std::array<std::uint8_t, VALUE_MAX / 2> bytes{};
    std::size_t len = run.val.len / 2;
    if ((len != static_cast<std::size_t>(setting.min) && len != static_cast<std::size_t>(setting.max)) ||
        !Hex_decode({run.val.text.data(), run.val.len}, std::span(bytes).first(len)))
        return Refuse(run, setting.refusal);
    if (setting.kind == DATA_MAC) {
        Image_setMac(*run.image, std::span(bytes).first<MAC_ADDR_LEN>());
        return Accept(run);
    }
    return Put(run, std::span(bytes).first(len), false);
}

// Reads, echoes, tests and stores the value of one setting. The echo comes
// before the test: hex values alone, texts with their length.
Step Handle_setting(Run &run, const Setting &setting)
{
    if (setting.kind == DATA_NUMBER)
        return Put_number(run, setting);
    Step step = Refuse_read(run, Read_text(run, setting));
    if (step != STEP_NEXT)
        return step;
    if (setting.kind == DATA_MAC || setting.kind == DATA_KEY) {
        Say(run, "\n%s", run.val.text.data());
        return Put_hex(run, setting);
    }
    Say(run, "\n%s, %d", run.val.text.data(), static_cast<int>(run.val.len));
    if (run.val.len < static_cast<std::size_t>(setting.min) || run.val.len > static_cast<std::size_t>(setting.max))
        return Refuse(run, setting.refusal);
    return Put(run, Bytes_of(run.val), setting.kind == DATA_TEXT_Z);
}

// A type number outside the table is reported and its line passed over.
Step Handle_unknown(Run &run)
{
    Say(run, "%s", "\nIn valid type");
    return Script_skipLine(run.script) == SCRIPT_OK ? STEP_NEXT : STEP_READ_ERROR;
}

// Where a type number is due, a word that is no number ends the script when
// it is its last word; with more after it, the run is refused with refusal.
Convert_status End_at_word(Run &run, const char *done, const char *refusal)
{
    switch (Script_skipWord(run.script)) {
    case SCRIPT_END:
        Say(run, "%s", done);
        return CONVERT_DONE;
    case SCRIPT_READ_ERROR:
        return CONVERT_READ_ERROR;
    default:
        Say(run, "%s", refusal);
        return CONVERT_INVALID;
    }
}

// After the last type number that is read, only blanks or one last word that
// is no number may follow.
Convert_status End_after_last(Run &run)
{
    const char *refusal = "\nMore than 15 type numbers";
    switch (Script_readNumber(run.script, run.type)) {
    case SCRIPT_END:
        return CONVERT_DONE;
    case SCRIPT_READ_ERROR:
        return CONVERT_READ_ERROR;
    case SCRIPT_NOT_NUMBER:
        return End_at_word(run, "", refusal);
    default:
        Say(run, "%s", refusal);
        return CONVERT_INVALID;
    }
}

} // namespace

Convert_status Convert_script(std::FILE *fpIn, std::FILE *console, Image &image, Given_settings *given)
{
    Run run{};
    Script_init(run.script, fpIn);
    run.console = console;
    run.image = &image;
    run.given = given;
    if (given != nullptr)
        given->count = 0;
    if (Script_skipMark(run.script) == SCRIPT_READ_ERROR)
        return CONVERT_READ_ERROR;

    static_assert(SCRIPT_TYPES_MAX == 15, "the refusal after the last type number names it");
    for (std::size_t i = 0; i < SCRIPT_TYPES_MAX; ++i) {
        switch (Script_readNumber(run.script, run.type)) {
        case SCRIPT_OK:
            break;
        case SCRIPT_READ_ERROR:
            return CONVERT_READ_ERROR;
        case SCRIPT_OUT_OF_RANGE:
            Refuse_read(run, SCRIPT_OUT_OF_RANGE);
            return CONVERT_INVALID;
        case SCRIPT_NOT_NUMBER:
            return End_at_word(run, "\nScript done !", "\nNot a type number");
        default: // SCRIPT_END
            Say(run, "\nScript done !");
            return CONVERT_DONE;
        }
        if (i == 0 && run.type == 0) {
            Say(run, "\nScript done !");
            return CONVERT_DONE;
        }
        Say(run, "\nType: %d", run.type);
        const Setting &setting = Setting_of(run.type < 0 ? 0u : static_cast<unsigned>(run.type));
        Step step = setting.kind == DATA_NONE ? Handle_unknown(run) : Handle_setting(run, setting);
        if (step == STEP_INVALID)
            return CONVERT_INVALID;
        if (step == STEP_READ_ERROR)
            return CONVERT_READ_ERROR;
    }
    return End_after_last(run);
}
