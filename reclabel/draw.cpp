#include "draw.h"

#include "codes.h"

#include <algorithm>
#include <cairo-pdf.h>
#include <cerrno>
#include <cmath>
#include <memory>

namespace {

constexpr double POINTS_PER_MM = 72 / 25.4;
constexpr double SHEET_MARGIN = 10; // what office printers leave blank
constexpr double PICTURE_GAP = 2;   // between the labels of a contact sheet

// Owners of cairo's handles, which free them on every path.
struct Surface_free {
    void operator()(cairo_surface_t *surface) const { cairo_surface_destroy(surface); }
};
struct Context_free {
    void operator()(cairo_t *cr) const { cairo_destroy(cr); }
};
using Surface = std::unique_ptr<cairo_surface_t, Surface_free>;
using Context = std::unique_ptr<cairo_t, Context_free>;

// Where cairo writes a document, and the first error of that writing.
struct Sink {
    std::FILE *fp;
    int error;
};

cairo_status_t Write(void *closure, const unsigned char *data, unsigned int length)
{
    auto *sink = static_cast<Sink *>(closure);
    if (std::fwrite(data, 1, length, sink->fp) == length)
        return CAIRO_STATUS_SUCCESS;
    sink->error = errno != 0 ? errno : EIO;
    return CAIRO_STATUS_WRITE_ERROR;
}

void Sheet_size(Sheet sheet, double &width, double &height)
{
    width = sheet == SHEET_A4 ? 210 : 215.9;
    height = sheet == SHEET_A4 ? 297 : 279.4;
}

// A QR code's rectangles as lines of their short side's width, one stroke
// for each width; a Code 128 as one line as tall as its bars, dashed into
// them. cairo writes a few long paths much faster than many fills.
void Draw_code(cairo_t *cr, const Placed_code &code, double x, double y, double rowHeight)
{
    const std::vector<Bar_rect> &rects = code.code.rects;
    if (rects.empty())
        return;
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    if (code.code.linear) {
        std::vector<double> dashes; // bar, space, bar, ...
        for (std::size_t i = 0; i < rects.size(); ++i) {
            dashes.push_back(rects[i].width * code.module);
            float next = i + 1 < rects.size() ? rects[i + 1].x : rects[i].x + rects[i].width + 1;
            dashes.push_back((next - rects[i].x - rects[i].width) * code.module);
        }
        const Bar_rect &last = rects.back();
        cairo_set_dash(cr, dashes.data(), static_cast<int>(dashes.size()), 0);
        cairo_set_line_width(cr, rowHeight);
        cairo_move_to(cr, x + rects[0].x * code.module, y + rowHeight / 2);
        cairo_line_to(cr, x + (last.x + last.width) * code.module, y + rowHeight / 2);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        return;
    }
    auto thickness = [](const Bar_rect *r) { return std::min(r->width, r->height); };
    std::vector<const Bar_rect *> sorted;
    for (const Bar_rect &r : rects)
        sorted.push_back(&r);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](const Bar_rect *a, const Bar_rect *b) { return thickness(a) < thickness(b); });
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const Bar_rect &r = *sorted[i];
        double left = x + r.x * code.module, top = y + r.y * code.module;
        double width = r.width * code.module, height = r.height * code.module;
        if (r.width >= r.height) {
            cairo_move_to(cr, left, top + height / 2);
            cairo_rel_line_to(cr, width, 0);
        } else {
            cairo_move_to(cr, left + width / 2, top);
            cairo_rel_line_to(cr, 0, height);
        }
        if (i + 1 == sorted.size() || thickness(sorted[i + 1]) != thickness(sorted[i])) {
            cairo_set_line_width(cr, thickness(&r) * code.module);
            cairo_stroke(cr);
        }
    }
}

// Draws one label with its top left corner at x, y (millimetres).
void Draw_label(cairo_t *cr, const Layout_setup &setup, const Label_layout &layout, double x, double y)
{
    cairo_set_source_rgb(cr, 0, 0, 0);
    Draw_code(cr, layout.qr, x + layout.qr.x, y + layout.qr.y, layout.qr.module);
    for (const Placed_code &bar : layout.bars)
        Draw_code(cr, bar, x + bar.x, y + bar.y, bar.height);
    for (const Placed_text &text : layout.texts) {
        double left = text.box > 0 ? text.x + (text.box - text.width) / 2 : text.x;
        Font_draw(*setup.font, cr, text.text, x + left, y + text.top + LAYOUT_BASELINE * text.size, text.size);
    }
}


// Finishes a PDF: false with the fault of a write that failed, of cairo,
// or the drawing's own when drawn is false.
bool Finish(const Surface &surface, const Context &cr, const Sink &sink, const std::string &path, bool drawn,
            Fault &fault)
{
    cairo_status_t status = cairo_status(cr.get());
    cairo_surface_finish(surface.get());
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface.get());
    if (sink.error != 0)
        return Fault_system(fault, path.c_str(), sink.error);
    if (!drawn)
        return false;
    return status == CAIRO_STATUS_SUCCESS || Fault_fail(fault, path.c_str(), "%s", cairo_status_to_string(status));
}

// One picture being drawn: a label, or a page of a contact sheet.
struct Png_page {
    Surface surface;
    Context cr;
    Sink sink;
};

void Png_begin(Png_page &page, const Layout_setup &setup, const Picture &picture, std::FILE *fp)
{
    page.surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(picture.width),
                                                  static_cast<int>(picture.height)));
    page.cr.reset(cairo_create(page.surface.get()));
    page.sink = {fp, 0};
    cairo_scale(page.cr.get(), 1 / setup.dot, 1 / setup.dot); // millimetres
    Font_prepare(page.cr.get());
    double shade = picture.gap > 0 ? 0.85 : 1;
    cairo_set_source_rgb(page.cr.get(), shade, shade, shade);
    cairo_paint(page.cr.get());
}

// Writes the picture as a PNG and frees it.
bool Png_end(Png_page &page, const std::string &path, Fault &fault)
{
    cairo_surface_flush(page.surface.get());
    cairo_status_t status = cairo_status(page.cr.get());
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_write_to_png_stream(page.surface.get(), Write, &page.sink);
    page.cr.reset();
    page.surface.reset();
    if (page.sink.error != 0)
        return Fault_system(fault, path.c_str(), page.sink.error);
    return status == CAIRO_STATUS_SUCCESS || Fault_fail(fault, path.c_str(), "%s", cairo_status_to_string(status));
}

} // namespace

void Draw_grid(const Layout_setup &setup, Sheet sheet, int &across, int &down)
{
    double width = 0, height = 0;
    Sheet_size(sheet, width, height);
    across = static_cast<int>(std::floor((width - 2 * SHEET_MARGIN) / setup.width + 1e-9));
    down = static_cast<int>(std::floor((height - 2 * SHEET_MARGIN) / setup.height + 1e-9));
}

Picture Draw_picture(const Layout_setup &setup, std::size_t count)
{
    long labelWidth = std::lround(setup.width / setup.dot), labelHeight = std::lround(setup.height / setup.dot);
    if (count == 1)
        return {1, 1, 0, labelWidth, labelHeight, 1};
    // Roughly square: as many across as the sheet's height takes down, as
    // many as a page holds.
    auto n = static_cast<double>(count);
    long gap = std::lround(PICTURE_GAP / setup.dot);
    long across = std::lround(std::ceil(std::sqrt(n * static_cast<double>(labelHeight) / static_cast<double>(labelWidth))));
    across = std::min(across, std::max(1L, (DRAW_PAGE_PIXELS - gap) / (labelWidth + gap)));
    long down = static_cast<long>((count + static_cast<std::size_t>(across) - 1) / static_cast<std::size_t>(across));
    down = std::min(down, std::max(1L, (DRAW_PAGE_PIXELS - gap) / (labelHeight + gap)));
    auto perPage = static_cast<std::size_t>(across * down);
    return {across, down, gap, across * (labelWidth + gap) + gap, down * (labelHeight + gap) + gap,
            (count + perPage - 1) / perPage};
}

bool Draw_pdf(Output &output, const Layout_setup &setup, Sheet sheet, const std::vector<Label> &labels,
              const std::function<void(std::size_t)> &show, Fault &fault)
{
    Sink sink{output.fp, 0};
    double pageWidth = setup.width, pageHeight = setup.height;
    int across = 1, down = 1;
    if (sheet != SHEET_NONE) {
        Sheet_size(sheet, pageWidth, pageHeight);
        Draw_grid(setup, sheet, across, down);
    }
    Surface surface(
        cairo_pdf_surface_create_for_stream(Write, &sink, pageWidth * POINTS_PER_MM, pageHeight * POINTS_PER_MM));
    cairo_pdf_surface_set_metadata(surface.get(), CAIRO_PDF_METADATA_CREATOR, "reclabel " ZOL_VERSION);
    Context context(cairo_create(surface.get()));
    cairo_t *cr = context.get();
    cairo_scale(cr, POINTS_PER_MM, POINTS_PER_MM);
    Font_prepare(cr);
    double left = (pageWidth - across * setup.width) / 2, top = (pageHeight - down * setup.height) / 2;
    std::size_t perPage = static_cast<std::size_t>(across) * static_cast<std::size_t>(down);
    bool drawn = Codes_ahead(setup, labels, [&](std::size_t i, Label_layout &layout, Fault &why) {
        if (!Layout_label(setup, labels[i], layout, why))
            return false;
        double x = left + static_cast<double>(i % perPage % static_cast<std::size_t>(across)) * setup.width;
        double y = top + static_cast<double>(i % perPage / static_cast<std::size_t>(across)) * setup.height;
        if (sheet != SHEET_NONE) { // a hairline around each label to cut along
            cairo_set_source_rgb(cr, 0.75, 0.75, 0.75);
            cairo_set_line_width(cr, 0.1);
            cairo_rectangle(cr, x, y, setup.width, setup.height);
            cairo_stroke(cr);
        }
        Draw_label(cr, setup, layout, x, y);
        if ((i + 1) % perPage == 0 || i + 1 == labels.size())
            cairo_show_page(cr);
        show(i + 1);
        return sink.error == 0;
    }, fault);
    return Finish(surface, context, sink, output.paths.back(), drawn, fault);
}

bool Draw_png(Output &output, const Layout_setup &setup, const std::vector<Label> &labels,
              const std::vector<std::string> &pages, const std::function<void(std::size_t)> &show, Fault &fault)
{
    const Picture picture = Draw_picture(setup, labels.size());
    const long labelWidth = std::lround(setup.width / setup.dot), labelHeight = std::lround(setup.height / setup.dot);
    const auto perPage = static_cast<std::size_t>(picture.across * picture.down);
    Png_page page{};
    bool drawn = Codes_ahead(setup, labels, [&](std::size_t i, Label_layout &layout, Fault &why) {
        if (!Layout_label(setup, labels[i], layout, why))
            return false;
        if (i % perPage == 0) {
            if (i > 0 && !Png_end(page, output.paths.back(), why))
                return false;
            if (!pages.empty() && !Output_add(output, pages[i / perPage], why))
                return false;
            Png_begin(page, setup, picture, output.fp);
        }
        // Each label on whole pixels, so that its modules stay on the pixel grid.
        auto at = static_cast<long>(i % perPage);
        double x = static_cast<double>(picture.gap + at % picture.across * (labelWidth + picture.gap)) * setup.dot;
        double y = static_cast<double>(picture.gap + at / picture.across * (labelHeight + picture.gap)) * setup.dot;
        cairo_set_source_rgb(page.cr.get(), 1, 1, 1);
        cairo_rectangle(page.cr.get(), x, y, static_cast<double>(labelWidth) * setup.dot,
                        static_cast<double>(labelHeight) * setup.dot);
        cairo_fill(page.cr.get());
        Draw_label(page.cr.get(), setup, layout, x, y);
        show(i + 1);
        return true;
    }, fault);
    return drawn && Png_end(page, output.paths.back(), fault);
}
