#include "codes.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr int BAR_QUIET = 10; // modules of quiet zone on each side of a Code 128
constexpr std::size_t AHEAD = 32; // labels whose codes are made before they are drawn

// A row's Code 128 of data: encoded, or for ZPL sized as the printer
// encodes it, in subset B.
bool Make_bar(const Layout_setup &setup, const std::string &data, Placed_code &bar, Fault &fault)
{
    bar = {0, 0, 0, 0, {}, data};
    if (!setup.zpl)
        return Barcode_code128(data, false, bar.code, fault);
    if (!Barcode_check128(data, fault))
        return false;
    bar.code = {Barcode_code128bWidth(data.size()), 1, true, {}};
    return bar.code.width >= 0 || Fault_refuse(fault, nullptr, "too long for a Code 128");
}

// The module of a row: as wide as fits across the label up to the widest,
// in whole dots, but never narrower than the least (where the dots allow no
// module between the two, the least whole dots above it). false when even
// that does not fit; what names the code in the message.
bool Fit_bar(const Layout_setup &setup, Placed_code &bar, const char *what, Fault &fault)
{
    const double avail = setup.width - 2 * LAYOUT_MARGIN;
    const int modules = bar.code.width + 2 * BAR_QUIET;
    const double least = Layout_least(LAYOUT_BAR_MODULE_LEAST, setup.dot);
    double widest = Layout_snapDown(std::min(avail / modules, LAYOUT_BAR_MODULE_MOST), setup.dot);
    bar.module = std::max(widest, least);
    if (modules * bar.module <= avail + 1e-9)
        return true;
    return Fault_refuse(fault, nullptr, "a Code 128 of %d modules%s needs %.1f mm at %s; the label has room for %.1f mm",
                        modules, what, modules * least, Layout_moduleText(setup, least).c_str(), avail);
}

// The MAC address as the manifest writes it, or as its 12 digits where
// that does not fit.
bool Make_mac(const Layout_setup &setup, const Label &label, Placed_code &bar, Fault &fault)
{
    if (!Make_bar(setup, label.mac, bar, fault))
        return false;
    if (Fit_bar(setup, bar, "", fault))
        return true;
    if (label.macDigits == label.mac)
        return false;
    return Make_bar(setup, label.macDigits, bar, fault) && Fit_bar(setup, bar, " (the address as 12 digits)", fault);
}

// The QR code of the wifi cell: encoded, or sized from its byte count (no
// smaller than in byte mode, with room for the UTF-8 marker).
bool Make_qr(const Layout_setup &setup, const Label &label, Placed_code &qr, Fault &fault)
{
    if (!Font_check(label.wifi, fault)) // a reader shows it as text
        return false;
    qr = {0, 0, 0, 0, {}, label.wifi};
    if (!setup.zpl && !setup.bound)
        return Barcode_qr(label.wifi, qr.code, fault);
    bool ascii = std::all_of(label.wifi.begin(), label.wifi.end(), [](char c) { return c >= 0; });
    std::size_t bytes = label.wifi.size() + (setup.zpl || ascii ? 0 : 2);
    qr.code.width = qr.code.height = Barcode_qrBytesWidth(bytes);
    return qr.code.width >= 0 || Fault_refuse(fault, nullptr, "too long for a QR code");
}

// The labels whose codes are made, between the thread that makes them and
// the one that draws: a ring of layouts, a few ahead of the drawing.
struct Ahead {
    std::vector<Label_layout> ring;
    std::size_t made = 0, drawn = 0; // labels whose codes are made, and labels drawn
    bool stop = false;               // the drawing ended early
    bool failed = false;             // a label's codes could not be made: fault says why
    Fault fault;
    std::mutex lock;
    std::condition_variable changed;
};

void Make_ahead(const Layout_setup &setup, const std::vector<Label> &labels, Ahead &ahead)
{
    Fault fault{};
    for (std::size_t i = 0; i < labels.size(); ++i) {
        {
            std::unique_lock<std::mutex> held(ahead.lock);
            ahead.changed.wait(held, [&] { return ahead.stop || i - ahead.drawn < ahead.ring.size(); });
            if (ahead.stop)
                return;
        }
        bool made = Codes_make(setup, labels[i], ahead.ring[i % ahead.ring.size()], fault);
        std::lock_guard<std::mutex> held(ahead.lock);
        ahead.failed = !made;
        ahead.made = made ? i + 1 : ahead.made;
        if (!made)
            ahead.fault = fault;
        ahead.changed.notify_all();
        if (!made)
            return;
    }
}

} // namespace

bool Codes_make(const Layout_setup &setup, const Label &label, Label_layout &layout, Fault &fault)
{
    layout.bars.resize(label.serial.empty() ? 1 : 2);
    if (!Make_mac(setup, label, layout.bars[0], fault))
        return Fault_within(fault, MANIFEST_MAC);
    if (layout.bars.size() > 1 &&
        !(Make_bar(setup, label.serial, layout.bars[1], fault) && Fit_bar(setup, layout.bars[1], "", fault)))
        return Fault_within(fault, MANIFEST_SERIAL);
    return Make_qr(setup, label, layout.qr, fault) || Fault_within(fault, MANIFEST_WIFI);
}

bool Codes_ahead(const Layout_setup &setup, const std::vector<Label> &labels,
                 const std::function<bool(std::size_t, Label_layout &, Fault &)> &draw, Fault &fault)
{
    Ahead ahead;
    ahead.ring.resize(AHEAD);
    std::thread maker(Make_ahead, std::cref(setup), std::cref(labels), std::ref(ahead));
    bool drawing = true;
    for (std::size_t i = 0; i < labels.size() && drawing; ++i) {
        {
            std::unique_lock<std::mutex> held(ahead.lock);
            ahead.changed.wait(held, [&] { return ahead.failed || ahead.made > i; });
            if (ahead.made <= i)
                break;
        }
        drawing = draw(i, ahead.ring[i % ahead.ring.size()], fault);
        std::lock_guard<std::mutex> held(ahead.lock);
        ahead.drawn = i + 1;
        ahead.stop = !drawing;
        ahead.changed.notify_all();
    }
    maker.join();
    if (ahead.failed)
        fault = ahead.fault;
    return drawing && !ahead.failed;
}
