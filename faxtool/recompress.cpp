// faxtool recompress: one file after another, each one's result reported.
// A file is locked while it is recoded, refused when it is damaged or the
// caller may not write it, and replaced only by a complete new file, and
// only if it is still the file that was read.
#include "faxtool/recompress.h"

#include <getopt.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "faxfile/fax_header.h"
#include "faxtool/archive_run.h"
#include "faxtool/messages.h"
#include "faxtool/output_file.h"
#include "faxtool/pages.h"
#include "faxtool/progress.h"
#include "faxtool/shown_names.h"
#include "faxtool/usage.h"
#include "t4/enct4.h"
#include "t4/t4dec.h"
#include "util/fdio.h"

namespace {

constexpr std::size_t WRITE_BLOCK = 1 << 20;
constexpr int OPEN_ATTEMPTS = 100;

const char *coding_name(int compression)
{
    switch (compression) {
    case COMP_MH:
        return "MH";
    case COMP_MR:
        return "MR";
    case COMP_MMR:
        return "MMR";
    default:
        return "unknown";
    }
}

struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    ~fd_owner() { reset(-1); }
    void reset(int opened)
    {
        if (fd >= 0)
            close(fd);
        fd = opened;
    }
};

struct header_deleter {
    void operator()(fax_header *list) const { free_fax_header(list); }
};
using header_owner = std::unique_ptr<fax_header, header_deleter>;

bool same_state(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The fax file locked against other recompressions. A waiting run may find
// the name given to the result of the run it waited for: it then takes
// that file instead, so that both results count, one after the other.
bool open_locked(const std::string &path, fd_owner &file, struct stat &seen, std::string &reason)
{
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        // Not blocking: a FIFO without a writer would hold us at the open.
        file.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (file.fd < 0) {
            reason = std::strerror(errno);
            return false;
        }
        if (fstat(file.fd, &seen) != 0 || !S_ISREG(seen.st_mode)) {
            reason = S_ISDIR(seen.st_mode) ? "is a directory; not recompressed" : "not a regular file; not recompressed";
            return false;
        }
        int locked;
        while ((locked = flock(file.fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            reason = std::string("cannot lock it: ") + std::strerror(errno);
            return false;
        }
        struct stat named;
        if (fstat(file.fd, &seen) != 0 || stat(path.c_str(), &named) != 0) {
            reason = std::strerror(errno);
            return false;
        }
        if (named.st_dev == seen.st_dev && named.st_ino == seen.st_ino)
            return true;
    }
    reason = "keeps being replaced; not recompressed";
    return false;
}

// As rm and mv see a write-protected file: the caller's own permission,
// and for the superuser, who may write anything, a write bit at all.
bool may_write(const std::string &path, const struct stat &seen)
{
    if (geteuid() == 0)
        return (seen.st_mode & 0222) != 0 && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// Coded data in large blocks: the encoder hands over a few words at a time.
struct block_writer {
    int fd = -1;
    std::vector<unsigned char> block;
    int error = 0;

    bool flush()
    {
        if (error == 0 && !block.empty() && !fd_write_fully(fd, block.data(), block.size()))
            error = errno != 0 ? errno : EIO;
        block.clear();
        return error == 0;
    }
    bool put(const unsigned char *bytes, std::size_t count)
    {
        if (block.size() + count > WRITE_BLOCK && !flush())
            return false;
        if (count >= WRITE_BLOCK) {
            if (!fd_write_fully(fd, bytes, count))
                error = errno != 0 ? errno : EIO;
            return error == 0;
        }
        block.insert(block.end(), bytes, bytes + count);
        return true;
    }
};

// One page on its way from the decoder to the encoder: as its lines'
// changing elements where they are the lines the library recodes, else as
// bitmaps. The buffers serve every page.
struct page_recoding {
    // Lines as black runs: line i is positions [first[i], first[i + 1]) of `at`.
    std::vector<int16_t> at;
    std::vector<uint32_t> first{0};
    std::size_t next_row = 0;
    std::vector<int16_t> open;  // runs after the last end of line
    bool has_open = false;
    std::vector<unsigned char> lines;  // bitmap lines back to back
    bool handed_over = false;
    bool runs_pending = false;         // runs since the last line: a line is open
    bool out_of_memory = false;
    std::vector<unsigned char> coded;
    bool too_long = false;

    void clear()
    {
        at.clear();
        first.assign(1, 0);
        next_row = 0;
        open.clear();
        has_open = false;
        lines.clear();
        handed_over = runs_pending = out_of_memory = too_long = false;
        coded.clear();
    }
    std::size_t rows() const { return first.size() - 1; }
};

void add_row(page_recoding &page, const int16_t *spans, int count)
{
    page.at.insert(page.at.end(), spans, spans + count);
    page.first.push_back(static_cast<uint32_t>(page.at.size()));
}

void take_spans(void *user, const int16_t *spans, int count, int flags)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (page.out_of_memory)
        return;
    try {
        if ((flags & T4DEC_LINE_ENDED) != 0) {
            add_row(page, spans, count);
        } else {
            page.open.assign(spans, spans + count);
            page.has_open = true;
        }
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
    }
}

int give_row(void *user, const int16_t **spans, int *count)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (page.next_row >= page.rows())
        return -1;
    const uint32_t from = page.first[page.next_row];
    *spans = page.at.data() + from;
    *count = static_cast<int>(page.first[page.next_row + 1] - from);
    ++page.next_row;
    return FAX_WIDTH;
}

void note_run(void *user, int32_t)
{
    static_cast<page_recoding *>(user)->runs_pending = true;
}

void collect_line(void *user, const unsigned char *line, int bytes)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    page.runs_pending = false;
    if (line == nullptr || bytes != FAX_ROW_BYTES || page.out_of_memory)
        return;
    try {
        page.lines.insert(page.lines.end(), line, line + bytes);
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
    }
}

// The whole page as one batch, then the end.
int hand_over_lines(void *user, unsigned char **first_line, int *line_count)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (page.handed_over || page.lines.empty())
        return -1;
    page.handed_over = true;
    *first_line = page.lines.data();
    *line_count = static_cast<int>(page.lines.size() / FAX_ROW_BYTES);
    return FAX_ROW_BYTES;
}

// Words go out low byte first: the bit stream starts at bit 0 of the first
// byte. A page's length field holds 32 bits.
int take_words(void *user, const uint16_t *words, int count)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (words == nullptr || count <= 0)
        return 0;
    const std::size_t at = page.coded.size();
    if (at + 2 * static_cast<uint64_t>(count) > UINT32_MAX) {
        page.too_long = true;
        return -1;
    }
    try {
        page.coded.resize(at + 2 * static_cast<std::size_t>(count));
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
        return -1;
    }
    unsigned char *p = page.coded.data() + at;
    for (int i = 0; i < count; ++i) {
        p[2 * i] = static_cast<unsigned char>(words[i] & 0xFF);
        p[2 * i + 1] = static_cast<unsigned char>(words[i] >> 8);
    }
    return 2 * count;
}

struct recoder {
    int source;
    int target;
    int resolution;
    bool force;
    std::unique_ptr<t4dec_context, decltype(&t4dec_context_free)> decoder{nullptr, t4dec_context_free};
    std::unique_ptr<enct4_context, decltype(&enct4_context_free)> encoder{nullptr, enct4_context_free};
};

// Recoding would put the decoder's repair in place of the coded data.
bool page_is_whole(const page_report &report, const std::string &which, std::string &reason)
{
    const std::string damage = page_damage(report);
    if (damage.empty())
        return true;
    reason = which + " is damaged (" + damage + ")";
    return false;
}

enum class decoding { done, refused, as_bitmaps };

// What a decoding of the page says: damage refused without --force, as
// are data that stop decoding part way; with it the lines before are kept.
decoding judge_decoding(const recoder &r, int decoded, bool judged_apart, const std::string &which,
                        std::string &reason)
{
    if (!r.force && !judged_apart) {
        t4dec_report seen{};
        t4dec_context_report(r.decoder.get(), &seen);
        if (!page_is_whole(page_report{seen.lines, seen.concealed, seen.clean != 0}, which, reason))
            return decoding::refused;
    }
    if (decoded == 0 && !r.force) {
        reason = which + " cannot be decoded";
        return decoding::refused;
    }
    return decoding::done;
}

// The page's lines as changing elements, as_bitmaps where they might not be
// the lines that the bitmap decoding gives: MR's EOLs in a row give a line
// each, and a concealed MH line is the broken one rather than the previous.
// MMR gives the same lines either way.
decoding decode_as_spans(recoder &r, const unsigned char *data, int length, bool judged_apart,
                         const std::string &which, page_recoding &page, std::string &reason)
{
    if (r.source == COMP_MR)
        return decoding::as_bitmaps;
    const int decoded = t4dec_decode_spans_ctx(r.decoder.get(), data, length, r.source, take_spans, &page);
    const decoding judged = judge_decoding(r, decoded, judged_apart, which, reason);
    if (judged != decoding::done)
        return judged;
    t4dec_report seen{};
    t4dec_context_report(r.decoder.get(), &seen);
    if (r.source == COMP_MH && (seen.clean == 0 || seen.concealed != 0))
        return decoding::as_bitmaps;
    try {
        // A whole MH line that no EOL closed: the library closes it.
        if (r.source == COMP_MH && page.has_open)
            add_row(page, page.open.data(), static_cast<int>(page.open.size()));
        // MH is coded with an EOL before each line and none after the last:
        // a white line's EOL ends the page's last real line.
        if (r.target == COMP_MH)
            add_row(page, nullptr, 0);
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
    }
    return decoding::done;
}

// The page's lines as bitmaps, the way the library decodes them.
decoding decode_as_bitmaps(recoder &r, const unsigned char *data, int length, bool judged_apart,
                           const std::string &which, page_recoding &page, std::string &reason)
{
    // The MR decoder refuses an empty page: it has no lines.
    if (length > 0 || r.source != COMP_MR) {
        const int decoded = t4dec_decode_ctx(r.decoder.get(), data, length, r.source, note_run, collect_line,
                                             nullptr, &page);
        if (judge_decoding(r, decoded, judged_apart, which, reason) != decoding::done)
            return decoding::refused;
    }
    // Data may end inside an MH line: an EOL there closes it.
    if (r.source == COMP_MH && page.runs_pending)
        t4dec_context_end_line(r.decoder.get(), note_run, collect_line, nullptr, &page);
    if (r.target == COMP_MH && !page.out_of_memory) {
        try {
            page.lines.resize(page.lines.size() + FAX_ROW_BYTES, 0);
        } catch (const std::bad_alloc &) {
            page.out_of_memory = true;
        }
    }
    return decoding::done;
}

// The encoder's result for the page, and why it is not whole.
bool coded_whole(int coded, const std::string &which, const page_recoding &page, std::string &reason)
{
    if (page.out_of_memory) {
        reason = "out of memory";
        return false;
    }
    if (page.too_long) {
        reason = which + " codes to more than 4 GiB";
        return false;
    }
    if (coded >= 0) {
        reason = "the encoder failed on " + which;
        return false;
    }
    return true;
}

void say_nothing(void *, const char *) {}

// Decodes one page's data and codes its lines again, into page.coded;
// without --force a damaged page is refused.
bool recode_page(recoder &r, const unsigned char *data, uint32_t length, int number, page_recoding &page,
                 std::string &reason)
{
    static const unsigned char no_data[1] = {0};
    const std::string which = "page " + std::to_string(number);
    if (length > static_cast<uint32_t>(INT_MAX)) {
        reason = which + " is too long to decode";
        return false;
    }
    // A page is judged on whole 16-bit words, as info judges it: one of odd
    // length, and an empty MR page, which is not decoded, on their own.
    const bool judged_apart = !r.force && (length % 2 != 0 || (length == 0 && r.source == COMP_MR));
    if (judged_apart && !page_is_whole(decode_data_report(r.decoder.get(), data, length, r.source), which, reason))
        return false;
    const unsigned char *from = length > 0 ? data : no_data;
    const int size = static_cast<int>(length);
    page.clear();
    const decoding spans = decode_as_spans(r, from, size, judged_apart, which, page, reason);
    if (spans == decoding::refused)
        return false;
    if (spans == decoding::done) {
        if (page.out_of_memory)
            return coded_whole(-1, which, page, reason);
        // Spans the encoder refuses (it says nothing of them here) are
        // recoded from bitmaps, which it takes as they are.
        enct4_context_set_messages(r.encoder.get(), say_nothing, nullptr);
        const int coded = enct4_g3_spans_ctx(r.encoder.get(), give_row, take_words, &page, r.target, r.resolution);
        enct4_context_set_messages(r.encoder.get(), nullptr, nullptr);
        if (coded < 0 || page.out_of_memory || page.too_long)
            return coded_whole(coded, which, page, reason);
    }
    page.clear();
    if (decode_as_bitmaps(r, from, size, judged_apart, which, page, reason) == decoding::refused)
        return false;
    if (page.out_of_memory)
        return coded_whole(-1, which, page, reason);
    const int coded = enct4_g3_ctx(r.encoder.get(), hand_over_lines, take_words, &page, r.target, r.resolution);
    return coded_whole(coded, which, page, reason);
}

// The pages to recode: those stored whole, and with --force the part of a
// page that was cut short. Each is read when its turn comes, its length
// checked against what the file holds, into a buffer that serves them all.
struct page_reader {
    int fd;
    const fax_stream &stream;
    bool force;
    std::size_t next = 0;   // index of the next page
    std::size_t at;         // offset of its length field
    std::vector<unsigned char> data;

    std::size_t count() const { return stream.pages + (has_cut_part() ? 1 : 0); }
    bool has_cut_part() const
    {
        return force && stream.size >= 8 && stream.end <= stream.size && stream.size - stream.end > 4;
    }
    // The next page's data into `data`; false with a reason.
    bool read_next(std::string &reason)
    {
        uint32_t length = 0;
        std::size_t from = 0;
        if (next < stream.pages) {
            unsigned char field[4];
            if (stream.size - at < 4 || !read_exactly(at, field, sizeof field, reason))
                return changed(reason);
            length = load_be32(field);
            from = at + 4;
            if (length > stream.size - from)
                return changed(reason);
            at = from + length;
        } else {
            from = stream.end + 4;
            length = static_cast<uint32_t>(stream.size - from);
        }
        ++next;
        try {
            data.resize(length);
        } catch (const std::bad_alloc &) {
            reason = "out of memory";
            return false;
        }
        return read_exactly(from, data.data(), length, reason);
    }
    bool read_exactly(std::size_t offset, unsigned char *to, std::size_t count, std::string &reason)
    {
        while (count > 0) {
            const ssize_t got = pread(fd, to, count, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                reason = std::strerror(errno);
                return false;
            }
            if (got == 0)
                return changed(reason);
            to += got;
            offset += static_cast<std::size_t>(got);
            count -= static_cast<std::size_t>(got);
        }
        return true;
    }
    static bool changed(std::string &reason)
    {
        reason = "changed while it was recompressed";
        return false;
    }
};

// Owner, group (where permitted) and mode of the fax file for the new one.
// The owner goes first: changing it may clear set-id bits.
bool copy_attributes(int fd, const struct stat &fax)
{
    if (fchown(fd, fax.st_uid, fax.st_gid) != 0)
        static_cast<void>(fchown(fd, static_cast<uid_t>(-1), fax.st_gid));
    return fchmod(fd, fax.st_mode & 07777) == 0;
}

struct replacement_check {
    std::string path;
    struct stat seen;
};

bool still_the_file_read(void *user, std::string &reason)
{
    const replacement_check &check = *static_cast<const replacement_check *>(user);
    struct stat now;
    if (stat(check.path.c_str(), &now) == 0 && same_state(now, check.seen))
        return true;
    reason = "changed while it was recompressed; not recompressed";
    return false;
}

// Header and pages into the new file.
bool write_recoded(recoder &r, page_reader &pages, fax_header *header, int fd, std::string &reason)
{
    bool ok = false;
    captured_text said = capture_library_output(
        [&] { ok = set_compression_mode(header, r.target) == 1 && write_fax_header(fd, header) == 1; });
    if (!ok) {
        reason = library_reason(said, "cannot write the header");
        return false;
    }
    block_writer out;
    out.fd = fd;
    out.block.reserve(WRITE_BLOCK);
    const std::size_t count = pages.count();
    page_recoding page;
    for (std::size_t i = 0; i < count; ++i) {
        progress_next_page();
        const int number = static_cast<int>(i) + 1;
        if (!pages.read_next(reason))
            return false;
        if (!recode_page(r, pages.data.data(), static_cast<uint32_t>(pages.data.size()), number, page, reason))
            return false;
        unsigned char length[4];
        store_be32(length, static_cast<uint32_t>(page.coded.size()));
        if (!out.put(length, sizeof length) || !out.put(page.coded.data(), page.coded.size()))
            break;
    }
    if (!out.flush()) {
        reason = std::strerror(out.error);
        return false;
    }
    return true;
}

// Everything that can refuse the file before anything is written.
bool check_recodable(const std::string &path, const fax_document &doc, bool force,
                     const struct stat &seen, std::string &reason)
{
    if (!decodable_compression(doc.compression)) {
        reason = undecodable_reason(doc) + "; not recompressed";
        return false;
    }
    if (doc.resolution < 0) {
        reason = "the header gives no resolution; not recompressed";
        return false;
    }
    if (doc.resolution > RES_FINE) {
        reason = std::string("only normal and fine pages are recompressed, not ") + resolution_name(doc.resolution);
        return false;
    }
    if (!may_write(path, seen)) {
        reason = "not writable; not recompressed";
        return false;
    }
    if (force)
        return true;
    // Damaged pages are refused as they are decoded.
    if (!doc.damage.empty()) {
        reason = doc.damage + "; not recompressed";
        return false;
    }
    return true;
}

struct recompress_run {
    int target = -1;
    bool force = false;
    bool update = false;
};

// Through a link the real file is rewritten, beside itself, and the link kept.
bool follow_link(const std::string &path, std::string &real_path)
{
    real_path = path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return true;
    std::unique_ptr<char, void (*)(void *)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved) {
        report_failure(path, std::string("cannot follow the link: ") + std::strerror(errno));
        return false;
    }
    real_path = resolved.get();
    return true;
}

// The fax file opened, locked and read as far as its header: everything
// recoding it needs, or a failure reported.
struct opened_fax {
    std::string real_path;
    fd_owner fax;
    struct stat seen;
    fax_stream stream;
    header_owner header{nullptr};
};

bool open_fax(const std::string &path, const recompress_run &run, opened_fax &f, input_outcome &outcome)
{
    std::string reason;
    if (!follow_link(path, f.real_path))
        return false;
    if (!open_locked(f.real_path, f.fax, f.seen, reason)) {
        report_failure(path, reason);
        return false;
    }
    // Page by page: memory is bounded by the largest page, not the file.
    if (!open_fax_stream(f.fax.fd, path, f.stream, reason)) {
        report_failure(path, reason);
        outcome.not_fax = !has_fax_magic(f.real_path);
        return false;
    }
    const fax_document &doc = f.stream.doc;
    outcome.pages = static_cast<int>(f.stream.pages);
    replacement_check check{f.real_path, f.seen};
    if (f.stream.size != static_cast<std::size_t>(f.seen.st_size) || !still_the_file_read(&check, reason)) {
        report_failure(path, reason);
        return false;
    }
    if (doc.compression == run.target)
        return true;
    if (!check_recodable(f.real_path, doc, run.force, f.seen, reason)) {
        report_failure(path, reason);
        // Refused for its damage, the file is kept as it is.
        if (!doc.damage.empty() || reason.find(" is damaged (") != std::string::npos)
            outcome.status = input_status::damaged;
        return false;
    }
    fax_header *list = nullptr;
    captured_text said = capture_library_output([&] { list = read_fax_header(f.fax.fd); });
    f.header.reset(list);
    if (!f.header) {
        report_failure(path, library_reason(said, "not a fax file"));
        return false;
    }
    return true;
}

// The recoded file written under a new name, then put in the fax file's
// place if that is still the file read.
bool replace_recoded(const std::string &path, const recompress_run &run, opened_fax &f, input_outcome &outcome)
{
    const fax_document &doc = f.stream.doc;
    recoder r{doc.compression, run.target, doc.resolution, run.force};
    r.decoder.reset(t4dec_context_new(FAX_WIDTH));
    r.encoder.reset(enct4_context_new());
    if (!r.decoder || !r.encoder) {
        report_failure(path, "out of memory");
        return false;
    }
    std::string reason;
    new_file temp;
    if (!new_file_create(temp, directory_of(f.real_path), 0600, reason)) {
        report_failure(path, reason + "; not recompressed");
        return false;
    }
    if (!copy_attributes(temp.fd, f.seen)) {
        report_failure(path, std::string("cannot give the new file the old one's mode: ") + std::strerror(errno));
        new_file_discard(temp);
        return false;
    }
    page_reader pages{f.fax.fd, f.stream, run.force, 0, f.stream.first_page, {}};
    progress_pages_begin(static_cast<long>(f.stream.pages));
    const bool written = write_recoded(r, pages, f.header.get(), temp.fd, reason);
    progress_pages_end();
    if (!written) {
        // Nothing of it was ever named: the file stays as it was.
        new_file_discard(temp);
        report_failure(path, reason + "; not recompressed");
        if (reason.find(" is damaged (") != std::string::npos)
            outcome.status = input_status::damaged;
        return false;
    }
    replacement_check check{f.real_path, f.seen};
    if (!new_file_install(temp, name_of(f.real_path), reason, still_the_file_read, &check)) {
        report_failure(path, reason);
        return false;
    }
    return true;
}

// Names on standard output are quoted as in messages: a name may not drive
// the terminal or split a line.
int recompress_one(const std::string &path, const recompress_run &run, FILE *out, input_outcome &outcome)
{
    outcome.status = input_status::failed;
    opened_fax f;
    if (!open_fax(path, run, f, outcome))
        return 1;
    const int source = f.stream.doc.compression;
    if (source == run.target) {
        if (run.update) {
            outcome.status = input_status::skipped;
            outcome.reason = std::string("already ") + coding_name(run.target);
            return 0;
        }
        std::fprintf(out, "%s: already %s\n", terminal_text(path).c_str(), coding_name(run.target));
        outcome.status = input_status::ok;
        return 0;
    }
    if (!replace_recoded(path, run, f, outcome))
        return 1;
    std::fprintf(out, "%s: %s to %s\n", terminal_text(path).c_str(), coding_name(source), coding_name(run.target));
    outcome.status = input_status::ok;
    outcome.outputs.push_back(path);
    return 0;
}

void recompress_input(void *user, const archive_input &input, job_result &result)
{
    const auto &run = *static_cast<const recompress_run *>(user);
    keep_output(input.path, result, [&](FILE *out) { recompress_one(input.path, run, out, result.outcome); });
}

}  // namespace

int run_recompress(int argc, char **argv)
{
    static const option own_options[] = {{"compression", required_argument, nullptr, 'c'},
                                         {"force", no_argument, nullptr, 'f'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    const std::vector<option> options = with_archive_options(own_options);
    const std::string short_options = std::string(":c:fh") + ARCHIVE_SHORT_OPTIONS;
    recompress_run run;
    archive_options archive;
    int c;
    while ((c = getopt_long(argc, argv, short_options.c_str(), options.data(), nullptr)) != -1) {
        switch (c) {
        case 'c':
            run.target = std::string_view(optarg) == "mh"    ? COMP_MH
                         : std::string_view(optarg) == "mr"  ? COMP_MR
                         : std::string_view(optarg) == "mmr" ? COMP_MMR
                                                             : -2;
            if (run.target == -2)
                return usage_error("recompress", ("unknown compression '" + std::string(optarg) + "'").c_str());
            break;
        case 'f':
            run.force = true;
            break;
        case 'h':
            print_command_help("recompress");
            return 0;
        default: {
            int status = -1;
            if (take_archive_option("recompress", c, optarg, archive, status)) {
                if (status >= 0)
                    return status;
                break;
            }
            return option_error("recompress", c, argv);
        }
        }
    }
    if (run.target < 0)
        return usage_error("recompress", "missing -c mh|mr|mmr");
    run.update = archive.update;
    const std::vector<std::string> operands(argv + optind, argv + argc);
    archive_listing listing;
    int status = 0;
    if (!gather_inputs("recompress", archive, operands, listing, status))
        return status;
    if (archive.sharded)
        keep_shard(listing, archive.shard, archive.shards);
    archive_command job;
    job.work = recompress_input;
    job.user = &run;
    return run_archive(archive, listing, job, nullptr);
}
