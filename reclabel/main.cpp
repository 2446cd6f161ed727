// reclabel: a label for each unit of a batch, from the manifest that
// recbatch wrote: a PDF of one label a page or of sheets, a PNG to look at,
// or ZPL II for a thermal label printer.
#include "draw.h"
#include "manifest.h"
#include "output.h"
#include "streams.h"
#include "zpl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Output_format { FORMAT_PDF, FORMAT_PNG, FORMAT_ZPL };

struct Options {
    Output_format format;
    double width, height; // the label, millimetres
    Sheet sheet;
    long dpi;             // -1 when not given
    const char *output;
};

int usage()
{
    std::fputs("usage: reclabel [-f pdf|png|zpl] [-s WxH] [-p a4|letter] [-d dpi] [-c column]... [-u unit]... "
               "manifest output\n"
               "       reclabel --version\n",
               stderr);
    return 2;
}

int Misuse(const char *option, const char *why)
{
    std::fprintf(stderr, "reclabel: %s: %s\n", option, why);
    return 2;
}

std::string Format(const char *format, auto... values)
{
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

int Fail(const char *path, int error)
{
    return Misuse(path, std::strerror(error != 0 ? error : EIO));
}

int Refuse(const std::vector<std::string> &faults)
{
    for (const std::string &fault : faults)
        std::fprintf(stderr, "%s\n", fault.c_str());
    return 1;
}

int Version()
{
    std::printf("reclabel %s\n", ZOL_VERSION);
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0)
        return Fail("stdout", errno);
    return 0;
}

// A length in millimetres, 10 to 500, with at most two decimals; p is left
// after it.
bool Parse_mm(const char *&p, double &mm)
{
    long hundredths = 0;
    int digits = 0, decimals = -1;
    for (; (*p >= '0' && *p <= '9') || (*p == '.' && decimals < 0); ++p) {
        if (*p == '.') {
            decimals = 0;
            continue;
        }
        if (++digits > 5 || (decimals >= 0 && ++decimals > 2))
            return false;
        hundredths = hundredths * 10 + (*p - '0');
    }
    for (int d = decimals < 0 ? 0 : decimals; d < 2; ++d)
        hundredths *= 10;
    mm = static_cast<double>(hundredths) / 100;
    return digits > 0 && decimals != 0 && mm >= 10 && mm <= 500;
}

bool Parse_size(const char *text, Options &options)
{
    return Parse_mm(text, options.width) && *text++ == 'x' && Parse_mm(text, options.height) && *text == '\0';
}

bool Parse_dpi(const char *text, long &dpi)
{
    dpi = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || dpi > 100000)
            return false;
        dpi = dpi * 10 + (*c - '0');
    }
    return *text != '\0';
}

// The command line into options and manifest; a status to end with, or -1.
int Parse_options(int argc, char *argv[], Options &options, Manifest &manifest)
{
    options = {FORMAT_PDF, 60, 40, SHEET_NONE, -1, nullptr};
    opterr = 0; // usage() says what is wrong
    for (int opt = 0; (opt = getopt(argc, argv, "f:s:p:d:c:u:")) != -1;) {
        std::string arg = optarg != nullptr ? optarg : "";
        switch (opt) {
        case 'f':
            if (arg != "pdf" && arg != "png" && arg != "zpl")
                return Misuse("-f", "expected pdf, png or zpl");
            options.format = arg == "pdf" ? FORMAT_PDF : arg == "png" ? FORMAT_PNG : FORMAT_ZPL;
            break;
        case 's':
            if (!Parse_size(optarg, options))
                return Misuse("-s", "expected WxH in millimetres, each from 10 to 500 (60x40, say)");
            break;
        case 'p':
            if (arg != "a4" && arg != "letter")
                return Misuse("-p", "expected a4 or letter");
            options.sheet = arg == "a4" ? SHEET_A4 : SHEET_LETTER;
            break;
        case 'd':
            if (!Parse_dpi(optarg, options.dpi))
                return Misuse("-d", "expected a whole number of dots per inch");
            break;
        case 'c':
            if (arg.empty())
                return Misuse("-c", "expected the name of a manifest column, not an empty one");
            for (const std::string &column : manifest.columns)
                if (column == arg)
                    return Misuse("-c", "a column given twice");
            manifest.columns.push_back(arg);
            break;
        case 'u':
            if (arg.empty())
                return Misuse("-u", "expected a unit number, serial or MAC address, not an empty one");
            manifest.units.push_back(arg);
            break;
        default: return usage();
        }
    }
    if (argc - optind != 2)
        return usage();
    if (options.sheet != SHEET_NONE && options.format != FORMAT_PDF)
        return Misuse("-p", "sheets are for -f pdf only");
    if (options.format == FORMAT_PDF && options.dpi >= 0)
        return Misuse("-d", "dots per inch are for -f png and zpl only");
    if (options.format == FORMAT_PNG && options.dpi < 0)
        options.dpi = 300;
    if (options.format == FORMAT_PNG && options.dpi < LAYOUT_LEAST_DPI)
        return Misuse("-d", Format("at %ld dots per inch a dot is wider than the widest Code 128 module (%.2f mm); "
                                   "expected %ld to 1200 for png",
                                   options.dpi, LAYOUT_BAR_MODULE_MOST, LAYOUT_LEAST_DPI).c_str());
    if (options.format == FORMAT_PNG && options.dpi > 1200)
        return Misuse("-d", Format("expected %ld to 1200 dots per inch for png", LAYOUT_LEAST_DPI).c_str());
    if (options.format == FORMAT_ZPL && options.dpi < 0)
        options.dpi = 203;
    if (options.format == FORMAT_ZPL && options.dpi != 203 && options.dpi != 300)
        return Misuse("-d", "expected 203 or 300 dots per inch for zpl");
    int across = 1, down = 1;
    Layout_setup size{options.width, options.height, 0, false, false, nullptr};
    if (options.sheet != SHEET_NONE && (Draw_grid(size, options.sheet, across, down), across < 1 || down < 1))
        return Misuse("-s", options.sheet == SHEET_A4 ? "the label does not fit an a4 sheet"
                                                      : "the label does not fit a letter sheet");
    manifest.path = argv[optind];
    options.output = argv[optind + 1];
    return -1;
}

// OUTPUT, when it is there, must be a regular file (not a folder, a device,
// a FIFO or a symbolic link, which the rename would replace), and not the
// manifest itself.
int Check_output(const Manifest &manifest, const Options &options)
{
    struct stat out {}, in {};
    if (lstat(options.output, &out) != 0)
        return -1;
    if (S_ISDIR(out.st_mode))
        return Fail(options.output, EISDIR);
    if (!S_ISREG(out.st_mode))
        return Misuse(options.output, "not a regular file");
    if (stat(manifest.path, &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        return Misuse(options.output, "is the manifest");
    return -1;
}

// Every label is laid out before anything is written; each that does not
// fit is named with its manifest line. The QR code's size is first bounded
// from its byte count, and only encoded when the bound does not fit.
std::vector<std::string> Check_labels(const Manifest &manifest, Layout_setup setup)
{
    std::vector<std::string> faults;
    Label_layout layout{};
    std::string column, why;
    for (const Label &label : manifest.labels) {
        setup.bound = true;
        if (Layout_label(setup, label, layout, column, why))
            continue;
        setup.bound = false;
        if (column == "wifi" && !setup.zpl && Layout_label(setup, label, layout, column, why))
            continue;
        faults.push_back(Fault_text(manifest.path, label.line, column, why));
    }
    return faults;
}

// Every label checked, then OUTPUT written whole; the status to end with.
int Print(const Manifest &manifest, const Options &options, Font &font)
{
    double dot = options.format == FORMAT_PDF ? 0 : 25.4 / static_cast<double>(options.dpi);
    Layout_setup setup{options.width, options.height, dot, options.format == FORMAT_ZPL, false, &font};
    if (std::vector<std::string> faults = Check_labels(manifest, setup); !faults.empty())
        return Refuse(faults);
    long width = 0, height = 0;
    if (options.format == FORMAT_PNG && (Draw_pictureSize(setup, manifest.labels.size(), width, height),
                                         width > 32767 || height > 32767))
        return Misuse("-d", "the picture would be over 32767 pixels across or down: print fewer units with -u, "
                            "or fewer dots per inch");

    Output output{};
    if (!Output_open(output, options.output))
        return Fail(options.output, errno);
    std::string why;
    int error = options.format == FORMAT_ZPL   ? Zpl_write(output.fp, setup, manifest.labels, why)
                : options.format == FORMAT_PDF ? Draw_pdf(output.fp, setup, options.sheet, manifest.labels, why)
                                               : Draw_png(output.fp, setup, manifest.labels, why);
    if (error != 0) {
        Output_abandon(output);
        return error > 0 ? Fail(options.output, error) : Misuse(options.output, why.c_str());
    }
    if (!Output_commit(output))
        return Fail(options.output, errno);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    unsigned closed = Streams_hold();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return closed & STREAM_OUT_CLOSED ? Fail("stdout", EBADF) : Version();
    Options options{};
    Manifest manifest{};
    if (int status = Parse_options(argc, argv, options, manifest); status >= 0)
        return status;
    if (int status = Check_output(manifest, options); status >= 0)
        return status;

    std::FILE *fp = std::fopen(manifest.path, "rb");
    Manifest_result read = fp != nullptr ? Manifest_read(manifest, fp) : MANIFEST_READ_ERROR;
    int error = errno;
    if (fp != nullptr)
        std::fclose(fp);
    if (read == MANIFEST_READ_ERROR)
        return Fail(manifest.path, error);
    if (read == MANIFEST_BAD)
        return Refuse(manifest.faults);

    Font font{};
    if (const char *why = Font_open(font))
        return Misuse("font", why);
    int status = Print(manifest, options, font);
    Font_close(font);
    return status;
}
