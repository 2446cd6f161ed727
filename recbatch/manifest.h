// The manifest: one row per unit for label printers and the plant's
// records, with each unit's values as its script gives them, its file,
// the SHA-256 of its image and the Wi-Fi network text of its label.
#pragma once

#include "batch.h"

#include <cstdio>
#include <string>
#include <string_view>

// The Wi-Fi network text that label software turns into a QR code:
// WIFI:T:WPA;S:<ssid>;P:<pass phrase>;; (T:WEP with the key when there is
// no pass phrase, T:nopass with neither), \ ; , : and " escaped.
std::string Wifi_text(std::string_view ssid, std::string_view passphrase, std::string_view key);

// The manifest's header and rows, written as CSV to out.
void Batch_manifest(const Batch &batch, std::FILE *out);
