// The PNG reader: any depth, grey or colour, made 8-bit grey and
// thresholded at half of full scale, one row at a time. An interlaced image
// is only whole after its last pass, so it alone is held, at one bit a pixel.
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "faxtool/image_formats.h"
#include "faxtool/format_libraries.h"
#include "faxtool/library_messages.h"

namespace {

struct png_state {
    png_structp png = nullptr;
    png_infop info = nullptr;
    image_input *in = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t next_row = 0;
    bool page_given = false;
    std::vector<uint8_t> grey;     // one row
    std::vector<uint8_t> bitmap;   // an interlaced image, whole
};

// The bytes come from the input that the format was told by; an input that
// ends early is a cut image, not libpng's bare "Read Error".
void read_input(png_structp png, png_bytep data, size_t length)
{
    image_input &in = *static_cast<image_input *>(libpng().png_get_io_ptr(png));
    if (input_read(in, data, length) < length)
        libpng().png_error(png, in.error != 0 ? std::strerror(in.error) : "the PNG image is cut short");
}

// Only plain data and the caller's objects live across each setjmp.
bool start_png(png_state &s)
{
    if (setjmp(FAXTOOL_PNG_JMPBUF(s.png)) != 0)
        return false;
    libpng().png_set_read_fn(s.png, s.in, read_input);
    // Our own limits name the value; libpng's would only say "exceeds".
    libpng().png_set_user_limits(s.png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    libpng().png_read_info(s.png, s.info);
    s.width = libpng().png_get_image_width(s.png, s.info);
    s.height = libpng().png_get_image_height(s.png, s.info);
    return true;
}

// Grey or colour of any depth becomes 8-bit grey, without alpha.
bool ask_for_grey(png_state &s, bool &interlaced)
{
    if (setjmp(FAXTOOL_PNG_JMPBUF(s.png)) != 0)
        return false;
    png_structp png = s.png;
    png_infop info = s.info;
    const int colour = libpng().png_get_color_type(png, info);
    libpng().png_set_strip_16(png);
    libpng().png_set_strip_alpha(png);
    libpng().png_set_packing(png);
    if (colour == PNG_COLOR_TYPE_PALETTE)
        libpng().png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && libpng().png_get_bit_depth(png, info) < 8)
        libpng().png_set_expand_gray_1_2_4_to_8(png);
    if ((colour & PNG_COLOR_MASK_COLOR) != 0)
        libpng().png_set_rgb_to_gray_fixed(png, 1, -1, -1);
    // No interlace handling: the passes come as the small images they are.
    interlaced = libpng().png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    libpng().png_read_update_info(png, info);
    return true;
}

bool read_grey_row(png_state &s)
{
    if (setjmp(FAXTOOL_PNG_JMPBUF(s.png)) != 0)
        return false;
    libpng().png_read_row(s.png, s.grey.data(), nullptr);
    return true;
}

// Below half of full scale is black.
void set_pixel(uint8_t *row, uint32_t x, uint8_t grey)
{
    if (grey < 128)
        row[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
}

bool read_passes(png_state &s)
{
    const std::size_t row_bytes = bilevel_row_bytes(s.width);
    for (int pass = 0; pass < 7; ++pass) {
        const uint32_t columns = PNG_PASS_COLS(s.width, pass), rows = PNG_PASS_ROWS(s.height, pass);
        if (columns == 0 || rows == 0)
            continue;  // libpng passes over an empty pass itself
        for (uint32_t r = 0; r < rows; ++r) {
            if (!read_grey_row(s))
                return false;
            uint8_t *row = s.bitmap.data() + PNG_ROW_FROM_PASS_ROW(r, pass) * row_bytes;
            for (uint32_t c = 0; c < columns; ++c)
                set_pixel(row, PNG_COL_FROM_PASS_COL(c, pass), s.grey[c]);
        }
    }
    return true;
}

std::string png_failure(const char *fallback) { return library_failure(png_reason(fallback)); }

void *png_open(image_input &in, std::string &reason)
{
    if (!load_png_library(reason))
        return nullptr;
    auto *s = new (std::nothrow) png_state;
    if (s != nullptr) {
        s->in = &in;
        s->png = libpng().png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
        s->info = s->png != nullptr ? libpng().png_create_info_struct(s->png) : nullptr;
    }
    if (s == nullptr || s->info == nullptr) {
        reason = "out of memory";
        if (s != nullptr)
            libpng().png_destroy_read_struct(&s->png, nullptr, nullptr);
        delete s;
        return nullptr;
    }
    library_text.png[0] = '\0';
    if (!start_png(*s)) {
        reason = png_failure("cannot read the PNG image");
        libpng().png_destroy_read_struct(&s->png, &s->info, nullptr);
        delete s;
        return nullptr;
    }
    return s;
}

int png_next_page(void *state, image_page_size &size, std::string &reason)
{
    png_state &s = *static_cast<png_state *>(state);
    if (s.page_given)
        return 0;
    s.page_given = true;
    if (!page_size_acceptable(s.width, s.height, 1, reason))
        return -1;
    bool interlaced = false;
    if (!ask_for_grey(s, interlaced)) {
        reason = png_failure("cannot read the PNG image");
        return -1;
    }
    if (libpng().png_get_rowbytes(s.png, s.info) != s.width) {
        reason = "unexpected PNG layout";
        return -1;
    }
    const std::size_t bitmap_bytes = bilevel_row_bytes(s.width) * s.height;
    if (interlaced && bitmap_bytes > MAX_IMAGE_BUFFER) {
        reason = "an interlaced PNG image of " + std::to_string(s.width) + " x " + std::to_string(s.height) +
                 " is taken up to " + std::to_string(MAX_IMAGE_BUFFER * 8 / s.width) + " rows";
        return -1;
    }
    try {
        s.grey.assign(s.width, 0);
        if (interlaced)
            s.bitmap.assign(bitmap_bytes, 0);
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return -1;
    }
    if (interlaced && !read_passes(s)) {
        reason = png_failure("cannot read the PNG image");
        return -1;
    }
    size.width = static_cast<int32_t>(s.width);
    size.height = static_cast<int32_t>(s.height);
    return 1;
}

bool png_read_rows(void *state, uint8_t *rows, int32_t count, std::size_t stride, std::string &reason)
{
    png_state &s = *static_cast<png_state *>(state);
    const std::size_t row_bytes = bilevel_row_bytes(s.width);
    for (int32_t i = 0; i < count; ++i, ++s.next_row) {
        uint8_t *row = rows + static_cast<std::size_t>(i) * stride;
        if (s.next_row >= s.height) {
            reason = "no rows are left on the page";
            return false;
        }
        if (!s.bitmap.empty()) {
            std::memcpy(row, s.bitmap.data() + s.next_row * row_bytes, row_bytes);
            continue;
        }
        if (!read_grey_row(s)) {
            reason = png_failure("cannot read the PNG image");
            return false;
        }
        std::memset(row, 0, row_bytes);
        for (uint32_t x = 0; x < s.width; ++x)
            set_pixel(row, x, s.grey[x]);
    }
    return true;
}

void png_close(void *state)
{
    auto *s = static_cast<png_state *>(state);
    libpng().png_destroy_read_struct(&s->png, &s->info, nullptr);
    delete s;
}

}  // namespace

const image_format PNG_FORMAT = {png_open, png_next_page, png_read_rows, png_close,
                                 [](void *) { return 1L; }, nullptr, nullptr};
