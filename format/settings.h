// The settings: one row per type number with everything the programs know of
// it, its name, how a script gives its value, the limits of the value and how
// its data is encoded. Every rule about a type is read from its row.
#pragma once

#include "record.h"

#include <array>
#include <cstddef>
#include <cstdint>

// The longest values a script can give: a record holds at most
// RECORD_DATA_MAX data bytes, a text of types 10 to 13 one fewer for its
// 0x00 ending, and a host name line is read 127 characters at most.
inline constexpr std::size_t VALUE_MAX = RECORD_DATA_MAX;
inline constexpr std::size_t TEXT_MAX = RECORD_DATA_MAX - 1;
inline constexpr std::size_t HOST_LINE_MAX = 127;

// The most type numbers one script gives.
inline constexpr std::size_t SCRIPT_TYPES_MAX = 15;

// The blanks that separate the items of a script.
constexpr bool Script_isBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// How a script gives the value of a setting.
enum Value_reading : std::uint8_t {
    READ_NONE,         // not a setting
    READ_TOKEN,        // blanks skipped, then one word
    READ_INTEGER,      // a decimal number that is a whole word, 32-bit signed
    READ_REST_OF_LINE, // one character dropped, then up to the line end
    READ_LINE,         // as the rest of a line, keeping the newline byte
};

// How the data of a setting is encoded.
enum Data_kind : std::uint8_t {
    DATA_NONE,   // not a setting
    DATA_MAC,    // the six address bytes, in the MAC block only
    DATA_TEXT,   // characters, no terminator
    DATA_NUMBER, // one byte, the value
    DATA_KEY,    // bytes, two hex digits each
    DATA_TEXT_Z, // characters, then one 0x00 counted in N
};

struct Setting {
    std::uint8_t type;     // its row number; 0 for the row of no setting
    const char *name;      // as recdump prints it and batch tables name it
    Value_reading reading;
    Data_kind kind;
    std::size_t longest;   // characters the reading takes at most
    // DATA_NUMBER: the values allowed; DATA_TEXT and DATA_TEXT_Z: the lengths
    // allowed; DATA_MAC and DATA_KEY: the byte count, min or max exactly.
    std::int32_t min;
    std::int32_t max;
    const char *refusal;   // printed when the rule fails; a number's takes %d
};

inline constexpr std::array<Setting, ZOL_FACT_DFLT_MAX_ID> SETTINGS{{
    {0, "", READ_NONE, DATA_NONE, 0, 0, 0, nullptr},
    {ZOL_FACT_DFLT_MAC_ID, "mac", READ_TOKEN, DATA_MAC, VALUE_MAX, MAC_ADDR_LEN, MAC_ADDR_LEN,
     "In valid mac\n\r"},
    {ZOL_FACT_DFLT_SSID_ID, "ssid", READ_TOKEN, DATA_TEXT, VALUE_MAX, 0, VALUE_MAX, nullptr},
    {ZOL_FACT_DFLT_CHANNEL_ID, "channel", READ_INTEGER, DATA_NUMBER, 0, 0, 165,
     "\nIn valid channel: %d"},
    {ZOL_FACT_DFLT_SECURITY_ID, "security", READ_INTEGER, DATA_NUMBER, 0, 0, 128,
     "\nIn valid security: %d"},
    {ZOL_FACT_DFLT_WEP_INDEX_ID, "wep-index", READ_INTEGER, DATA_NUMBER, 0, 1, 4,
     "\nIn valid wep key id: %d"},
    {ZOL_FACT_DFLT_WEP_KEY_ID, "wep-key", READ_TOKEN, DATA_KEY, VALUE_MAX, 5, 13,
     "In valid wep key\n\r"},
    {ZOL_FACT_DFLT_PASSPHRASE_ID, "passphrase", READ_TOKEN, DATA_TEXT, VALUE_MAX, 8, 63,
     "\nIn valid pass phrase"},
    {ZOL_FACT_DFLT_USER_NAME_ID, "user-name", READ_TOKEN, DATA_TEXT, VALUE_MAX, 0, VALUE_MAX, nullptr},
    {ZOL_FACT_DFLT_PASSWORD_ID, "password", READ_TOKEN, DATA_TEXT, VALUE_MAX, 0, VALUE_MAX, nullptr},
    {ZOL_FACT_DFLT_MANUFACTURER_ID, "manufacturer", READ_REST_OF_LINE, DATA_TEXT_Z, TEXT_MAX, 0,
     TEXT_MAX, nullptr},
    {ZOL_FACT_DFLT_MODEL_NUMER_ID, "model-number", READ_REST_OF_LINE, DATA_TEXT_Z, TEXT_MAX, 0,
     TEXT_MAX, nullptr},
    {ZOL_FACT_DFLT_MODEL_TYPE_ID, "model-type", READ_REST_OF_LINE, DATA_TEXT_Z, TEXT_MAX, 0,
     TEXT_MAX, nullptr},
    {ZOL_FACT_DFLT_DEVICE_NAME_ID, "device-name", READ_REST_OF_LINE, DATA_TEXT_Z, TEXT_MAX, 0,
     TEXT_MAX, nullptr},
    {ZOL_FACT_DFLT_HOST_NAME, "host-name", READ_LINE, DATA_TEXT, HOST_LINE_MAX, 0, HOST_LINE_MAX,
     nullptr},
}};

// A type number without its row leaves a zeroed row behind, which fails here.
consteval bool Settings_complete()
{
    for (std::size_t i = 1; i < SETTINGS.size(); ++i)
        if (SETTINGS[i].type != i || SETTINGS[i].name == nullptr || SETTINGS[i].reading == READ_NONE ||
            SETTINGS[i].kind == DATA_NONE)
            return false;
    // A rule that can fail has its message.
    for (const Setting &s : SETTINGS) {
        bool text = s.kind == DATA_TEXT || s.kind == DATA_TEXT_Z;
        bool canFail = s.kind != DATA_NONE && (!text || s.min > 1 || s.max < static_cast<std::int32_t>(s.longest));
        if (canFail && s.refusal == nullptr)
            return false;
    }
    return SETTINGS[0].kind == DATA_NONE;
}
static_assert(Settings_complete(), "every type number needs its row in SETTINGS");

// The row of a type number; the row of no setting outside the table.
constexpr const Setting &Setting_of(unsigned type)
{
    return type < SETTINGS.size() ? SETTINGS[type] : SETTINGS[0];
}

// The type number of a setting name, or 0 when no setting has that name.
unsigned Setting_named(const char *name);

// True for the types that are written as records (all but the MAC address).
constexpr bool Setting_isRecord(unsigned type)
{
    Data_kind kind = Setting_of(type).kind;
    return kind != DATA_NONE && kind != DATA_MAC;
}

// The first and last type numbers that records may carry.
inline constexpr unsigned RECORD_TYPE_FIRST = [] {
    unsigned type = 1;
    while (!Setting_isRecord(type))
        ++type;
    return type;
}();
inline constexpr unsigned RECORD_TYPE_LAST = SETTINGS.size() - 1;
static_assert(Setting_isRecord(RECORD_TYPE_LAST));

// The most data bytes a record of the setting holds: one byte of a number,
// the key's bytes, a text at its longest (with its 0x00 for types 10 to 13).
constexpr std::size_t Setting_dataMax(const Setting &setting)
{
    auto max = static_cast<std::size_t>(setting.max);
    switch (setting.kind) {
    case DATA_NUMBER:
        return 1;
    case DATA_KEY:
        return max;
    case DATA_TEXT:
        return max < setting.longest ? max : setting.longest;
    case DATA_TEXT_Z:
        return max + 1;
    default: // the MAC address is no record
        return 0;
    }
}

// The longest record file there can be: what a script of the most settings
// gives, each a record of the longest data, or the MAC block and one record
// fewer. A reader reads no more than this and one byte, which tells that a
// file is longer.
inline constexpr std::size_t RECORD_FILE_MAX = [] {
    std::size_t longest = 0;
    for (const Setting &setting : SETTINGS)
        if (Setting_isRecord(setting.type) && RECORD_HEADER_LEN + Setting_dataMax(setting) > longest)
            longest = RECORD_HEADER_LEN + Setting_dataMax(setting);
    std::size_t withBlock = MAC_BLOCK_LEN + (SCRIPT_TYPES_MAX - 1) * longest;
    return withBlock > SCRIPT_TYPES_MAX * longest ? withBlock : SCRIPT_TYPES_MAX * longest;
}();
static_assert(RECORD_FILE_MAX == 3870, "15 records of 3 + 255 bytes");
