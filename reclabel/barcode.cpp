#include "barcode.h"

#include <iterator>
#include <memory>
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

// A zint symbol, deleted by its owner on every path.
struct Symbol_delete {
    void operator()(zint_symbol *symbol) const { ZBarcode_Delete(symbol); }
};
using Symbol = std::unique_ptr<zint_symbol, Symbol_delete>;

// The largest count of bytes that a QR code of each version (1 to 40)
// holds in byte mode at level M; its width is 17 + 4 * version modules.
constexpr int QR_BYTES_M[] = {14,   26,   42,   62,   84,   106,  122,  152,  180,  213,  251,  287,  331,  362,
                              412,  450,  504,  560,  624,  666,  711,  779,  857,  911,  997,  1059, 1125, 1190,
                              1264, 1370, 1452, 1538, 1628, 1722, 1809, 1911, 1989, 2099, 2213, 2331};

// The most characters that libzint puts in a Code 128 of subset B; each
// takes 11 modules, and the start, check and stop characters 35 more.
constexpr std::size_t CODE128B_MOST = 60;

// The bars of a Code 128 from its row of dark modules.
void Bars(const std::vector<bool> &dark, int width, std::vector<Bar_rect> &rects)
{
    for (int x = 0; x < width;) {
        int end = x;
        while (end < width && dark[static_cast<std::size_t>(end)])
            ++end;
        if (end > x)
            rects.push_back({static_cast<float>(x), 0, static_cast<float>(end - x), 1});
        x = end + 1;
    }
}

// Encodes text into symbol as a bitmap of one pixel a module, and covers
// its dark modules.
bool Encode(const Symbol &symbol, std::string_view text, Barcode &code, Fault &fault)
{
    symbol->input_mode = DATA_MODE; // the bytes as they are, no conversion
    symbol->show_hrt = 0;
    symbol->output_options |= BARCODE_NO_QUIET_ZONES;
    symbol->scale = 0.5f; // a module is two pixels at scale 1
    bool linear = symbol->symbology != BARCODE_QRCODE;
    if (linear)
        symbol->height = 1;
    int status = ZBarcode_Encode_and_Buffer(symbol.get(), reinterpret_cast<const unsigned char *>(text.data()),
                                            static_cast<int>(text.size()), 0);
    if (status == ZINT_ERROR_TOO_LONG)
        return Fault_refuse(fault, nullptr, linear ? "too long for a Code 128" : "too long for a QR code");
    if (status >= ZINT_ERROR)
        return Fault_refuse(fault, nullptr, "%s", symbol->errtxt);
    if (symbol->bitmap == nullptr || symbol->bitmap_width != symbol->width ||
        symbol->bitmap_height != (linear ? 1 : symbol->rows))
        return Fault_fail(fault, nullptr, "unexpected bitmap size");
    code.width = symbol->width;
    code.height = linear ? 1 : symbol->rows;
    code.linear = linear;
    std::vector<bool> dark(static_cast<std::size_t>(code.width) * static_cast<std::size_t>(code.height));
    for (std::size_t i = 0; i < dark.size(); ++i)
        dark[i] = symbol->bitmap[3 * i] < 128; // RGB; black on white
    code.rects.clear();
    if (linear)
        Bars(dark, code.width, code.rects);
    else
        Cover(dark, code.width, code.rects);
    return true;
}

} // namespace

bool Barcode_qr(std::string_view text, Barcode &code, Fault &fault)
{
    Symbol symbol(ZBarcode_Create());
    if (symbol == nullptr)
        return Fault_fail(fault, nullptr, "out of memory");
    symbol->symbology = BARCODE_QRCODE;
    symbol->option_1 = QR_LEVEL_M;
    symbol->eci = Is_ascii(text) ? 0 : ECI_UTF8;
    return Encode(symbol, text, code, fault);
}

int Barcode_qrBytesWidth(std::size_t bytes)
{
    for (std::size_t version = 1; version <= std::size(QR_BYTES_M); ++version)
        if (bytes <= static_cast<std::size_t>(QR_BYTES_M[version - 1]))
            return 17 + 4 * static_cast<int>(version);
    return -1;
}

int Barcode_code128bWidth(std::size_t characters)
{
    return characters <= CODE128B_MOST ? 11 * static_cast<int>(characters) + 35 : -1;
}

bool Barcode_check128(std::string_view text, Fault &fault)
{
    if (text.empty())
        return Fault_refuse(fault, nullptr, "empty");
    for (char c : text)
        if (c < 0x20 || c > 0x7e)
            return Fault_refuse(fault, nullptr,
                                "holds a character that Code 128 cannot carry here (printable ASCII only)");
    return true;
}

bool Barcode_code128(std::string_view text, bool subsetB, Barcode &code, Fault &fault)
{
    if (!Barcode_check128(text, fault))
        return false;
    Symbol symbol(ZBarcode_Create());
    if (symbol == nullptr)
        return Fault_fail(fault, nullptr, "out of memory");
    symbol->symbology = subsetB ? BARCODE_CODE128B : BARCODE_CODE128;
    return Encode(symbol, text, code, fault);
}
