#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

std::string Make_dir(std::string pattern)
{
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    return pattern;
}

// Every scratch folder of a test process lives in one root, removed at exit.
const std::string &Scratch_root()
{
    static const std::string root = [] {
        const char *tmp = std::getenv("TMPDIR");
        return Make_dir(std::string(tmp != nullptr ? tmp : "/tmp") + "/zol-test-XXXXXX");
    }();
    // Registered once root is built, so that it runs before root is destroyed.
    static const bool removed = std::atexit([] { std::filesystem::remove_all(root); }) == 0;
    (void)removed;
    return root;
}

} // namespace

std::string Scratch_dir()
{
    return Make_dir(Scratch_root() + "/XXXXXX");
}

void Write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Doc_block(const std::string &path, const std::string &first)
{
    std::string doc = Read_file(path);
    std::size_t at = doc.find("\n" + first);
    if (at == std::string::npos)
        return "";
    std::string block;
    for (++at; at < doc.size() && doc.compare(at, 4, "    ") == 0; at = doc.find('\n', at) + 1)
        block += doc.substr(at + 4, doc.find('\n', at) - at - 4) + "\n";
    return block;
}

bool File_exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

Program_result Run_program_to(const std::string &program, const std::vector<std::string> &args,
                              const std::string &dir, const std::string &outPath, bool inClosed)
{
    std::string errPath = dir + "/.stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inClosed)
        posix_spawn_file_actions_addclose(&actions, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int gone[2] = {-1, -1};
    if (outPath == "|" && pipe(gone) == 0) {
        close(gone[0]);
        posix_spawn_file_actions_adddup2(&actions, gone[1], 1);
        posix_spawn_file_actions_addclose(&actions, gone[1]);
    } else if (outPath.empty())
        posix_spawn_file_actions_addclose(&actions, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    Program_result result{-1, {}, {}};
    pid_t pid = 0;
    int wstatus = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0 &&
        waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    posix_spawn_file_actions_destroy(&actions);
    if (gone[1] >= 0)
        close(gone[1]);
    result.err = Read_file(errPath);
    std::remove(errPath.c_str());
    return result;
}

Program_result Run_program(const std::string &program, const std::vector<std::string> &args,
                           const std::string &dir)
{
    std::string outPath = dir + "/.stdout";
    Program_result result = Run_program_to(program, args, dir, outPath);
    result.out = Read_file(outPath);
    std::remove(outPath.c_str());
    return result;
}

Program_result Run_on_bytes(const std::string &program, const std::string &bytes, const std::string &dir)
{
    Write_file(dir + "/input.bin", bytes);
    return Run_program(program, {dir + "/input.bin"}, dir);
}

std::string From_hex(const std::string &hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

std::string Record(int type, const std::string &data)
{
    unsigned char sum = 0;
    for (char c : data)
        sum ^= static_cast<unsigned char>(c);
    std::string record{static_cast<char>(sum), static_cast<char>(type), static_cast<char>(data.size())};
    return record + data;
}
