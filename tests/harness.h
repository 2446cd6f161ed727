// Running the built programs in a scratch folder and reading what they left.
#pragma once

#include <string>
#include <vector>

struct Program_result {
    int status;      // exit status, or -1 when the program did not exit
    std::string out; // standard output, byte for byte
    std::string err; // standard error, byte for byte
};

// A new empty folder under the system's temporary folder.
std::string Scratch_dir();

void Write_file(const std::string &path, const std::string &bytes);
std::string Read_file(const std::string &path);
bool File_exists(const std::string &path);

// The lines of a document's indented block (a README's example) that
// begins with the line first, each without its indent.
std::string Doc_block(const std::string &path, const std::string &first);

// Runs program with args; its output streams go to files beside dir.
Program_result Run_program(const std::string &program, const std::vector<std::string> &args,
                           const std::string &dir);

// As Run_program, with standard output sent to outPath (not captured), or
// closed when outPath is empty, or to a pipe whose reader has gone when it
// is "|"; standard input is /dev/null, or closed when inClosed.
Program_result Run_program_to(const std::string &program, const std::vector<std::string> &args,
                              const std::string &dir, const std::string &outPath, bool inClosed = false);

// Runs program on a file of bytes in dir, its one argument.
Program_result Run_on_bytes(const std::string &program, const std::string &bytes, const std::string &dir);

// "60 02 03" as the bytes 0x60 0x02 0x03.
std::string From_hex(const std::string &hex);

// A record of the record file, built from the byte table of the format.
std::string Record(int type, const std::string &data);
