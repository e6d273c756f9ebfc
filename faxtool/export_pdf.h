// A PDF with one page per fax page, each an image of T.6 data under
// /CCITTFaxDecode.
#pragma once

#include <string>

#include "faxtool/coding.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"

struct pdf_writer;

// Null with a reason when qpdf or the writer's spool file cannot be had.
// The pages go to the spool, beside `out` when it is a new file, so the
// memory taken does not grow with the pages. `map_spool`: qpdf reads the
// spool mapped into memory, much faster than through a file, but the pages
// it touches then count to the process's memory: for an output whose pages
// are in memory anyway, such as those of one input file.
pdf_writer *pdf_open_writer(const output_file &out, bool map_spool, std::string &reason);
// The rows, coded here.
bool pdf_add_page(pdf_writer *writer, const page_image &page, std::string &reason);
// Data coded already, such as a stored page passed through.
bool pdf_add_coded_page(pdf_writer *writer, const mmr_page &page, std::string &reason);
// Writes the document to the output and releases the writer.
bool pdf_close_writer(pdf_writer *writer, output_file &out, std::string &reason);
// Releases the writer without writing.
void pdf_discard_writer(pdf_writer *writer);
// For a process that writes one PDF: the heap keeps up to a few MB it frees
// instead of giving them back at once. qpdf takes and frees a compressor's
// state for every page; given back, it is faulted in anew each time.
void pdf_keep_freed_heap();
