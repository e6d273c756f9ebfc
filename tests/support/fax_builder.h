// Builds fax container files and hand-made MH pages for tests: the container
// is the magic BA DB AD 16, the header length N (big-endian), the header
// text ended by 0x1D, then the pages as a 4-byte big-endian length and data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/test_pages.h"

namespace faxbuilder {

using bytes = std::vector<uint8_t>;

void append_be32(bytes &out, uint32_t value);

// Magic, N and the header text with its 0x1D terminator (N = text + 1).
bytes prefix(std::string_view header_text);
// A page as stored: its length, big-endian, then its data.
void append_page(bytes &file, const bytes &data);
bytes fax_file(std::string_view header_text, const std::vector<bytes> &pages);

// Packs T.4 bit strings ("0101...") first bit first, into bit 0 of each byte.
struct bit_writer {
    bytes data;
    int bits_used = 0;  // in the last byte, 0 when it is full or absent

    void put(std::string_view bits);
    // One run of `length` pixels: make-up codes as needed, then a terminating code.
    void put_run(int32_t length, bool black);
    void put_eol();
};

// Runs of a line, alternating white, black, white, ...; the first is white
// (0 for a line that starts black).
using runs = std::vector<int32_t>;

runs runs_of(const testpages::line &line);

// An MH page: an EOL, then each line's codes followed by an EOL; with `rtc`
// five more EOLs complete the six-EOL return to control. Zero fill makes the
// length even (the converter drops an odd last byte). Remember that the
// opening EOL itself ends an (all-white) line for the decoder.
bytes mh_page(const std::vector<runs> &lines, bool rtc = false);
bytes mh_page(const testpages::page &page, bool rtc = false);

}  // namespace faxbuilder
