// In-memory images and the Sun raster file format (standard type only).
//
// Bit order: a row of a one-bit image holds the leftmost pixel in the most
// significant bit of its first byte, 1 for black; rows are padded to 16
// bits (pr_line_bytes). Files are big-endian, as the format has them.
// Results and messages: as each function says below; failures print a
// message beginning with the function's name on standard error.
// Lifetimes: a pixrect from new_pixrect wraps the caller's memory, which
// must outlive it; one from pr_load owns its memory (primary 1); both are
// released with free_pixrect. Threads: no shared state; a pixrect or a
// stream is used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "util/api.h"

constexpr uint32_t RAS_MAGIC = 0x59A66A95;
constexpr int RT_STANDARD = 1;
constexpr int RMT_NONE = 0;

struct pixrect_data {
    int32_t line_bytes;      // rows padded to 16 bits
    unsigned char *image;
    int32_t offset_x;
    int32_t offset_y;
    int16_t primary;         // 1: image memory belongs to the pixrect
    int16_t flags;
};

struct pixrect {
    const void *operations;  // always null here
    int32_t width;
    int32_t height;
    int32_t depth;
    pixrect_data *data;
};

struct sun_colormap {
    int32_t length;          // bytes of map in the file
    unsigned char red[256];
    unsigned char green[256];
    unsigned char blue[256];
};

extern "C" {

// Bytes per row: width x depth bits rounded up to a multiple of 16; -1 for a
// negative dimension or a size beyond 32 bits.
TAVRIN_API int32_t pr_line_bytes(int32_t width, int32_t depth);

// Wraps caller memory (primary 0); none for impossible dimensions.
TAVRIN_API pixrect *new_pixrect(int width, int height, int depth, unsigned char *image);
TAVRIN_API int free_pixrect(pixrect *pr);
// 0, or -1 when the stream refused the bytes (or pr, file or image is missing).
TAVRIN_API int pr_dump(const pixrect *pr, FILE *file, const sun_colormap *colormap, int type, int copy_flag);
// Refuses colour maps over 768 bytes, impossible dimensions, a length field
// below line bytes x height, and files holding less than half of the image;
// rows missing at the end of a shorter file read as white (zero). Bytes that
// the length field counts past the rows are read and dropped.
TAVRIN_API pixrect *pr_load(FILE *file, sun_colormap *colormap);

}  // extern "C"
