// Operations on line bitmaps (one bit a pixel, MSB leftmost, 1 black) shared
// by the decoders and the encoder.
#pragma once

#include <stddef.h>

extern "C" {

// Next changing element of the target colour after start; returns the
// target colour. See bitmanip.cpp for the exact rule at start <= 0.
short find_changing_element(const unsigned char *line, int bytes_per_line, short start,
                            short *result, int colour);

// Paints count pixels from start black (white is a no-op). No bounds check:
// callers check start + count against the line width.
void set_bit_run(unsigned char *line, short start, int count, int colour);

// Mirrors the bit order of every byte in place.
void reverse_bits(unsigned char *buffer, int count);
// The count bytes at `from` with their bit order mirrored, to `to`, which
// is `from` or a buffer apart from it.
void copy_reversed_bits(const unsigned char *from, unsigned char *to, size_t count);

}  // extern "C"
