// Bit-line primitives: changing-element search and black-run painting on
// line bitmaps (one bit a pixel, MSB leftmost, 1 black).
#include "t4/bitmanip.h"

#include <bit>
#include <cstdint>
#include <cstring>

[[maybe_unused]] static const char what_string[] = "@(#)|bitmanip|9|01|2|0|0|07/26/99|14:47:50";

namespace {

constexpr int WHITE = 0;
constexpr int BLACK = 1;

inline int pixel_at(const unsigned char *line, int x)
{
    return (line[x >> 3] >> (7 - (x & 7))) & 1;
}

// First position >= from whose pixel has colour target, or `end` (the
// bit length of the line) when there is none. Bytes made only of the other
// colour are passed over whole, so long runs cost one comparison a byte;
// within a byte the leftmost candidate is found by counting leading zeros.
int scan_for(const unsigned char *line, int end, int from, int target)
{
    if (from >= end)
        return end;
    const unsigned flip = target == BLACK ? 0x00u : 0xFFu;  // target pixels become 1s
    const int last_byte = (end - 1) >> 3;
    int byte = from >> 3;
    unsigned bits = (line[byte] ^ flip) & (0xFFu >> (from & 7));
    while (bits == 0) {
        if (++byte > last_byte)
            return end;
        bits = line[byte] ^ flip;
    }
    const int x = byte * 8 + std::countl_zero(static_cast<uint8_t>(bits));
    return x < end ? x : end;
}

// Each of the eight bytes of v with its bit order mirrored (bit 0 becomes
// bit 7 and so on): neighbouring bits, pairs and nibbles swapped.
inline uint64_t mirror_bytes_of(uint64_t v)
{
    v = ((v >> 1) & 0x5555555555555555u) | ((v & 0x5555555555555555u) << 1);
    v = ((v >> 2) & 0x3333333333333333u) | ((v & 0x3333333333333333u) << 2);
    return ((v >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((v & 0x0F0F0F0F0F0F0F0Fu) << 4);
}

}  // namespace

extern "C" {

// Called with a0 and its colour on the reference line this yields b1 and the
// colour of b1; called again with b1 it yields b2 (T.4 clause 4.2.1.3.1).
// Deliberate legacy rule kept for stored pages: from a start of 0, pixel 0
// itself is a candidate, it need not follow a pixel of the other colour.
short find_changing_element(const unsigned char *line, int bytes_per_line, short start,
                            short *result, int colour)
{
    const int target = (start < 0 || colour == WHITE) ? BLACK : WHITE;
    const int end = bytes_per_line > 0 ? bytes_per_line * 8 : 0;
    int found;
    if (start <= 0) {
        found = scan_for(line, end, 0, target);
    } else if (start >= end - 1) {
        found = end;
    } else {
        int from = start + 1;
        if (pixel_at(line, start) == target)  // leave the run holding start first
            from = scan_for(line, end, from, target ^ 1);
        found = scan_for(line, end, from, target);
    }
    *result = static_cast<short>(found);
    return static_cast<short>(target);
}

void set_bit_run(unsigned char *line, short start, int count, int colour)
{
    if (colour != WHITE && count > 0)
        paint_black_bits(line, start < 0 ? 0 : start, count);
}

void reverse_bits(unsigned char *buffer, int count)
{
    if (buffer != nullptr && count > 0)
        copy_reversed_bits(buffer, buffer, static_cast<size_t>(count));
}

// Eight bytes at a time; the last few through a word of their own.
void copy_reversed_bits(const unsigned char *from, unsigned char *to, size_t count)
{
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t v;
        std::memcpy(&v, from + i, 8);
        v = mirror_bytes_of(v);
        std::memcpy(to + i, &v, 8);
    }
    if (i < count) {
        uint64_t v = 0;
        std::memcpy(&v, from + i, count - i);
        v = mirror_bytes_of(v);
        std::memcpy(to + i, &v, count - i);
    }
}

}  // extern "C"
