// Per-input work on a pool of threads, its results handed back in input
// order, so that what a run prints and writes does not depend on how many
// threads it had.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "faxtool/archive_report.h"
#include "faxtool/messages.h"
#include "faxtool/pages.h"

// A page coded MMR, for a combined output: far smaller than its rows.
struct coded_page {
    int32_t width = FAX_WIDTH;
    int32_t height = 0;
    int resolution = 1;
    std::vector<uint8_t> data;
};

struct job_result {
    kept_text out;                  // for standard output
    kept_messages messages;         // for standard error
    input_outcome outcome;
    kept_text pbm;                  // a combined PBM's pages, as they go into it
    std::vector<coded_page> coded;  // or a combined TIFF's or PDF's, coded
    int uncoded = 0;                // the page the encoder failed on, after which none is coded
};

// Runs body(FILE *out) with its standard output kept in result.out, for
// the input `path`; an input whose output cannot be kept fails.
template <typename Body>
void keep_output(const std::string &path, job_result &result, Body body);

// Runs on a pool thread, with its messages kept in result.messages.
using job_work = void (*)(void *user, std::size_t index, job_result &result);
// Runs on the calling thread, once for each input, in input order.
using job_emit = void (*)(void *user, std::size_t index, job_result &result);

// Runs work for inputs 0 .. count-1 on `threads` threads, never more than a
// few inputs ahead of the one emitted last, so that memory stays bounded
// however many inputs there are.
void run_jobs(std::size_t count, unsigned threads, job_work work, job_emit emit, void *user);

// The number of online CPUs this process may run on, at least 1.
unsigned online_cpus();

template <typename Body>
void keep_output(const std::string &path, job_result &result, Body body)
{
    FILE *out = kept_stream(result.out);
    if (out == nullptr) {
        report_failure(path, "out of memory");
        result.outcome.status = input_status::failed;
        return;
    }
    body(out);
    std::fclose(out);
}
