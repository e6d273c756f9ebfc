// Fax file pages and their rows.
#include "faxtool/pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "faxfile/fax_header.h"
#include "faxfile/fax_header_internal.h"
#include "faxfile/stated_pages.h"
#include "faxtool/messages.h"
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

constexpr std::size_t PREFIX_BYTES = 8;

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
        data.resize(capacity);
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
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return false;
    }
    data.resize(used);
    return true;
}

// The header through the library, its messages turned into the reason.
void keep_message(void *user, const char *text) { static_cast<captured_text *>(user)->text += text; }

bool read_header(fax_document &doc, std::string &reason)
{
    captured_text said;
    std::size_t pages_at = 0;
    fax_header *list = parse_fax_header(doc.data.data(), doc.data.size(), &pages_at,
                                        message_sink{keep_message, &said}, "faxtool");
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

void split_pages(fax_document &doc, std::size_t first)
{
    const std::size_t size = doc.data.size();
    std::size_t at = first;
    while (at < size) {
        const std::size_t number = doc.pages.size() + 1;
        if (size - at < 4) {
            // Too few for a page's length: no page, and not the end of one.
            doc.damage = std::to_string(size - at) + (size - at == 1 ? " stray byte after " : " stray bytes after ") +
                         (number == 1 ? std::string("the header") : "page " + std::to_string(number - 1));
            return;
        }
        const uint32_t length = load_be32(doc.data.data() + at);
        at += 4;
        if (length > size - at) {
            doc.damage = "page " + std::to_string(number) + " is cut short: " +
                         std::to_string(size - at) + " of its " + std::to_string(length) +
                         " bytes are there";
            return;
        }
        doc.pages.push_back({at, length});
        at += length;
    }
    if (doc.pages_stated > static_cast<long>(doc.pages.size()))
        doc.damage = "the header states " + std::to_string(doc.pages_stated) +
                     " pages, the file holds " + std::to_string(doc.pages.size());
}

// ---- rows from the decoder's callbacks -----------------------------------

// One page's rows, filled through the decoder's callbacks.
struct row_builder {
    std::vector<uint8_t> *rows = nullptr;
    uint8_t current[FAX_ROW_BYTES] = {};
    int64_t position = 0;   // pixels the current line's runs have covered
    int32_t count = 0;      // rows closed
    bool overflow = false;  // more rows than MAX_PAGE_ROWS
};

// As pelmorin paints: a run starts where the line's runs have reached,
// modulo the width, and a black run wraps within the row.
void build_run(void *user, int32_t run)
{
    row_builder &builder = *static_cast<row_builder *>(user);
    const int64_t magnitude = run < 0 ? -static_cast<int64_t>(run) : run;
    int x = static_cast<int>(builder.position % FAX_WIDTH);
    builder.position += magnitude;
    if (run >= 0)
        return;
    const int64_t count = std::min<int64_t>(magnitude, FAX_WIDTH);
    for (int64_t i = 0; i < count; ++i) {
        builder.current[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
        if (++x == FAX_WIDTH)
            x = 0;
    }
}

void build_eol(void *user)
{
    row_builder &builder = *static_cast<row_builder *>(user);
    builder.position = 0;
    if (builder.count >= MAX_PAGE_ROWS) {
        builder.overflow = true;
    } else {
        builder.rows->insert(builder.rows->end(), builder.current, builder.current + FAX_ROW_BYTES);
        ++builder.count;
    }
    std::memset(builder.current, 0, sizeof builder.current);
}

// The report needs a callback: the MR decoder does no work for none.
void ignore_run(void *, int32_t) {}
void ignore_eol(void *) {}

using decoder_owner = std::unique_ptr<t4dec_context, decltype(&t4dec_context_free)>;

// Decodes page `index` on a decoder of its own; false when none can be had.
bool decode_into(const fax_document &doc, std::size_t index, t4dec_run_fn on_run,
                 t4dec_eol_fn on_eol, void *user, t4dec_report &seen)
{
    static const unsigned char no_data[2] = {0, 0};
    decoder_owner decoder(t4dec_context_new(FAX_WIDTH), t4dec_context_free);
    if (!decoder)
        return false;
    const fax_page_ref &page = doc.pages[index];
    // The decoders take whole 16-bit words, as pelmorin hands them over.
    const int length = static_cast<int>(page.length & ~1u);
    const unsigned char *data = length > 0 ? doc.data.data() + page.offset : no_data;
    t4dec_decode_ctx(decoder.get(), data, length, doc.compression, on_run, nullptr, on_eol, user);
    t4dec_context_report(decoder.get(), &seen);
    return true;
}

}  // namespace

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
    if (!read_whole_input(fd, st, doc.data, reason) || !read_header(doc, reason))
        return false;
    // The library has checked that the header lies within the data.
    split_pages(doc, PREFIX_BYTES + load_be32(doc.data.data() + 4));
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

page_report decode_page_report(const fax_document &doc, std::size_t index)
{
    page_report report;
    if (!decodable_compression(doc.compression) || index >= doc.pages.size())
        return report;
    t4dec_report seen{};
    if (!decode_into(doc, index, ignore_run, ignore_eol, nullptr, seen))
        return report;
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

bool decode_page_rows(const fax_document &doc, std::size_t index, bool stretch, page_image &out,
                      page_report &report, std::string &reason)
{
    out = page_image{};
    out.number = static_cast<int>(index) + 1;
    out.resolution = doc.resolution;
    if (!decodable_compression(doc.compression)) {
        reason = undecodable_reason(doc);
        return false;
    }
    row_builder builder;
    builder.rows = &out.bits;
    t4dec_report seen{};
    if (!decode_into(doc, index, build_run, build_eol, &builder, seen)) {
        reason = "out of memory";
        return false;
    }
    if (builder.overflow) {
        out.bits.clear();
        reason = "page " + std::to_string(out.number) + " has more than " +
                 std::to_string(MAX_PAGE_ROWS) + " lines";
        return false;
    }
    report = page_report{seen.lines, seen.concealed, seen.clean != 0};
    out.height = builder.count;
    if (stretch && doc.resolution == RES_NORMAL) {
        std::vector<uint8_t> doubled;
        doubled.reserve(out.bits.size() * 2);
        for (int32_t row = 0; row < out.height; ++row) {
            auto first = out.bits.begin() + static_cast<std::ptrdiff_t>(row) * FAX_ROW_BYTES;
            doubled.insert(doubled.end(), first, first + FAX_ROW_BYTES);
            doubled.insert(doubled.end(), first, first + FAX_ROW_BYTES);
        }
        out.bits.swap(doubled);
        out.height *= 2;
        out.resolution = RES_FINE;
    }
    return true;
}
