#include "draw.h"

#include <algorithm>
#include <cairo-pdf.h>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr double POINTS_PER_MM = 72 / 25.4;
constexpr double SHEET_MARGIN = 10; // what office printers leave blank
constexpr double PICTURE_GAP = 2;   // between the labels of a contact sheet

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

// The labels were laid out once to check them; each is laid out again as it
// is drawn, so that memory does not grow with the batch. That is done on a
// second thread, a few labels ahead of the drawing: encoding a QR code
// takes about half as long as drawing it. Every character of the texts has
// its face by now, so the two threads only read the font.
struct Ahead {
    std::vector<Label_layout> ring;
    std::size_t made = 0, drawn = 0; // labels laid out, and drawn
    bool stop = false;               // the drawing ended early
    bool failed = false;
    std::string why;
    std::mutex lock;
    std::condition_variable changed;
};

void Lay_out_ahead(const Layout_setup &setup, const std::vector<Label> &labels, Ahead &ahead)
{
    std::string column, why;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        {
            std::unique_lock<std::mutex> held(ahead.lock);
            ahead.changed.wait(held, [&] { return ahead.stop || i - ahead.drawn < ahead.ring.size(); });
            if (ahead.stop)
                return;
        }
        bool laid = Layout_label(setup, labels[i], ahead.ring[i % ahead.ring.size()], column, why);
        std::lock_guard<std::mutex> held(ahead.lock);
        if (!laid) {
            ahead.failed = true;
            ahead.why = column + ": " + why;
        } else {
            ahead.made = i + 1;
        }
        ahead.changed.notify_all();
        if (!laid)
            return;
    }
}

// Calls draw(i, layout) for each label in turn, until it returns false;
// false with why when a label cannot be laid out.
template <typename Draw>
bool Each_layout(const Layout_setup &setup, const std::vector<Label> &labels, std::string &why, Draw draw)
{
    Ahead ahead;
    ahead.ring.resize(32);
    std::thread layer(Lay_out_ahead, std::cref(setup), std::cref(labels), std::ref(ahead));
    bool drawing = true;
    for (std::size_t i = 0; i < labels.size() && drawing; ++i) {
        {
            std::unique_lock<std::mutex> held(ahead.lock);
            ahead.changed.wait(held, [&] { return ahead.failed || ahead.made > i; });
            if (ahead.made <= i)
                break;
        }
        drawing = draw(i, ahead.ring[i % ahead.ring.size()]);
        std::lock_guard<std::mutex> held(ahead.lock);
        ahead.drawn = i + 1;
        ahead.stop = !drawing;
        ahead.changed.notify_all();
    }
    layer.join();
    why = ahead.why;
    return !ahead.failed;
}

int Finish(cairo_surface_t *surface, cairo_t *cr, const Sink &sink, std::string &why)
{
    cairo_status_t status = cr != nullptr ? cairo_status(cr) : CAIRO_STATUS_SUCCESS;
    if (cr != nullptr)
        cairo_destroy(cr);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (sink.error != 0)
        return sink.error;
    if (status != CAIRO_STATUS_SUCCESS && why.empty())
        why = cairo_status_to_string(status);
    return why.empty() ? 0 : -1;
}

} // namespace

void Draw_grid(const Layout_setup &setup, Sheet sheet, int &across, int &down)
{
    double width = 0, height = 0;
    Sheet_size(sheet, width, height);
    across = static_cast<int>(std::floor((width - 2 * SHEET_MARGIN) / setup.width + 1e-9));
    down = static_cast<int>(std::floor((height - 2 * SHEET_MARGIN) / setup.height + 1e-9));
}

void Draw_pictureSize(const Layout_setup &setup, std::size_t count, long &width, long &height)
{
    long labelWidth = std::lround(setup.width / setup.dot), labelHeight = std::lround(setup.height / setup.dot);
    if (count == 1) {
        width = labelWidth;
        height = labelHeight;
        return;
    }
    // Roughly square: as many across as the sheet's height takes down.
    auto n = static_cast<double>(count);
    long across = std::lround(std::ceil(std::sqrt(n * static_cast<double>(labelHeight) / static_cast<double>(labelWidth))));
    long down = static_cast<long>((count + static_cast<std::size_t>(across) - 1) / static_cast<std::size_t>(across));
    long gap = std::lround(PICTURE_GAP / setup.dot);
    width = across * (labelWidth + gap) + gap;
    height = down * (labelHeight + gap) + gap;
}

int Draw_pdf(std::FILE *out, const Layout_setup &setup, Sheet sheet, const std::vector<Label> &labels,
             std::string &why)
{
    Sink sink{out, 0};
    double pageWidth = setup.width, pageHeight = setup.height;
    int across = 1, down = 1;
    if (sheet != SHEET_NONE) {
        Sheet_size(sheet, pageWidth, pageHeight);
        Draw_grid(setup, sheet, across, down);
    }
    cairo_surface_t *surface =
        cairo_pdf_surface_create_for_stream(Write, &sink, pageWidth * POINTS_PER_MM, pageHeight * POINTS_PER_MM);
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATOR, "reclabel " ZOL_VERSION);
    cairo_t *cr = cairo_create(surface);
    cairo_scale(cr, POINTS_PER_MM, POINTS_PER_MM);
    Font_prepare(cr);
    double left = (pageWidth - across * setup.width) / 2, top = (pageHeight - down * setup.height) / 2;
    std::size_t perPage = static_cast<std::size_t>(across) * static_cast<std::size_t>(down);
    Each_layout(setup, labels, why, [&](std::size_t i, const Label_layout &layout) {
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
        return sink.error == 0;
    });
    return Finish(surface, cr, sink, why);
}

int Draw_png(std::FILE *out, const Layout_setup &setup, const std::vector<Label> &labels, std::string &why)
{
    Sink sink{out, 0};
    long width = 0, height = 0;
    Draw_pictureSize(setup, labels.size(), width, height);
    cairo_surface_t *surface =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), static_cast<int>(height));
    cairo_t *cr = cairo_create(surface);
    cairo_scale(cr, 1 / setup.dot, 1 / setup.dot); // millimetres
    Font_prepare(cr);
    long labelWidth = std::lround(setup.width / setup.dot), labelHeight = std::lround(setup.height / setup.dot);
    bool sheet = labels.size() > 1;
    long gap = sheet ? std::lround(PICTURE_GAP / setup.dot) : 0;
    long across = sheet ? (width - gap) / (labelWidth + gap) : 1;
    cairo_set_source_rgb(cr, sheet ? 0.85 : 1, sheet ? 0.85 : 1, sheet ? 0.85 : 1);
    cairo_paint(cr);
    Each_layout(setup, labels, why, [&](std::size_t i, const Label_layout &layout) {
        // Each label on whole pixels, so that its modules stay on the pixel grid.
        long column = static_cast<long>(i) % across, row = static_cast<long>(i) / across;
        double x = static_cast<double>(gap + column * (labelWidth + gap)) * setup.dot;
        double y = static_cast<double>(gap + row * (labelHeight + gap)) * setup.dot;
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_rectangle(cr, x, y, static_cast<double>(labelWidth) * setup.dot,
                        static_cast<double>(labelHeight) * setup.dot);
        cairo_fill(cr);
        Draw_label(cr, setup, layout, x, y);
        return true;
    });
    cairo_surface_flush(surface);
    if (why.empty() && cairo_status(cr) == CAIRO_STATUS_SUCCESS) {
        cairo_status_t status = cairo_surface_write_to_png_stream(surface, Write, &sink);
        if (status != CAIRO_STATUS_SUCCESS && sink.error == 0)
            why = cairo_status_to_string(status);
    }
    return Finish(surface, cr, sink, why);
}
