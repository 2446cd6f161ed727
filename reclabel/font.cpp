#include "font.h"

#include "text.h"

#include <cairo-ft.h>
#include <fontconfig/fontconfig.h>

namespace {

constexpr const char *FAMILY = "DejaVu Sans Mono";
constexpr double MEASURE_SIZE = 1000; // widths in thousandths of an em

// The next character of text from at, which is UTF-8 (Text_isUtf8).
char32_t Next_char(std::string_view text, std::size_t &at)
{
    auto lead = static_cast<unsigned char>(text[at++]);
    int more = lead < 0x80 ? 0 : lead < 0xe0 ? 1 : lead < 0xf0 ? 2 : 3;
    char32_t c = more == 0 ? lead : lead & (0x3f >> more);
    for (int i = 0; i < more; ++i)
        c = c << 6 | (static_cast<unsigned char>(text[at++]) & 0x3f);
    return c;
}

cairo_font_options_t *Unhinted()
{
    // Unhinted metrics scale with the size, so one measure serves them all.
    cairo_font_options_t *options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    return options;
}

struct Pattern_free {
    void operator()(FcPattern *pattern) const { FcPatternDestroy(pattern); }
};
using Pattern = std::unique_ptr<FcPattern, Pattern_free>;

// The installed font that fontconfig picks for the family and, when
// needed is not 0, that has that character.
Pattern Match(FcChar32 needed)
{
    Pattern pattern(FcNameParse(reinterpret_cast<const FcChar8 *>(FAMILY)));
    if (pattern == nullptr)
        return nullptr;
    if (needed != 0) {
        std::unique_ptr<void, Font_charsetFree> wanted(FcCharSetCreate());
        FcCharSetAddChar(static_cast<FcCharSet *>(wanted.get()), needed);
        FcPatternAddCharSet(pattern.get(), FC_CHARSET, static_cast<FcCharSet *>(wanted.get())); // copies it
    }
    FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    Pattern match(FcFontMatch(nullptr, pattern.get(), &result));
    FcCharSet *charset = nullptr;
    FcChar8 *family = nullptr;
    if (match == nullptr || FcPatternGetCharSet(match.get(), FC_CHARSET, 0, &charset) != FcResultMatch ||
        (needed == 0 && (FcPatternGetString(match.get(), FC_FAMILY, 0, &family) != FcResultMatch ||
                         FcStrCmpIgnoreCase(family, reinterpret_cast<const FcChar8 *>(FAMILY)) != 0)) ||
        (needed != 0 && !FcCharSetHasChar(charset, needed)))
        return nullptr;
    return match;
}

// The face of the font that Match picks, added to font unless it is in use
// already; its place in font.faces, or -1 when there is none.
int Add_face(Font &font, FcChar32 needed)
{
    Pattern match = Match(needed);
    if (match == nullptr)
        return -1;
    FcChar8 *file = nullptr;
    FcCharSet *charset = nullptr;
    int index = 0;
    FcPatternGetString(match.get(), FC_FILE, 0, &file);
    FcPatternGetInteger(match.get(), FC_INDEX, 0, &index);
    FcPatternGetCharSet(match.get(), FC_CHARSET, 0, &charset);
    std::string path = file != nullptr ? reinterpret_cast<const char *>(file) : "";
    for (std::size_t f = 0; f < font.faces.size(); ++f)
        if (font.faces[f].file == path && font.faces[f].index == index)
            return static_cast<int>(f); // a font already in use
    Font_face face{};
    face.face.reset(cairo_ft_font_face_create_for_pattern(match.get()));
    face.charset.reset(FcCharSetCopy(charset));
    face.file = path;
    face.index = index;
    cairo_matrix_t size{}, identity{};
    cairo_matrix_init_scale(&size, MEASURE_SIZE, MEASURE_SIZE);
    cairo_matrix_init_identity(&identity);
    cairo_font_options_t *options = Unhinted();
    face.scaled.reset(cairo_scaled_font_create(face.face.get(), &size, &identity, options));
    cairo_font_options_destroy(options);
    if (cairo_scaled_font_status(face.scaled.get()) != CAIRO_STATUS_SUCCESS)
        return -1;
    font.faces.push_back(std::move(face));
    return static_cast<int>(font.faces.size()) - 1;
}

// The face of character c: the label face when it has it, else another.
int Face_of(Font &font, char32_t c)
{
    if (FcCharSetHasChar(static_cast<FcCharSet *>(font.faces[0].charset.get()), c))
        return 0;
    auto known = font.fallback.find(c);
    if (known != font.fallback.end())
        return known->second;
    return font.fallback[c] = Add_face(font, c);
}

// Splits text into runs of one face each; run(face, bytes) is called for
// each. false with why when a character cannot be shown.
template <typename Run> bool Runs(Font &font, std::string_view text, Fault &fault, Run run)
{
    if (!Font_check(text, fault))
        return false;
    std::size_t start = 0;
    int current = -1;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t here = at;
        char32_t c = Next_char(text, at);
        int face = Face_of(font, c);
        if (face < 0)
            return Fault_refuse(fault, nullptr, "no installed font has the character U+%04lX",
                                static_cast<unsigned long>(c));
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

void Font_charsetFree::operator()(void *charset) const
{
    FcCharSetDestroy(static_cast<FcCharSet *>(charset));
}

bool Font_check(std::string_view text, Fault &fault)
{
    if (!Text_isUtf8(text))
        return Fault_refuse(fault, nullptr, "not UTF-8 text");
    for (std::size_t at = 0; at < text.size();)
        if (char32_t c = Next_char(text, at); c < 0x20 || (c >= 0x7f && c < 0xa0))
            return Fault_refuse(fault, nullptr, "holds a control character");
    return true;
}

bool Font_open(Font &font, Fault &fault)
{
    if (FcInit() == FcFalse)
        return Fault_fail(fault, "font", "fontconfig cannot be set up");
    if (Add_face(font, 0) < 0)
        return Fault_fail(fault, "font", "the font DejaVu Sans Mono is not installed (Debian: fonts-dejavu-core)");
    return true;
}

bool Font_width(Font &font, std::string_view text, double &width, Fault &fault)
{
    width = 0;
    return Runs(font, text, fault, [&](int face, std::string_view run) {
        cairo_glyph_t *glyphs = nullptr;
        int count = 0;
        cairo_scaled_font_t *scaled = font.faces[static_cast<std::size_t>(face)].scaled.get();
        if (cairo_scaled_font_text_to_glyphs(scaled, 0, 0, run.data(), static_cast<int>(run.size()), &glyphs, &count,
                                             nullptr, nullptr, nullptr) != CAIRO_STATUS_SUCCESS)
            return;
        cairo_text_extents_t extents{};
        cairo_scaled_font_glyph_extents(scaled, glyphs, count, &extents);
        cairo_glyph_free(glyphs);
        width += extents.x_advance / MEASURE_SIZE;
    });
}

void Font_prepare(cairo_t *cr)
{
    cairo_font_options_t *options = Unhinted();
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

void Font_draw(Font &font, cairo_t *cr, std::string_view text, double x, double y, double size)
{
    Fault fault{};
    cairo_move_to(cr, x, y);
    Runs(font, text, fault, [&](int face, std::string_view run) {
        cairo_set_font_face(cr, font.faces[static_cast<std::size_t>(face)].face.get());
        cairo_set_font_size(cr, size);
        std::string bytes(run); // cairo takes a NUL-terminated string
        cairo_show_text(cr, bytes.c_str()); // moves the current point past the run
    });
}
