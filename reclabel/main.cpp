// reclabel: a label for each unit of a batch, from the manifest that
// recbatch wrote: a PDF of one label a page or of sheets, PNG pictures to
// look at, or ZPL II for a thermal label printer.
#include "cli.h"
#include "number.h"
#include "print.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr const char *USAGE =
    "usage: reclabel [-f pdf|png|zpl] [-s WxH] [-p a4|letter] [-d dpi] [-c column]... [-u unit]... "
    "manifest output\n"
    "       reclabel --help | --version\n";

// A length in millimetres, 10 to 500, with at most two decimals, up to
// the end of text or the character end; p is left after it.
bool Parse_mm(const char *&p, char end, double &mm)
{
    std::string_view text(p);
    text = text.substr(0, text.find(end));
    p += text.size();
    std::size_t point = text.find('.');
    std::string_view whole = text.substr(0, point);
    std::string_view decimals = point == std::string_view::npos ? "00" : text.substr(point + 1);
    std::int64_t units = 0, hundredths = 0;
    if (decimals.empty() || decimals.size() > 2 || Number_parse(whole, 0, 500, units) != nullptr ||
        Number_parse(decimals, 0, 99, hundredths) != nullptr)
        return false;
    mm = static_cast<double>(units * 100 + hundredths * (decimals.size() == 1 ? 10 : 1)) / 100;
    return mm >= 10 && mm <= 500;
}

bool Parse_size(const char *text, Options &options)
{
    return Parse_mm(text, 'x', options.width) && *text++ == 'x' && Parse_mm(text, '\0', options.height);
}

// An option that takes a column or a unit, each given once and never empty.
bool Parse_list(int opt, const std::string &arg, Manifest &manifest, Fault &fault)
{
    if (opt == 'c' && arg.empty())
        return Fault_fail(fault, "-c", "expected the name of a manifest column, not an empty one");
    if (opt == 'u' && arg.empty())
        return Fault_fail(fault, "-u", "expected a unit number, serial or MAC address, not an empty one");
    std::vector<std::string> &list = opt == 'c' ? manifest.columns : manifest.units;
    for (const std::string &column : manifest.columns)
        if (opt == 'c' && column == arg)
            return Fault_fail(fault, "-c", "a column given twice");
    list.push_back(arg);
    return true;
}

// One option and its argument into options.
bool Parse_option(int opt, const char *optarg, Options &options, Manifest &manifest, Fault &fault)
{
    std::string arg = optarg != nullptr ? optarg : "";
    std::int64_t dpi = 0;
    switch (opt) {
    case 'f':
        options.format = arg == "pdf" ? FORMAT_PDF : arg == "png" ? FORMAT_PNG : FORMAT_ZPL;
        return arg == "pdf" || arg == "png" || arg == "zpl" || Fault_fail(fault, "-f", "expected pdf, png or zpl");
    case 's':
        return Parse_size(optarg, options) ||
               Fault_fail(fault, "-s", "expected WxH in millimetres, each from 10 to 500 (60x40, say)");
    case 'p':
        options.sheet = arg == "a4" ? SHEET_A4 : SHEET_LETTER;
        return arg == "a4" || arg == "letter" || Fault_fail(fault, "-p", "expected a4 or letter");
    case 'd':
        if (Number_parse(arg, 0, 100000, dpi) != nullptr)
            return Fault_fail(fault, "-d", "expected a whole number of dots per inch");
        options.dpi = static_cast<long>(dpi);
        return true;
    case 'c':
    case 'u': return Parse_list(opt, arg, manifest, fault);
    default: return Fault_usage(fault);
    }
}

// The command line into options and manifest.
bool Parse_options(int argc, char *argv[], Options &options, Manifest &manifest, Fault &fault)
{
    options = {FORMAT_PDF, 60, 40, SHEET_NONE, -1, nullptr};
    opterr = 0; // the usage says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "f:s:p:d:c:u:")) != -1;)
        if (!Parse_option(opt, optarg, options, manifest, fault))
            return false;
    if (argc - optind != 2)
        return Fault_usage(fault);
    manifest.path = argv[optind];
    options.output = argv[optind + 1];
    return Print_checkOptions(options, fault);
}

} // namespace

int main(int argc, char *argv[])
{
    if (int status = 0; Cli_begin("reclabel", USAGE, argc, argv, status))
        return status;
    Options options{};
    Manifest manifest{};
    Fault fault{};
    if (!Parse_options(argc, argv, options, manifest, fault))
        return Cli_fail(fault);
    if (!Output_check(options.output, manifest.path, fault))
        return Cli_fail(fault);

    std::FILE *fp = std::fopen(manifest.path, "rb");
    if (fp == nullptr)
        return Cli_system(manifest.path, errno);
    bool read = Manifest_read(manifest, fp, fault);
    std::fclose(fp);
    if (!read)
        return fault.status != 0 ? Cli_fail(fault) : Print_faults(manifest.faults);

    Font font{};
    if (!Font_open(font, fault))
        return Cli_fail(fault);
    return Print(manifest, options, font);
}
