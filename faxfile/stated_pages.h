// The page count a fax file's header states in #PAGES, read one way for
// every program: as strtol reads it, and whether the value is that number
// alone.
#pragma once

#include "faxfile/fax_header.h"

struct stated_pages {
    bool present = false;  // the header has #PAGES
    long leading = 0;      // the decimal number at the value's start (after blanks), 0 for none
    bool exact = false;    // the value is that number, >= 0 and in range, and blanks at most
};

stated_pages read_stated_pages(const fax_header *header);
