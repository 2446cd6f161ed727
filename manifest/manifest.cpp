#include "manifest.h"

#include "settings.h"

#include <algorithm>

std::string Manifest_file(Mac_address mac)
{
    return std::string(Mac_hex(mac).data()) + ".bin";
}

bool Manifest_isFile(std::string_view name, Mac_address &mac)
{
    return name.size() == 16 && name.ends_with(".bin") && Mac_parse(name.substr(0, 12), mac) &&
           name == Manifest_file(mac);
}

namespace {

void Wifi_escaped(std::string &out, std::string_view text)
{
    for (char c : text) {
        if (c == '\\' || c == ';' || c == ',' || c == ':' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
}

} // namespace

std::string Manifest_wifi(std::string_view ssid, std::string_view passphrase, std::string_view key)
{
    std::string wifi = passphrase.empty() ? key.empty() ? "WIFI:T:nopass;S:" : "WIFI:T:WEP;S:" : "WIFI:T:WPA;S:";
    Wifi_escaped(wifi, ssid);
    if (!passphrase.empty() || !key.empty()) {
        wifi += ";P:";
        Wifi_escaped(wifi, passphrase.empty() ? key : passphrase);
    }
    return wifi + ";;";
}

void Manifest_writeHeader(std::FILE *out, const Manifest_layout &layout)
{
    std::vector<std::string_view> row{MANIFEST_UNIT};
    row.insert(row.end(), layout.carried.begin(), layout.carried.end());
    row.push_back(MANIFEST_MAC);
    if (layout.lastMac)
        row.push_back(MANIFEST_LAST_MAC);
    for (unsigned type : layout.types)
        row.push_back(Setting_of(type).name);
    for (const char *name : {MANIFEST_FILE, MANIFEST_SHA256, MANIFEST_WIFI})
        row.push_back(name);
    Csv_writeRow(out, row);
}

void Manifest_writeRow(std::FILE *out, const Manifest_layout &layout, const Manifest_unit &unit)
{
    const std::string number = std::to_string(unit.number);
    const Mac_colonText mac = Mac_colons(unit.mac);
    const Mac_colonText last = Mac_colons(unit.last);
    const std::string file = Manifest_file(unit.mac);
    std::string_view wifi[3]; // the last ssid, pass phrase and WEP key
    for (std::size_t k = 0; k < layout.types.size(); ++k) {
        unsigned type = layout.types[k];
        std::size_t at = type == ZOL_FACT_DFLT_SSID_ID         ? 0
                         : type == ZOL_FACT_DFLT_PASSPHRASE_ID ? 1
                         : type == ZOL_FACT_DFLT_WEP_KEY_ID    ? 2
                                                               : 3;
        if (at < 3 && !unit.values[k].empty())
            wifi[at] = unit.values[k];
    }
    const std::string text = Manifest_wifi(wifi[0], wifi[1], wifi[2]);
    std::vector<std::string_view> row{number};
    row.insert(row.end(), unit.carried.begin(), unit.carried.end());
    row.push_back(mac.data());
    if (layout.lastMac)
        row.push_back(last.data());
    row.insert(row.end(), unit.values.begin(), unit.values.end());
    for (std::string_view cell : {std::string_view(file), unit.sha256, std::string_view(text)})
        row.push_back(cell);
    Csv_writeRow(out, row);
}
