// The labels' text face, DejaVu Sans Mono, found through fontconfig, with
// another installed font for each character it lacks (Droid Sans Fallback
// for Chinese and Japanese, say). Text is measured and drawn in runs of one
// face each; sizes are em sizes in the caller's units.
#pragma once

#include "fault.h"

#include <cairo.h>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Owners of the C handles of a face, which free them when it goes.
struct Font_faceFree {
    void operator()(cairo_font_face_t *face) const { cairo_font_face_destroy(face); }
};
struct Font_scaledFree {
    void operator()(cairo_scaled_font_t *scaled) const { cairo_scaled_font_destroy(scaled); }
};
struct Font_charsetFree {
    void operator()(void *charset) const; // an FcCharSet
};

struct Font_face {
    std::unique_ptr<cairo_font_face_t, Font_faceFree> face;
    std::unique_ptr<cairo_scaled_font_t, Font_scaledFree> scaled; // at FONT_MEASURE_SIZE, for widths
    std::unique_ptr<void, Font_charsetFree> charset;             // its FcCharSet
    std::string file;                                            // the font file, and the face in it
    int index;
};

struct Font {
    std::vector<Font_face> faces;                 // faces[0] is the label face
    std::unordered_map<char32_t, int> fallback;   // a character's face, -1 for none
};

// Why text cannot be on a label whatever the font: it is not UTF-8, or it
// holds a control character (C0, DEL or C1); or true.
bool Font_check(std::string_view text, Fault &fault);

// The label face, or false with why it cannot be had.
bool Font_open(Font &font, Fault &fault);

// A character new to the font is looked up with fontconfig and remembered,
// which is not safe on two threads at once: only one thread uses a Font.

// The width of text at em size 1, or false with why: not UTF-8, a control
// character, or a character that no font has.
bool Font_width(Font &font, std::string_view text, double &width, Fault &fault);

// Sets cr to draw text with the metrics that Font_width measures.
void Font_prepare(cairo_t *cr);

// Draws text with its left end at x on the baseline y at em size size.
void Font_draw(Font &font, cairo_t *cr, std::string_view text, double x, double y, double size);
