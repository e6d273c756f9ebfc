// One page of a fax file decoded and coded again as another coding, byte
// for byte as the library's own recompression codes it, on a coder of its
// own: coders on different threads recode pages of one file side by side.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct recode_setup {
    int source = -1;      // the file's COMPRESSION
    int target = -1;      // the one it gets
    int resolution = -1;  // RESOLUTION, normal or fine
    bool force = false;   // damaged pages recoded as far as they decode
};

// A line the decoder or the encoder printed, and the stream it went to.
struct library_said {
    FILE *stream = nullptr;
    std::string text;
};

// Decoder and encoder contexts and the buffers of a page between them.
struct page_coder;
struct page_coder_deleter {
    void operator()(page_coder *coder) const;
};
using page_coder_owner = std::unique_ptr<page_coder, page_coder_deleter>;
// Null when there is no memory for it.
page_coder_owner page_coder_new(const recode_setup &setup);

// Decodes `length` bytes of page `number`'s data and codes its lines again
// into `coded` (replaced). Without --force a damaged page is refused: false
// with a reason. What the contexts print goes to `said`, in order.
bool recode_page(page_coder &coder, const unsigned char *data, uint32_t length, int number,
                 std::vector<unsigned char> &coded, std::vector<library_said> &said, std::string &reason);
