// A PDF with one page per fax page, each an image of T.6 data under
// /CCITTFaxDecode.
#pragma once

#include <cstdint>
#include <string>

#include "faxtool/coding.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"

struct pdf_writer;

// A cross-reference entry holds an offset of ten digits: no document grows
// past that, rather than being written with entries that point wrong.
constexpr uint64_t PDF_MAX_SIZE = 9'999'999'999;

// The document goes straight to the output's stream as the pages come; all
// that is kept of a page is where its objects begin, so the memory taken
// does not grow with the pages. Null with a reason when out of memory.
// `max_size`: the largest document made, less for a test.
pdf_writer *pdf_open_writer(const output_file &out, std::string &reason, uint64_t max_size = PDF_MAX_SIZE);
// The rows, coded here.
bool pdf_add_page(pdf_writer *writer, const page_image &page, std::string &reason);
// Data coded already, such as a stored page passed through.
bool pdf_add_coded_page(pdf_writer *writer, const mmr_page &page, std::string &reason);
// Ends the document and releases the writer; the output is then flushed and
// put in place by its owner.
bool pdf_close_writer(pdf_writer *writer, std::string &reason);
// Releases the writer without ending the document.
void pdf_discard_writer(pdf_writer *writer);
