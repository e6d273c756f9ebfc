// PNG export through libpng.
#include "faxtool/export_png.h"
#include "faxtool/format_libraries.h"
#include "faxtool/library_messages.h"

#include <png.h>

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstring>

namespace {

uint32_t dots_per_metre(int dpi)
{
    return static_cast<uint32_t>(std::lround(dpi / 0.0254));
}

// Only plain data lives across the setjmp, so the longjmp skips no destructor.
bool write_rows(png_structp png, png_infop info, FILE *stream, const page_image &page)
{
    if (setjmp(FAXTOOL_PNG_JMPBUF(png)) != 0)
        return false;
    libpng().png_init_io(png, stream);
    libpng().png_set_IHDR(png, info, static_cast<png_uint_32>(page.width), static_cast<png_uint_32>(page.height),
                 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    const dpi_pair dpi = resolution_dpi(page.resolution);
    libpng().png_set_pHYs(png, info, dots_per_metre(dpi.x), dots_per_metre(dpi.y), PNG_RESOLUTION_METER);
    libpng().png_write_info(png, info);
    libpng().png_set_invert_mono(png);  // grey 0 is black; the rows hold 1 for black
    for (int32_t row = 0; row < page.height; ++row)
        libpng().png_write_row(png, page.bits.data() + static_cast<std::size_t>(row) * page.row_bytes);
    libpng().png_write_end(png, info);
    return true;
}

}  // namespace

bool png_write_page(FILE *stream, const page_image &page, std::string &reason)
{
    if (!load_png_library(reason))
        return false;
    library_text.png[0] = '\0';
    png_structp png = libpng().png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error,
                                              on_png_warning);
    png_infop info = png != nullptr ? libpng().png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        libpng().png_destroy_write_struct(&png, nullptr);
        reason = "out of memory";
        return false;
    }
    errno = 0;
    bool ok = write_rows(png, info, stream, page);
    libpng().png_destroy_write_struct(&png, &info);
    ok = ok && std::fflush(stream) == 0 && std::ferror(stream) == 0;
    if (!ok) {
        reason = errno != 0 ? std::strerror(errno)
                 : png_reason("cannot write the image");
    }
    return ok;
}
