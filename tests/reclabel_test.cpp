// The label printer run as a program: every bar code it draws is read back
// by a real decoder (zbarimg, from pdftoppm's pages and from its own PNG)
// and must equal its manifest cell; its ZPL against exact commands; its
// refusals.
#include "csv.h"
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <pty.h>
#include <regex>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <vector>

extern char **environ;

namespace {

// The sanitizer build's leak check passes over what fontconfig leaks itself.
const bool LSAN_SET = setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" LSAN_SUPPRESSIONS, 0) == 0;

const std::string USAGE =
    "usage: reclabel [-f pdf|png|zpl] [-s WxH] [-p a4|letter] [-d dpi] [-c column]... [-u unit]... manifest output\n"
    "       reclabel --help | --version\n";

// A unit as the manifest gives it; its wifi cell is made as recbatch makes it.
struct Unit {
    std::string serial, mac, ssid, passphrase, manufacturer;
};

std::string Wifi(const Unit &u)
{
    std::string text = "WIFI:T:WPA;S:";
    for (const std::string *part : {&u.ssid, &u.passphrase}) {
        for (char c : *part) {
            if (std::string_view("\\;,:\"").find(c) != std::string_view::npos)
                text += '\\';
            text += c;
        }
        text += part == &u.ssid ? ";P:" : ";;";
    }
    return text;
}

void Write_manifest(const std::string &path, const std::vector<Unit> &units)
{
    std::FILE *fp = std::fopen(path.c_str(), "wb");
    Csv_writeRow(fp, {"unit", "serial", "mac", "ssid", "passphrase", "manufacturer", "wifi"});
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Unit &u = units[i];
        std::string number = std::to_string(i + 1), wifi = Wifi(u);
        Csv_writeRow(fp, {number, u.serial, u.mac, u.ssid, u.passphrase, u.manufacturer, wifi});
    }
    std::fclose(fp);
}

std::vector<Unit> Read_manifest(const std::string &path)
{
    std::vector<Unit> units;
    std::FILE *fp = std::fopen(path.c_str(), "rb");
    Csv_reader reader{};
    Csv_init(reader, fp);
    std::vector<std::string> header, row;
    const char *why = nullptr;
    Csv_readRow(reader, header, &why);
    auto cell = [&](const char *name) {
        auto at = std::find(header.begin(), header.end(), name);
        return at == header.end() ? std::string() : row[static_cast<std::size_t>(at - header.begin())];
    };
    while (Csv_readRow(reader, row, &why) == CSV_ROW)
        units.push_back({cell("serial"), cell("mac"), cell("ssid"), cell("passphrase"), cell("manufacturer")});
    std::fclose(fp);
    return units;
}

// What zbarimg reads in one picture.
struct Decoded {
    std::vector<std::string> qr, code128;
};

void Add_symbol(Decoded &decoded, const std::string &type, const std::string &data)
{
    (type == "QR-Code" ? decoded.qr : decoded.code128).push_back(data);
}

// Every code in one picture, as UTF-8 text.
Decoded Decode(const std::string &picture, const std::string &dir)
{
    std::string out = Run_program("/usr/bin/zbarimg", {"-q", picture}, dir).out;
    Decoded decoded;
    for (std::size_t at = 0, end = 0; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        std::size_t colon = out.find(':', at);
        Add_symbol(decoded, out.substr(at, colon - at), out.substr(colon + 1, end - colon - 1));
    }
    return decoded;
}

// Every code in each of many pictures of plain ASCII codes, by zbarimg's
// XML (which shows other bytes as base64), in picture order.
std::vector<Decoded> Decode_ascii(const std::vector<std::string> &pictures, const std::string &dir)
{
    std::vector<std::string> args{"-q", "--xml"};
    args.insert(args.end(), pictures.begin(), pictures.end());
    std::string xml = Run_program("/usr/bin/zbarimg", args, dir).out;
    std::vector<Decoded> decoded;
    for (std::size_t at = 0; (at = xml.find("<source ", at)) != std::string::npos;) {
        std::size_t end = xml.find("</source>", at);
        decoded.emplace_back();
        for (std::size_t s = at; (s = xml.find("<symbol type='", s)) < end;) {
            std::string type = xml.substr(s + 14, xml.find('\'', s + 14) - s - 14);
            std::size_t data = xml.find("<![CDATA[", s) + 9;
            s = xml.find("]]>", data);
            Add_symbol(decoded.back(), type, xml.substr(data, s - data));
        }
        at = end;
    }
    return decoded;
}

// The QR codes of the pictures, read as bytes (-Sbinary), one after another.
std::string Decode_bytes(const std::vector<std::string> &pictures, const std::string &dir)
{
    std::vector<std::string> args{"-q", "--raw", "-Sdisable", "-Sqrcode.enable", "-Sbinary"};
    args.insert(args.end(), pictures.begin(), pictures.end());
    return Run_program("/usr/bin/zbarimg", args, dir).out;
}

// The pages of a PDF as pictures at 300 dpi, in page order.
std::vector<std::string> Pages(const std::string &pdf, const std::string &dir)
{
    std::string prefix = dir + "/page";
    EXPECT_EQ(Run_program("/usr/bin/pdftoppm", {"-r", "300", "-gray", "-png", pdf, prefix}, dir).status, 0);
    std::vector<std::string> pages;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().starts_with("page-"))
            pages.push_back(entry.path().string());
    std::sort(pages.begin(), pages.end());
    return pages;
}

std::vector<std::string> Sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// The MAC address as 12 digits, as a label prints it where its colon form
// does not fit (the default 60x40 label at modules of 0.25 mm).
std::string Digits(const std::string &mac)
{
    std::string digits = mac;
    std::erase(digits, ':');
    return digits;
}

// Each label's codes decode to its cells: a page a label, or all of them
// in one picture. The MAC address is read as its 12 digits.
void Expect_decoded(const std::vector<Unit> &units, const std::vector<Decoded> &decoded, bool onePicture)
{
    std::vector<std::string> qr, code128, gotQr, gotCode128;
    for (const Unit &u : units) {
        qr.push_back(Wifi(u));
        code128.push_back(Digits(u.mac));
        if (!u.serial.empty())
            code128.push_back(u.serial);
    }
    if (!onePicture) {
        ASSERT_EQ(decoded.size(), units.size());
        for (std::size_t i = 0; i < units.size(); ++i) {
            EXPECT_EQ(decoded[i].qr, std::vector<std::string>{qr[i]}) << "label " << i + 1;
            std::vector<std::string> bars{Digits(units[i].mac)};
            if (!units[i].serial.empty())
                bars.push_back(units[i].serial);
            EXPECT_EQ(Sorted(decoded[i].code128), Sorted(bars)) << "label " << i + 1;
        }
        return;
    }
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(Sorted(decoded[0].qr), Sorted(qr));
    EXPECT_EQ(Sorted(decoded[0].code128), Sorted(code128));
}

std::string Single_blanks(std::string text)
{
    text.erase(std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
               text.end());
    return text;
}

std::string Joined_wifi(const std::vector<Unit> &units)
{
    std::string all;
    for (const Unit &u : units)
        all += Wifi(u);
    return all;
}

// ZPL's field data: ^FH and hex escapes when it holds ^, ~ or _.
std::string Zpl_field(const std::string &prefix, const std::string &data)
{
    bool escaped = data.find_first_of("^~_") != std::string::npos;
    std::string field = escaped ? "^FH^FD" + prefix : "^FD" + prefix;
    for (char c : data)
        field += c == '^' ? "_5E" : c == '~' ? "_7E" : c == '_' ? "_5F" : std::string(1, c);
    return field + "^FS";
}

// Hard values: the wifi text's escapes, UTF-8 in the QR code and the text,
// ZPL's command characters, blanks in a text column.
const std::vector<Unit> HARD = {
    {"SN 1  A", "00:50:c2:00:01:01", "net;one", "pass;phrase1", "Velmar  Networks"},
    {"SN,2", "00:50:c2:00:01:02", "net,two", "pass,phrase2", "A, B"},
    {"SN:3", "00:50:c2:00:01:03", "net:three", "pass:phrase3", "A: B"},
    {"SN\\4", "00:50:c2:00:01:04", "net\\four", "pass\\phrase4", "A\\ B"},
    {"SN\"5", "00:50:c2:00:01:05", "net\"five", "pass\"phrase5", "\"A B\""},
    {"SN-6", "00:50:c2:00:01:06", "Café", "mot-de-passe-été", "Société  Générale"},
    {"SN-7", "00:50:c2:00:01:07", "日本", "日本のパスワード", "日本 電気"},
    {"SN_8^~", "00:50:c2:00:01:08", "n^e~t_8", "p^a~s_s8", "a^b ~c _d"},
    {"", "00:50:c2:00:01:09", "no-serial", "pass phrase 9", " leading blank"},
};

TEST(ReclabelHard, EveryCodeDecodesToItsCellInPdfAndPng)
{
    std::string dir = Scratch_dir();
    Write_manifest(dir + "/m.csv", HARD);
    ASSERT_EQ(Run_program(RECLABEL, {"-c", "ssid", "-c", "passphrase", "-c", "manufacturer", dir + "/m.csv",
                                     dir + "/l.pdf"}, dir).status, 0);
    std::vector<std::string> pages = Pages(dir + "/l.pdf", dir);
    std::vector<Decoded> decoded;
    for (const std::string &page : pages)
        decoded.push_back(Decode(page, dir));
    Expect_decoded(HARD, decoded, false);
    EXPECT_EQ(Decode_bytes(pages, dir), Joined_wifi(HARD));
    // Every text line (as pdftotext spaces it: blanks are not exact there),
    // and the fonts embedded.
    std::string text = Single_blanks(Run_program("/usr/bin/pdftotext", {"-raw", dir + "/l.pdf", "-"}, dir).out);
    for (const Unit &u : HARD)
        for (std::string line : {"Network: " + u.ssid, "Key: " + u.passphrase, "manufacturer: " + u.manufacturer})
            EXPECT_NE(text.find(Single_blanks(line)), std::string::npos) << line;
    std::string fonts = Run_program("/usr/bin/pdffonts", {dir + "/l.pdf"}, dir).out;
    EXPECT_NE(fonts.find("DejaVuSansMono"), std::string::npos) << fonts;
    EXPECT_EQ(fonts.find(" no "), std::string::npos) << fonts;

    ASSERT_EQ(Run_program(RECLABEL, {"-f", "png", dir + "/m.csv", dir + "/l.png"}, dir).status, 0);
    Expect_decoded(HARD, {Decode(dir + "/l-001.png", dir)}, true); // one page of the contact sheet
    ASSERT_EQ(Run_program(RECLABEL, {"-f", "png", "-d", "203", "-u", "SN-7", dir + "/m.csv", dir + "/7.png"}, dir)
                  .status, 0);
    EXPECT_EQ(Decode_bytes({dir + "/7.png"}, dir), Wifi(HARD[6]));
}

TEST(ReclabelHard, ZplFieldsEscaped)
{
    std::string dir = Scratch_dir();
    Write_manifest(dir + "/m.csv", HARD);
    ASSERT_EQ(Run_program(RECLABEL, {"-f", "zpl", dir + "/m.csv", dir + "/l.zpl"}, dir).status, 0);
    std::string zpl = Read_file(dir + "/l.zpl");
    for (const Unit &u : HARD) {
        std::string wifi = Wifi(u);
        char count[8];
        std::snprintf(count, sizeof count, "%04zu", wifi.size());
        std::string serial; // a '>' in Code 128 data is written ">0"
        for (char c : u.serial)
            serial.append(c == '>' ? ">0" : std::string(1, c));
        for (std::string field : {Zpl_field(std::string("MM,B") + count, wifi), Zpl_field(">:", Digits(u.mac)),
                                  Zpl_field("", "Network: " + u.ssid), Zpl_field("", "Key: " + u.passphrase)})
            EXPECT_NE(zpl.find(field), std::string::npos) << field;
        if (!serial.empty()) {
            EXPECT_NE(zpl.find(Zpl_field(">:", serial)), std::string::npos) << serial;
        }
    }
}

// Exact ZPL for a few labels.
struct Zpl_case {
    const char *name;
    std::vector<std::string> args; // before the manifest and output
    std::vector<Unit> units;
    std::string zpl;
    std::string output = "l.zpl";
};

void PrintTo(const Zpl_case &c, std::ostream *os)
{
    *os << c.name;
}

const Unit DEFAULT_UNIT = {"", "00:50:c2:a1:b2:c3", "Velmar-Setup", "factory-passphrase-2400", ""};
const std::string DEFAULT_ZPL = "^XA\n"
                                "^CI28\n"
                                "^PW480\n"
                                "^LL320\n"
                                "^LH0,0\n"
                                "^FO24,24^BQN,2,3^FDMM,B0053WIFI:T:WPA;S:Velmar-Setup;P:factory-passphrase-2400;;^FS\n"
                                "^FO73,206^BY2^BCN,79,N,N,N,N^FD>:0050c2a1b2c3^FS\n"
                                "^FO143,51^A0N,18,18^FDNetwork: Velmar-Setup^FS\n"
                                "^FO143,74^A0N,18,18^FDKey: factory-passphrase-2400^FS\n"
                                "^FO12,285^FB456,1,0,C,0^A0N,18,18^FD0050c2a1b2c3^FS\n"
                                "^XZ\n";

const Zpl_case ZPL_CASES[] = {
    {"default_203_dpi", {"-f", "zpl"}, {DEFAULT_UNIT}, DEFAULT_ZPL},
    // The temporary file's name fits wherever OUTPUT's does.
    {"output_name_of_250_characters", {"-f", "zpl"}, {DEFAULT_UNIT}, DEFAULT_ZPL, std::string(246, 'n') + ".zpl"},
    {"serial_300_dpi_escapes",
     {"-f", "zpl", "-d", "300"},
     {{"SN>1_^~", "00:50:c2:a1:b2:c4", "n_t", "p~ss^phrase", ""}},
     "^XA\n"
     "^CI28\n"
     "^PW709\n"
     "^LL472\n"
     "^LH0,0\n"
     "^FO38,38^BQN,2,5^FH^FDMM,B0032WIFI:T:WPA;S:n_5Ft;P:p_7Ess_5Ephrase;;^FS\n"
     "^FO104,216^BY3^BCN,72,N,N,N,N^FD>:0050c2a1b2c4^FS\n"
     "^FO186,341^BY3^BCN,72,N,N,N,N^FH^FD>:SN>01_5F_5E_7E^FS\n"
     "^FO215,69^A0N,33,33^FH^FDNetwork: n_5Ft^FS\n"
     "^FO215,111^A0N,33,33^FH^FDKey: p_7Ess_5Ephrase^FS\n"
     "^FO18,288^FB673,1,0,C,0^A0N,33,33^FD0050c2a1b2c4^FS\n"
     "^FO18,413^FB673,1,0,C,0^A0N,33,33^FH^FDSN>1_5F_5E_7E^FS\n"
     "^XZ\n"},
    {"chosen_columns_larger_label",
     {"-f", "zpl", "-s", "101.6x50.8", "-c", "serial", "-c", "manufacturer"},
     {{"SN-3", "00:50:c2:a1:b2:c5", "Velmar-3", "passphrase-3", "Velmar  Networks"}},
     "^XA\n"
     "^CI28\n"
     "^PW812\n"
     "^LL406\n"
     "^LH0,0\n"
     "^FO32,32^BQN,2,5^FDMM,B0038WIFI:T:WPA;S:Velmar-3;P:passphrase-3;;^FS\n"
     "^FO184,206^BY2^BCN,62,N,N,N,N^FD>:00:50:c2:a1:b2:c5^FS\n"
     "^FO327,304^BY2^BCN,62,N,N,N,N^FD>:SN-3^FS\n"
     "^FO205,76^A0N,23,23^FDSerial: SN-3^FS\n"
     "^FO205,105^A0N,23,23^FDmanufacturer: Velmar  Networks^FS\n"
     "^FO12,268^FB788,1,0,C,0^A0N,23,23^FD00:50:c2:a1:b2:c5^FS\n"
     "^FO12,366^FB788,1,0,C,0^A0N,23,23^FDSN-3^FS\n"
     "^XZ\n"},
    // ^BQ takes at most 10 dots a module, however large the label.
    {"qr_module_cap_of_10_dots",
     {"-f", "zpl", "-s", "200x120"},
     {{"", "00:50:c2:a1:b2:c7", "Velmar-Setup", "factory-passphrase-2400", ""}},
     "^XA\n^CI28\n^PW1598\n^LL959\n^LH0,0\n"
     "^FO52,52^BQN,2,10^FDMM,B0053WIFI:T:WPA;S:Velmar-Setup;P:factory-passphrase-2400;;^FS\n"
     "^FO577,680^BY2^BCN,239,N,N,N,N^FD>:00:50:c2:a1:b2:c7^FS\n"
     "^FO430,189^A0N,23,23^FDNetwork: Velmar-Setup^FS\n"
     "^FO430,217^A0N,23,23^FDKey: factory-passphrase-2400^FS\n"
     "^FO12,919^FB1574,1,0,C,0^A0N,23,23^FD00:50:c2:a1:b2:c7^FS\n"
     "^XZ\n"},
    {"backslash_in_field_block", // in ^FB text, \& breaks the line and \\ prints one backslash
     {"-f", "zpl", "-c", "serial"},
     {{"A>B\\\\C\\&X", "00:50:c2:a1:b2:c6", "n", "p", ""}},
     "^XA\n^CI28\n^PW480\n^LL320\n^LH0,0\n"
     "^FO28,28^BQN,2,4^FDMM,B0020WIFI:T:WPA;S:n;P:p;;^FS\n"
     "^FO73,153^BY2^BCN,45,N,N,N,N^FD>:0050c2a1b2c6^FS\n"
     "^FO106,235^BY2^BCN,45,N,N,N,N^FD>:A>0B\\\\C\\&X^FS\n"
     "^FO152,64^A0N,23,23^FDSerial: A>B\\\\C\\&X^FS\n"
     "^FO12,198^FB456,1,0,C,0^A0N,23,23^FD0050c2a1b2c6^FS\n"
     "^FO12,280^FB456,1,0,C,0^A0N,23,23^FDA>B\\\\\\\\C\\\\&X^FS\n"
     "^XZ\n"},
};

class ReclabelZpl : public testing::TestWithParam<Zpl_case> {};

TEST_P(ReclabelZpl, ExactCommands)
{
    const Zpl_case &c = GetParam();
    std::string dir = Scratch_dir();
    Write_manifest(dir + "/m.csv", c.units);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {dir + "/m.csv", dir + "/" + c.output});
    Program_result run = Run_program(RECLABEL, args, dir);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Read_file(dir + "/" + c.output), c.zpl);
}

INSTANTIATE_TEST_SUITE_P(Labels, ReclabelZpl, testing::ValuesIn(ZPL_CASES),
                         [](const testing::TestParamInfo<Zpl_case> &info) { return info.param.name; });

// A batch made by recbatch, with serials: every label of it. 200 units for
// PDF and PNG, whose pages are slow to read back; 500 for ZPL as a printer
// renders it.
template <int COUNT> class Batch_of : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new std::string(Scratch_dir());
        std::string table = "serial\n";
        for (int i = 1; i <= COUNT; ++i)
            table += "SN-" + std::to_string(10000 + i) + "\n";
        Write_file(*dir + "/units.csv", table);
        Run_program(RECBATCH, {"-S", "-l", *dir + "/l.db", "-m", "0050c2000000-0050c2ffffff", "-u",
                               *dir + "/units.csv", "-g", "passphrase", EXAMPLE_SCRIPT, *dir + "/batch"}, *dir);
        manifest = new std::string(*dir + "/batch/manifest.csv");
        units = new std::vector<Unit>(Read_manifest(*manifest));
    }
    static inline std::string *dir, *manifest;
    static inline std::vector<Unit> *units;
};

using ReclabelBatch = Batch_of<200>;
using ReclabelZplBatch = Batch_of<500>;

TEST_F(ReclabelBatch, PdfPagesDecode)
{
    ASSERT_EQ(units->size(), 200u);
    std::string work = Scratch_dir();
    ASSERT_EQ(Run_program(RECLABEL, {*manifest, work + "/l.pdf"}, work).status, 0);
    std::vector<std::string> pages = Pages(work + "/l.pdf", work);
    Expect_decoded(*units, Decode_ascii(pages, work), false);
    EXPECT_EQ(Decode_bytes(pages, work), Joined_wifi(*units));
}

// Runs program with its standard error on a terminal, which it reads:
// the status, and what was written to the terminal (its line ends as CR LF).
Program_result Run_on_terminal(const std::vector<std::string> &args)
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return {-1, "", "no terminal"};
    std::vector<std::string> words{RECLABEL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, slave, 2);
    posix_spawn_file_actions_addclose(&actions, master);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, RECLABEL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(slave);
    Program_result result{-1, "", ""};
    char buffer[4096];
    for (ssize_t n = 0; spawned == 0 && (n = read(master, buffer, sizeof buffer)) > 0;) // EIO once it has gone
        result.err.append(buffer, static_cast<std::size_t>(n));
    close(master);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

// A contact sheet is written a page at a time, 5 by 8 labels of 60x40 at
// 300 dpi a page (at most 4096 pixels across and down), as l-001.png ...
// On a terminal the run, which takes more than a second, shows how far it
// got, as recbatch does.
TEST_F(ReclabelBatch, ContactSheetPagesDecode)
{
    std::string work = Scratch_dir();
    Program_result run = Run_on_terminal({"-f", "png", *manifest, work + "/l.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(run.err, std::regex("(\rreclabel: [0-9]+ of 200 labels, [0-9]+ labels/s)+\r\n")))
        << run.err;
    std::vector<std::string> names, pages;
    for (const auto &entry : std::filesystem::directory_iterator(work))
        names.push_back(entry.path().filename().string());
    for (std::string name : {"l-001.png", "l-002.png", "l-003.png", "l-004.png", "l-005.png"})
        pages.push_back(work + "/" + name);
    EXPECT_EQ(Sorted(names), Sorted({"l-001.png", "l-002.png", "l-003.png", "l-004.png", "l-005.png"}));
    Decoded all;
    for (const Decoded &page : Decode_ascii(pages, work)) {
        all.qr.insert(all.qr.end(), page.qr.begin(), page.qr.end());
        all.code128.insert(all.code128.end(), page.code128.begin(), page.code128.end());
    }
    Expect_decoded(*units, {all}, true);
}

// Every MAC address and serial of the batch decodes from its ZPL as a
// label printer would print it at dpi, rendered by a renderer that shares
// no code with reclabel: modules of at least 0.25 mm.
void Expect_zpl_decodes(const std::string &manifest, const std::vector<Unit> &units, const std::string &dpi)
{
    std::string work = Scratch_dir();
    ASSERT_EQ(Run_program(RECLABEL, {"-f", "zpl", "-d", dpi, manifest, work + "/l.zpl"}, work).status, 0);
    Program_result render = Run_program(
        "/usr/bin/env", {"node", ZPL_RENDER, work + "/l.zpl", "60", "40", dpi == "203" ? "8" : "12", work + "/r"}, work);
    ASSERT_EQ(render.status, 0) << render.err;
    std::vector<std::string> pictures;
    for (const auto &entry : std::filesystem::directory_iterator(work))
        if (entry.path().filename().string().starts_with("r-"))
            pictures.push_back(entry.path().string());
    std::sort(pictures.begin(), pictures.end());
    std::vector<Decoded> decoded = Decode_ascii(pictures, work);
    ASSERT_EQ(decoded.size(), units.size());
    for (std::size_t i = 0; i < units.size(); ++i)
        EXPECT_EQ(Sorted(decoded[i].code128), Sorted({Digits(units[i].mac), units[i].serial})) << "label " << i + 1;
}

TEST_F(ReclabelZplBatch, RenderedAt203DpiDecodes)
{
    ASSERT_EQ(units->size(), 500u);
    Expect_zpl_decodes(*manifest, *units, "203");
}

TEST_F(ReclabelZplBatch, RenderedAt300DpiDecodes)
{
    Expect_zpl_decodes(*manifest, *units, "300");
}

TEST_F(ReclabelBatch, ZplHoldsEveryField)
{
    std::string work = Scratch_dir();
    ASSERT_EQ(Run_program(RECLABEL, {"-f", "zpl", *manifest, work + "/l.zpl"}, work).status, 0);
    std::string zpl = Read_file(work + "/l.zpl");
    std::size_t at = 0;
    for (const Unit &u : *units) {
        std::size_t end = zpl.find("^XZ\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string format = zpl.substr(at, end - at);
        char count[8];
        std::snprintf(count, sizeof count, "%04zu", Wifi(u).size());
        for (std::string field : {Zpl_field(std::string("MM,B") + count, Wifi(u)), Zpl_field(">:", Digits(u.mac)),
                                  Zpl_field(">:", u.serial), Zpl_field("", Digits(u.mac)), Zpl_field("", u.serial),
                                  Zpl_field("", "Network: " + u.ssid), Zpl_field("", "Key: " + u.passphrase)})
            EXPECT_NE(format.find(field), std::string::npos) << field;
        at = end + 4;
    }
    EXPECT_EQ(at, zpl.size());
}

TEST_F(ReclabelBatch, SheetsAndReprints)
{
    std::string work = Scratch_dir();
    // Letter sheets of 60x40 labels hold 3 by 6; -u picks units by number, serial or address.
    ASSERT_EQ(Run_program(RECLABEL, {"-p", "letter", "-u", "1", "-u", "SN-10005", "-u", "0050C2000009", "-u", "1",
                                     *manifest, work + "/l.pdf"}, work).status, 0);
    std::vector<Unit> chosen{(*units)[0], (*units)[4], (*units)[9]};
    std::vector<std::string> pages = Pages(work + "/l.pdf", work);
    ASSERT_EQ(pages.size(), 1u);
    Expect_decoded(chosen, {Decode(pages[0], work)}, true);
}

// A run stopped by a signal while it writes leaves neither OUTPUT nor its
// temporary file; a signal ignored when the run started (nohup, a
// background job) stays ignored, and the run completes.
TEST_F(ReclabelBatch, StoppedRunLeavesNothing)
{
    struct Stop {
        int signal;
        bool ignored;
    };
    for (Stop stop : {Stop{SIGTERM, false}, Stop{SIGHUP, true}, Stop{SIGINT, true}}) {
        std::string work = Scratch_dir();
        std::string out = work + "/l.pdf";
        std::vector<char *> argv{const_cast<char *>(RECLABEL), manifest->data(), out.data(), nullptr};
        struct sigaction given {}, was {};
        given.sa_handler = stop.ignored ? SIG_IGN : SIG_DFL; // inherited by the program
        sigaction(stop.signal, &given, &was);
        pid_t pid = 0;
        int spawned = posix_spawn(&pid, RECLABEL, nullptr, nullptr, argv.data(), environ);
        sigaction(stop.signal, &was, nullptr);
        ASSERT_EQ(spawned, 0);
        bool started = false;
        for (int i = 0; i < 5000 && !started; ++i) {
            for (const auto &entry : std::filesystem::directory_iterator(work))
                started = started || entry.path().filename().string().starts_with(".reclabel-");
            if (!started)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(pid, stop.signal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(started) << stop.signal;
        if (stop.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << stop.signal;
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work), {}), 1) << stop.signal;
            EXPECT_TRUE(Read_file(out).starts_with("%PDF-")) << stop.signal;
        } else if (WIFSIGNALED(status)) { // else it finished first
            EXPECT_EQ(WTERMSIG(status), stop.signal);
            EXPECT_TRUE(std::filesystem::is_empty(work));
        }
    }
}

struct Refusal {
    const char *name;
    std::string manifest; // m.csv
    // M, O and D stand for the manifest, OUTPUT and the scratch folder; D/fifo
    // and D/link are made as a FIFO and a symbolic link to OUTPUT.
    std::vector<std::string> args;
    int status;
    std::string err; // with M and D as in args
};

void PrintTo(const Refusal &r, std::ostream *os)
{
    *os << r.name;
}

const std::string HEAD = "unit,serial,mac,ssid,passphrase,wifi\n";
const std::string ROW = "1,SN-1,00:50:c2:00:00:01,net,pass-phrase,WIFI:T:WPA;S:net;P:pass-phrase;;\n";
const std::string ROW2 = "2,1,00:50:c2:00:00:02,net,pass-phrase2,WIFI:T:WPA;S:net;P:pass-phrase2;;\n";
// Manifests whose wifi cell stands alone, and with a column to show with -c.
const std::string HEAD_BARE = "unit,serial,mac,wifi\n";
const std::string HEAD_NOTE = "unit,serial,mac,note,wifi\n";

const Refusal REFUSALS[] = {
    // The command line and files: status 2.
    {"no_arguments", HEAD + ROW, {}, 2, USAGE},
    {"one_operand", HEAD + ROW, {"M"}, 2, USAGE},
    {"unknown_option", HEAD + ROW, {"-x", "M", "O"}, 2, USAGE},
    {"format_unknown", HEAD + ROW, {"-f", "svg", "M", "O"}, 2, "reclabel: -f: expected pdf, png or zpl\n"},
    {"size_one_number", HEAD + ROW, {"-s", "60", "M", "O"}, 2,
     "reclabel: -s: expected WxH in millimetres, each from 10 to 500 (60x40, say)\n"},
    {"size_too_small", HEAD + ROW, {"-s", "9.99x40", "M", "O"}, 2,
     "reclabel: -s: expected WxH in millimetres, each from 10 to 500 (60x40, say)\n"},
    {"size_three_decimals", HEAD + ROW, {"-s", "60.125x40", "M", "O"}, 2,
     "reclabel: -s: expected WxH in millimetres, each from 10 to 500 (60x40, say)\n"},
    {"sheet_unknown", HEAD + ROW, {"-p", "a3", "M", "O"}, 2, "reclabel: -p: expected a4 or letter\n"},
    {"sheet_not_pdf", HEAD + ROW, {"-f", "png", "-p", "a4", "M", "O"}, 2, "reclabel: -p: sheets are for -f pdf only\n"},
    {"label_larger_than_sheet", HEAD + ROW, {"-p", "letter", "-s", "300x40", "M", "O"}, 2,
     "reclabel: -s: the label does not fit a letter sheet\n"},
    {"dpi_for_pdf", HEAD + ROW, {"-d", "300", "M", "O"}, 2, "reclabel: -d: dots per inch are for -f png and zpl only\n"},
    {"dpi_not_a_number", HEAD + ROW, {"-f", "png", "-d", "3OO", "M", "O"}, 2,
     "reclabel: -d: expected a whole number of dots per inch\n"},
    {"dpi_zero_for_pdf", HEAD + ROW, {"-d", "0", "M", "O"}, 2, "reclabel: -d: dots per inch are for -f png and zpl only\n"},
    {"dpi_png_range", HEAD + ROW, {"-f", "png", "-d", "1201", "M", "O"}, 2,
     "reclabel: -d: expected 77 to 1200 dots per inch for png\n"},
    {"dpi_png_dot_wider_than_a_module", HEAD + ROW, {"-f", "png", "-d", "76", "-s", "500x500", "M", "O"}, 2,
     "reclabel: -d: at 76 dots per inch a dot is wider than the widest Code 128 module (0.33 mm); expected 77 to "
     "1200 for png\n"},
    {"dpi_zpl", HEAD + ROW, {"-f", "zpl", "-d", "600", "M", "O"}, 2,
     "reclabel: -d: expected 203 or 300 dots per inch for zpl\n"},
    {"column_twice", HEAD + ROW, {"-c", "ssid", "-c", "ssid", "M", "O"}, 2, "reclabel: -c: a column given twice\n"},
    {"column_empty", HEAD + ROW, {"-c", "", "M", "O"}, 2,
     "reclabel: -c: expected the name of a manifest column, not an empty one\n"},
    {"unit_empty", "unit,serial,mac,wifi\n1,,00:50:c2:00:00:01,w\n", {"-u", "", "M", "O"}, 2,
     "reclabel: -u: expected a unit number, serial or MAC address, not an empty one\n"},
    {"manifest_missing", "", {"D/none.csv", "O"}, 2, "reclabel: D/none.csv: No such file or directory\n"},
    {"manifest_of_no_name", "", {"", "O"}, 2, "reclabel: No such file or directory\n"},
    {"output_folder_missing", HEAD + ROW, {"M", "D/no/l.pdf"}, 2, "reclabel: D/no/l.pdf: No such file or directory\n"},
    {"output_is_a_folder", HEAD + ROW, {"M", "D"}, 2, "reclabel: D: Is a directory\n"},
    {"output_is_the_manifest", HEAD + ROW, {"M", "M"}, 2, "reclabel: M: is the manifest\n"},
    {"output_is_a_fifo", HEAD + ROW, {"M", "D/fifo"}, 2, "reclabel: D/fifo: not a regular file\n"},
    {"output_is_a_symbolic_link", HEAD + ROW, {"M", "D/link"}, 2, "reclabel: D/link: not a regular file\n"},

    // The manifest: status 1, naming its line.
    {"empty", "", {"M", "O"}, 1, "reclabel: M:1: csv: no header row\n"},
    {"no_units", HEAD, {"M", "O"}, 1, "reclabel: M: manifest: no units\n"},
    {"no_wifi_or_mac_column", "unit,ssid\n1,net\n", {"M", "O"}, 1,
     "reclabel: M:1: wifi: no such column in the manifest\nreclabel: M:1: mac: no such column in the manifest\n"},
    {"no_such_text_column", HEAD + ROW, {"-c", "password", "M", "O"}, 1,
     "reclabel: M:1: password: no such column in the manifest\n"},
    {"not_csv", HEAD + "1,\"SN\n", {"M", "O"}, 1, "reclabel: M:2: csv: a quoted field is not closed\n"},
    {"rows_refused", HEAD + ROW + "2,SN-2,00:50:c2:00:00:02\n3,SN-3,00:50:zz,n,p,\n", {"M", "O"}, 1,
     "reclabel: M:3: row: 3 fields, expected 6\n"
     "reclabel: M:4: wifi: empty\n"
     "reclabel: M:4: mac: \"00:50:zz\", expected an address such as 00:50:c2:a1:b2:c3\n"},
    {"last_row_without_its_line_end", HEAD + ROW + ROW2.substr(0, ROW2.size() - 1), {"M", "O"}, 1,
     "reclabel: M:3: row: no line end: the manifest may be cut short\n"},
    {"unit_not_there", HEAD + ROW, {"-u", "2", "-u", "SN-9", "-u", "00:50:c2:00:00:09", "M", "O"}, 1,
     "reclabel: M: -u 2: no such unit in the manifest\n"
     "reclabel: M: -u SN-9: no such unit in the manifest\n"
     "reclabel: M: -u 00:50:c2:00:00:09: no such unit in the manifest\n"},
    {"unit_ambiguous", HEAD + ROW + ROW2, {"-u", "1", "M", "O"}, 1,
     "reclabel: M: -u 1: more than one unit: lines 2 and 3\n"},
    // A unit of several addresses: its last-mac, and -u by any of its addresses.
    {"last_mac_refused", "unit,mac,last-mac,wifi\n1,00:50:c2:00:00:04,00:50:c2:00:00:03,w\n2,00:50:c2:00:00:08,zz,w\n",
     {"M", "O"}, 1,
     "reclabel: M:2: last-mac: \"00:50:c2:00:00:03\", expected the unit's last address, from its mac on\n"
     "reclabel: M:3: last-mac: \"zz\", expected the unit's last address, from its mac on\n"},
    {"unit_by_any_of_its_addresses", "unit,mac,last-mac,wifi\n1,00:50:c2:00:00:04,00:50:c2:00:00:07,w\n",
     {"-u", "00:50:c2:00:00:06", "-u", "00:50:c2:00:00:08", "M", "O"}, 1,
     "reclabel: M: -u 00:50:c2:00:00:08: no such unit in the manifest\n"},

    // A wifi cell that is not the Wi-Fi text of the row's own cells.
    {"wifi_disagrees_with_its_row",
     HEAD + "1,SN-1,00:50:c2:00:00:01,net,pass-phrase,WIFI:T:WPA;S:other;P:pass-phrase;;\n"
            "2,SN-2,00:50:c2:00:00:02,net,pass-phrase,WIFI:T:WPA;S:net;P:pass-phrase-edited;;\n"
            "3,SN-3,00:50:c2:00:00:03,net,pass-phrase,WIFI:T:WPA;S:net;P:pass-phr\n"
            "4,SN-4,00:50:c2:00:00:04,net,pass-phrase,WIFI:T:WPA;S:net;;\n"
            "5,SN-5,00:50:c2:00:00:05,n;t,pass-phrase,WIFI:T:WPA;S:n\\;t;P:pass-phrase;;\n",
     {"M", "O"}, 1,
     "reclabel: M:2: wifi: not the Wi-Fi text of the row's ssid, passphrase and wep-key\n"
     "reclabel: M:3: wifi: not the Wi-Fi text of the row's ssid, passphrase and wep-key\n"
     "reclabel: M:4: wifi: not the Wi-Fi text of the row's ssid, passphrase and wep-key\n"
     "reclabel: M:5: wifi: not the Wi-Fi text of the row's ssid, passphrase and wep-key\n"}, // row 6 agrees, escapes and all
    {"wifi_disagrees_with_the_wep_key", "unit,mac,ssid,passphrase,wep-key,wifi\n1,00:50:c2:00:00:01,net,,0102030405,"
     "WIFI:T:WEP;S:net;P:0102030406;;\n", {"M", "O"}, 1, "reclabel: M:2: wifi: not the Wi-Fi text of the row's ssid, passphrase and wep-key\n"},

    // Labels that cannot hold what they must show.
    {"text_too_wide", HEAD + "1,SN-1,00:50:c2:00:00:01,net,a-pass-phrase-of-forty-characters-------,"
     "WIFI:T:WPA;S:net;P:a-pass-phrase-of-forty-characters-------;;\n", {"M", "O"},
     1, "reclabel: M:2: passphrase: 57.3 mm wide at 6 pt; beside the QR code the label has room for 45.8 mm\n"},
    {"too_many_lines", HEAD + ROW,
     {"-s", "60x20", "-c", "unit", "-c", "serial", "-c", "mac", "-c", "ssid", "-c", "passphrase", "M", "O"}, 1,
     "reclabel: M:2: text: 5 lines need 13.2 mm at 6 pt; the label has room for 3.7 mm\n"},
    {"qr_too_large", HEAD_BARE + "1,SN-1,00:50:c2:00:00:01," + std::string(600, 'W') + "\n", {"M", "O"}, 1,
     "reclabel: M:2: wifi: a QR code of 85 modules needs 21.2 mm at 0.250 mm a module; the label has room for "
     "19.7 mm\n"},
    {"qr_too_long",
     HEAD_BARE + "1,SN-1,00:50:c2:00:00:01," + std::string(4000, 'W') + "\n2,SN-2,00:50:c2:00:00:02," +
         std::string(20000, 'W') + "\n",
     {"M", "O"}, 1, "reclabel: M:2: wifi: too long for a QR code (and 1 more unit)\n"},
    // The same refusal for every unit is said once, with their number.
    {"serial_too_long_said_once",
     HEAD_BARE + "1," + std::string(40, 'S') + ",00:50:c2:00:00:01,w\n2,SN-2,00:50:c2:00:00:02,w\n3," +
         std::string(40, 'T') + ",00:50:c2:00:00:03,w\n4," + std::string(40, 'U') + ",00:50:c2:00:00:04,w\n",
     {"M", "O"}, 1,
     "reclabel: M:2: serial: a Code 128 of 495 modules needs 123.8 mm at 0.250 mm a module; the label has room "
     "for 57.0 mm (and 2 more units)\n"},
    // Every Code 128 has modules of at least 0.25 mm (2 dots at 203 dpi);
    // the MAC address is printed as 12 digits where its colons do not fit.
    {"mac_too_long_even_as_digits", HEAD + ROW, {"-s", "40x40", "M", "O"}, 1,
     "reclabel: M:2: mac: a Code 128 of 154 modules (the address as 12 digits) needs 38.5 mm at 0.250 mm a "
     "module; the label has room for 37.0 mm\n"},
    {"mac_too_long_at_203_dpi", HEAD + ROW, {"-f", "zpl", "-s", "46x40", "M", "O"}, 1,
     "reclabel: M:2: mac: a Code 128 of 187 modules (the address as 12 digits) needs 46.8 mm at 0.250 mm a "
     "module (2 dots at 203 dpi); the label has room for 43.0 mm\n"},
    {"mac_too_long_at_the_dpi", HEAD + ROW, {"-f", "png", "-d", "77", "-s", "50x40", "M", "O"}, 1,
     "reclabel: M:2: mac: a Code 128 of 154 modules (the address as 12 digits) needs 50.8 mm at 0.330 mm a "
     "module (1 dot at 77 dpi); the label has room for 47.0 mm\n"},
    {"serial_not_ascii", HEAD_BARE + "1,Café-1,00:50:c2:00:00:01,w\n", {"M", "O"}, 1,
     "reclabel: M:2: serial: holds a character that Code 128 cannot carry here (printable ASCII only)\n"},
    {"not_utf8", HEAD_NOTE + "1,SN-1,00:50:c2:00:00:01,n\xff,w\n", {"-c", "note", "M", "O"}, 1,
     "reclabel: M:2: note: not UTF-8 text\n"},
    {"control_character", HEAD_NOTE + "1,SN-1,00:50:c2:00:00:01,n\tt,w\n", {"-c", "note", "M", "O"}, 1,
     "reclabel: M:2: note: holds a control character\n"},
    {"wifi_not_utf8", HEAD_BARE + "1,SN-1,00:50:c2:00:00:01,WIFI:T:WPA;S:n\xe9;P:p;;\n", {"-f", "zpl", "M", "O"}, 1,
     "reclabel: M:2: wifi: not UTF-8 text\n"},
    {"wifi_control_character", HEAD_BARE + "1,SN-1,00:50:c2:00:00:01,WIFI:T:WPA;S:n\x01;P:p\x7f;;\n", {"M", "O"}, 1,
     "reclabel: M:2: wifi: holds a control character\n"},
    {"no_font_has_it", HEAD_NOTE + "1,SN-1,00:50:c2:00:00:01,n\U0010FFFD,w\n", {"-c", "note", "M", "O"}, 1,
     "reclabel: M:2: note: no installed font has the character U+10FFFD\n"},
    // A message repeats a cell with its control characters escaped.
    {"cell_escaped_in_a_message", "unit,serial,mac,wifi\n1,SN-1,00:50:c2:00:00:0\x1b[2J,w\n", {"M", "O"}, 1,
     "reclabel: M:2: mac: \"00:50:c2:00:00:0\\x1b[2J\", expected an address such as 00:50:c2:a1:b2:c3\n"},
};

class ReclabelRefusal : public testing::TestWithParam<Refusal> {};

// Each refusal: its status and lines, and OUTPUT as it was before.
TEST_P(ReclabelRefusal, OutputUntouched)
{
    const Refusal &r = GetParam();
    std::string dir = Scratch_dir();
    Write_file(dir + "/m.csv", r.manifest);
    Write_file(dir + "/l.pdf", "before");
    auto path = [&](std::string arg) {
        arg = arg == "M" ? dir + "/m.csv" : arg == "O" ? dir + "/l.pdf" : arg;
        return arg == "D" || arg.starts_with("D/") ? dir + arg.substr(1) : arg;
    };
    std::vector<std::string> args, made{"l.pdf", "m.csv"};
    for (const std::string &arg : r.args) {
        args.push_back(path(arg));
        if (arg == "D/fifo" || arg == "D/link") {
            ASSERT_EQ(arg == "D/fifo" ? mkfifo(args.back().c_str(), 0600) : symlink("l.pdf", args.back().c_str()), 0);
            made.push_back(arg.substr(2));
        }
    }
    std::string err = r.err;
    for (std::string from : {"M", "D"})
        for (std::size_t at = 0; (at = err.find("reclabel: " + from, at)) != std::string::npos; at += 10)
            err.replace(at + 10, 1, path(from));
    Program_result run = Run_program(RECLABEL, args, dir);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.status, r.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Read_file(dir + "/l.pdf"), "before");
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(Sorted(left), Sorted(made));
    for (const std::string &name : made) // the FIFO and the link as they were
        EXPECT_TRUE(name != "fifo" ? name != "link" || std::filesystem::is_symlink(dir + "/link")
                                   : std::filesystem::is_fifo(dir + "/fifo")) << name;
}

INSTANTIATE_TEST_SUITE_P(Inputs, ReclabelRefusal, testing::ValuesIn(REFUSALS),
                         [](const testing::TestParamInfo<Refusal> &info) { return info.param.name; });

// --help and --version on standard output, and with it closed.
TEST(Reclabel, HelpAndVersion)
{
    std::string dir = Scratch_dir();
    for (auto [option, out] : {std::pair<std::string, std::string>{"--help", USAGE}, {"--version", "reclabel 2.8\n"}}) {
        Program_result run = Run_program(RECLABEL, {option}, dir);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
        run = Run_program_to(RECLABEL, {option}, dir, "");
        EXPECT_EQ(run.err, "reclabel: stdout: Bad file descriptor\n") << option;
        EXPECT_EQ(run.status, 2) << option;
    }
}

} // namespace
