// The manifest read back as reclabel reads it: its rows, what keeps a row
// out (its width, its line end, what is not CSV), and a row whose Wi-Fi text
// disagrees with its own cells.
#include "manifest.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

// Each row's line, and each fault as "WHERE: WHY", a line each.
std::string Read_all(std::string text)
{
    std::FILE *fp = text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
    Manifest_reader reader{};
    std::vector<Manifest_fault> faults;
    Fault fault{};
    std::string got;
    EXPECT_TRUE(Manifest_start(reader, fp, "m.csv", faults, fault));
    Manifest_row row{};
    for (bool more = true; more;) {
        EXPECT_TRUE(Manifest_next(reader, row, more, faults, fault));
        if (more && !Manifest_wifiAgrees(reader, row, fault))
            faults.push_back({row.line, fault.where, fault.why});
        else if (more)
            got += "row " + std::to_string(row.line) + "\n";
    }
    std::fclose(fp);
    for (const Manifest_fault &f : faults)
        got += f.where + ": " + f.why + "\n";
    return got;
}

TEST(Manifest, RowsAndTheirWifiText)
{
    const std::string WPA = "ssid,passphrase,wep-key,wifi\r\n";
    const std::string DISAGREES = ": wifi: not the Wi-Fi text of the row's ssid, passphrase and wep-key\n";
    struct Case {
        std::string text;
        std::string got;
    };
    const Case cases[] = {
        {WPA + "net,pass-1,,WIFI:T:WPA;S:net;P:pass-1;;\r\n", "row 2\n"},
        {WPA + "a;b,\"p,q\",,\"WIFI:T:WPA;S:a\\;b;P:p\\,q;;\"\r\n", "row 2\n"},
        {WPA + "net,,A1B2C3D4E5,WIFI:T:WEP;S:net;P:A1B2C3D4E5;;\r\n", "row 2\n"},
        {WPA + "net,,,WIFI:T:nopass;S:net;;\r\n", "row 2\n"},
        {WPA + "my net,pass 1,a1b2c3d4e5,WIFI:T:WPA;S:my net;P:pass 1;;\r\n", "row 2\n"},
        // Where the row lacks a column, the text's own field stands for it.
        {"ssid,wifi\r\nnet,WIFI:T:WPA;S:net;P:anything;;\r\n", "row 2\n"},
        {"passphrase,wifi\r\npass-1,WIFI:T:WPA;S:any;P:pass-1;;\r\n", "row 2\n"},
        {"mac\r\n00:50:c2:00:00:01\r\n", "row 2\n"},
        // Disagreements: an edited cell, a key of another case, a cut text.
        {WPA + "net,pass-2,,WIFI:T:WPA;S:net;P:pass-1;;\r\n", "m.csv:2" + DISAGREES},
        {WPA + "net,,a1b2c3d4e5,WIFI:T:WEP;S:net;P:A1B2C3D4E5;;\r\n", "m.csv:2" + DISAGREES},
        {WPA + "net,pass-1,,WIFI:T:WPA;S:net;P:pass\r\n", "m.csv:2" + DISAGREES},
        {WPA + "net,pass-1,,WIFI:T:WEP;S:net;P:pass-1;;\r\n", "m.csv:2" + DISAGREES},
        {"passphrase,wifi\r\n,WIFI:T:WPA;S:any;P:pass-1;;\r\n", "m.csv:2" + DISAGREES},
        // Rows kept out: of another width, without a line end, not CSV.
        {"a,b\r\n1\r\n1,2\r\n1,2", "row 3\nm.csv:2: row: 1 fields, expected 2\n"
                                   "m.csv:4: row: no line end: the manifest may be cut short\n"},
        {"a,b\r\n1,\"2\r\n", "m.csv:2: csv: a quoted field is not closed\n"},
        {"", "m.csv:1: csv: no header row\n"},
        {"unit,unit,ssid,ssid\r\n1,1,a,b\r\n", "m.csv:1: unit: a second column of that name\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Read_all(c.text), c.got) << c.text;
}

} // namespace
