// A multi-page TIFF of Group 4 pages: rows coded by the library's encoder, or
// T.6 data coded already.
#pragma once

#include <string>

#include "faxtool/coding.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"

struct tiff_writer;

// Writes through the output's descriptor; null with a reason on failure.
tiff_writer *tiff_open_writer(output_file &out, std::string &reason);
bool tiff_add_page(tiff_writer *writer, const page_image &page, std::string &reason);
bool tiff_add_coded_page(tiff_writer *writer, const mmr_page &page, std::string &reason);
// Closes the TIFF (not the output); false when anything failed on the way.
bool tiff_close_writer(tiff_writer *writer, std::string &reason);
