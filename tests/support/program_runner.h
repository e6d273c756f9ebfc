// Runs a program as a subprocess with its standard output and standard error
// captured separately, and gives tests a scratch directory of their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace progrun {

struct result {
    std::string out;   // standard output
    std::string err;   // standard error
    int status = -1;   // exit status, or -1 when it did not exit normally
};

// Runs `program` with `args` (argv[1]...) in directory `cwd` (current
// directory when empty), standard input from /dev/null.
result run(const std::string &program, const std::vector<std::string> &args,
           const std::string &cwd = "");

// A fresh directory under TMPDIR (or /tmp), removed with its contents.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    std::string file(const std::string &name) const { return path + "/" + name; }
    // Names of the entries, sorted.
    std::vector<std::string> entries() const;
};

void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> read_file(const std::string &path);
bool file_exists(const std::string &path);

}  // namespace progrun
