// libtiff and libpng, loaded when a command first reads or writes their
// format: most commands need neither, and linked, every start would load
// them and the compression libraries libtiff brings along.
#pragma once

#include <png.h>
#include <tiffio.h>

#include <csetjmp>
#include <string>

#define FAXTOOL_TIFF_FUNCTIONS(X)                                                                   \
    X(TIFFSetErrorHandler) X(TIFFSetWarningHandler) X(TIFFFdOpen) X(TIFFClose) X(TIFFFlush)        \
    X(TIFFSetField) X(TIFFGetField) X(TIFFGetFieldDefaulted) X(TIFFWriteRawStrip)                  \
    X(TIFFWriteDirectory) X(TIFFReadDirectory) X(TIFFNumberOfDirectories) X(TIFFIsTiled)           \
    X(TIFFReadTile) X(TIFFReadScanline) X(TIFFScanlineSize64) X(TIFFTileRowSize64) X(TIFFTileSize64)

#define FAXTOOL_PNG_FUNCTIONS(X)                                                                    \
    X(png_create_read_struct) X(png_create_write_struct) X(png_create_info_struct)                 \
    X(png_destroy_read_struct) X(png_destroy_write_struct) X(png_set_longjmp_fn) X(png_longjmp)     \
    X(png_error) X(png_set_read_fn) X(png_get_io_ptr) X(png_init_io) X(png_set_user_limits)        \
    X(png_read_info) X(png_read_update_info) X(png_read_row) X(png_get_rowbytes)   \
    X(png_get_bit_depth) X(png_get_color_type) X(png_get_image_height) X(png_get_image_width)      \
    X(png_get_interlace_type) X(png_set_invert_mono) X(png_set_packing) X(png_set_palette_to_rgb)  \
    X(png_set_rgb_to_gray_fixed) X(png_set_strip_alpha) X(png_set_IHDR) X(png_set_pHYs)            \
    X(png_write_info) X(png_write_row) X(png_write_end) X(png_set_strip_16) X(png_set_expand_gray_1_2_4_to_8)

#define FAXTOOL_FUNCTION_POINTER(name) decltype(&::name) name;

// One pointer per function used, named after it.
struct tiff_library {
    FAXTOOL_TIFF_FUNCTIONS(FAXTOOL_FUNCTION_POINTER)
};
struct png_library {
    FAXTOOL_PNG_FUNCTIONS(FAXTOOL_FUNCTION_POINTER)
};

// Each library, loaded once for the process (the first caller's thread
// loads it, others wait); false with a reason when it or one of its
// functions cannot be had. libtiff's messages go to the kept texts.
bool load_tiff_library(std::string &reason);
bool load_png_library(std::string &reason);

// The functions, once loading succeeded.
const tiff_library &libtiff();
const png_library &libpng();

// png_jmpbuf through the loaded library.
#define FAXTOOL_PNG_JMPBUF(png) (*libpng().png_set_longjmp_fn((png), longjmp, sizeof(jmp_buf)))
