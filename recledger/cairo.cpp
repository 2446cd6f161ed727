// cairo, loaded when a page is first drawn (library.h): find, export and
// the other commands never load it, nor fontconfig, FreeType and the rest
// that it needs in turn.
#include "chart.h"
#include "library.h"

#include <cairo-svg.h>

#define CAIRO(result, name, parameters, arguments) LIBRARY_FUNCTION(CAIRO_SONAME, result, name, parameters, arguments)

CAIRO(cairo_surface_t *, cairo_svg_surface_create_for_stream,
      (cairo_write_func_t write, void *closure, double width, double height), (write, closure, width, height))
CAIRO(void, cairo_svg_surface_set_document_unit, (cairo_surface_t * surface, cairo_svg_unit_t unit), (surface, unit))
CAIRO(cairo_status_t, cairo_surface_status, (cairo_surface_t * surface), (surface))
CAIRO(void, cairo_surface_finish, (cairo_surface_t * surface), (surface))
CAIRO(void, cairo_surface_destroy, (cairo_surface_t * surface), (surface))
CAIRO(cairo_t *, cairo_create, (cairo_surface_t * surface), (surface))
CAIRO(void, cairo_destroy, (cairo_t * cr), (cr))
CAIRO(cairo_status_t, cairo_status, (cairo_t * cr), (cr))
CAIRO(const char *, cairo_status_to_string, (cairo_status_t status), (status))
CAIRO(void, cairo_set_source_rgb, (cairo_t * cr, double red, double green, double blue), (cr, red, green, blue))
CAIRO(void, cairo_set_line_width, (cairo_t * cr, double width), (cr, width))
CAIRO(void, cairo_move_to, (cairo_t * cr, double x, double y), (cr, x, y))
CAIRO(void, cairo_line_to, (cairo_t * cr, double x, double y), (cr, x, y))
CAIRO(void, cairo_rectangle, (cairo_t * cr, double x, double y, double width, double height), (cr, x, y, width, height))
CAIRO(void, cairo_paint, (cairo_t * cr), (cr))
CAIRO(void, cairo_fill, (cairo_t * cr), (cr))
CAIRO(void, cairo_stroke, (cairo_t * cr), (cr))
CAIRO(void, cairo_select_font_face, (cairo_t * cr, const char *family, cairo_font_slant_t slant, cairo_font_weight_t weight),
      (cr, family, slant, weight))
CAIRO(void, cairo_set_font_size, (cairo_t * cr, double size), (cr, size))
CAIRO(void, cairo_show_text, (cairo_t * cr, const char *text), (cr, text))
CAIRO(void, cairo_text_extents, (cairo_t * cr, const char *text, cairo_text_extents_t *extents), (cr, text, extents))
