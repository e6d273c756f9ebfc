// A PDF with one page per fax page, each an image of our own MMR data under
// /CCITTFaxDecode.
#pragma once

#include <string>

#include "faxtool/output_file.h"
#include "faxtool/pages.h"

struct pdf_writer;

pdf_writer *pdf_open_writer(std::string &reason);
bool pdf_add_page(pdf_writer *writer, const page_image &page, std::string &reason);
// Writes the document to the output's stream and releases the writer.
bool pdf_close_writer(pdf_writer *writer, output_file &out, std::string &reason);
// Releases the writer without writing.
void pdf_discard_writer(pdf_writer *writer);
