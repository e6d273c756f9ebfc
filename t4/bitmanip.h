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

// The one black-run painter of line bitmaps: pixels [from, from + count)
// black, from >= 0 and count >= 0. A run within a byte is one masked byte;
// with `slack`, within two bytes one masked pair, which may write the byte
// after the run's last (its pixels as they were): the common case at one
// test. Longer runs go by a masked first byte, whole bytes and a masked last
// byte; nothing else past the run's last byte is touched.
template <bool slack = false>
inline void paint_black_bits(unsigned char *line, int from, int count)
{
    unsigned char *p = line + (from >> 3);
    const int bit = from & 7;
    if (bit + count <= (slack ? 16 : 8)) {
        const unsigned mask = (0xFFFFu >> bit) & ~(0xFFFFu >> (bit + count));
        p[0] |= static_cast<unsigned char>(mask >> 8);
        if (slack)
            p[1] |= static_cast<unsigned char>(mask);
        return;
    }
    *p++ |= static_cast<unsigned char>(0xFFu >> bit);
    int left = count - (8 - bit);
    for (; left >= 8; left -= 8)
        *p++ = 0xFF;
    if (left > 0)
        *p |= static_cast<unsigned char>(~(0xFFu >> left));
}
