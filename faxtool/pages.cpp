// Fax file pages and their rows.
#include "faxtool/pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "faxfile/fax_header.h"
#include "faxfile/fax_header_internal.h"
#include "faxfile/page_walk.h"
#include "faxfile/stated_pages.h"
#include "faxtool/messages.h"
#include "t4/page_rows.h"
#include "t4/t4dec.h"
#include "util/fdio.h"

dpi_pair resolution_dpi(int resolution)
{
    switch (resolution) {
    case RES_NORMAL:
        return {204, 98};
    case RES_300:
        return {204, 300};
    case RES_400:
        return {204, 400};
    case RES_600:
        return {204, 600};
    default:
        return {204, 196};
    }
}

bool decodable_compression(int compression)
{
    return compression == COMP_MH || compression == COMP_MR || compression == COMP_MMR;
}

std::string undecodable_reason(const fax_document &doc)
{
    if (doc.compression >= 0)
        return "compression " + std::to_string(doc.compression) + " cannot be decoded";
    for (const auto &[name, value] : doc.attributes)
        if (name == "COMPRESSION")
            return "unknown compression '" + value + "'";
    return "unknown compression";
}

namespace {

struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct header_deleter {
    void operator()(fax_header *list) const { free_fax_header(list); }
};

// Everything the descriptor holds, read once, so pipes and FIFOs work too.
// The buffer starts at the size of a regular file (one more byte finds its
// end) or at a chunk, and doubles as data keeps coming: it never exceeds
// twice what arrived. False with a reason.
bool read_whole_input(int fd, const struct stat &st, std::vector<uint8_t> &data, std::string &reason)
{
    constexpr std::size_t FIRST_CHUNK = 64 * 1024;
    std::size_t capacity = FIRST_CHUNK;
    if (S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) < std::numeric_limits<std::size_t>::max() / 2)
        capacity = static_cast<std::size_t>(st.st_size) + 1;
    std::size_t used = 0;
    try {
        // The magic and the header length come first, alone: what lacks
        // the magic (a large file of another kind, an endless device) is
        // not read on.
        constexpr std::size_t PREFIX = 8;
        data.resize(PREFIX);
        const ssize_t first = fd_read_fully(fd, data.data(), PREFIX);
        if (first < 0) {
            reason = std::strerror(errno);
            return false;
        }
        used = static_cast<std::size_t>(first);
        if (used == PREFIX && load_be32(data.data()) == FAX_FILE_MAGIC) {
            data.resize(std::max(capacity, PREFIX + 1));
            for (;;) {
                if (used == data.size())
                    data.resize(data.size() * 2);
                const ssize_t got = fd_read_fully(fd, data.data() + used, data.size() - used);
                if (got < 0) {
                    reason = std::strerror(errno);
                    return false;
                }
                used += static_cast<std::size_t>(got);
                if (used < data.size())
                    break;
            }
        }
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return false;
    }
    data.resize(used);
    return true;
}

void keep_message(void *user, const char *text) { static_cast<captured_text *>(user)->text += text; }

// The header through the library from the file's first `size` bytes, its
// messages turned into the reason; `pages_at` gets the offset of the first
// page.
bool read_header(const uint8_t *bytes, std::size_t size, fax_document &doc, std::size_t &pages_at,
                 std::string &reason)
{
    captured_text said;
    fax_header *list = parse_fax_header(bytes, size, &pages_at, message_sink{keep_message, &said}, "faxtool");
    std::unique_ptr<fax_header, header_deleter> header(list);
    if (!header) {
        reason = library_reason(said, "not a fax file");
        return false;
    }
    for (const fax_header *node = list; node != nullptr; node = node->next)
        doc.attributes.emplace_back(node->attr, node->value);
    const stated_pages stated = read_stated_pages(list);
    doc.pages_stated = stated.exact ? stated.leading : -1;
    // The getters warn on standard output about missing values; -1 says it.
    capture_library_output([&] {
        doc.resolution = get_vertical_resolution(list);
        doc.compression = get_compression_mode(list);
    });
    return true;
}

// All `count` bytes at `offset`, or false (errno 0 for a file that ends first).
bool read_at(int fd, std::size_t offset, unsigned char *to, std::size_t count)
{
    while (count > 0) {
        const ssize_t got = pread(fd, to, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        to += got;
        offset += static_cast<std::size_t>(got);
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

// ---- rows from the decoder's lines ------------------------------------------

// The rows' buffer starts at a typical fine page's size and grows only for
// taller pages.

using decoder_owner = std::unique_ptr<t4dec_context, decltype(&t4dec_context_free)>;

// The report needs a callback: the MR decoder does no work for none.
void ignore_line(void *, const int16_t *, int, int) {}

bool mark_pages(const fax_file &file, fax_page_list &list)
{
    list.file = &file;
    list.count = file.page_count;
    try {
        list.marks.reserve(file.page_count / PAGE_MARK_STRIDE + 1);
    } catch (const std::bad_alloc &) {
        return false;
    }
    uint64_t cursor = 0;
    fax_page page;
    for (std::size_t i = 0; i < file.page_count; ++i) {
        if (i % PAGE_MARK_STRIDE == 0)
            list.marks.push_back(cursor);
        fax_file_next_page(&file, &cursor, &page);
    }
    return true;
}

}  // namespace

fax_page_ref fax_page_list::operator[](std::size_t index) const
{
    if (file == nullptr)
        return held[index];
    uint64_t cursor = marks[index / PAGE_MARK_STRIDE];
    fax_page page{};
    for (std::size_t step = 0; step <= index % PAGE_MARK_STRIDE; ++step)
        fax_file_next_page(file, &cursor, &page);
    return {static_cast<std::size_t>(page.offset), page.length, page.data};
}

bool read_fax_document(int fd, const std::string &path, fax_document &doc, std::string &reason)
{
    doc = fax_document{};
    doc.path = path;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        reason = "is a directory, not a fax file";
        return false;
    }
    captured_text said;
    doc.file.reset(fax_file_open_fd_flags(fd, FAX_FILE_NO_PAGE_RECORDS, keep_message, &said));
    if (!doc.file) {
        reason = library_reason(said, "not a fax file");
        return false;
    }
    const fax_file &file = *doc.file;
    for (std::size_t i = 0; i < file.attribute_count; ++i)
        doc.attributes.emplace_back(file.attributes[i].name, file.attributes[i].value);
    doc.pages_stated = file.pages_stated;
    doc.resolution = file.resolution;
    doc.compression = file.decode_mode;
    if (!mark_pages(file, doc.pages)) {
        reason = "out of memory";
        doc = fax_document{};
        return false;
    }
    doc.damage = file.damage_text;
    return true;
}

bool load_fax_document(const std::string &path, fax_document &doc, std::string &reason)
{
    fd_closer file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        doc = fax_document{};
        reason = std::strerror(errno);
        return false;
    }
    return read_fax_document(file.fd, path, doc, reason);
}

namespace {

// The bytes of a file's header, as the length field at its start gives them.
bool read_stream_head(int fd, const struct stat &st, std::vector<uint8_t> &head, std::string &reason)
{
    const auto size = static_cast<std::size_t>(st.st_size);
    unsigned char prefix[8];
    const std::size_t got = std::min(size, sizeof prefix);
    if (!read_at(fd, 0, prefix, got)) {
        reason = errno != 0 ? std::strerror(errno) : "changed while it was read";
        return false;
    }
    const uint32_t length = got == sizeof prefix ? load_be32(prefix + 4) : 0;
    if (got == sizeof prefix && load_be32(prefix) == FAX_FILE_MAGIC &&
        (length > size - sizeof prefix || length > static_cast<uint32_t>(INT32_MAX))) {
        // A header that cannot be there: the library says so with the
        // whole file before it, as for any other reader.
        return lseek(fd, 0, SEEK_SET) >= 0 && read_whole_input(fd, st, head, reason);
    }
    try {
        head.resize(got == sizeof prefix && load_be32(prefix) == FAX_FILE_MAGIC ? sizeof prefix + length : got);
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return false;
    }
    if (!read_at(fd, 0, head.data(), head.size())) {
        reason = errno != 0 ? std::strerror(errno) : "changed while it was read";
        return false;
    }
    return true;
}

}  // namespace

bool open_fax_stream(int fd, const std::string &path, fax_stream &stream, std::string &reason)
{
    stream = fax_stream{};
    stream.doc.path = path;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    stream.size = static_cast<std::size_t>(st.st_size);
    std::vector<uint8_t> head;
    if (!read_stream_head(fd, st, head, reason))
        return false;
    if (!read_header(head.data(), head.size(), stream.doc, stream.first_page, reason))
        return false;
    stream.end = stream.first_page;
    int failed = 0;
    page_walk_end end;
    const bool walked = walk_fax_pages(
        stream.first_page, stream.size, stream.doc.pages_stated,
        [&](std::size_t at, uint32_t &field) {
            unsigned char bytes[4];
            if (!read_at(fd, at, bytes, sizeof bytes)) {
                failed = errno;
                return false;
            }
            field = load_be32(bytes);
            return true;
        },
        [&](std::size_t at, uint32_t page_length) {
            ++stream.pages;
            stream.end = at + page_length;
        },
        end);
    stream.doc.damage = std::move(end.text);
    if (!walked) {
        reason = failed != 0 ? std::strerror(failed) : "changed while it was read";
        return false;
    }
    return true;
}

page_report decode_data_report(t4dec_context *decoder, const unsigned char *data, uint32_t length, int compression)
{
    static const unsigned char no_data[2] = {0, 0};
    page_report report;
    if (decoder == nullptr || !decodable_compression(compression) || length > static_cast<uint32_t>(INT_MAX))
        return report;
    // The decoders take whole 16-bit words, as pelmorin hands them over.
    const int words = static_cast<int>(length & ~1u);
    t4dec_decode_spans_ctx(decoder, words > 0 ? data : no_data, words, compression, ignore_line, nullptr);
    t4dec_report seen{};
    t4dec_context_report(decoder, &seen);
    report.lines = seen.lines;
    report.concealed = seen.concealed;
    report.clean = seen.clean != 0;
    return report;
}

std::string page_damage(const page_report &report)
{
    std::string damage;
    if (report.concealed > 0)
        damage = std::to_string(report.concealed) + (report.concealed == 1 ? " line" : " lines") + " concealed";
    if (!report.clean)
        damage += damage.empty() ? "not clean" : ", not clean";
    return damage;
}

bool decode_page_rows(const fax_document &doc, std::size_t index, const row_choice &choice,
                      page_image &out, page_report &report, std::string &reason)
{
    std::vector<uint8_t> bits = std::move(out.bits);  // its buffer serves again
    bits.clear();
    out = page_image{};
    out.number = static_cast<int>(index) + 1;
    out.resolution = doc.resolution;
    if (!decodable_compression(doc.compression)) {
        reason = undecodable_reason(doc);
        return false;
    }
    t4_rows_owner rows;
    rows.value.bits = static_cast<uint8_t *>(std::malloc(TYPICAL_PAGE_ROWS * FAX_ROW_BYTES));
    rows.value.capacity = rows.value.bits != nullptr ? TYPICAL_PAGE_ROWS * FAX_ROW_BYTES : 0;
    const fax_page_ref &page = doc.pages[index];
    t4dec_report seen{};
    const int result = t4_page_to_rows(nullptr, page.data, page.length, doc.compression,
                                       choice.decoder_lines ? T4_ROWS_DECODER_LINES : T4_ROWS_OWN,
                                       MAX_PAGE_ROWS, &rows.value, &seen);
    if (result == T4_PAGE_TOO_MANY_LINES) {
        reason = "page " + std::to_string(out.number) + " has more than " + std::to_string(MAX_PAGE_ROWS) +
                 " lines";
        return false;
    }
    if (result != T4_PAGE_OK) {
        reason = "out of memory";
        return false;
    }
    report = page_report{seen.lines, seen.concealed, seen.clean != 0};
    const int copies = choice.stretch && doc.resolution == RES_NORMAL ? 2 : 1;
    const uint8_t *from = rows.value.bits;
    try {
        bits.resize(static_cast<std::size_t>(rows.value.lines) * copies * FAX_ROW_BYTES);
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return false;
    }
    for (int32_t row = 0; row < rows.value.lines; ++row, from += FAX_ROW_BYTES)
        for (int copy = 0; copy < copies; ++copy)
            std::memcpy(bits.data() + (static_cast<std::size_t>(row) * copies + copy) * FAX_ROW_BYTES, from,
                        FAX_ROW_BYTES);
    out.bits = std::move(bits);
    out.height = rows.value.lines * copies;
    if (copies == 2)
        out.resolution = RES_FINE;
    return true;
}
