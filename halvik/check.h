// Checking the MAC block at the start of a file.
#pragma once

#include <cstdio>

enum Check_result {
    CHECK_VALID,      // the first eight bytes are a valid MAC block
    CHECK_INVALID,    // they are not, or the file is shorter than a block
    CHECK_READ_ERROR, // the stream failed
};

// Reads the first eight bytes of fp, and not one more, and judges them; fp
// must not have been read from yet.
Check_result Check_stream(std::FILE *fp);
