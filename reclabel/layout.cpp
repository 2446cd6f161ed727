#include "layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double MARGIN = LAYOUT_MARGIN;
constexpr double GAP = 1.0;            // between the QR code, the text and the rows of bars
constexpr double LINE = 1.25;          // line pitch, in em
constexpr double POINT = 25.4 / 72;    // millimetres
constexpr double TEXT_LARGEST = 8;     // points
constexpr double TEXT_SMALLEST = 6;    // the smallest that stays legible on a label
constexpr int QR_QUIET = 4;            // modules of quiet zone on each side
constexpr double QR_MODULE_GOOD = 0.375; // what a phone camera reads at a glance
constexpr double QR_MODULE_LEAST = 0.25; // what it still reads
constexpr int ZPL_MODULE_MOST = 10;      // ^BQ takes at most 10 dots

std::string Format(const char *format, auto... values)
{
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// The widths of what a label's text shows, at em size 1.
struct Measures {
    std::vector<double> lines; // the text beside the QR code
    std::size_t widest;        // the widest of them
    std::vector<double> data;  // the text under each row of bars
    int qrModules;             // the QR code's side with its quiet zones
    double barHeight;          // the bars' least height
};

// What a fit at one text size comes to.
struct Fit {
    double size, line, rows, beside, room; // em, line pitch, height of the rows, above them, beside the text
    double qrModule;
};

bool Measure(const Layout_setup &setup, const Label &label, const Label_layout &layout, Measures &m, Fault &fault)
{
    double width = 0;
    for (const Placed_code &bar : layout.bars) {
        if (!Font_width(*setup.font, bar.data, width, fault))
            return Fault_within(fault, &bar == &layout.bars[0] ? MANIFEST_MAC : MANIFEST_SERIAL);
        m.data.push_back(width);
    }
    m.widest = 0;
    for (const Label_text &text : label.texts) {
        if (!Font_width(*setup.font, text.text, width, fault))
            return Fault_within(fault, text.column.c_str());
        if (width > (m.lines.empty() ? -1 : m.lines[m.widest]))
            m.widest = m.lines.size();
        m.lines.push_back(width);
    }
    m.qrModules = layout.qr.code.width + 2 * QR_QUIET;
    m.barHeight = Layout_snap(std::clamp(0.125 * setup.height, 3.0, 10.0), setup.dot);
    return true;
}

// The fit at em size points with a QR code of modules at least qrWanted;
// whether everything fits.
bool Try_fit(const Layout_setup &setup, const Measures &m, std::size_t rows, double points, double qrWanted,
             Fit &fit)
{
    const double avail = setup.width - 2 * MARGIN;
    const double lines = static_cast<double>(m.lines.size());
    fit.size = points * POINT;
    fit.line = LINE * fit.size;
    fit.rows = static_cast<double>(rows) * (m.barHeight + fit.line) + static_cast<double>(rows) * GAP;
    fit.beside = setup.height - 2 * MARGIN - fit.rows;
    fit.room = avail - (m.lines.empty() ? 0 : m.lines[m.widest] * fit.size + GAP);
    double module = Layout_snapDown(std::min(fit.beside, fit.room) / m.qrModules, setup.dot);
    fit.qrModule = setup.zpl ? std::min(module, ZPL_MODULE_MOST * setup.dot) : module;
    double widestData = *std::max_element(m.data.begin(), m.data.end());
    return widestData * fit.size <= avail && lines * fit.line <= fit.beside && fit.qrModule >= qrWanted - 1e-9;
}

// Why even the smallest text does not fit: what is too large, by fit.
bool Misfit(const Layout_setup &setup, const Label &label, const Measures &m, const Fit &fit, Fault &fault)
{
    const double avail = setup.width - 2 * MARGIN;
    const double lines = static_cast<double>(m.lines.size());
    const double qrLeast = Layout_least(QR_MODULE_LEAST, setup.dot);
    if (*std::max_element(m.data.begin(), m.data.end()) * fit.size > avail) {
        std::size_t row = m.data[0] * fit.size > avail ? 0 : 1;
        return Fault_refuse(fault, row == 0 ? MANIFEST_MAC : MANIFEST_SERIAL, "%.1f mm wide at %g pt; the label has room for %.1f mm",
                            m.data[row] * fit.size, TEXT_SMALLEST, avail);
    }
    if (lines * fit.line > fit.beside)
        return Fault_refuse(fault, "text", "%zu lines need %.1f mm at %g pt; the label has room for %.1f mm",
                            m.lines.size(), lines * fit.line, TEXT_SMALLEST, std::max(fit.beside, 0.0));
    if (!m.lines.empty() && fit.room < m.qrModules * qrLeast && fit.beside >= m.qrModules * qrLeast)
        return Fault_refuse(fault, label.texts[m.widest].column.c_str(),
                            "%.1f mm wide at %g pt; beside the QR code the label has room for %.1f mm",
                            m.lines[m.widest] * fit.size, TEXT_SMALLEST, avail - GAP - m.qrModules * qrLeast);
    return Fault_refuse(fault, MANIFEST_WIFI, "a QR code of %d modules needs %.1f mm at %s; the label has room for %.1f mm",
                        m.qrModules, m.qrModules * qrLeast, Layout_moduleText(setup, qrLeast).c_str(),
                        std::max(std::min(fit.beside, fit.room), 0.0));
}

// The largest text size at which it all fits with a QR code of good
// modules; failing that, of the least.
bool Find_fit(const Layout_setup &setup, const Label &label, const Label_layout &layout, const Measures &m, Fit &fit,
              Fault &fault)
{
    for (double qrWanted : {Layout_least(QR_MODULE_GOOD, setup.dot), Layout_least(QR_MODULE_LEAST, setup.dot)})
        for (double points = TEXT_LARGEST; points >= TEXT_SMALLEST - 1e-9; points -= 0.5)
            if (Try_fit(setup, m, layout.bars.size(), points, qrWanted, fit))
                return true;
    return Misfit(setup, label, m, fit, fault);
}

// The QR code at the top left, the text beside it, centred on it; the bars
// take what height is left over, up to a quarter of the label, each row
// from the bottom margin up with its text under it.
void Place(const Layout_setup &setup, const Label &label, const Measures &m, const Fit &fit, Label_layout &layout)
{
    const double avail = setup.width - 2 * MARGIN;
    const double margin = Layout_snap(MARGIN, setup.dot);
    const double qrSide = m.qrModules * fit.qrModule;
    const double textHeight = static_cast<double>(m.lines.size()) * fit.line;
    const double rows = static_cast<double>(layout.bars.size());
    const double spare = std::max(fit.beside - std::max(qrSide, textHeight), 0.0);
    const double tallest = std::max(m.barHeight, 0.25 * setup.height);
    const double barsHeight = Layout_snapDown(std::min(m.barHeight + spare / rows, tallest), setup.dot);
    layout.qr.module = fit.qrModule;
    layout.qr.x = layout.qr.y = margin + QR_QUIET * fit.qrModule;
    layout.qr.height = layout.qr.code.height * fit.qrModule;
    double textX = Layout_snap(margin + qrSide + GAP, setup.dot);
    double textTop = margin + std::max(qrSide - textHeight, 0.0) / 2;
    layout.texts.clear();
    for (std::size_t i = 0; i < m.lines.size(); ++i)
        layout.texts.push_back({textX, Layout_snap(textTop + static_cast<double>(i) * fit.line, setup.dot), fit.size,
                                m.lines[i] * fit.size, 0, label.texts[i].text});
    for (std::size_t r = 0; r < layout.bars.size(); ++r) {
        Placed_code &bar = layout.bars[r];
        double after = rows - static_cast<double>(r);
        double top = setup.height - MARGIN - after * (barsHeight + fit.line) - (after - 1) * GAP;
        bar.height = barsHeight;
        bar.x = Layout_snap(MARGIN + (avail - bar.code.width * bar.module) / 2, setup.dot);
        bar.y = Layout_snap(top, setup.dot);
        layout.texts.push_back({margin, Layout_snap(bar.y + barsHeight, setup.dot), fit.size, m.data[r] * fit.size,
                                avail, bar.data});
    }
}

} // namespace

double Layout_snap(double v, double dot)
{
    return dot > 0 ? std::round(v / dot) * dot : v;
}

double Layout_snapDown(double v, double dot)
{
    return dot > 0 ? std::floor(v / dot + 1e-9) * dot : v;
}

double Layout_least(double v, double dot)
{
    return dot > 0 ? std::ceil(v / dot - 1e-9) * dot : v;
}

std::string Layout_moduleText(const Layout_setup &setup, double module)
{
    if (setup.dot <= 0)
        return Format("%.3f mm a module", module);
    long dots = std::lround(module / setup.dot);
    return Format("%.3f mm a module (%ld dot%s at %ld dpi)", module, dots, dots == 1 ? "" : "s",
                  std::lround(25.4 / setup.dot));
}

bool Layout_label(const Layout_setup &setup, const Label &label, Label_layout &layout, Fault &fault)
{
    Measures m{};
    Fit fit{};
    if (!Measure(setup, label, layout, m, fault) || !Find_fit(setup, label, layout, m, fit, fault))
        return false;
    Place(setup, label, m, fit, layout);
    return true;
}
