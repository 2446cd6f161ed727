// The labels' text face, DejaVu Sans Mono, found through fontconfig, with
// another installed font for each character it lacks (Droid Sans Fallback
// for Chinese and Japanese, say). Text is measured and drawn in runs of one
// face each; sizes are em sizes in the caller's units.
#pragma once

#include <cairo.h>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct Font_face {
    cairo_font_face_t *face;
    cairo_scaled_font_t *scaled; // at FONT_MEASURE_SIZE, for widths
    void *charset;               // its FcCharSet
    std::string file;            // the font file, and the face in it
    int index;
};

struct Font {
    std::vector<Font_face> faces;                 // faces[0] is the label face
    std::unordered_map<char32_t, int> fallback;   // a character's face, -1 for none
};

// nullptr, or why text cannot be on a label whatever the font: it is not
// UTF-8, or it holds a control character (C0, DEL or C1).
const char *Font_check(std::string_view text);

// nullptr, or why the label face cannot be had.
const char *Font_open(Font &font);
void Font_close(Font &font);

// A character new to the font is looked up with fontconfig and remembered,
// which is not safe on two threads at once; once every text has been
// measured, measuring and drawing it again only reads the font.

// The width of text at em size 1, or a negative number and why in why:
// not UTF-8, a control character, or a character that no font has.
double Font_width(Font &font, std::string_view text, std::string &why);

// Sets cr to draw text with the metrics that Font_width measures.
void Font_prepare(cairo_t *cr);

// Draws text with its left end at x on the baseline y at em size size.
void Font_draw(Font &font, cairo_t *cr, std::string_view text, double x, double y, double size);
