// The image formats behind image_readers.h, each in a unit of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "faxtool/image_readers.h"
#include "faxtool/image_rows.h"

// One format's operations on its own state; `open` gets the input with the
// magic bytes still in its buffer.
struct image_format {
    void *(*open)(image_input &in, std::string &reason);
    int (*next_page)(void *state, image_page_size &size, std::string &reason);
    bool (*read_rows)(void *state, uint8_t *rows, int32_t count, std::size_t stride, std::string &reason);
    void (*close)(void *state);
    long (*page_count)(void *state);  // -1 when not known before the pages are read
    // As image_rows_in_place and image_view_rows; null for a format that
    // always copies.
    bool (*rows_in_place)(void *state);
    int32_t (*view_rows)(void *state, int32_t max, const uint8_t **rows, std::string &reason);
};

extern const image_format PBM_FORMAT;
extern const image_format PNG_FORMAT;
extern const image_format TIFF_FORMAT;
