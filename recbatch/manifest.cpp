#include "manifest.h"

#include "csv.h"
#include "values.h"
#include "writer.h"

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

std::string Wifi_text(std::string_view ssid, std::string_view passphrase, std::string_view key)
{
    std::string wifi = passphrase.empty() ? key.empty() ? "WIFI:T:nopass;S:" : "WIFI:T:WEP;S:" : "WIFI:T:WPA;S:";
    Wifi_escaped(wifi, ssid);
    if (!passphrase.empty() || !key.empty()) {
        wifi += ";P:";
        Wifi_escaped(wifi, passphrase.empty() ? key : passphrase);
    }
    return wifi + ";;";
}

void Batch_manifest(const Batch &batch, std::FILE *out)
{
    const std::vector<unsigned> types = Manifest_types(batch);
    std::vector<std::string_view> row{"unit"};
    for (const Column &column : batch.columns)
        if (column.type == 0)
            row.push_back(column.name);
    row.push_back("mac");
    for (unsigned type : types)
        row.push_back(Setting_of(type).name);
    for (const char *name : {"file", "sha256", "wifi"})
        row.push_back(name);
    Csv_writeRow(out, row);

    Unit_values values{};
    for (std::size_t u = 0; u < batch.units.size(); ++u) {
        const Unit &unit = batch.units[u];
        Batch_values(batch, u, values);
        std::string number = std::to_string(u + 1);
        std::string mac = Mac_text(unit.mac);
        std::string file = values.macText.data() + std::string(".bin");
        std::string sha256 = Digest_hex(unit.sha256);
        row.assign(1, number);
        for (std::size_t c = 0; c < batch.columns.size(); ++c)
            if (batch.columns[c].type == 0)
                row.push_back(batch.rows[u][c]);
        row.push_back(mac);
        std::size_t first = row.size();
        row.resize(first + types.size());
        std::string_view ssid, passphrase, key;
        for (std::size_t k = 0; k < values.count; ++k) {
            const Unit_value &value = values.items[k];
            std::string_view text = Script_lineText(value.value);
            if (value.value.type != ZOL_FACT_DFLT_MAC_ID)
                row[first + value.slot] = text;
            if (value.value.type == ZOL_FACT_DFLT_SSID_ID)
                ssid = text;
            else if (value.value.type == ZOL_FACT_DFLT_PASSPHRASE_ID)
                passphrase = text;
            else if (value.value.type == ZOL_FACT_DFLT_WEP_KEY_ID)
                key = text;
        }
        std::string wifi = Wifi_text(ssid, passphrase, key);
        for (std::string_view field : {std::string_view(file), std::string_view(sha256), std::string_view(wifi)})
            row.push_back(field);
        Csv_writeRow(out, row);
    }
}
