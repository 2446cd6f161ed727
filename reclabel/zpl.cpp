#include "zpl.h"

#include "codes.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

struct Format {
    std::string text;
    double dot;
};

void Number(Format &format, double mm)
{
    format.text += std::to_string(std::lround(mm / format.dot));
}

enum Field_kind {
    FIELD_TEXT,
    FIELD_CODE128, // '>' starts an invocation code in Code 128 data
    FIELD_BLOCK,   // text in a ^FB field block, where '\' starts a line break or hyphen
};

// ^FD and the data, with ^FH before it when the data holds a character that
// ZPL reads as a command (^, ~) or as ^FH's own escape (_); then ^FS.
void Field(Format &format, std::string_view prefix, std::string_view data, Field_kind kind = FIELD_TEXT)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    bool escaped = data.find_first_of("^~_") != std::string_view::npos;
    format.text.append(escaped ? "^FH^FD" : "^FD").append(prefix);
    for (char c : data) {
        if (escaped && (c == '^' || c == '~' || c == '_')) {
            format.text += '_';
            format.text += HEX[static_cast<unsigned char>(c) >> 4];
            format.text += HEX[static_cast<unsigned char>(c) & 0x0f];
        } else if (kind == FIELD_CODE128 && c == '>') {
            format.text += ">0";
        } else if (kind == FIELD_BLOCK && c == '\\') {
            format.text += "\\\\";
        } else {
            format.text += c;
        }
    }
    format.text += "^FS\n";
}

void Origin(Format &format, double x, double y)
{
    format.text += "^FO";
    Number(format, x);
    format.text += ',';
    Number(format, y);
}

void Label_format(Format &format, const Layout_setup &setup, const Label_layout &layout)
{
    format.text += "^XA\n^CI28\n^PW";
    Number(format, setup.width);
    format.text += "\n^LL";
    Number(format, setup.height);
    format.text += "\n^LH0,0\n";

    // The QR code in manual byte input, so that the printer takes the bytes
    // as they are: error correction M, then B and the byte count.
    Origin(format, layout.qr.x, layout.qr.y);
    format.text += "^BQN,2,";
    Number(format, layout.qr.module);
    char count[8];
    std::snprintf(count, sizeof count, "%04zu", layout.qr.data.size());
    Field(format, std::string("MM,B") + count, layout.qr.data);

    for (const Placed_code &bar : layout.bars) {
        Origin(format, bar.x, bar.y);
        format.text += "^BY";
        Number(format, bar.module);
        format.text += "^BCN,";
        Number(format, bar.height);
        format.text += ",N,N,N,N";
        Field(format, ">:", bar.data, FIELD_CODE128); // subset B from the start
    }
    for (const Placed_text &text : layout.texts) {
        Origin(format, text.x, text.top);
        if (text.box > 0) {
            format.text += "^FB";
            Number(format, text.box);
            format.text += ",1,0,C,0";
        }
        format.text += "^A0N,";
        Number(format, text.size);
        format.text += ',';
        Number(format, text.size);
        Field(format, "", text.text, text.box > 0 ? FIELD_BLOCK : FIELD_TEXT);
    }
    format.text += "^XZ\n";
}

} // namespace

bool Zpl_write(Output &output, const Layout_setup &setup, const std::vector<Label> &labels,
               const std::function<void(std::size_t)> &show, Fault &fault)
{
    Format format{{}, setup.dot};
    Label_layout layout{};
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (!Codes_make(setup, labels[i], layout, fault) || !Layout_label(setup, labels[i], layout, fault))
            return false;
        format.text.clear();
        Label_format(format, setup, layout);
        if (std::fwrite(format.text.data(), 1, format.text.size(), output.fp) != format.text.size())
            return Fault_system(fault, output.paths.back().c_str(), errno);
        show(i + 1);
    }
    return true;
}
