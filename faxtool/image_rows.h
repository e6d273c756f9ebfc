// What the image readers share: the input they read once through one
// descriptor, the page size limits, and bilevel rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "faxtool/pages.h"

// A whole image buffer (an interlaced PNG, a band of TIFF tiles) is refused
// beyond this, so that no declared size can take more memory than import's
// bound.
constexpr std::size_t MAX_IMAGE_BUFFER = std::size_t{32} << 20;

// Buffered reading of one descriptor, with the bytes the format was told
// by kept for the reader that follows.
struct image_input {
    int fd = -1;
    uint8_t buffer[65536];
    std::size_t at = 0;
    std::size_t end = 0;
    int error = 0;        // errno of a failed read; 0 otherwise
};

// -1 at the end of the input or on a failed read (error tells).
int input_peek(image_input &in);
// Reads until `count` bytes wait in the buffer (count at most its size) or
// the input ends; the number waiting.
std::size_t input_fill_to(image_input &in, std::size_t count);
int input_get(image_input &in);
// Up to count bytes; fewer only at the end or on a failed read.
std::size_t input_read(image_input &in, uint8_t *out, std::size_t count);
// The reason for a short read: the system's text, or "cut" for the end.
std::string input_short_reason(const image_input &in, const char *cut);

// False with a reason naming the value when a page of this size is empty or
// cannot be a fax page, before anything is allocated for it. `number` is the
// page's number in its file, from 1.
bool page_size_acceptable(int64_t width, int64_t height, int number, std::string &reason);

// A library's failure text as faxtool gives it: a failed allocation, however
// the library words it, becomes "out of memory".
std::string library_failure(const std::string &text);

// Row bytes of a bilevel row of width pixels.
inline std::size_t bilevel_row_bytes(int64_t width) { return static_cast<std::size_t>((width + 7) / 8); }

// Clears the bits past width in the last byte of a row: padding is white
// whatever the file held.
void clear_padding(uint8_t *row, int64_t width);
// Copies `count` pixels from bit `from_x` of `from` to bit `to_x` of `to`.
void copy_bits(const uint8_t *from, int64_t from_x, uint8_t *to, int64_t to_x, int64_t count);
