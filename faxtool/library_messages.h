// libpng and libtiff report failures through callbacks; the last message is
// kept in one record, and becomes the reason faxtool gives.
#pragma once

#include <png.h>
#include <tiffio.h>

#include <cstdarg>
#include <string>

struct library_messages {
    char png[256];
    char tiff[256];
};

// Per thread: inputs decoded and written side by side keep their own texts.
extern thread_local library_messages library_text;

// libpng's error callback keeps the message and jumps back to the setjmp.
extern "C" void on_png_error(png_structp png, png_const_charp message);
extern "C" void on_png_warning(png_structp png, png_const_charp message);
extern "C" void on_tiff_error(const char *module, const char *format, va_list args);
extern "C" void on_tiff_warning(const char *module, const char *format, va_list args);

// The kept message, or `fallback` when the library said nothing.
std::string png_reason(const char *fallback);
std::string tiff_reason(const char *fallback);
