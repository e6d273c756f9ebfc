// Loading qpdf when a PDF is first written.
#include "faxtool/qpdf_library.h"

#include <dlfcn.h>

namespace {

// The handle is kept for the process: qpdf may hold state until exit.
bool resolve(qpdf_library &library, std::string &reason)
{
    // Lazy binding: of the thousands of functions qpdf and its libraries
    // import, the few a write calls are bound, not all at load.
    void *handle = dlopen(FAXTOOL_QPDF_SONAME, RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        reason = std::string("cannot load qpdf: ") + (why != nullptr ? why : FAXTOOL_QPDF_SONAME);
        return false;
    }
#define FAXTOOL_QPDF_RESOLVE(name)                                                          \
    library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));               \
    if (library.name == nullptr) {                                                          \
        reason = "qpdf (" FAXTOOL_QPDF_SONAME ") lacks " #name;                            \
        return false;                                                                       \
    }
    FAXTOOL_QPDF_FUNCTIONS(FAXTOOL_QPDF_RESOLVE)
#undef FAXTOOL_QPDF_RESOLVE
    return true;
}

}  // namespace

const qpdf_library *load_qpdf_library(std::string &reason)
{
    static qpdf_library library;
    static std::string failure;
    static const bool loaded = resolve(library, failure);
    if (!loaded) {
        reason = failure;
        return nullptr;
    }
    return &library;
}
