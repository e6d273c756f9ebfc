// One output for all pages (TIFF, PDF, PBM), opened at the first page; of
// one input, or of every input of a run when they go into one file.
#pragma once

#include <string>
#include <vector>

#include "faxtool/coding.h"
#include "faxtool/export.h"
#include "faxtool/export_pdf.h"
#include "faxtool/export_tiff.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"

struct single_output {
    output_file file;
    bool open = false;
    bool failed = false;
    tiff_writer *tiff = nullptr;
    pdf_writer *pdf = nullptr;
};

// False with a reason when path names one of the inputs or cannot be made.
bool open_single(single_output &single, export_type type, const std::string &path,
                 const std::vector<std::string> &inputs, std::string &reason);
bool add_to_single(single_output &single, export_type type, const page_image &page, std::string &reason);
// A page coded already (TIFF and PDF only).
bool add_coded_to_single(single_output &single, export_type type, const mmr_page &page, std::string &reason);
// Completes the output or removes it; false with a reason on failure.
bool close_single(single_output &single, export_type type, std::string &reason);
