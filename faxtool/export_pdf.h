// A PDF with one page per fax page, each an image of T.6 data under
// /CCITTFaxDecode.
#pragma once

#include <string>

#include "faxtool/coding.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"

struct pdf_writer;

// Null with a reason when qpdf cannot be had.
pdf_writer *pdf_open_writer(std::string &reason);
// The rows, coded here.
bool pdf_add_page(pdf_writer *writer, const page_image &page, std::string &reason);
// Data coded already, such as a stored page passed through.
bool pdf_add_coded_page(pdf_writer *writer, const mmr_page &page, std::string &reason);
// Writes the document to the output's stream and releases the writer.
bool pdf_close_writer(pdf_writer *writer, output_file &out, std::string &reason);
// Releases the writer without writing.
void pdf_discard_writer(pdf_writer *writer);
