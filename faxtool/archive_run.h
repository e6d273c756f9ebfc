// A command over many inputs: the options every such command takes, the
// gathering of its inputs, and the run that does each input on the pool and
// prints, reports and counts in input order.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "faxtool/archive_inputs.h"
#include "faxtool/archive_jobs.h"

struct archive_options {
    unsigned jobs = 0;        // 0: the number of CPUs this process may use
    bool update = false;
    std::string report;       // empty: none; "-": standard output
    bool sharded = false;
    uint64_t shard = 0;
    uint64_t shards = 1;
    std::string files_from;   // empty: none
    bool nul_separated = false;
    bool given = false;       // any of them given
};

// The command's own long options followed by the archive options, ending
// in the zero entry getopt_long wants. `own` ends in a zero entry too.
std::vector<option> with_archive_options(const option *own);
// Short options of the archive options, for getopt's option string.
constexpr const char *ARCHIVE_SHORT_OPTIONS = "j:0";

// Takes option c when it is an archive option: true, with status set to 2
// after a usage error (printed) and left alone otherwise.
bool take_archive_option(const char *command, int c, const char *argument, archive_options &options,
                         int &status);

// The operands and --files-from list as inputs, all of them: the caller
// keeps its shard's share. False after a usage error or an unreadable list (status 2 or 1).
bool gather_inputs(const char *command, const archive_options &options,
                   const std::vector<std::string> &operands, archive_listing &listing, int &status);

// Work on the pool for one input that has no problem of its own; the emit
// hook, when given, runs on the calling thread in input order before the
// result is printed and reported.
struct archive_command {
    void (*work)(void *user, const archive_input &input, job_result &result) = nullptr;
    void (*emit)(void *user, const archive_input &input, job_result &result) = nullptr;
    // True when the run writes path ("-": standard output): the report may
    // not be such a file. Null for a command that writes no outputs.
    bool (*writes)(void *user, const std::string &path) = nullptr;
    void *user = nullptr;
};

// True when the two names are one file: the same file where both exist,
// else the same path once the directories that exist are resolved.
bool same_file(const std::string &a, const std::string &b);

// Runs the command over every input. The exit status: 0 when every input
// was ok or skipped, 1 otherwise; 2, before anything is read or written,
// when the report would be one of the inputs or of the outputs. Totals are counted when asked for.
int run_archive(const archive_options &options, const archive_listing &listing,
                const archive_command &job, archive_totals *totals);

// Makes the directories above path; false with errno set.
bool make_parent_directories(const std::string &path);

// Whether a file's pages may go to two threads: only while every job's pair
// has CPUs of its own (one input, or few enough jobs) and -j allows that many
// threads. Otherwise the jobs keep the CPUs busy already, and a second thread
// each would only share them; and -j N caps the threads at work at N.
bool page_threads_help(const archive_options &archive, std::size_t inputs);
