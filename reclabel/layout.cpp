#include "layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double MARGIN = 1.5;         // around the label's edge
constexpr double GAP = 1.0;            // between the QR code, the text and the rows of bars
constexpr double LINE = 1.25;          // line pitch, in em
constexpr double POINT = 25.4 / 72;    // millimetres
constexpr double TEXT_LARGEST = 8;     // points
constexpr double TEXT_SMALLEST = 6;    // the smallest that stays legible on a label
constexpr int QR_QUIET = 4;            // modules of quiet zone on each side
constexpr int BAR_QUIET = 10;
constexpr double QR_MODULE_GOOD = 0.375; // what a phone camera reads at a glance
constexpr double QR_MODULE_LEAST = 0.25; // what it still reads
constexpr double BAR_MODULE_LEAST = 0.125; // one dot of a 203 dpi printer
constexpr int ZPL_MODULE_MOST = 10;      // ^BY and ^BQ take at most 10 dots

std::string Format(const char *format, auto... values)
{
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

double Snap(double v, double dot)
{
    return dot > 0 ? std::round(v / dot) * dot : v;
}

double Snap_down(double v, double dot)
{
    return dot > 0 ? std::floor(v / dot + 1e-9) * dot : v;
}

// The smallest module at least least wide.
double Least(double least, double dot)
{
    return dot > 0 ? std::ceil(least / dot - 1e-9) * dot : least;
}

// A module of that width, and for PNG and ZPL, what it is in dots:
// "0.330 mm a module (1 dot at 77 dpi)".
std::string Module_text(const Layout_setup &setup, double module)
{
    if (setup.dot <= 0)
        return Format("%.3f mm a module", module);
    long dots = std::lround(module / setup.dot);
    return Format("%.3f mm a module (%ld dot%s at %ld dpi)", module, dots, dots == 1 ? "" : "s",
                  std::lround(25.4 / setup.dot));
}

double Module(const Layout_setup &setup, double room, int modules, double most)
{
    double module = Snap_down(std::min(room / modules, most), setup.dot);
    return setup.zpl ? std::min(module, ZPL_MODULE_MOST * setup.dot) : module;
}

struct Fit {
    double size, line, rows, beside, room; // em, line pitch, height of the rows, above them, beside the text
    double qrModule;
};

} // namespace

bool Layout_label(const Layout_setup &setup, const Label &label, Label_layout &layout, std::string &column,
                  std::string &why)
{
    const double avail = setup.width - 2 * MARGIN;
    const double margin = Snap(MARGIN, setup.dot);

    // The rows of bars: the MAC address, then the serial.
    layout.bars.clear();
    layout.bars.push_back({0, 0, 0, 0, {}, label.mac});
    if (!label.serial.empty())
        layout.bars.push_back({0, 0, 0, 0, {}, label.serial});
    const double barHeight = Snap(std::clamp(0.125 * setup.height, 3.0, 10.0), setup.dot);
    std::vector<double> dataWidths;
    for (Placed_code &bar : layout.bars) {
        column = &bar == &layout.bars[0] ? "mac" : "serial";
        if (const char *fault = setup.zpl ? Barcode_check128(bar.data) : Barcode_code128(bar.data, false, bar.code)) {
            why = fault;
            return false;
        }
        if (setup.zpl) // the printer encodes it in subset B
            bar.code = {Barcode_code128bWidth(bar.data.size()), 1, true, {}};
        if (bar.code.width < 0) {
            why = "too long for a Code 128";
            return false;
        }
        int modules = bar.code.width + 2 * BAR_QUIET;
        bar.module = Module(setup, avail, modules, LAYOUT_BAR_MODULE_MOST);
        double least = Least(BAR_MODULE_LEAST, setup.dot);
        if (bar.module < least - 1e-9) {
            why = Format("a Code 128 of %d modules needs %.1f mm at %s; the label has room for %.1f mm", modules,
                         modules * least, Module_text(setup, least).c_str(), avail);
            return false;
        }
        bar.height = barHeight;
        if (double width = Font_width(*setup.font, bar.data, why); width >= 0)
            dataWidths.push_back(width);
        else
            return false;
    }

    // The QR code: what it holds decides its modules.
    column = "wifi";
    if (const char *fault = Font_check(label.wifi)) { // a reader shows it as text
        why = fault;
        return false;
    }
    layout.qr = {0, 0, 0, 0, {}, label.wifi};
    if (setup.zpl || setup.bound) {
        // No shorter than in byte mode, with room for the UTF-8 marker.
        bool ascii = std::all_of(label.wifi.begin(), label.wifi.end(), [](char c) { return c >= 0; });
        std::size_t bytes = label.wifi.size() + (setup.zpl || ascii ? 0 : 2);
        layout.qr.code.width = layout.qr.code.height = Barcode_qrBytesWidth(bytes);
        if (layout.qr.code.width < 0) {
            why = "too long for a QR code";
            return false;
        }
    } else if (const char *fault = Barcode_qr(label.wifi, layout.qr.code)) {
        why = fault;
        return false;
    }
    const int qrModules = layout.qr.code.width + 2 * QR_QUIET;
    const double qrLeast = Least(QR_MODULE_LEAST, setup.dot);

    std::vector<double> widths;
    std::size_t widest = 0;
    for (const Label_text &text : label.texts) {
        column = text.column;
        double width = Font_width(*setup.font, text.text, why);
        if (width < 0)
            return false;
        if (width > (widths.empty() ? -1 : widths[widest]))
            widest = widths.size();
        widths.push_back(width);
    }
    const std::size_t lines = widths.size();
    const double widestText = lines > 0 ? widths[widest] : 0;
    const double widestData = *std::max_element(dataWidths.begin(), dataWidths.end());

    // The largest text size at which it all fits with a QR code of good
    // modules; failing that, of the least.
    Fit fit{};
    const double qrGood = Least(QR_MODULE_GOOD, setup.dot);
    for (double points = TEXT_LARGEST, qrWanted = qrGood;; points -= 0.5) {
        if (points < TEXT_SMALLEST - 1e-9 && qrWanted > qrLeast) {
            points = TEXT_LARGEST;
            qrWanted = qrLeast;
        }
        fit.size = points * POINT;
        fit.line = LINE * fit.size;
        double rows = static_cast<double>(layout.bars.size());
        fit.rows = rows * (barHeight + fit.line) + rows * GAP;
        fit.beside = setup.height - 2 * MARGIN - fit.rows;
        fit.room = avail - (lines > 0 ? widestText * fit.size + GAP : 0);
        fit.qrModule = Module(setup, std::min(fit.beside, fit.room), qrModules, 1e9);
        if (widestData * fit.size <= avail && static_cast<double>(lines) * fit.line <= fit.beside &&
            fit.qrModule >= qrWanted - 1e-9)
            break;
        if (points - 0.5 >= TEXT_SMALLEST - 1e-9 || qrWanted > qrLeast)
            continue;
        // Even the smallest text does not fit: name what is too large.
        if (widestData * fit.size > avail) {
            std::size_t row = dataWidths[0] * fit.size > avail ? 0 : 1;
            column = row == 0 ? "mac" : "serial";
            why = Format("%.1f mm wide at %g pt; the label has room for %.1f mm", dataWidths[row] * fit.size,
                         TEXT_SMALLEST, avail);
        } else if (static_cast<double>(lines) * fit.line > fit.beside) {
            column = "text";
            why = Format("%zu lines need %.1f mm at %g pt; the label has room for %.1f mm", lines,
                         static_cast<double>(lines) * fit.line, TEXT_SMALLEST, std::max(fit.beside, 0.0));
        } else if (lines > 0 && fit.room < qrModules * qrLeast && fit.beside >= qrModules * qrLeast) {
            column = label.texts[widest].column;
            why = Format("%.1f mm wide at %g pt; beside the QR code the label has room for %.1f mm",
                         widestText * fit.size, TEXT_SMALLEST, avail - GAP - qrModules * qrLeast);
        } else {
            column = "wifi";
            why = Format("a QR code of %d modules needs %.1f mm at %s; the label has room for %.1f mm", qrModules,
                         qrModules * qrLeast, Module_text(setup, qrLeast).c_str(),
                         std::max(std::min(fit.beside, fit.room), 0.0));
        }
        return false;
    }

    // Placed: the QR code at the top left, the text beside it, centred on
    // it; the bars take what height is left over, up to a quarter of the label.
    const double qrSide = qrModules * fit.qrModule;
    const double textHeight = static_cast<double>(lines) * fit.line;
    const double rows = static_cast<double>(layout.bars.size());
    const double spare = std::max(fit.beside - std::max(qrSide, textHeight), 0.0);
    const double tallest = std::max(barHeight, 0.25 * setup.height);
    const double barsHeight = Snap_down(std::min(barHeight + spare / rows, tallest), setup.dot);
    for (Placed_code &bar : layout.bars)
        bar.height = barsHeight;
    layout.qr.module = fit.qrModule;
    layout.qr.x = layout.qr.y = margin + QR_QUIET * fit.qrModule;
    layout.qr.height = layout.qr.code.height * fit.qrModule;
    double textX = Snap(margin + qrSide + GAP, setup.dot);
    double textTop = margin + std::max(qrSide - textHeight, 0.0) / 2;
    layout.texts.clear();
    for (std::size_t i = 0; i < lines; ++i)
        layout.texts.push_back({textX, Snap(textTop + static_cast<double>(i) * fit.line, setup.dot), fit.size,
                                widths[i] * fit.size, 0, label.texts[i].text});
    // The rows from the bottom margin up, each bar code centred with its text under it.
    for (std::size_t r = 0; r < layout.bars.size(); ++r) {
        Placed_code &bar = layout.bars[r];
        double after = rows - static_cast<double>(r);
        double top = Snap(setup.height - MARGIN - after * (barsHeight + fit.line) - (after - 1) * GAP, setup.dot);
        bar.x = Snap(MARGIN + (avail - bar.code.width * bar.module) / 2, setup.dot);
        bar.y = top;
        layout.texts.push_back({margin, Snap(top + barsHeight, setup.dot), fit.size, dataWidths[r] * fit.size,
                                avail, bar.data});
    }
    return true;
}
