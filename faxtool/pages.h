// A fax file's header and pages, and the decoding of a page into the rows
// the library's decoder delivers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "faxfile/fax_file.h"
#include "t4/standard_page.h"

constexpr int FAX_WIDTH = T4_STANDARD_WIDTH;
constexpr int FAX_ROW_BYTES = STANDARD_LINE_BYTES;
// A typical fine text page: its rows, and their changing elements, for
// buffers reserved once.
constexpr std::size_t TYPICAL_PAGE_ROWS = 2400;
constexpr std::size_t TYPICAL_PAGE_SPANS = 1 << 19;

// A bilevel image: rows of row_bytes bytes, leftmost pixel in the top bit,
// 1 for black ink.
struct page_image {
    int32_t width = FAX_WIDTH;
    int32_t height = 0;
    int32_t row_bytes = FAX_ROW_BYTES;
    std::vector<uint8_t> bits;
    int resolution = 1;   // RESOLUTION code of the rows (0 normal, 1 fine, ...)
    int number = 0;       // the page's number in its file, from 1
};

// Dots per inch across and down for a RESOLUTION code; an unknown code
// counts as fine, as pelmorin treats it.
struct dpi_pair {
    int x;
    int y;
};
dpi_pair resolution_dpi(int resolution);

struct fax_page_ref {
    std::size_t offset = 0;   // of the coded data in the file
    uint32_t length = 0;
    const unsigned char *data = nullptr;  // the coded data, held by fax_document::file
};

// The complete pages of a file, found on request: the reader keeps no
// record for each page (24 bytes, where an empty page is 4), and a mark
// every PAGE_MARK_STRIDE pages reaches any page in a few steps.
constexpr std::size_t PAGE_MARK_STRIDE = 16;
struct fax_page_list {
    const fax_file *file = nullptr;
    std::size_t count = 0;
    std::vector<uint64_t> marks;  // the reader's cursor at every PAGE_MARK_STRIDE-th page
    std::vector<fax_page_ref> held;  // pages given one by one, for a document without a file
    std::size_t size() const { return file != nullptr ? count : held.size(); }
    bool empty() const { return size() == 0; }
    fax_page_ref operator[](std::size_t index) const;  // index below size()
    void push_back(const fax_page_ref &page) { held.push_back(page); }
};

struct fax_document {
    std::string path;
    std::vector<std::pair<std::string, std::string>> attributes;  // in header order
    long pages_stated = -1;   // #PAGES, -1 when absent or not a number
    int resolution = -1;      // RESOLUTION code, -1 when absent or invalid
    int compression = -1;     // COMPRESSION code, -1 when absent or invalid
    fax_file_ptr file;        // the library's reader, holding the pages' data
    fax_page_list pages;      // the complete pages found
    std::string damage;       // why the pages stop early; empty for a whole file
};

// Reads the file and splits it into pages. False with a reason when it has
// no usable header; a file whose pages are cut short loads with `damage` set.
bool load_fax_document(const std::string &path, fax_document &doc, std::string &reason);
// The same from an open descriptor, read once from where it stands: a pipe
// or FIFO serves as well as a file. `path` names it in the document.
bool read_fax_document(int fd, const std::string &path, fax_document &doc, std::string &reason);

// A regular fax file to be read a page at a time from its descriptor: its
// header, and where its pages stand, with none of them held.
struct fax_stream {
    fax_document doc;            // file and pages stay empty; damage as read_fax_document sets it
    std::size_t size = 0;        // of the file as it was opened
    std::size_t first_page = 0;  // offset of the first page's length field
    std::size_t pages = 0;       // the complete pages
    std::size_t end = 0;         // offset just after the last complete page
};
// Reads the header and walks the pages' length fields, each checked against
// the bytes the file holds. False with a reason, the same as
// read_fax_document's, when the file has no usable header.
bool open_fax_stream(int fd, const std::string &path, fax_stream &stream, std::string &reason);

// True when the library decodes the file's COMPRESSION (MH, MR, MMR).
bool decodable_compression(int compression);

// Why the file's pages cannot be decoded: its code, or the header's own text
// when that is no known code.
std::string undecodable_reason(const fax_document &doc);

// What decoding one page gave, from the decoder's own report.
struct page_report {
    int32_t lines = 0;
    int32_t concealed = 0;
    bool clean = false;
};
// One page's `length` bytes of data decoded on a decoder the caller keeps
// (lines and damage as info counts them); all zero without a decoder.
struct t4dec_context;
page_report decode_data_report(t4dec_context *decoder, const unsigned char *data, uint32_t length, int compression);

// What is wrong with a page that decoded with concealed lines or an unclean
// end ("2 lines concealed, not clean"); empty for a whole page.
std::string page_damage(const page_report &report);

// The rows of a page: each line the decoder ends is a row (runs no end of
// line closes are dropped). By default only the page's own rows: not the
// white line that an MH page's first EOL closes, nor the lines after the
// last one that carried a code (RTC's later EOLs, the line EOFB closes), so
// that a page keeps its size through export and import; lines inside the
// page stay as the decoder gives them.
struct row_choice {
    bool stretch = false;        // double every row of a normal-resolution page
    bool decoder_lines = false;  // every line the decoder delivers, as pelmorin shows them
};
// False with a reason when the page is beyond MAX_PAGE_ROWS. `report` gets
// what the decoder saw. `out`'s buffer is reused: decode pages into one
// image to spare reallocations.
bool decode_page_rows(const fax_document &doc, std::size_t index, const row_choice &choice,
                      page_image &out, page_report &report, std::string &reason);
