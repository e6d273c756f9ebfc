// faxtool import: codes the images' pages one at a time as they are read and
// gives the fax file its name only when all of them went well.
#include "faxtool/import.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "faxfile/fax_header.h"
#include "faxtool/coding.h"
#include "faxtool/image_readers.h"
#include "faxtool/messages.h"
#include "faxtool/output_file.h"
#include "faxtool/progress.h"
#include "faxtool/usage.h"
#include "util/fdio.h"

namespace {

struct import_settings {
    int compression = COMP_MMR;
    int resolution = RES_FINE;
    std::string out;
    std::vector<std::string> images;
};

int compression_named(std::string_view name)
{
    if (name == "mh")
        return COMP_MH;
    if (name == "mr")
        return COMP_MR;
    if (name == "mmr")
        return COMP_MMR;
    return -1;
}

int scan_import(int argc, char **argv, import_settings &settings)
{
    static const option options[] = {{"compression", required_argument, nullptr, 'c'},
                                      {"resolution", required_argument, nullptr, 'r'},
                                      {"output", required_argument, nullptr, 'o'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, ":c:r:o:h", options, nullptr)) != -1) {
        switch (c) {
        case 'c':
            settings.compression = compression_named(optarg);
            if (settings.compression < 0)
                return usage_error("import", ("unknown compression '" + std::string(optarg) + "'").c_str());
            break;
        case 'r':
            if (std::string_view(optarg) == "normal")
                settings.resolution = RES_NORMAL;
            else if (std::string_view(optarg) == "fine")
                settings.resolution = RES_FINE;
            else
                return usage_error("import", ("unknown resolution '" + std::string(optarg) + "'").c_str());
            break;
        case 'o':
            settings.out = optarg;
            break;
        case 'h':
            print_command_help("import");
            return 0;
        default:
            return option_error("import", c, argv);
        }
    }
    if (settings.out.empty())
        return usage_error("import", "missing -o OUT");
    if (settings.out == "-")
        return usage_error("import", "the fax file cannot go to standard output");
    if (optind >= argc)
        return usage_error("import", "missing image");
    for (int i = optind; i < argc; ++i)
        settings.images.emplace_back(argv[i]);
    return -1;
}

// ---- The fax file, written as the pages are coded ------------------------------

// Writes at offsets of its own through a buffer: a page's length goes in
// front of its data once the data is out, and the header, whose page count
// is known only at the end, is written last.
struct fax_writer {
    int fd = -1;
    uint64_t start = 0;            // file offset of buffer[0]
    std::vector<uint8_t> buffer;
    int error = 0;                 // errno of the first failed write
};

constexpr std::size_t WRITE_CHUNK = 65536;

bool write_at(fax_writer &w, const uint8_t *data, std::size_t count, uint64_t offset)
{
    while (count > 0 && w.error == 0) {
        const ssize_t done = pwrite(w.fd, data, count, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            w.error = done < 0 ? errno : ENOSPC;
            break;
        }
        data += done;
        count -= static_cast<std::size_t>(done);
        offset += static_cast<uint64_t>(done);
    }
    return w.error == 0;
}

bool writer_flush(fax_writer &w)
{
    const bool ok = write_at(w, w.buffer.data(), w.buffer.size(), w.start);
    w.start += w.buffer.size();
    w.buffer.clear();
    return ok;
}

bool writer_put(fax_writer &w, const uint8_t *data, std::size_t count)
{
    if (w.buffer.size() + count > WRITE_CHUNK && !writer_flush(w))
        return false;
    if (count > WRITE_CHUNK)
        return write_at(w, data, count, w.start) && ((w.start += count), true);
    w.buffer.insert(w.buffer.end(), data, data + count);
    return true;
}

uint64_t writer_offset(const fax_writer &w) { return w.start + w.buffer.size(); }

// Moves the bytes from `from` to the end `delta` bytes later, from the end
// backwards so that nothing is overwritten before it is moved.
ssize_t read_at(int fd, uint8_t *data, std::size_t count, uint64_t offset)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd, data + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? -1 : static_cast<ssize_t>(done);
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool shift_pages(fax_writer &w, uint64_t from, uint64_t delta)
{
    std::vector<uint8_t> chunk(WRITE_CHUNK);
    for (uint64_t end = w.start; end > from && w.error == 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(WRITE_CHUNK, end - from));
        end -= n;
        if (read_at(w.fd, chunk.data(), n, end) != static_cast<ssize_t>(n)) {
            w.error = errno != 0 ? errno : EIO;
            break;
        }
        write_at(w, chunk.data(), n, end + delta);
    }
    w.start += delta;
    return w.error == 0;
}

// ---- Pages from images ------------------------------------------------------------

struct page_source {
    image_reader *reader = nullptr;
    std::size_t row_bytes = 0;
    int32_t rows_left = 0;
    std::string reason;            // why reading the image failed
};

// Rows of the image, widened to the fax width with white on the right.
int32_t give_rows(void *user, uint8_t *out, int32_t max)
{
    auto &source = *static_cast<page_source *>(user);
    const int32_t count = std::min(max, source.rows_left);
    if (count == 0)
        return 0;
    if (!image_read_rows(source.reader, out, count, FAX_ROW_BYTES, source.reason))
        return -1;
    if (source.row_bytes < FAX_ROW_BYTES)
        for (int32_t i = 0; i < count; ++i)
            std::memset(out + static_cast<std::size_t>(i) * FAX_ROW_BYTES + source.row_bytes, 0,
                        FAX_ROW_BYTES - source.row_bytes);
    source.rows_left -= count;
    return count;
}

// Rows of the image where its reader holds them, as wide as the image.
int32_t view_rows(page_source &source, int32_t max, const uint8_t **first)
{
    const int32_t count = std::min(max, source.rows_left);
    if (count == 0)
        return 0;
    const int32_t got = image_view_rows(source.reader, count, first, source.reason);
    if (got < 0)
        return -1;
    source.rows_left -= got;
    return got;
}

struct import_run {
    const import_settings *settings = nullptr;
    fax_writer out;
    long pages = 0;
    bool images_ok = true;         // false once an image failed: the rest are only checked
};

bool take_bytes(void *user, const uint8_t *data, std::size_t count)
{
    return writer_put(static_cast<import_run *>(user)->out, data, count);
}

// The rows of a page after a failure: read for their own faults, not coded.
bool check_page(page_source &source)
{
    uint8_t rows[16 * FAX_ROW_BYTES];
    while (source.rows_left > 0)
        if (give_rows(&source, rows, 16) < 0)
            return false;
    return true;
}

enum class page_result { coded, image_failed, output_failed };

page_result code_page(import_run &run, page_source &source, int number, std::string &reason)
{
    if (!run.images_ok)
        return check_page(source) ? page_result::coded : (reason = source.reason, page_result::image_failed);
    struct both {
        page_source *source;
        import_run *run;
    } user{&source, &run};
    page_stream stream{[](void *u, uint8_t *out, int32_t max) { return give_rows(static_cast<both *>(u)->source, out, max); },
                       [](void *u, const uint8_t *data, std::size_t count) { return take_bytes(static_cast<both *>(u)->run, data, count); },
                       &user};
    if (image_rows_in_place(source.reader)) {
        stream.rows_in_place = [](void *u, int32_t max, const uint8_t **first) {
            return view_rows(*static_cast<both *>(u)->source, max, first);
        };
        stream.row_bytes = source.row_bytes;
    }
    const uint64_t length_at = writer_offset(run.out);
    const uint8_t no_length[4] = {};
    uint64_t length = 0;
    const bool coded = writer_put(run.out, no_length, sizeof no_length) &&
                       code_fax_page(stream, run.settings->compression, run.settings->resolution, length);
    if (!source.reason.empty()) {
        reason = source.reason;
        return page_result::image_failed;
    }
    if (run.out.error != 0 || (coded && !writer_flush(run.out)))
        return page_result::output_failed;
    if (!coded || length > UINT32_MAX) {
        reason = "page " + std::to_string(number) + ": the encoder failed";
        return page_result::image_failed;
    }
    unsigned char be[4];
    store_be32(be, static_cast<uint32_t>(length));
    if (!write_at(run.out, be, sizeof be, length_at))
        return page_result::output_failed;
    ++run.pages;
    return page_result::coded;
}

struct reader_closer {
    void operator()(image_reader *reader) const { image_close(reader); }
};

struct fd_owner {
    int fd;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

page_result code_pages(import_run &run, image_reader *reader, std::string &reason)
{
    page_result result = page_result::coded;
    progress_pages_begin(image_page_count(reader));
    for (int number = 1; result == page_result::coded; ++number) {
        image_page_size size;
        const int next = image_next_page(reader, size, reason);
        if (next <= 0) {
            result = next == 0 ? page_result::coded : page_result::image_failed;
            break;
        }
        progress_next_page();
        page_source source{reader, (static_cast<std::size_t>(size.width) + 7) / 8, size.height, {}};
        result = code_page(run, source, number, reason);
    }
    progress_pages_end();
    return result;
}

// Codes every page of one image; false when the output failed (the run
// ends), with run.images_ok cleared when the image did (after reporting).
bool code_image(import_run &run, const std::string &path)
{
    std::string reason;
    page_result result = page_result::image_failed;
    try {
        const fd_owner input{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (input.fd < 0)
            reason = std::strerror(errno);
        const std::unique_ptr<image_reader, reader_closer> reader(input.fd < 0 ? nullptr
                                                                               : image_open(input.fd, reason));
        if (reader)
            result = code_pages(run, reader.get(), reason);
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        result = page_result::image_failed;
    }
    if (result == page_result::image_failed) {
        report_failure(path, reason);
        run.images_ok = false;
    }
    return result != page_result::output_failed;
}

struct header_deleter {
    void operator()(fax_header *list) const { free_fax_header(list); }
};

// The header as it is for `pages` pages, written at the start of the file.
bool write_header(fax_writer &out, const import_settings &settings, long pages, std::string &reason)
{
    std::unique_ptr<fax_header, header_deleter> header(new_fax_header("RESOLUTION", ""));
    if (!header) {
        reason = "out of memory";
        return false;
    }
    set_vertical_resolution(header.get(), settings.resolution);
    set_compression_mode(header.get(), settings.compression);
    set_fax_header_av(header.get(), "#PAGES", std::to_string(pages).c_str());
    bool ok = false;
    const captured_text said = capture_library_output([&] { ok = write_fax_header(out.fd, header.get()) == 1; });
    if (!ok)
        reason = library_reason(said, "cannot write the fax file");
    return ok;
}

// The header goes first with the number of images as its page count; when
// the images held more pages and the count takes more digits, the pages
// move up to make room.
bool import_images(import_run &run, const std::string &out_path, std::string &reason)
{
    const import_settings &settings = *run.settings;
    const long estimate = static_cast<long>(settings.images.size());
    if (!write_header(run.out, settings, estimate, reason))
        return false;
    const off_t data_start = lseek(run.out.fd, 0, SEEK_CUR);
    run.out.start = static_cast<uint64_t>(data_start);
    progress_begin("images", static_cast<int>(settings.images.size()));
    bool output_ok = true;
    for (std::size_t i = 0; output_ok && i < settings.images.size(); ++i) {
        progress_step(static_cast<int>(i));
        output_ok = code_image(run, settings.images[i]);
    }
    progress_end();
    if (output_ok && run.images_ok) {
        const std::size_t grown = std::to_string(run.pages).size() - std::to_string(estimate).size();
        output_ok = writer_flush(run.out) && (grown == 0 || shift_pages(run.out, data_start, grown));
        if (output_ok && !write_header(run.out, settings, run.pages, reason))
            return false;
    }
    if (!output_ok) {
        reason = std::strerror(run.out.error);
        report_failure(out_path, reason);
        reason.clear();
        return false;
    }
    return run.images_ok;
}

}  // namespace

int run_import(int argc, char **argv)
{
    import_settings settings;
    const int scanned = scan_import(argc, argv, settings);
    if (scanned >= 0)
        return scanned;
    std::string reason;
    output_file out;
    if (!output_open(out, settings.out, settings.images, reason)) {
        report_failure(settings.out, reason);
        return 1;
    }
    import_run run;
    run.settings = &settings;
    bool ok = false;
    try {
        run.out.buffer.reserve(WRITE_CHUNK);
        std::fflush(out.stream);
        run.out.fd = fileno(out.stream);
        ok = import_images(run, settings.out, reason);
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
    }
    if (!ok) {
        if (!reason.empty())
            report_failure(settings.out, reason);
        output_abandon(out);
        return 1;  // no fax file with pages missing
    }
    if (!output_commit(out, reason)) {
        report_failure(settings.out, reason);
        return 1;
    }
    return 0;
}
