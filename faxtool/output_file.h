// Outputs that appear under their final name only when complete: written as
// an unnamed file in the target's directory where the file system has them,
// else under a short hidden random name, then linked or renamed into place.
// A killed run leaves nothing behind (or, without unnamed files, a hidden
// file no later run trips over); an input is never written over.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The hidden name of a new file while it is written, where it has to have
// one: the prefix and this many letters and digits.
constexpr std::string_view NEW_FILE_PREFIX = ".ft";
constexpr std::size_t NEW_FILE_LETTERS = 8;
// True for such a name: walking a tree passes over them.
bool is_new_file_name(std::string_view name);

// A file being made in a directory.
struct new_file {
    int dir_fd = -1;
    int fd = -1;
    std::string directory;   // as given, for messages
    std::string temp_name;   // name in the directory; empty while the file is unnamed
};

// Creates the file in directory with `mode` (less the umask). `unnamed`
// false skips the unnamed kind, which is how the fallback gets tested.
// False with a reason that names what failed.
bool new_file_create(new_file &file, const std::string &directory, mode_t mode, std::string &reason,
                     bool unnamed = true);

// Checked right before the file takes its final name; false with a reason
// stops it.
typedef bool (*install_check)(void *user, std::string &reason);

// Syncs the file, gives it `name` in its directory (replacing what is
// there, atomically) and closes it. False with a reason after removing it;
// then whatever was at name is as it was.
bool new_file_install(new_file &file, const std::string &name, std::string &reason,
                      install_check check = nullptr, void *user = nullptr);
// Closes and removes the file.
void new_file_discard(new_file &file);

// The file a link at path names (path itself when it is no link): a new
// file for it is made beside that file, and the link kept. False with a
// reason when the link leads nowhere.
bool link_target(const std::string &path, std::string &target, std::string &reason);

// "." for a bare name, "/" for one in the root.
std::string directory_of(const std::string &path);
std::string name_of(const std::string &path);

struct output_file {
    std::string path;        // final name as given, for messages; "-" is standard output
    std::string target;      // where the file goes: path, or the file a link at path names
    new_file file;           // fd -1 for standard output and devices
    FILE *stream = nullptr;  // over a descriptor of its own
    bool direct = false;     // an existing device or pipe, written in place
};

// Opens the new output for path. Through a link the file it names is
// written, beside itself, and the link kept (so /dev/stdout or a link into
// another tree is written through, not replaced). False with a reason when
// path names one of the inputs, is a link to nothing, or the file cannot be
// made.
bool output_open(output_file &out, const std::string &path, const std::vector<std::string> &inputs,
                 std::string &reason);
// Flushes, closes and puts the output in place. False with a reason after
// removing it; an existing file at path stays as it was.
bool output_commit(output_file &out, std::string &reason);
// Closes and removes the new output.
void output_abandon(output_file &out);

// Sets the output's modification time a second before the input's, so
// that --update takes it for out of date. A second, not a nanosecond:
// file systems that keep coarser times would round it back to the same.
// Standard output ("-") has no date of ours to set; at worst, when the time
// cannot be set, a later --update takes the output for done.
void output_date_before(const std::string &output, const std::string &input);

// True when path exists and is the same file as one of the inputs.
bool is_one_of_inputs(const std::string &path, const std::vector<std::string> &inputs);
