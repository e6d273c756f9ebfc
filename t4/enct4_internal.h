// Internals of the T.4 encoder that its tests reach: the token format of the
// code emitter, the emitter itself, the coders' word batch and a failure seam.
#pragma once

#include <cstdint>

#include "t4/enct4.h"

// A token is a run (length in the low 15 bits, ENC_BLACK set for black) or
// one of the codes below; only the low 16 bits matter.
enum : int32_t {
    ENC_BLACK = 0x8000,
    ENC_EOL = 32000,  // EOL, no fill (MH, and the EOFB of MMR)
    ENC_PASS,
    ENC_HORIZ,        // followed by two run tokens
    ENC_V0,
    ENC_VL1,
    ENC_VL2,
    ENC_VL3,
    ENC_VR1,
    ENC_VR2,
    ENC_VR3,
    ENC_EOL_1D,       // fill to a 16-bit boundary, EOL, tag 1
    ENC_EOL_2D,       // fill to a 16-bit boundary, EOL, tag 0
};

// Words the coders gather before they hand them to the sink in one call.
constexpr int ENC_WORD_BATCH = 16384;

// Widest line the coders take: every run must stay below the first code
// token (32000) and every position must fit the 16-bit changing elements.
constexpr int ENC_MAX_LINE_BYTES = 3999;

// One batch of lines from a line source: its line bytes (negative: the
// source is done, or its result) and its lines. A batch without storage
// for lines of some bytes has none to read.
struct line_batch {
    unsigned char *lines = nullptr;
    int count = 0;
    int line_bytes = 0;
};

inline line_batch next_line_batch(enct4_line_fn source, void *user)
{
    line_batch b;
    b.line_bytes = source(user, &b.lines, &b.count);
    if (b.lines == nullptr && b.line_bytes > 0)
        b.count = 0;  // lines of 0 bytes need no storage
    return b;
}

// Packs the tokens [first, last) and hands the complete words to the sink in
// one call; does nothing once the status is non-zero.
void enct4_put_codes(const int32_t *first, const int32_t *last, word_sink sink);
// Packs what is left and delivers a last, partly filled word.
void enct4_flush(const int32_t *first, const int32_t *last, word_sink sink);
// Clears status, accumulator and bit count, as every coder entry does.
void enct4_reset();
// 0, 1 after the coder's own failure, or the sink's negative result.
int enct4_status();
// Makes the next reference buffer allocation fail (tests of that path).
void enct4_fail_next_allocation();
