#include "barcode.h"

#include <string>
#include <unordered_map>
#include <zint.h>

namespace {

constexpr int ECI_UTF8 = 26;
constexpr int QR_LEVEL_M = 2;

bool Is_ascii(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) > 0x7f)
            return false;
    return true;
}

// Rectangles that cover a QR code's dark modules: from each dark module not
// yet covered (row by row), the run across it extended down over the rows
// where the whole run is dark, or the run down it extended across, whichever
// covers more modules not yet covered. Rectangles may overlap; all are black.
void Cover(const std::vector<bool> &dark, int size, std::vector<Bar_rect> &rects)
{
    std::vector<bool> covered(dark.size(), false);
    auto at = [size](int x, int y) { return static_cast<std::size_t>(y) * static_cast<std::size_t>(size) +
                                            static_cast<std::size_t>(x); };
    // The width of the run from x, y and how many rows below it hold it all
    // dark, or with across false the same down the columns.
    auto block = [&](int x, int y, bool across, int &length, int &thickness) {
        auto is_dark = [&](int along, int beside) { return across ? dark[at(along, beside)] : dark[at(beside, along)]; };
        int along = across ? x : y, beside = across ? y : x;
        length = 0;
        while (along + length < size && is_dark(along + length, beside))
            ++length;
        thickness = 1;
        for (bool full = true; full && beside + thickness < size; thickness += full ? 1 : 0)
            for (int i = 0; i < length && full; ++i)
                full = is_dark(along + i, beside + thickness);
        int fresh = 0;
        for (int t = 0; t < thickness; ++t)
            for (int i = 0; i < length; ++i)
                fresh += covered[across ? at(along + i, beside + t) : at(beside + t, along + i)] ? 0 : 1;
        return fresh;
    };
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            if (!dark[at(x, y)] || covered[at(x, y)])
                continue;
            int acrossLength = 0, acrossThickness = 0, downLength = 0, downThickness = 0;
            bool across = block(x, y, true, acrossLength, acrossThickness) >= block(x, y, false, downLength, downThickness);
            int width = across ? acrossLength : downThickness, height = across ? acrossThickness : downLength;
            for (int j = 0; j < height; ++j)
                for (int i = 0; i < width; ++i)
                    covered[at(x + i, y + j)] = true;
            rects.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                             static_cast<float>(height)});
        }
}

// Encodes text into symbol as a bitmap of one pixel a module, and covers
// its dark modules.
const char *Encode(zint_symbol *symbol, std::string_view text, Barcode &code)
{
    symbol->input_mode = DATA_MODE; // the bytes as they are, no conversion
    symbol->show_hrt = 0;
    symbol->output_options |= BARCODE_NO_QUIET_ZONES;
    symbol->scale = 0.5f; // a module is two pixels at scale 1
    bool linear = symbol->symbology != BARCODE_QRCODE;
    if (linear)
        symbol->height = 1;
    int status = ZBarcode_Encode_and_Buffer(symbol, reinterpret_cast<const unsigned char *>(text.data()),
                                            static_cast<int>(text.size()), 0);
    if (status >= ZINT_ERROR || symbol->bitmap == nullptr || symbol->bitmap_width != symbol->width ||
        symbol->bitmap_height != (linear ? 1 : symbol->rows)) {
        static std::string why;
        why = status == ZINT_ERROR_TOO_LONG ? (linear ? "too long for a Code 128" : "too long for a QR code")
              : status >= ZINT_ERROR        ? symbol->errtxt
                                            : "unexpected bitmap size";
        ZBarcode_Delete(symbol);
        return why.c_str();
    }
    code.width = symbol->width;
    code.height = linear ? 1 : symbol->rows;
    code.linear = linear;
    std::vector<bool> dark(static_cast<std::size_t>(code.width) * static_cast<std::size_t>(code.height));
    for (std::size_t i = 0; i < dark.size(); ++i)
        dark[i] = symbol->bitmap[3 * i] < 128; // RGB; black on white
    ZBarcode_Delete(symbol);
    code.rects.clear();
    if (!linear) {
        Cover(dark, code.width, code.rects);
        return nullptr;
    }
    for (int x = 0; x < code.width;) {
        int end = x;
        while (end < code.width && dark[static_cast<std::size_t>(end)])
            ++end;
        if (end > x)
            code.rects.push_back({static_cast<float>(x), 0, static_cast<float>(end - x), 1});
        x = end + 1;
    }
    return nullptr;
}

} // namespace

const char *Barcode_qr(std::string_view text, Barcode &code)
{
    zint_symbol *symbol = ZBarcode_Create();
    if (symbol == nullptr)
        return "out of memory";
    symbol->symbology = BARCODE_QRCODE;
    symbol->option_1 = QR_LEVEL_M;
    symbol->eci = Is_ascii(text) ? 0 : ECI_UTF8;
    return Encode(symbol, text, code);
}

int Barcode_qrBytesWidth(std::size_t bytes)
{
    static std::unordered_map<std::size_t, int> widths;
    if (auto known = widths.find(bytes); known != widths.end())
        return known->second;
    zint_symbol *symbol = ZBarcode_Create();
    if (symbol == nullptr)
        return -1;
    symbol->symbology = BARCODE_QRCODE;
    symbol->option_1 = QR_LEVEL_M;
    symbol->input_mode = DATA_MODE;
    // Lower-case letters have no shorter mode than bytes.
    std::string sample(bytes, 'a');
    int width = ZBarcode_Encode(symbol, reinterpret_cast<const unsigned char *>(sample.data()),
                                static_cast<int>(bytes)) < ZINT_ERROR
                    ? symbol->width
                    : -1;
    ZBarcode_Delete(symbol);
    return widths[bytes] = width;
}

int Barcode_code128bWidth(std::size_t characters)
{
    static std::unordered_map<std::size_t, int> widths;
    if (auto known = widths.find(characters); known != widths.end())
        return known->second;
    Barcode code{};
    return widths[characters] = Barcode_code128(std::string(characters, 'a'), true, code) == nullptr ? code.width : -1;
}

const char *Barcode_check128(std::string_view text)
{
    if (text.empty())
        return "empty";
    for (char c : text)
        if (c < 0x20 || c > 0x7e)
            return "holds a character that Code 128 cannot carry here (printable ASCII only)";
    return nullptr;
}

const char *Barcode_code128(std::string_view text, bool subsetB, Barcode &code)
{
    if (const char *why = Barcode_check128(text))
        return why;
    zint_symbol *symbol = ZBarcode_Create();
    if (symbol == nullptr)
        return "out of memory";
    symbol->symbology = subsetB ? BARCODE_CODE128B : BARCODE_CODE128;
    return Encode(symbol, text, code);
}
