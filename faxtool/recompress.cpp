// faxtool recompress: one file after another, each one's result reported.
// A file is locked while it is recoded, refused when it is damaged or the
// caller may not write it, and replaced only by a complete new file, and
// only if it is still the file that was read.
#include "faxtool/recompress.h"

#include <getopt.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "faxtool/recode_pages.h"
#include "faxtool/shown_names.h"
#include "faxtool/usage.h"
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

// The pages to recode: those stored whole, and with --force the part of a
// page that was cut short. Each is read when its turn comes, its length
// checked against what the file holds, into the buffer it is given.
struct page_reader {
    int fd;
    const fax_stream &stream;
    bool force;
    std::size_t next = 0;   // index of the next page
    std::size_t at;         // offset of its length field

    std::size_t count() const { return stream.pages + (has_cut_part() ? 1 : 0); }
    bool has_cut_part() const
    {
        return force && stream.size >= 8 && stream.end <= stream.size && stream.size - stream.end > 4;
    }
    // The next page's data into `data`; false with a reason.
    bool read_next(std::vector<unsigned char> &data, std::string &reason)
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
            data.clear();  // nothing of the last page is kept in a reallocation
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

// The pages in from the file and out to the new one.
struct page_output {
    page_reader &pages;
    block_writer out;
};

bool read_page(void *user, std::size_t, std::vector<unsigned char> &data, std::string &reason)
{
    progress_next_page();
    return static_cast<page_output *>(user)->pages.read_next(data, reason);
}

bool put_page(void *user, const std::vector<unsigned char> &coded)
{
    block_writer &out = static_cast<page_output *>(user)->out;
    unsigned char length[4];
    store_be32(length, static_cast<uint32_t>(coded.size()));
    return out.put(length, sizeof length) && out.put(coded.data(), coded.size());
}

// Header and pages into the new file.
bool write_recoded(page_coder &coder, const recode_setup &setup, page_reader &pages, fax_header *header,
                   bool page_threads, int fd, std::string &reason)
{
    bool ok = false;
    captured_text said = capture_library_output(
        [&] { ok = set_compression_mode(header, setup.target) == 1 && write_fax_header(fd, header) == 1; });
    if (!ok) {
        reason = library_reason(said, "cannot write the header");
        return false;
    }
    page_output output{pages, {}};
    output.out.fd = fd;
    output.out.block.reserve(WRITE_BLOCK);
    const page_io io{pages.count(), read_page, put_page, &output};
    if (!recode_pages(coder, setup, io, page_threads, reason))
        return false;
    if (!output.out.flush()) {
        reason = std::strerror(output.out.error);
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
    bool page_threads = false;  // a file's pages coded on two threads
};

// Through a link the real file is rewritten, beside itself, and the link kept.
bool follow_link(const std::string &path, std::string &real_path)
{
    std::string reason;
    if (link_target(path, real_path, reason))
        return true;
    report_failure(path, reason);
    return false;
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
    const recode_setup setup{doc.compression, run.target, doc.resolution, run.force};
    page_coder_owner coder = page_coder_new(setup);
    if (!coder) {
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
    page_reader pages{f.fax.fd, f.stream, run.force, 0, f.stream.first_page};
    progress_pages_begin(static_cast<long>(f.stream.pages));
    const bool written = write_recoded(*coder, setup, pages, f.header.get(), run.page_threads, temp.fd, reason);
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
    run.page_threads = page_threads_help(archive, listing.inputs.size());
    archive_command job;
    job.work = recompress_input;
    job.user = &run;
    return run_archive(archive, listing, job, nullptr);
}
