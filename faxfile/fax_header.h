// The fax file container: an 8-byte prefix (magic, header length), the header
// text of ATTR:value lines ended by 0x1D, then the pages.
#pragma once

#include <cstdint>

constexpr uint32_t FAX_FILE_MAGIC = 0xBADBAD16;
constexpr char FAX_HEADER_END = 0x1D;

// One attribute/value node; the list is handled by its first node.
struct fax_header {
    char *attr;          // owned, never empty
    char *value;         // owned, possibly empty
    fax_header *next;
};

fax_header *new_fax_header(const char *attr, const char *value);
int free_fax_header(fax_header *list);
const char *lookup_fax_header(const fax_header *list, const char *attr);
int set_fax_header_av(fax_header *list, const char *attr, const char *value);
int set_fax_header_var(fax_header *list, const char *text);
fax_header *read_fax_header(int fd);
int write_fax_header(int fd, const fax_header *list);

// RESOLUTION and COMPRESSION codes.
enum { RES_NORMAL = 0, RES_FINE = 1, RES_300 = 2, RES_400 = 3, RES_600 = 4, RES_UNKNOWN = 5 };
enum { COMP_MH = 0, COMP_MR = 1, COMP_UMMR = 2, COMP_MMR = 3, COMP_UNKNOWN = 4 };

char resolution_to_char(int code);
int char_to_resolution(char c);
char compression_to_char(int code);
int char_to_compression(char c);
const char *resolution_name(int code);
const char *compression_name(int code);

int get_vertical_resolution(const fax_header *header);
int get_compression_mode(const fax_header *header);
int set_vertical_resolution(fax_header *header, int code);
int set_compression_mode(fax_header *header, int code);
