// Coded pages to coded pages without drawing rows: a page's lines go from
// the decoder to the encoder as changing elements, and an MMR page that any
// standard reader decodes as this library does is taken as it is stored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faxtool/pages.h"

// The page of the TIFF and PDF exports: T.6 data as standard readers decode
// it, first bit of the stream in bit 0 of the first byte, of the rows
// decode_page_rows gives (`page` gets their count, width and resolution and
// no bits). The stored data itself when the page is MMR, decodes clean with
// no code that a standard reader takes otherwise (see t4dec_report's
// `nonstandard`: the legacy start-of-line choice among them) and its rows
// are the lines the data holds (`stored` is then true);
// otherwise those rows coded afresh in conforming mode, byte for byte what
// code_page_conforming_mmr makes of them. False with a reason as
// decode_page_rows, or when the encoder fails.
bool export_page_mmr(const fax_document &doc, std::size_t index, const row_choice &choice,
                     page_image &page, std::vector<uint8_t> &coded, bool &stored,
                     page_report &report, std::string &reason);

// A page that goes as stored, as export_page_mmr gives it (`page` without
// bits), its data left where the document holds it; or a page coded ahead.
struct stored_mmr {
    page_image page;
    page_report report;
    const uint8_t *data = nullptr;
    std::size_t size = 0;
};
// True, with `out` filled, when export_page_mmr would take the page as
// stored; false when it would not or might fail: then only it can say what
// the page gives. The decoding counts the lines and keeps no rows, on
// `decoder` (one a thread; its messages are the caller's choice). Reads the
// document only: threads may check pages of one document at once.
bool check_stored_mmr(t4dec_context *decoder, const fax_document &doc, std::size_t index,
                      const row_choice &choice, stored_mmr &out);
// A page of an MH or MR file (or MMR) coded ahead of its writing, on
// `decoder` (one a thread; its messages, and the encoder's, are not the
// page's to give): true, with `out` over `coded`, when the page decodes
// clean and export_page_mmr gives these bytes; false when only it can say
// what the page gives. Reads the document only.
bool code_page_ahead(t4dec_context *decoder, const fax_document &doc, std::size_t index,
                     const row_choice &choice, stored_mmr &out, std::vector<uint8_t> &coded);
