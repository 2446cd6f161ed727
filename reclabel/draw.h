// Labels drawn with cairo: a PDF of one label a page or of sheets of them,
// or a PNG picture of one label, or a contact sheet of several written as
// pictures of at most PAGE_PIXELS across and down, one a page.
#pragma once

#include "layout.h"
#include "output.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

enum Sheet { SHEET_NONE, SHEET_A4, SHEET_LETTER };

// How many labels of setup's size a sheet holds across and down; 0 when
// not one fits.
void Draw_grid(const Layout_setup &setup, Sheet sheet, int &across, int &down);

// A picture of labels: one label, or a page of a contact sheet, labels
// 2 mm apart on grey, roughly square, at most DRAW_PAGE_PIXELS across and
// down unless one label is larger.
inline constexpr long DRAW_PAGE_PIXELS = 4096;

struct Picture {
    long across, down; // labels on a page
    long gap;          // pixels between them and around them
    long width, height; // of a page, in pixels
    std::size_t pages;
};

// The pictures of count labels at setup.dot.
Picture Draw_picture(const Layout_setup &setup, std::size_t count);

// Each writes the whole document into output: the PDF, or the PNG of one
// label, into the file output has begun; the pages of a contact sheet each
// into a file of its own, named by pages. show(done) is called as labels
// are drawn. false with why when cairo or a write failed, or a label's
// codes could not be made.
bool Draw_pdf(Output &output, const Layout_setup &setup, Sheet sheet, const std::vector<Label> &labels,
              const std::function<void(std::size_t)> &show, Fault &fault);
bool Draw_png(Output &output, const Layout_setup &setup, const std::vector<Label> &labels,
              const std::vector<std::string> &pages, const std::function<void(std::size_t)> &show, Fault &fault);
