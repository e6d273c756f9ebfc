// Fax file recompression. Each page is decoded into the page line buffer of
// utils2 and coded again straight into a temporary file beside the fax file,
// which replaces the fax file once every page is written. Until then the fax
// file is only read, so any failure leaves it as it was.


#include "t4/t4dec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "faxfile/fax_header.h"
#include "faxfile/stated_pages.h"
#include "t4/enct4.h"
#include "t4/standard_page.h"
#include "t4/utils2.h"
#include "util/fdio.h"
#include "util/file.h"
#include "util/free_deleter.h"

namespace {

constexpr int RECOMPRESSION_WIDTH = T4_STANDARD_WIDTH;

using byte_buffer = std::unique_ptr<unsigned char[], free_deleter>;

struct fax_descriptor {
    int fd;
    explicit fax_descriptor(int opened) : fd(opened) {}
    fax_descriptor(const fax_descriptor &) = delete;
    fax_descriptor &operator=(const fax_descriptor &) = delete;
    ~fax_descriptor() { close_now(); }
    void close_now()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

struct header_owner {
    fax_header *list;
    explicit header_owner(fax_header *read) : list(read) {}
    header_owner(const header_owner &) = delete;
    header_owner &operator=(const header_owner &) = delete;
    ~header_owner() { release(); }
    void release()
    {
        if (list != nullptr)
            free_fax_header(list);
        list = nullptr;
    }
};

struct recompression {
    const char *path;
    int fd;                   // the fax file, at the next page
    int source;
    int target;
    int resolution;
    long pages_promised;      // #PAGES: fewer stored pages mean a damaged file
    void (*page_callback)(void);
    byte_buffer data;         // coded data of the page, sized to the largest so far
    uint32_t data_capacity = 0;
};

// The number #PAGES starts with; 0 when there is none. Trailing text is
// tolerated: a damaged header still promises its pages.
long promised_pages(const fax_header *header)
{
    const stated_pages stated = read_stated_pages(header);
    return stated.leading > 0 ? stated.leading : 0;
}

bool report_fault()
{
    if (change_format.fault == change_format_fault::no_memory)
        std::fputs("t4dec_change_format: Memory allocation fail.\n", stderr);
    else
        std::fprintf(stderr, "t4dec_change_format: write(\"%s\") failed: %s.\n",
                     change_format.temp_name, std::strerror(change_format.fault_errno));
    return false;
}

enum class page_read { page, end_of_file, failed };

// Every page stored is converted, also beyond #PAGES; the file may only end
// (at a page boundary, or in a fragment shorter than a length field) once
// the promised pages have been read.
page_read read_page_length(const recompression &r, long pages_read, uint32_t &length)
{
    unsigned char field[4];
    const ssize_t got = fd_read_fully(r.fd, field, sizeof field);
    // After the promised pages, bytes too few to hold even a length are
    // trailing junk, not a page: they are left behind.
    if (got >= 0 && got < static_cast<ssize_t>(sizeof field) && pages_read >= r.pages_promised)
        return page_read::end_of_file;
    if (got != static_cast<ssize_t>(sizeof field)) {
        std::fprintf(stderr, "t4dec_change_format: Short read on data length:  %s\n", r.path);
        return page_read::failed;
    }
    length = load_be32(field);
    return page_read::page;
}

void report_short_data(const recompression &r, long long length, long long got)
{
    std::fprintf(stderr, "t4dec_change_format: data_len=%lld, read_len=%lld\n", length, got);
    std::fprintf(stderr, "t4dec_change_format: Failure reading data from %s.\n", r.path);
}

// The buffer only grows; its old contents are not needed.
bool ensure_data_room(recompression &r, uint32_t length)
{
    if (length > static_cast<uint32_t>(INT_MAX))
        return false;
    if (length <= r.data_capacity)
        return true;
    byte_buffer bigger(static_cast<unsigned char *>(std::malloc(length)));
    if (!bigger)
        return false;
    r.data = std::move(bigger);
    r.data_capacity = length;
    return true;
}

bool read_page_data(recompression &r, uint32_t length)
{
    // A length beyond the end of the file gets no buffer: it can't be read.
    const int64_t left = fd_bytes_left(r.fd);
    if (left >= 0 && length > left) {
        report_short_data(r, length, left);
        return false;
    }
    if (!ensure_data_room(r, length)) {
        std::fputs("t4dec_change_format: Memory allocation fail.\n", stderr);
        return false;
    }
    const ssize_t got = fd_read_fully(r.fd, r.data.get(), length);
    if (got != static_cast<ssize_t>(length)) {
        report_short_data(r, length, got);
        return false;
    }
    return true;
}

// MH data need not end in an EOL (without an RTC the last row ends with the
// data), so the MH decoder may leave the page's last line open in the run
// sink; an EOL closes it.
void close_open_line()
{
    putrunlen(0, RUN_EOL, change_format_note_run, change_format_collect_line, nullptr);
}

// MH output puts an EOL before every line and none after the last, so an
// all-white line is added whose EOL ends the page's last real line. The sink
// is reset first: a line an earlier MH decode left open there belongs to
// another page.
void close_mh_page()
{
    const uint32_t before = change_format.line_fill;
    putrunlen(1, 0, nullptr, nullptr, nullptr);
    putrunlen(0, RUN_EOL, nullptr, change_format_collect_line, nullptr);
    if (change_format.line_fill == before && change_format.fault == change_format_fault::none)
        change_format.fault = change_format_fault::no_memory;  // the sink had no buffer
}

bool convert_page(const recompression &r, uint32_t length)
{
    change_format_begin_page();
    if (!change_format_reserve_length())
        return report_fault();
    if (r.page_callback != nullptr)
        r.page_callback();
    // Empty pages are decoded like any other (an empty MMR page is one white
    // line), except that the MR decoder refuses an empty page: it has no lines.
    static const unsigned char no_data[1] = {0};
    const unsigned char *data = r.data ? r.data.get() : no_data;
    const bool decoded =
        (length == 0 && r.source == COMP_MR) ||
        t4dec_decode(data, static_cast<int>(length), r.source, change_format_note_run,
                     change_format_collect_line, nullptr) != 0;
    if (change_format.fault != change_format_fault::none)
        return report_fault();
    if (!decoded)
        return false;  // the decoder has said what it says
    if (r.source == COMP_MH && change_format.runs_pending)
        close_open_line();
    if (change_format.fault != change_format_fault::none)
        return report_fault();
    if (r.target == COMP_MH)
        close_mh_page();
    if (change_format.fault != change_format_fault::none)
        return report_fault();
    const int coded = encode_g3_fax(change_format_get_lines, change_format_write_words, r.target,
                                    r.resolution);
    if (change_format.fault != change_format_fault::none)
        return report_fault();
    if (coded >= 0)
        return false;  // the encoder's own failure, reported on standard output
    return change_format_finish_page() || report_fault();
}

bool convert_pages(recompression &r)
{
    for (long pages_read = 0;; ++pages_read) {
        uint32_t length = 0;
        const page_read got = read_page_length(r, pages_read, length);
        if (got != page_read::page)
            return got == page_read::end_of_file;
        if (!read_page_data(r, length) || !convert_page(r, length))
            return false;
    }
}

// The file replaced must be the one read, even if a link changed meanwhile.
bool names_file(const char *name, const struct stat &opened)
{
    struct stat named;
    return ::stat(name, &named) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

// Owner, group (where permitted) and mode of the fax file for the new file,
// set through the descriptor of the file actually created. The owner goes
// first: changing it may clear set-id bits.
bool copy_attributes(int fd, const struct stat &fax)
{
    // Whoever may not give the file away keeps it, with the group if allowed.
    const bool owned = ::fchown(fd, fax.st_uid, fax.st_gid) == 0 ||
                       ::fchown(fd, static_cast<uid_t>(-1), fax.st_gid) == 0;
    static_cast<void>(owned);
    return ::fchmod(fd, fax.st_mode & 07777) == 0;
}

// "<real path>.<pid>", beside the real file. Created anew, never through a
// link or over a file already there (a planted link would redirect the
// writes); a name that doesn't fit is refused. It is private until it
// takes the fax file's attributes.
bool create_temp_file(const char *real_path, const struct stat &fax)
{
    char *name = change_format.temp_name;
    const int n = std::snprintf(name, sizeof change_format.temp_name, "%s.%d", real_path,
                                static_cast<int>(::getpid()));
    if (n > 0 && n < static_cast<int>(sizeof change_format.temp_name))
        change_format.temp_fd =
            ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (change_format.temp_fd < 0) {
        name[0] = '\0';  // not ours: never to be removed
        return false;
    }
    if (copy_attributes(change_format.temp_fd, fax))
        return true;
    change_format_discard_temp();
    return false;
}

// Header and pages into the temporary file, closed afterwards. On failure
// the temporary file is removed.
bool write_temp_file(recompression &r, fax_header *header)
{
    const bool written = set_compression_mode(header, r.target) == 1 &&
                         write_fax_header(change_format.temp_fd, header) == 1 &&
                         convert_pages(r);
    change_format_release_lines();
    if (written && change_format_close_temp())
        return true;
    if (written)
        report_fault();
    change_format_discard_temp();
    change_format.fault = change_format_fault::none;  // reported; the callbacks work again
    return false;
}

int replace_fax_file(const char *path, const char *real_path)
{
    if (ox_move(change_format.temp_name, real_path) != 0) {
        change_format.temp_name[0] = '\0';
        if (!fd_sync_directory_of(real_path))
            std::fprintf(stderr, "t4dec_change_format: fsync of the directory of %s failed: %s.\n",
                         path, std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "t4dec_change_format: ox_move(\"%s\",\"%s\") failure.\n",
                 change_format.temp_name, path);
    return 0;
}

// The header checks up to the point where a temporary file is needed; 0 or
// 1 ends the conversion, -1 goes on.
int check_header(const char *path, const fax_header *header, int target, int &source,
                 int &resolution)
{
    source = get_compression_mode(header);
    if (source < 0 || source > COMP_MMR) {
        std::fprintf(stderr, "t4dec_change_format: Could not determine compression: %s\n", path);
        return 0;
    }
    if (source == target)
        return 1;
    resolution = get_vertical_resolution(header);
    if (resolution < 0) {
        std::fprintf(stderr, "t4dec_change_format: Could not determine resolution: %s\n", path);
        return 0;
    }
    if (resolution > RES_FINE) {
        std::fprintf(stderr, "t4dec_change_format: Can't handle type \"%c\" resolution yet.\n",
                     resolution_to_char(resolution));
        return 0;
    }
    return -1;
}

}  // namespace

extern "C" int t4dec_change_format(const char *path, int compression, int /*reserved*/,
                                   void (*page_callback)(void))
{
    if (compression < 0 || compression == COMP_UMMR || compression > COMP_MMR) {
        std::fprintf(stderr, "t4dec_change_format: Unsupported compression: %d.\n", compression);
        return 0;
    }
    if (path == nullptr)
        path = "";
    fax_descriptor fax{::open(path, O_RDONLY)};
    if (fax.fd < 0) {
        std::fprintf(stderr, "t4dec_change_format: Failed to open %s to determine compression\n",
                     path);
        return 0;
    }
    header_owner header{read_fax_header(fax.fd)};
    if (header.list == nullptr) {
        std::fprintf(stderr, "t4dec_change_format: Bad fax file: %s\n", path);
        return 0;
    }
    int source = 0, resolution = 0;
    const int checked = check_header(path, header.list, compression, source, resolution);
    if (checked >= 0)
        return checked;
    t4dec_set_width(RECOMPRESSION_WIDTH);
    // Through a link the real file is rewritten, beside itself, and the link
    // kept; any other path is used as given.
    std::unique_ptr<char, void (*)(void *)> resolved{nullptr, std::free};
    struct stat fax_status;
    const bool link = ::lstat(path, &fax_status) == 0 && S_ISLNK(fax_status.st_mode);
    if (link)
        resolved.reset(::realpath(path, nullptr));
    const char *real_path = link ? resolved.get() : path;
    if (real_path == nullptr || ::fstat(fax.fd, &fax_status) != 0 ||
        !names_file(real_path, fax_status) ||
        !create_temp_file(real_path, fax_status)) {
        std::fprintf(stderr, "t4dec_change_format: Failure opening %s.\n", path);
        return 0;
    }
    recompression r{path, fax.fd, source, compression, resolution,
                    promised_pages(header.list), page_callback, nullptr};
    const bool written = write_temp_file(r, header.list);
    header.release();
    fax.close_now();
    return written ? replace_fax_file(path, real_path) : 0;
}
