// Loading libtiff and libpng at first use.
#include "faxtool/format_libraries.h"

#include <dlfcn.h>

#include "faxtool/library_messages.h"

namespace {

struct format_libraries {
    tiff_library tiff{};
    png_library png{};
};

format_libraries loaded;

// The handle is kept for the process: the libraries may hold state until exit.
void *open_library(const char *soname, std::string &reason)
{
    void *handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        reason = std::string("cannot load ") + soname + ": " + (why != nullptr ? why : "not found");
    }
    return handle;
}

#define FAXTOOL_RESOLVE(name)                                                                       \
    library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));                      \
    if (library.name == nullptr) {                                                                  \
        reason = std::string(soname) + " lacks " #name;                                            \
        return false;                                                                               \
    }

bool resolve_tiff(tiff_library &library, std::string &reason)
{
    const char *soname = FAXTOOL_TIFF_SONAME;
    void *handle = open_library(soname, reason);
    if (handle == nullptr)
        return false;
    FAXTOOL_TIFF_FUNCTIONS(FAXTOOL_RESOLVE)
    library.TIFFSetErrorHandler(on_tiff_error);
    library.TIFFSetWarningHandler(on_tiff_warning);
    return true;
}

bool resolve_png(png_library &library, std::string &reason)
{
    const char *soname = FAXTOOL_PNG_SONAME;
    void *handle = open_library(soname, reason);
    if (handle == nullptr)
        return false;
    FAXTOOL_PNG_FUNCTIONS(FAXTOOL_RESOLVE)
    return true;
}

#undef FAXTOOL_RESOLVE

}  // namespace

bool load_tiff_library(std::string &reason)
{
    static std::string failure;
    static const bool ok = resolve_tiff(loaded.tiff, failure);
    if (!ok)
        reason = failure;
    return ok;
}

bool load_png_library(std::string &reason)
{
    static std::string failure;
    static const bool ok = resolve_png(loaded.png, failure);
    if (!ok)
        reason = failure;
    return ok;
}

const tiff_library &libtiff() { return loaded.tiff; }
const png_library &libpng() { return loaded.png; }
