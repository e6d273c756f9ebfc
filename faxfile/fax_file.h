// Reading a fax file: its header attributes and its pages' coded data.
//
// Layout: the bytes BA DB AD 16, a 32-bit big-endian header length N, N
// bytes of header text (ATTR:value lines, then 0x1D), then the pages back
// to back to the end of the file, each a 32-bit big-endian length L and L
// bytes of T.4/T.6 coded data (see t4/t4dec.h for decoding them).
//
// Results: fax_file_open, fax_file_open_fd and fax_file_open_memory return
// the file or null.
// Null comes only when the file has no usable header (or cannot be read, or
// memory is short); the message says why. A file whose pages stop early
// opens, with `damage` saying why the pages stop.
//
// Messages: one line each, "fax_file_open: reason\n" (the reason for a bad
// header as read_fax_header words it, e.g. "Bad fax file: Bad Magic
// Number"). With a message function they go to it (util/message.h), without
// one to standard error.
//
// Lifetimes and threads: the reader owns every text, attribute and page
// that the record points at, until fax_file_close; nothing points into the
// caller's memory. An open file is not changed by any call, so threads may
// read one file's pages at once; opening and closing need no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "faxfile/fax_header.h"  // the RES_* and COMP_* codes
#include "util/api.h"
#include "util/message.h"

struct fax_attribute {
    const char *name;   // never empty
    const char *value;  // possibly empty
};

struct fax_page {
    const unsigned char *data;  // the coded data; the first bit is bit 0 of data[0]
    uint32_t length;            // bytes; may be odd
    uint64_t offset;            // of the data in the file
};

// Why the pages stop before the end of the file or the stated count.
enum fax_damage {
    FAX_DAMAGE_NONE = 0,
    FAX_DAMAGE_STRAY_BYTES = 1,     // 1 to 3 bytes after the last page: no length
    FAX_DAMAGE_PAGE_CUT_SHORT = 2,  // the last page's length goes past the end
    FAX_DAMAGE_PAGES_MISSING = 3,   // fewer pages than #PAGES states
};

struct fax_file_storage;

struct fax_file {
    const fax_attribute *attributes;  // in header order
    std::size_t attribute_count;
    int resolution;    // RESOLUTION code (RES_NORMAL ...), -1 when missing or unknown
    int compression;   // COMPRESSION code (COMP_MH ...), -1 when missing or unknown
    int decode_mode;   // the mode to decode the pages with: a missing COMPRESSION is MH
    long pages_stated; // #PAGES, -1 when missing or not a number
    const fax_page *pages;  // the whole pages found
    std::size_t page_count;
    int damage;             // FAX_DAMAGE_NONE or why the pages stop early
    const char *damage_text;  // the same in words, "" when none
    fax_file_storage *storage;  // the reader's own
};

extern "C" {

// Reads the whole file at `path`.
TAVRIN_API fax_file *fax_file_open(const char *path, tavrin_message_fn message, void *user);
// Reads everything the open descriptor `fd` holds from where it stands, once,
// so that a pipe serves as well as a file; `fd` stays open. A read failure is
// "fax_file_open: " and the system's error text.
TAVRIN_API fax_file *fax_file_open_fd(int fd, tavrin_message_fn message, void *user);
// Reads a file held in memory; the bytes are copied and may go at once.
TAVRIN_API fax_file *fax_file_open_memory(const void *bytes, std::size_t size,
                                          tavrin_message_fn message, void *user);
// As fax_file_open_fd with FAX_FILE_* flags. FAX_FILE_NO_PAGE_RECORDS
// makes no record for each page: `pages` is null, page_count still counts
// them, and fax_file_next_page walks them. A file of many short pages then
// takes little more memory than its bytes (a record is 24 bytes, an empty
// page 4).
enum { FAX_FILE_NO_PAGE_RECORDS = 1 };
TAVRIN_API fax_file *fax_file_open_fd_flags(int fd, unsigned flags, tavrin_message_fn message, void *user);
// fax_file_open and fax_file_open_memory with FAX_FILE_* flags.
TAVRIN_API fax_file *fax_file_open_flags(const char *path, unsigned flags, tavrin_message_fn message, void *user);
TAVRIN_API fax_file *fax_file_open_memory_flags(const void *bytes, std::size_t size, unsigned flags,
                                                tavrin_message_fn message, void *user);
// The page at *cursor into *page, and *cursor moved on to the next one; 0
// after the last page. A cursor of 0 stands at the first page; any other is
// one that this call gave for the same file.
TAVRIN_API int fax_file_next_page(const fax_file *file, uint64_t *cursor, fax_page *page);
// Releases the file and all it points at; null is accepted.
TAVRIN_API void fax_file_close(fax_file *file);
// The value of the attribute `name`, or null; it belongs to the file.
TAVRIN_API const char *fax_file_attribute(const fax_file *file, const char *name);

}  // extern "C"

// Owns an open fax file: fax_file_ptr file(fax_file_open(path, nullptr, nullptr));
struct fax_file_closer {
    void operator()(fax_file *file) const { fax_file_close(file); }
};
using fax_file_ptr = std::unique_ptr<fax_file, fax_file_closer>;
