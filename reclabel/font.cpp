#include "font.h"

#include <cairo-ft.h>
#include <cstdio>
#include <fontconfig/fontconfig.h>

namespace {

constexpr const char *FAMILY = "DejaVu Sans Mono";
constexpr double MEASURE_SIZE = 1000; // widths in thousandths of an em

// The next character of text from at, or -1 for bytes that are not UTF-8.
long Next_char(std::string_view text, std::size_t &at)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    int more = lead < 0x80 ? 0 : lead >= 0xc2 && lead <= 0xdf ? 1 : lead >= 0xe0 && lead <= 0xef ? 2
                                                                 : lead >= 0xf0 && lead <= 0xf4 ? 3 : -1;
    if (more < 0 || text.size() - at <= static_cast<std::size_t>(more))
        return -1;
    long c = more == 0 ? lead : lead & (0x3f >> more);
    for (int i = 1; i <= more; ++i) {
        if ((byte(at + static_cast<std::size_t>(i)) & 0xc0) != 0x80)
            return -1;
        c = c << 6 | (byte(at + static_cast<std::size_t>(i)) & 0x3f);
    }
    static constexpr long LEAST[] = {0, 0x80, 0x800, 0x10000};
    if (c < LEAST[more] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
        return -1;
    at += static_cast<std::size_t>(more) + 1;
    return c;
}

// nullptr, or why c (from Next_char) cannot be on a label.
const char *Char_fault(long c)
{
    if (c < 0)
        return "not UTF-8 text";
    if (c < 0x20 || (c >= 0x7f && c < 0xa0))
        return "holds a control character";
    return nullptr;
}

cairo_font_options_t *Unhinted()
{
    // Unhinted metrics scale with the size, so one measure serves them all.
    cairo_font_options_t *options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    return options;
}

// The installed font that fontconfig picks for the family and, when
// needed is not 0, that has that character; -1 when there is none.
int Add_face(Font &font, FcChar32 needed)
{
    FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>(FAMILY));
    if (pattern == nullptr)
        return -1;
    FcCharSet *wanted = nullptr;
    if (needed != 0) {
        wanted = FcCharSetCreate();
        FcCharSetAddChar(wanted, needed);
        FcPatternAddCharSet(pattern, FC_CHARSET, wanted);
    }
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (wanted != nullptr)
        FcCharSetDestroy(wanted);
    FcCharSet *charset = nullptr;
    FcChar8 *family = nullptr;
    if (match == nullptr || FcPatternGetCharSet(match, FC_CHARSET, 0, &charset) != FcResultMatch ||
        (needed == 0 && (FcPatternGetString(match, FC_FAMILY, 0, &family) != FcResultMatch ||
                         FcStrCmpIgnoreCase(family, reinterpret_cast<const FcChar8 *>(FAMILY)) != 0)) ||
        (needed != 0 && !FcCharSetHasChar(charset, needed))) {
        if (match != nullptr)
            FcPatternDestroy(match);
        return -1;
    }
    FcChar8 *file = nullptr;
    int index = 0;
    FcPatternGetString(match, FC_FILE, 0, &file);
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    std::string path = file != nullptr ? reinterpret_cast<const char *>(file) : "";
    for (std::size_t f = 0; f < font.faces.size(); ++f)
        if (font.faces[f].file == path && font.faces[f].index == index) {
            FcPatternDestroy(match); // a font already in use
            return static_cast<int>(f);
        }
    Font_face face{cairo_ft_font_face_create_for_pattern(match), nullptr, FcCharSetCopy(charset), path, index};
    FcPatternDestroy(match);
    cairo_matrix_t size{}, identity{};
    cairo_matrix_init_scale(&size, MEASURE_SIZE, MEASURE_SIZE);
    cairo_matrix_init_identity(&identity);
    cairo_font_options_t *options = Unhinted();
    face.scaled = cairo_scaled_font_create(face.face, &size, &identity, options);
    cairo_font_options_destroy(options);
    if (cairo_scaled_font_status(face.scaled) != CAIRO_STATUS_SUCCESS) {
        cairo_scaled_font_destroy(face.scaled);
        cairo_font_face_destroy(face.face);
        FcCharSetDestroy(static_cast<FcCharSet *>(face.charset));
        return -1;
    }
    font.faces.push_back(face);
    return static_cast<int>(font.faces.size()) - 1;
}

// The face of character c: the label face when it has it, else another.
int Face_of(Font &font, char32_t c)
{
    if (FcCharSetHasChar(static_cast<FcCharSet *>(font.faces[0].charset), c))
        return 0;
    auto known = font.fallback.find(c);
    if (known != font.fallback.end())
        return known->second;
    return font.fallback[c] = Add_face(font, c);
}

// Splits text into runs of one face each; run(face, bytes) is called for
// each. false with why when a character cannot be shown.
template <typename Run> bool Runs(Font &font, std::string_view text, std::string &why, Run run)
{
    std::size_t start = 0;
    int current = -1;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t here = at;
        long c = Next_char(text, at);
        if (const char *fault = Char_fault(c)) {
            why = fault;
            return false;
        }
        int face = Face_of(font, static_cast<char32_t>(c));
        if (face < 0) {
            char code[24];
            std::snprintf(code, sizeof code, "U+%04lX", static_cast<unsigned long>(c));
            why = std::string("no installed font has the character ") + code;
            return false;
        }
        if (face != current && here > start)
            run(current, text.substr(start, here - start));
        if (face != current)
            start = here;
        current = face;
    }
    if (text.size() > start)
        run(current, text.substr(start));
    return true;
}

} // namespace

const char *Font_check(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();)
        if (const char *fault = Char_fault(Next_char(text, at)))
            return fault;
    return nullptr;
}

const char *Font_open(Font &font)
{
    if (FcInit() == FcFalse)
        return "fontconfig cannot be set up";
    if (Add_face(font, 0) < 0)
        return "the font DejaVu Sans Mono is not installed (Debian: fonts-dejavu-core)";
    return nullptr;
}

void Font_close(Font &font)
{
    for (Font_face &face : font.faces) {
        cairo_scaled_font_destroy(face.scaled);
        cairo_font_face_destroy(face.face);
        FcCharSetDestroy(static_cast<FcCharSet *>(face.charset));
    }
    font.faces.clear();
    font.fallback.clear();
}

double Font_width(Font &font, std::string_view text, std::string &why)
{
    double width = 0;
    bool shown = Runs(font, text, why, [&](int face, std::string_view run) {
        cairo_glyph_t *glyphs = nullptr;
        int count = 0;
        cairo_scaled_font_t *scaled = font.faces[static_cast<std::size_t>(face)].scaled;
        if (cairo_scaled_font_text_to_glyphs(scaled, 0, 0, run.data(), static_cast<int>(run.size()), &glyphs, &count,
                                             nullptr, nullptr, nullptr) != CAIRO_STATUS_SUCCESS)
            return;
        cairo_text_extents_t extents{};
        cairo_scaled_font_glyph_extents(scaled, glyphs, count, &extents);
        cairo_glyph_free(glyphs);
        width += extents.x_advance / MEASURE_SIZE;
    });
    return shown ? width : -1;
}

void Font_prepare(cairo_t *cr)
{
    cairo_font_options_t *options = Unhinted();
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

void Font_draw(Font &font, cairo_t *cr, std::string_view text, double x, double y, double size)
{
    std::string why;
    cairo_move_to(cr, x, y);
    Runs(font, text, why, [&](int face, std::string_view run) {
        cairo_set_font_face(cr, font.faces[static_cast<std::size_t>(face)].face);
        cairo_set_font_size(cr, size);
        std::string bytes(run); // cairo takes a NUL-terminated string
        cairo_show_text(cr, bytes.c_str()); // moves the current point past the run
    });
}
