// The fax file container: prefix and header text on disk, the attribute list
// in memory, and the RESOLUTION and COMPRESSION codes kept in it.
#include "faxfile/fax_header.h"

#include "faxfile/fax_header_internal.h"
#include "util/fdio.h"
#include "util/message_internal.h"
#include "util/whitespace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

[[maybe_unused]] static const char what_string[] = "@(#)|fax_header|9|01|2|0|0|07/26/99|14:47:50";

namespace {

constexpr std::size_t PREFIX_SIZE = 8;
// First size of the header buffer, which then doubles as the text arrives.
constexpr std::size_t HEADER_CHUNK = 64 * 1024;

// The header functions' failures go out twice, standard error first; the
// reader's (`sink` given) go to its message function or standard error. The
// parts are written as they are, never used as a format.
void report(std::initializer_list<std::string_view> parts, const message_sink *sink = nullptr)
{
    if (sink == nullptr || sink->fn == nullptr) {
        for (FILE *stream : {stderr, stdout}) {
            for (std::string_view part : parts)
                std::fwrite(part.data(), 1, part.size(), stream);
            if (sink != nullptr)
                break;
        }
        return;
    }
    char text[1024];
    std::size_t length = 0;
    for (std::string_view part : parts) {
        const std::size_t n = std::min(part.size(), sizeof text - 1 - length);
        std::memcpy(text + length, part.data(), n);
        length += n;
    }
    text[length] = '\0';
    message_put(*sink, {}, text);
}

char *copy_text(std::string_view text)
{
    char *copy = new (std::nothrow) char[text.size() + 1];
    if (copy) {
        std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
    }
    return copy;
}

// Attribute lookup for a list being read: an open-addressed table of its
// nodes and the link after its last node, so that a header of many lines is
// not walked from its first node for every line. The table grows with the
// list; while it cannot, the read goes on with plain list walks.
struct attr_index {
    std::unique_ptr<fax_header *[]> slots;
    std::size_t capacity = 0;  // a power of two, at least twice the nodes
    std::size_t count = 0;
    fax_header **tail = nullptr;
};

std::size_t hash_text(const char *text)
{
    uint64_t hash = 14695981039346656037u;  // FNV-1a
    for (; *text; ++text)
        hash = (hash ^ static_cast<unsigned char>(*text)) * 1099511628211u;
    return static_cast<std::size_t>(hash ^ (hash >> 32));
}

fax_header **index_slot(const attr_index &index, const char *attr)
{
    std::size_t mask = index.capacity - 1;
    for (std::size_t i = hash_text(attr) & mask;; i = (i + 1) & mask)
        if (!index.slots[i] || std::strcmp(index.slots[i]->attr, attr) == 0)
            return &index.slots[i];
}

// Makes room for one more node, rebuilding the table from the list when it
// grows; false (index dropped) when memory is short.
bool index_reserve(attr_index &index, fax_header **head)
{
    if (index.slots && 2 * (index.count + 1) <= index.capacity)
        return true;
    std::size_t nodes = 0;
    for (const fax_header *node = *head; node; node = node->next)
        ++nodes;
    attr_index grown;
    for (grown.capacity = 64; grown.capacity < 2 * (nodes + 1);)
        grown.capacity *= 2;
    grown.slots.reset(new (std::nothrow) fax_header *[grown.capacity]());
    if (!grown.slots) {
        index = attr_index{};
        return false;
    }
    for (grown.tail = head; *grown.tail; grown.tail = &(*grown.tail)->next, ++grown.count)
        *index_slot(grown, (*grown.tail)->attr) = *grown.tail;
    index = std::move(grown);
    return true;
}

// The node of attr, or null; *end is the link after the last node, where a
// new one goes, and *slot its place in the index when one is used.
fax_header *find_attr(fax_header **head, const char *attr, attr_index *index, fax_header ***end,
                      fax_header ***slot)
{
    *slot = nullptr;
    if (index && attr && *attr && index_reserve(*index, head)) {
        *slot = index_slot(*index, attr);
        *end = index->tail;
        return **slot;
    }
    fax_header **link = head;
    for (; *link; link = &(*link)->next)
        if (attr && std::strcmp((*link)->attr, attr) == 0)
            return *link;
    *end = link;
    return nullptr;
}

// The list operations work on the head pointer so that a header being read
// can start empty; the public functions always pass a list with a node.
int set_av_in(fax_header **head, const char *attr, const char *value, attr_index *index = nullptr,
              const message_sink *sink = nullptr)
{
    fax_header **end = nullptr, **slot = nullptr;
    fax_header *match = find_attr(head, attr, index, &end, &slot);
    if (match) {
        char *copy = copy_text(value ? value : "");
        if (!copy) {
            report({"set_fax_header_av: Out of memory\n"}, sink);
            return -1;
        }
        delete[] match->value;
        match->value = copy;
        return 1;
    }
    fax_header *node = new_fax_header(attr, value);
    if (!node) {
        report({"set_fax_header_av: Out of memory\n"}, sink);
        return -1;
    }
    *end = node;
    if (slot) {
        *slot = node;
        ++index->count;
        index->tail = &node->next;
    }
    return 1;
}

int set_var_in(fax_header **head, const char *text, attr_index *index = nullptr,
               const message_sink *sink = nullptr)
{
    std::string_view pair = text ? text : "";
    std::size_t colon = pair.find(':');
    if (colon == std::string_view::npos) {
        report({"set_fax_header_var: Bad attr-value pair: [", pair, "]\n"}, sink);
        return -1;
    }
    std::unique_ptr<char[]> copy(copy_text(pair));
    if (!copy) {
        report({"set_fax_header_var: Out of memory\n"}, sink);
        return -1;
    }
    copy[colon] = '\0';
    return set_av_in(head, copy.get(), copy.get() + colon + 1, index, sink);
}

// Reads the n header bytes that follow the prefix into a buffer that grows
// with the data, so a length that the descriptor cannot back costs at most
// twice what really arrived. *got is the count read, less than n when the
// file is short or a read fails; null means a failed allocation.
std::unique_ptr<unsigned char[]> read_header_text(int fd, std::size_t n, std::size_t *got)
{
    std::size_t capacity = std::min(n, HEADER_CHUNK);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[capacity]);
    *got = 0;
    while (buffer) {
        ssize_t r = fd_read_fully(fd, buffer.get() + *got, capacity - *got);
        if (r > 0)
            *got += static_cast<std::size_t>(r);
        if (*got < capacity || capacity == n)
            break;
        std::size_t grown = std::min(n, capacity * 2);
        std::unique_ptr<unsigned char[]> bigger(new (std::nothrow) unsigned char[grown]);
        if (!bigger)
            return nullptr;
        std::memcpy(bigger.get(), buffer.get(), *got);
        buffer = std::move(bigger);
        capacity = grown;
    }
    return buffer;
}

// Turns the header text (ended by 0x1D, cut at its first NUL) into a list.
fax_header *parse_header_text(unsigned char *bytes, std::size_t n,
                              const message_sink *sink = nullptr,
                              std::string_view who = "read_fax_header")
{
    char *text = reinterpret_cast<char *>(bytes);
    std::size_t length = static_cast<std::size_t>(std::find(text, text + n - 1, '\0') - text);
    text[length] = '\0';

    fax_header *list = nullptr;
    attr_index index;
    for (char *line = text; line < text + length;) {
        char *end = std::find(line, text + length, '\n');
        *end = '\0';
        if (end != line && set_var_in(&list, line, &index, sink) != 1) {
            report({who, ": set_fax_header_string failure\n"}, sink);
            free_fax_header(list);
            return nullptr;
        }
        line = end + 1;
    }
    if (!list)
        report({who, ": Empty Header - probably corrupted\n"}, sink);
    return list;
}

// Checks the 8-byte prefix of `got` bytes and returns N, or 0 after a message.
std::size_t check_prefix(const unsigned char *prefix, std::size_t got, const message_sink *sink,
                         std::string_view who)
{
    if (got < PREFIX_SIZE) {
        report({who, ": Bad fax file: Too Small\n"}, sink);
        return 0;
    }
    if (load_be32(prefix) != FAX_FILE_MAGIC) {
        report({who, ": Bad fax file: Bad Magic Number\n"}, sink);
        return 0;
    }
    uint32_t n = load_be32(prefix + 4);
    if (n == 0) {
        report({who, ": Bad fax file: Bad Header length\n"}, sink);
        return 0;
    }
    // The length is a signed 32-bit field: a negative one has no buffer.
    if (n > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        report({who, ": Out of memory\n"}, sink);
        return 0;
    }
    return n;
}

// Reads the 8-byte prefix and returns N, or 0 after a message.
std::size_t read_prefix(int fd)
{
    unsigned char prefix[PREFIX_SIZE];
    ssize_t got = fd_read_fully(fd, prefix, sizeof prefix);
    if (got < 0) {
        report({"read_fax_header: Bad fax file: ", std::strerror(errno), "\n"});
        return 0;
    }
    return check_prefix(prefix, static_cast<std::size_t>(got), nullptr, "read_fax_header");
}

}  // namespace

fax_header *new_fax_header(const char *attr, const char *value)
{
    if (!attr || !*attr) {
        report({"new_fax_header: Ignoring null attr\n"});
        return nullptr;
    }
    std::unique_ptr<fax_header> node(new (std::nothrow) fax_header{nullptr, nullptr, nullptr});
    std::unique_ptr<char[]> attr_copy(copy_text(attr));
    std::unique_ptr<char[]> value_copy(copy_text(value ? value : ""));
    if (!node || !attr_copy || !value_copy) {
        report({"new_fax_header: Out of memory\n"});
        return nullptr;
    }
    node->attr = attr_copy.release();
    node->value = value_copy.release();
    return node.release();
}

int free_fax_header(fax_header *list)
{
    while (list) {
        fax_header *next = list->next;
        delete[] list->attr;
        delete[] list->value;
        delete list;
        list = next;
    }
    return 1;
}

const char *lookup_fax_header(const fax_header *list, const char *attr)
{
    if (!attr)
        return nullptr;
    for (; list; list = list->next)
        if (std::strcmp(list->attr, attr) == 0)
            return list->value;
    return nullptr;
}

int set_fax_header_av(fax_header *list, const char *attr, const char *value)
{
    // Without a first node there is no handle to append to.
    if (!list)
        return -1;
    return set_av_in(&list, attr, value);
}

int set_fax_header_var(fax_header *list, const char *text)
{
    // Without a first node a well-formed pair has nowhere to go.
    if (!list && text && std::strchr(text, ':'))
        return -1;
    return set_var_in(&list, text);
}

fax_header *read_fax_header(int fd)
{
    if (lseek(fd, 0, SEEK_SET) < 0) {
        report({"read_fax_header: Can't rewind file: ", std::strerror(errno), "\n"});
        return nullptr;
    }
    std::size_t n = read_prefix(fd);
    if (n == 0)
        return nullptr;

    // A length beyond the end of a regular file is refused before any buffer
    // is taken for it; a short read would refuse it the same way.
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && static_cast<uint64_t>(st.st_size) < PREFIX_SIZE + n) {
        report({"read_fax_header: Bad fax file: Corrupted header\n"});
        return nullptr;
    }
    std::size_t got = 0;
    std::unique_ptr<unsigned char[]> text = read_header_text(fd, n, &got);
    if (!text) {
        report({"read_fax_header: Out of memory\n"});
        return nullptr;
    }
    if (got < n || text[n - 1] != static_cast<unsigned char>(FAX_HEADER_END)) {
        report({"read_fax_header: Bad fax file: Corrupted header\n"});
        return nullptr;
    }
    return parse_header_text(text.get(), n);
}

fax_header *parse_fax_header(const unsigned char *bytes, std::size_t size, std::size_t *pages_at,
                             const message_sink &sink, const char *who)
{
    // In memory the length is checked against the bytes there before the
    // prefix's own limits, so that a wild one is called what it is.
    if (bytes != nullptr && size >= PREFIX_SIZE && load_be32(bytes) == FAX_FILE_MAGIC &&
        load_be32(bytes + 4) > size - PREFIX_SIZE) {
        const std::string length = std::to_string(load_be32(bytes + 4)), held = std::to_string(size);
        report({who, ": Bad fax file: the header length ", length, " goes beyond the end of the file (", held,
                " bytes)\n"},
               &sink);
        return nullptr;
    }
    std::size_t n = check_prefix(bytes, size, &sink, who);
    if (n == 0)
        return nullptr;
    if (size - PREFIX_SIZE < n || bytes[PREFIX_SIZE + n - 1] != static_cast<unsigned char>(FAX_HEADER_END)) {
        report({who, ": Bad fax file: Corrupted header\n"}, &sink);
        return nullptr;
    }
    // The parse writes into the text; the caller's bytes stay as they are.
    std::unique_ptr<unsigned char[]> text(new (std::nothrow) unsigned char[n]);
    if (!text) {
        report({who, ": Out of memory\n"}, &sink);
        return nullptr;
    }
    std::memcpy(text.get(), bytes + PREFIX_SIZE, n);
    *pages_at = PREFIX_SIZE + n;
    return parse_header_text(text.get(), n, &sink, who);
}

int write_fax_header(int fd, const fax_header *list)
{
    if (lseek(fd, 0, SEEK_SET) < 0) {
        report({"write_fax_header: Can't rewind file: ", std::strerror(errno), "\n"});
        return -1;
    }
    std::size_t n = 1;
    for (const fax_header *node = list; node; node = node->next)
        n += std::strlen(node->attr) + std::strlen(node->value) + 2;
    // N must fit the signed 32-bit length field that readers take it from.
    std::unique_ptr<unsigned char[]> buffer;
    if (n <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        buffer.reset(new (std::nothrow) unsigned char[PREFIX_SIZE + n]);
    if (!buffer) {
        report({"write_fax_header: Out of memory\n"});
        return -1;
    }
    store_be32(buffer.get(), FAX_FILE_MAGIC);
    store_be32(buffer.get() + 4, static_cast<uint32_t>(n));
    unsigned char *p = buffer.get() + PREFIX_SIZE;
    for (const fax_header *node = list; node; node = node->next) {
        std::size_t attr_length = std::strlen(node->attr), value_length = std::strlen(node->value);
        std::memcpy(p, node->attr, attr_length);
        p += attr_length;
        *p++ = ':';
        std::memcpy(p, node->value, value_length);
        p += value_length;
        *p++ = '\n';
    }
    *p = static_cast<unsigned char>(FAX_HEADER_END);
    if (!fd_write_fully(fd, buffer.get(), PREFIX_SIZE + n)) {
        report({"write_fax_header: Can't create fax file header: ", std::strerror(errno), "\n"});
        return -1;
    }
    return 1;
}

// RESOLUTION and COMPRESSION codes. Resolution codes 2-4 are stored as the
// characters 3-5; the blank stands for "unknown" and is never read back.
namespace {

constexpr char RESOLUTION_CHARS[] = {'0', '1', '3', '4', '5', ' '};
constexpr char COMPRESSION_CHARS[] = {'0', '1', '2', '3', ' '};
constexpr const char *RESOLUTION_NAMES[] = {"Normal (98 lpi)", "Fine (196 lpi)", "300 lpi",
                                            "400 lpi", "600 lpi"};
constexpr const char *COMPRESSION_NAMES[] = {"MH (1-D)", "MR (2-D)", "UMMR (Uncompressed MMR)",
                                             "MMR"};

template <std::size_t N>
char code_to_char(const char (&chars)[N], int code)
{
    return code >= 0 && static_cast<std::size_t>(code) < N ? chars[code] : '\0';
}

template <std::size_t N>
int char_to_code(const char (&chars)[N], char c)
{
    const char *found = std::find(chars, chars + N, c);
    return found == chars + N ? -1 : static_cast<int>(found - chars);
}

// The first character of a value after leading white space (C locale).
char first_significant(const char *value)
{
    while (is_white_space(*value))
        ++value;
    return *value;
}

}  // namespace

char resolution_to_char(int code) { return code_to_char(RESOLUTION_CHARS, code); }
int char_to_resolution(char c) { return char_to_code(RESOLUTION_CHARS, c); }
char compression_to_char(int code) { return code_to_char(COMPRESSION_CHARS, code); }
int char_to_compression(char c) { return char_to_code(COMPRESSION_CHARS, c); }

const char *resolution_name(int code)
{
    return code >= RES_NORMAL && code < RES_UNKNOWN ? RESOLUTION_NAMES[code]
                                                    : "Unknown Vertical Resolution";
}

const char *compression_name(int code)
{
    return code >= COMP_MH && code < COMP_UNKNOWN ? COMPRESSION_NAMES[code]
                                                  : "Unknown Compression Format";
}

int get_vertical_resolution(const fax_header *header)
{
    const char *value = lookup_fax_header(header, "RESOLUTION");
    if (!value || !*value) {
        std::printf("WARNING: No %s value in header\n", "RESOLUTION");
        return -1;
    }
    // Leading blanks are skipped, so the blank of RES_UNKNOWN never gets here.
    char c = first_significant(value);
    int code = char_to_resolution(c);
    if (code < 0) {
        // A blank-only value shows its terminating NUL in the brackets.
        std::printf("WARNING: Invalid %s value in header: [%c]\n", "RESOLUTION", c);
        return -1;
    }
    return code;
}

int get_compression_mode(const fax_header *header)
{
    const char *value = lookup_fax_header(header, "COMPRESSION");
    if (!value || !*value)
        return COMP_MH;
    return char_to_compression(first_significant(value));
}

int set_vertical_resolution(fax_header *header, int code)
{
    const char text[2] = {resolution_to_char(code), '\0'};
    if (!text[0]) {
        std::printf("set_vertical_resolution: Invalid resolution: [%d]\n", code);
        return -1;
    }
    if (set_fax_header_av(header, "RESOLUTION", text) != 1) {
        std::fputs("set_vertical_resolution: Can't set resolution\n", stdout);
        return -1;
    }
    return 1;
}

int set_compression_mode(fax_header *header, int code)
{
    const char text[2] = {compression_to_char(code), '\0'};
    if (!text[0]) {
        std::printf("set_compression_mode: invalid mode: %d\n", code);
        return -1;
    }
    if (set_fax_header_av(header, "COMPRESSION", text) != 1) {
        std::fputs("set_compression mode: Can't set mode\n", stdout);
        return -1;
    }
    return 1;
}
