// Image readers for import.
#include "faxtool/image_readers.h"
#include "faxtool/image_rows.h"
#include "faxtool/library_messages.h"

#include <png.h>
#include <tiffio.h>

#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// ---- PNG ----------------------------------------------------------------------

// Grey or colour of any depth becomes 8-bit grey, without alpha.
void ask_for_grey(png_structp png, png_infop info)
{
    const int colour = png_get_color_type(png, info);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_set_packing(png);
    if (colour == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    if ((colour & PNG_COLOR_MASK_COLOR) != 0)
        png_set_rgb_to_gray_fixed(png, 1, -1, -1);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
}

// Only plain data and the caller's objects live across the setjmp.
bool read_png_rows(png_structp png, png_infop info, FILE *file, std::vector<uint8_t> &grey,
                   page_image &image, std::string &reason)
{
    if (setjmp(png_jmpbuf(png)) != 0)
        return false;
    png_init_io(png, file);
    png_set_user_limits(png, 1000000, MAX_PAGE_ROWS);
    png_read_info(png, info);
    const auto width = static_cast<int64_t>(png_get_image_width(png, info));
    const auto height = static_cast<int64_t>(png_get_image_height(png, info));
    if (!size_acceptable(width, height, reason))
        return false;
    ask_for_grey(png, info);
    const std::size_t row_bytes = png_get_rowbytes(png, info);
    if (row_bytes != static_cast<std::size_t>(width)) {
        reason = "unexpected PNG layout";
        return false;
    }
    grey.assign(row_bytes * static_cast<std::size_t>(height), 0);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int64_t y = 0; y < height; ++y)
        rows[static_cast<std::size_t>(y)] = grey.data() + static_cast<std::size_t>(y) * row_bytes;
    png_read_image(png, rows.data());
    image = blank_image(static_cast<int32_t>(width), static_cast<int32_t>(height));
    return true;
}

bool read_png(const std::string &path, std::vector<page_image> &pages, std::string &reason)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    library_text.png[0] = '\0';
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error,
                                             on_png_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        reason = "out of memory";
        return false;
    }
    std::vector<uint8_t> grey;
    page_image image;
    const bool ok = read_png_rows(png, info, file.get(), grey, image, reason);
    png_destroy_read_struct(&png, &info, nullptr);
    if (!ok) {
        if (reason.empty())
            reason = png_reason("cannot read the PNG image");
        return false;
    }
    // Below half of full scale is black.
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x)
            if (grey[static_cast<std::size_t>(y) * image.width + x] < 128)
                set_black(image, x, y);
    pages.push_back(std::move(image));
    return true;
}

// ---- TIFF ---------------------------------------------------------------------

struct tiff_closer {
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};

bool read_tiff_page(TIFF *tiff, int page, page_image &image, std::string &reason)
{
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
        photometric = PHOTOMETRIC_MINISWHITE;
    const std::string where = "page " + std::to_string(page) + ": ";
    if (bits != 1 || samples != 1 ||
        (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK)) {
        reason = where + "not a bilevel image";
        return false;
    }
    if (!size_acceptable(width, height, reason)) {
        reason = where + reason;
        return false;
    }
    image = blank_image(static_cast<int32_t>(width), static_cast<int32_t>(height));
    if (TIFFScanlineSize64(tiff) != static_cast<uint64_t>(image.row_bytes)) {
        reason = where + "unexpected TIFF layout";
        return false;
    }
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t *row = image.bits.data() + static_cast<std::size_t>(y) * image.row_bytes;
        if (TIFFReadScanline(tiff, row, y, 0) < 0) {
            reason = where + tiff_reason("cannot decode");
            return false;
        }
        if (photometric == PHOTOMETRIC_MINISBLACK)
            for (int32_t i = 0; i < image.row_bytes; ++i)
                row[i] = static_cast<uint8_t>(~row[i]);
    }
    // Bits past the width are padding, white whatever the file held.
    if (width % 8 != 0) {
        const auto keep = static_cast<uint8_t>(0xFFu << (8 - width % 8));
        for (uint32_t y = 0; y < height; ++y)
            image.bits[static_cast<std::size_t>(y + 1) * image.row_bytes - 1] &= keep;
    }
    return true;
}

bool read_tiff(const std::string &path, std::vector<page_image> &pages, std::string &reason)
{
    TIFFSetErrorHandler(on_tiff_error);
    TIFFSetWarningHandler(on_tiff_warning);
    library_text.tiff[0] = '\0';
    std::unique_ptr<TIFF, tiff_closer> tiff(TIFFOpen(path.c_str(), "r"));
    if (!tiff) {
        reason = tiff_reason("cannot open the TIFF file");
        return false;
    }
    int page = 1;
    do {
        page_image image;
        if (!read_tiff_page(tiff.get(), page, image, reason))
            return false;
        pages.push_back(std::move(image));
        ++page;
    } while (TIFFReadDirectory(tiff.get()) == 1);
    return true;
}

}  // namespace

static bool read_pbm_file(const std::string &path, std::vector<page_image> &pages, std::string &reason)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> data;
    unsigned char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        data.insert(data.end(), buffer, buffer + got);
    if (std::ferror(file.get()) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return read_pbm_pages(data, pages, reason);
}

bool read_image_pages(const std::string &path, std::vector<page_image> &pages, std::string &reason)
{
    unsigned char magic[4] = {};
    {
        std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
        if (!file) {
            reason = std::strerror(errno);
            return false;
        }
        errno = 0;
        if (std::fread(magic, 1, sizeof magic, file.get()) < 2) {
            // A directory opens but cannot be read: say so, not "not an image".
            const bool unreadable = std::ferror(file.get()) != 0 && errno != 0;
            reason = unreadable ? std::strerror(errno) : "not a PBM, PNG or TIFF image";
            return false;
        }
    }
    if (magic[0] == 'P')
        return read_pbm_file(path, pages, reason);
    if (magic[0] == 0x89 && magic[1] == 'P' && magic[2] == 'N' && magic[3] == 'G')
        return read_png(path, pages, reason);
    if ((magic[0] == 'I' && magic[1] == 'I') || (magic[0] == 'M' && magic[1] == 'M'))
        return read_tiff(path, pages, reason);
    reason = "not a PBM, PNG or TIFF image";
    return false;
}
