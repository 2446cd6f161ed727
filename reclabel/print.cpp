#include "print.h"

#include "cli.h"
#include "codes.h"
#include "zpl.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

// A fault that units share, said once: the first unit's, and how many
// units have it.
struct Shared_fault {
    Fault fault;
    std::size_t units;
};

// Every label laid out before anything is written; a fault that many units
// share (a label too small for what each shows) is said once, with the
// number of units. The QR code's size is first bounded from its byte
// count, and only encoded when the bound does not fit.
std::vector<Fault> Check_labels(const Manifest &manifest, Layout_setup setup)
{
    std::vector<Shared_fault> shared;
    std::map<std::string, std::size_t> seen; // a fault's words: its place in shared
    Label_layout layout{};
    Fault fault{};
    for (const Label &label : manifest.labels) {
        setup.bound = true;
        if (Codes_make(setup, label, layout, fault) && Layout_label(setup, label, layout, fault))
            continue;
        setup.bound = false;
        if (std::strcmp(fault.where, MANIFEST_WIFI) == 0 && !setup.zpl && Codes_make(setup, label, layout, fault) &&
            Layout_label(setup, label, layout, fault))
            continue;
        auto [at, added] = seen.try_emplace(std::string(fault.where) + ": " + fault.why, shared.size());
        if (!added) {
            ++shared[at->second].units;
            continue;
        }
        Fault_within(fault, (std::string(manifest.path) + ":" + std::to_string(label.line)).c_str());
        shared.push_back({fault, 1});
    }
    std::vector<Fault> faults;
    for (Shared_fault &s : shared) {
        std::size_t length = std::strlen(s.fault.why), more = s.units - 1;
        if (more > 0)
            std::snprintf(s.fault.why + length, sizeof s.fault.why - length, " (and %zu more unit%s)", more,
                          more == 1 ? "" : "s");
        faults.push_back(s.fault);
    }
    return faults;
}

// The pages of a PNG contact sheet, each of which may be written.
bool Plan_pages(const Manifest &manifest, const Options &options, const Layout_setup &setup,
                std::vector<std::string> &pages, Fault &fault)
{
    if (options.format != FORMAT_PNG || manifest.labels.size() == 1)
        return true;
    Picture picture = Draw_picture(setup, manifest.labels.size());
    for (std::size_t page = 1; page <= picture.pages; ++page)
        if (!Output_check(pages.emplace_back(Output_pagePath(options.output, page)).c_str(), manifest.path, fault))
            return false;
    return true;
}

bool Write(Output &output, const Manifest &manifest, const Options &options, const Layout_setup &setup,
           const std::vector<std::string> &pages, Cli_progress &progress, Fault &fault)
{
    auto show = [&](std::size_t done) { Cli_progressShow(progress, done); };
    if (!Output_open(output, options.output, fault) ||
        (pages.empty() && !Output_add(output, options.output, fault)))
        return false;
    switch (options.format) {
    case FORMAT_ZPL: return Zpl_write(output, setup, manifest.labels, show, fault);
    case FORMAT_PDF: return Draw_pdf(output, setup, options.sheet, manifest.labels, show, fault);
    case FORMAT_PNG: return Draw_png(output, setup, manifest.labels, pages, show, fault);
    }
    return false;
}

// Prints fault; the larger of status and its.
int Warned(const Fault &fault, int status)
{
    Cli_warn(fault);
    return std::max(status, static_cast<int>(fault.status));
}

} // namespace

bool Print_checkOptions(Options &options, Fault &fault)
{
    if (options.sheet != SHEET_NONE && options.format != FORMAT_PDF)
        return Fault_fail(fault, "-p", "sheets are for -f pdf only");
    if (options.format == FORMAT_PDF && options.dpi >= 0)
        return Fault_fail(fault, "-d", "dots per inch are for -f png and zpl only");
    if (options.format != FORMAT_PDF && options.dpi < 0)
        options.dpi = options.format == FORMAT_PNG ? 300 : 203;
    if (options.format == FORMAT_PNG && options.dpi < LAYOUT_LEAST_DPI)
        return Fault_fail(fault, "-d",
                          "at %ld dots per inch a dot is wider than the widest Code 128 module (%.2f mm); "
                          "expected %ld to 1200 for png",
                          options.dpi, LAYOUT_BAR_MODULE_MOST, LAYOUT_LEAST_DPI);
    if (options.format == FORMAT_PNG && options.dpi > 1200)
        return Fault_fail(fault, "-d", "expected %ld to 1200 dots per inch for png", LAYOUT_LEAST_DPI);
    if (options.format == FORMAT_ZPL && options.dpi != 203 && options.dpi != 300)
        return Fault_fail(fault, "-d", "expected 203 or 300 dots per inch for zpl");
    int across = 1, down = 1;
    Layout_setup size{options.width, options.height, 0, false, false, nullptr};
    if (options.sheet != SHEET_NONE && (Draw_grid(size, options.sheet, across, down), across < 1 || down < 1))
        return Fault_fail(fault, "-s", options.sheet == SHEET_A4 ? "the label does not fit an a4 sheet"
                                                                 : "the label does not fit a letter sheet");
    return true;
}

int Print_faults(const std::vector<Fault> &faults)
{
    int status = 0;
    for (const Fault &fault : faults)
        status = Warned(fault, status);
    return status;
}

int Print_faults(const std::vector<Manifest_fault> &faults)
{
    int status = 0;
    for (const Manifest_fault &found : faults)
        status = Warned(Manifest_faultOf(found), status);
    return status;
}

int Print(const Manifest &manifest, const Options &options, Font &font)
{
    double dot = options.format == FORMAT_PDF ? 0 : 25.4 / static_cast<double>(options.dpi);
    Layout_setup setup{options.width, options.height, dot, options.format == FORMAT_ZPL, false, &font};
    if (std::vector<Fault> faults = Check_labels(manifest, setup); !faults.empty())
        return Print_faults(faults);
    std::vector<std::string> pages;
    Fault fault{};
    if (!Plan_pages(manifest, options, setup, pages, fault))
        return Cli_fail(fault);
    Output output{};
    Cli_progress progress{};
    Cli_progressStart(progress, "labels", manifest.labels.size());
    bool written = Write(output, manifest, options, setup, pages, progress, fault);
    if (!written)
        Output_abandon(output);
    written = written && Output_commit(output, fault);
    Cli_progressEnd(progress);
    return written ? 0 : Cli_fail(fault);
}
