// Outputs written under a temporary name in their directory and renamed into
// place once complete; never over an input, never left half written.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct output_file {
    std::string path;        // final name; "-" is standard output
    std::string temp_path;   // empty for standard output
    FILE *stream = nullptr;
    bool direct = false;     // an existing device or pipe, written in place
};

// Opens a temporary file beside path. False with a reason when path names
// one of the inputs or no temporary file can be made there.
bool output_open(output_file &out, const std::string &path, const std::vector<std::string> &inputs,
                 std::string &reason);
// Flushes, closes and renames into place. False with a reason after
// removing the temporary file; an existing file at path stays as it was.
bool output_commit(output_file &out, std::string &reason);
// Closes and removes the temporary file.
void output_abandon(output_file &out);

// True when path exists and is the same file as one of the inputs.
bool is_one_of_inputs(const std::string &path, const std::vector<std::string> &inputs);
