// A file's pages recoded in page order, on one thread or two: with two,
// each codes whole pages on a coder of its own while this one reads the
// pages and writes them out in order, a few pages ahead at most, so that
// memory stays bounded by the largest pages and not the file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "faxtool/recode_page.h"

struct page_io {
    std::size_t count = 0;
    // Page `index`'s data into `data`, on the calling thread and in page
    // order; false with a reason.
    bool (*read)(void *user, std::size_t index, std::vector<unsigned char> &data, std::string &reason) = nullptr;
    // A page's coding out, in page order; false stops the pages (the
    // callee keeps why).
    bool (*put)(void *user, const std::vector<unsigned char> &coded) = nullptr;
    void *user = nullptr;
};

// Recodes the pages through `io` on `coder`, and with `two_threads` on a
// second thread as well when there are pages for it and a thread can be
// made. The output is the same either way, and so is what is printed: each
// page's library messages come at its turn. False with the reason of the
// first page that failed to read or recode; the pages after it are not
// put. Any second thread is joined before it returns.
bool recode_pages(page_coder &coder, const recode_setup &setup, const page_io &io, bool two_threads,
                  std::string &reason);
