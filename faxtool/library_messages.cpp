#include "faxtool/library_messages.h"
#include "faxtool/format_libraries.h"

#include <cstdio>

thread_local library_messages library_text;

extern "C" void on_png_error(png_structp png, png_const_charp message)
{
    std::snprintf(library_text.png, sizeof library_text.png, "%s", message);
    libpng().png_longjmp(png, 1);
}

extern "C" void on_png_warning(png_structp, png_const_charp) {}

extern "C" void on_tiff_error(const char *, const char *format, va_list args)
{
    std::vsnprintf(library_text.tiff, sizeof library_text.tiff, format, args);
}

extern "C" void on_tiff_warning(const char *, const char *, va_list) {}

std::string png_reason(const char *fallback)
{
    return library_text.png[0] != '\0' ? library_text.png : fallback;
}

std::string tiff_reason(const char *fallback)
{
    return library_text.tiff[0] != '\0' ? library_text.tiff : fallback;
}
