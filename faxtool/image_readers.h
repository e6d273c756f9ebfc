// Readers for the images import takes: PBM (P1, P4, several images in a
// row), PNG (any depth, grey or colour, thresholded at 50 %) and TIFF
// (bilevel, every page, strips or tiles, any compression libtiff decodes).
// Each file is read once through one descriptor, so pipes work, and handed
// out a page at a time, a few rows at a time: memory stays bounded whatever
// the file declares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct image_reader;

// Reads the image on fd, which stays the caller's to close. Null with a
// reason when it is none of these images or cannot be read.
image_reader *image_open(int fd, std::string &reason);
void image_close(image_reader *reader);

struct image_page_size {
    int32_t width = 0;    // at most FAX_WIDTH
    int32_t height = 0;   // at most MAX_PAGE_ROWS
};

// The number of pages, or -1 when it is known only once they are read.
long image_page_count(image_reader *reader);

// Moves to the next page: 1 with its size, 0 when no page is left, -1 with
// a reason (a page too large for a fax page is refused here, before any of
// it is read).
int image_next_page(image_reader *reader, image_page_size &size, std::string &reason);

// The page's next `count` rows, row i at rows + i * stride: (width + 7) / 8
// bytes, leftmost pixel in the top bit, 1 black, padding bits white. False
// with a reason.
bool image_read_rows(image_reader *reader, uint8_t *rows, int32_t count, std::size_t stride,
                     std::string &reason);

// Whether the page's rows can be had where the reader holds them (a raw
// PBM's), with no copy: then image_view_rows may take the place of
// image_read_rows for the whole page.
bool image_rows_in_place(image_reader *reader);
// Up to `max` (at least 1) of the page's next rows where they lie: back to
// back from *rows, (width + 7) / 8 bytes each, padding bits white, valid
// until the reader is next used. Their count (at least 1), or -1 with a
// reason (also when no row is left).
int32_t image_view_rows(image_reader *reader, int32_t max, const uint8_t **rows, std::string &reason);
