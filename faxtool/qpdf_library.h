// qpdf's C interface, loaded on first use: only a PDF export needs it, and
// loading it with its crypto libraries at every start would double the start-up
// of every other command.
#pragma once

#include <qpdf/qpdf-c.h>

#include <string>

#define FAXTOOL_QPDF_FUNCTIONS(X)                                                          \
    X(qpdf_init) X(qpdf_cleanup) X(qpdf_silence_errors) X(qpdf_set_suppress_warnings)    \
    X(qpdf_has_error) X(qpdf_get_error) X(qpdf_get_error_full_text) X(qpdf_read)          \
    X(qpdf_read_memory) X(qpdf_init_write) X(qpdf_set_deterministic_ID) X(qpdf_write)

// One pointer per function used, named after it.
struct qpdf_library {
#define FAXTOOL_QPDF_POINTER(name) decltype(&::name) name;
    FAXTOOL_QPDF_FUNCTIONS(FAXTOOL_QPDF_POINTER)
#undef FAXTOOL_QPDF_POINTER
};

// The library, loaded once for the process; null with a reason when it or
// one of its functions cannot be had.
const qpdf_library *load_qpdf_library(std::string &reason);
