// Test helpers for the decoders: a recorder behind the three plain-function
// callbacks, and bit streams assembled from the T.4 code lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "t4/t4dec.h"

namespace t4test {

struct event {
    enum kind_t { run, line, eol } kind;
    int32_t value = 0;                // run
    std::vector<uint8_t> bitmap;      // line
    int bytes_per_line = 0;           // line
};

// The callbacks record into one process-wide list (they are plain functions).
struct recorder {
    std::vector<event> events;

    void clear() { events.clear(); }
    std::vector<int32_t> runs() const;
    std::vector<std::vector<uint8_t>> lines() const;
    int eol_count() const;
    // "R100 R-50 L E": a compact form for sequences in failure messages.
    std::string summary() const;
    // The runs of each line (split at every eol), for contract checks.
    std::vector<std::vector<int32_t>> runs_per_line() const;
};

extern recorder rec;
void record_run(int32_t run);
void record_line(const unsigned char *line, int bytes_per_line);
void record_eol();

// Clears rec and decodes with all three recording callbacks.
int decode(const std::vector<uint8_t> &data, int mode);

// Bit strings (first transmitted bit first) from t4codes, and their packing
// into bytes with the first bit in bit 0.
std::string run_bits(bool black, int run);  // make-up codes as needed, then terminating
std::string line_bits(const std::vector<int> &runs);  // alternating from white
std::string mode_bits(int token);
std::string eol_bits();
std::vector<uint8_t> pack_bits(std::string_view bits);

// A 1728-pixel line of alternating runs from white.
std::vector<uint8_t> line_from_runs(const std::vector<int> &runs);

}  // namespace t4test
