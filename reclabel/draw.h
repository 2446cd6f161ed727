// Labels drawn with cairo: a PDF of one label a page or of sheets of them,
// or a PNG picture of one label or a contact sheet of several.
#pragma once

#include "layout.h"

#include <cstdio>
#include <string>
#include <vector>

enum Sheet { SHEET_NONE, SHEET_A4, SHEET_LETTER };

// How many labels of setup's size a sheet holds across and down; 0 when
// not one fits.
void Draw_grid(const Layout_setup &setup, Sheet sheet, int &across, int &down);

// The size in pixels of the picture of count labels at setup.dot.
void Draw_pictureSize(const Layout_setup &setup, std::size_t count, long &width, long &height);

// Each writes the whole document to out and returns 0, or errno when
// writing failed, or -1 when cairo failed, with why.
int Draw_pdf(std::FILE *out, const Layout_setup &setup, Sheet sheet, const std::vector<Label> &labels,
             std::string &why);
int Draw_png(std::FILE *out, const Layout_setup &setup, const std::vector<Label> &labels, std::string &why);
