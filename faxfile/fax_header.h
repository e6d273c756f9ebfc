// The fax file header: reading and writing the 8-byte prefix (magic, header
// length) and the header text of ATTR:value lines ended by 0x1D, the header
// in memory as an ordered list, and the RESOLUTION and COMPRESSION codes.
// faxfile/fax_file.h reads a whole file with its pages.
//
// Results: the list functions return 1 or -1 (or a list, or null); each
// failure prints a message that begins with the function's name twice, on
// standard error and then on standard output. The code getters and setters
// print their warnings on standard output.
// Lifetimes: a list belongs to whoever made or read it and is released with
// free_fax_header; a value that lookup_fax_header returns belongs to the
// list. The code and name texts are constants.
// Threads: a list may be used by one thread at a time; different lists and
// descriptors need no lock.
#pragma once

#include <cstdint>

#include "util/api.h"

constexpr uint32_t FAX_FILE_MAGIC = 0xBADBAD16;
constexpr char FAX_HEADER_END = 0x1D;

// One attribute/value node; the list is handled by its first node.
struct fax_header {
    char *attr;          // owned, never empty
    char *value;         // owned, possibly empty
    fax_header *next;
};

extern "C" {

TAVRIN_API fax_header *new_fax_header(const char *attr, const char *value);
TAVRIN_API int free_fax_header(fax_header *list);
TAVRIN_API const char *lookup_fax_header(const fax_header *list, const char *attr);
TAVRIN_API int set_fax_header_av(fax_header *list, const char *attr, const char *value);
TAVRIN_API int set_fax_header_var(fax_header *list, const char *text);
// Reads prefix and header text from the start of fd, which is then left at
// the first page.
TAVRIN_API fax_header *read_fax_header(int fd);
TAVRIN_API int write_fax_header(int fd, const fax_header *list);

}  // extern "C"

// RESOLUTION and COMPRESSION codes.
enum { RES_NORMAL = 0, RES_FINE = 1, RES_300 = 2, RES_400 = 3, RES_600 = 4, RES_UNKNOWN = 5 };
enum { COMP_MH = 0, COMP_MR = 1, COMP_UMMR = 2, COMP_MMR = 3, COMP_UNKNOWN = 4 };

extern "C" {

// A code as its header character ('\0' for none), and back (-1 for none).
TAVRIN_API char resolution_to_char(int code);
TAVRIN_API int char_to_resolution(char c);
TAVRIN_API char compression_to_char(int code);
TAVRIN_API int char_to_compression(char c);
TAVRIN_API const char *resolution_name(int code);
TAVRIN_API const char *compression_name(int code);

// -1 (after a warning) for a missing or unknown RESOLUTION; a missing
// COMPRESSION reads as COMP_MH, an unknown one as -1.
TAVRIN_API int get_vertical_resolution(const fax_header *header);
TAVRIN_API int get_compression_mode(const fax_header *header);
TAVRIN_API int set_vertical_resolution(fax_header *header, int code);
TAVRIN_API int set_compression_mode(fax_header *header, int code);

}  // extern "C"
