// pelmorin: converts one fax file into Sun raster files, one per page.
#include "driver/pelmorin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "faxfile/fax_header.h"
#include "raster/sunraster.h"
#include "t4/standard_page.h"
#include "t4/t4dec.h"
#include "util/fdio.h"
#include "util/rev.h"

static const char what_string[] = "@(#)|pelmorin|9|01|2|0|0|07/26/99|14:47:50";

pelmorin_state pelmorin;

namespace {

// Raw ".tif" input: coded data from a fixed offset, in fixed-size pages.
constexpr off_t RAW_DATA_OFFSET = 292;
constexpr std::size_t RAW_CHUNK = 100000;
// A page on a stream of unknown size is read in steps of this much, so a
// damaged length cannot make us allocate more than what actually arrives.
constexpr std::size_t STREAM_READ_STEP = 1 << 20;

enum page_result { PAGE_READ, PAGE_NONE, PAGE_FATAL };
enum { SCAN_CONTINUE = -1 };

using byte_buffer = std::unique_ptr<unsigned char, free_deleter>;

}  // namespace

// ---------------------------------------------------------------------------
// Command line

// One option word at argv[*index]; may consume the next word (-k).
static int scan_option(int argc, char **argv, int *index, run_settings *out)
{
    std::string_view word = argv[*index];
    if (word == "-rev")
        return SCAN_REV;
    if (word == "-help")
        return SCAN_USAGE;
    if (word == "-help2")
        return SCAN_HELP2;
    switch (word.size() > 1 ? word[1] : '\0') {
    case '1':
        out->output_resolution = 1;
        return SCAN_CONTINUE;
    case '2':
        out->output_resolution = 2;
        return SCAN_CONTINUE;
    case 'u':  // the output is always the standard raster type
    case 'h':  // -h..., -r... other than the exact switches are ignored
    case 'r':
        return SCAN_CONTINUE;
    case 'k':
        if (*index + 1 >= argc)
            return SCAN_USAGE;
        out->scramble_key = argv[++*index];
        out->scramble_requested = true;
        return SCAN_CONTINUE;
    default:
        return SCAN_USAGE;
    }
}

int scan_arguments(int argc, char **argv, run_settings *out)
{
    *out = run_settings{};
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr)
            break;
        if (argv[i][0] != '-') {
            if (i + 1 >= argc || argv[i + 1] == nullptr)
                return SCAN_USAGE;
            out->infile = argv[i];
            out->outfile = argv[i + 1];
            return SCAN_RUN;
        }
        int action = scan_option(argc, argv, &i, out);
        if (action != SCAN_CONTINUE)
            return action;
    }
    return SCAN_USAGE;
}

// ---------------------------------------------------------------------------
// Page reading and conversion loop

static void report_bitmap_failure()
{
    std::printf("pelmorin: out of memory for the page bitmap\n");
}

static void close_input()
{
    if (pelmorin.input_fd >= 0)
        close(pelmorin.input_fd);
    pelmorin.input_fd = -1;
}

// Bytes read before the end of the file; 0 after an error (errno tells).
static std::size_t read_full(int fd, unsigned char *buffer, std::size_t count)
{
    const ssize_t got = fd_read_fully(fd, buffer, count);
    return got < 0 ? 0 : static_cast<std::size_t>(got);
}

// Opens the input without blocking: a FIFO without a writer would hang the
// open itself. Blocking reads are restored once the input is known to be
// seekable. -1 when it cannot be opened; *status is its fstat.
static int open_input_file(struct stat *status)
{
    const int fd = open(pelmorin.settings.infile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, status) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void restore_blocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Header length N of a usable fax file, or 0; leaves the input open on success.
static uint32_t loc_read_header()
{
    pelmorin_state &s = pelmorin;
    close_input();
    struct stat status;
    s.input_fd = open_input_file(&status);
    if (s.input_fd < 0)
        return 0;
    unsigned char length[4];
    if (lseek(s.input_fd, 4, SEEK_SET) < 0) {
        // An input that cannot be rewound is refused by read_fax_header at
        // once, with its own message, before it reads anything.
        free_fax_header(read_fax_header(s.input_fd));
        close_input();
        return 0;
    }
    restore_blocking(s.input_fd);
    if (read_full(s.input_fd, length, 4) < 4) {
        close_input();
        return 0;
    }
    fax_header *header = read_fax_header(s.input_fd);
    if (header == nullptr) {
        close_input();
        return 0;
    }
    s.input_resolution = get_vertical_resolution(header);
    s.input_compression = get_compression_mode(header);
    free_fax_header(header);
    if (s.input_compression == COMP_UMMR) {
        close_input();
        return 0;
    }
    return load_be32(length);
}

// Reads `length` bytes of page data into *out. A file of known size was
// checked against the length already; otherwise the buffer grows only as
// data arrives. Returns the count read; a failed allocation sets ENOMEM.
static std::size_t read_page_data(std::size_t length, bool size_known, byte_buffer *out)
{
    std::size_t capacity = size_known ? length : std::min(length, STREAM_READ_STEP);
    out->reset(static_cast<unsigned char *>(std::malloc(std::max<std::size_t>(capacity, 1))));
    if (!*out) {
        errno = ENOMEM;
        return 0;
    }
    std::size_t done = 0;
    for (;;) {
        std::size_t got = read_full(pelmorin.input_fd, out->get() + done, capacity - done);
        done += got;
        if (done == length || done < capacity)
            return done;
        std::size_t grown_capacity = std::min(length, capacity + STREAM_READ_STEP);
        void *grown = std::realloc(out->get(), grown_capacity);
        if (grown == nullptr) {
            errno = ENOMEM;
            return done;
        }
        out->release();
        out->reset(static_cast<unsigned char *>(grown));
        capacity = grown_capacity;
    }
}

// Decodes on the converter's own context, whose callbacks reach the painter
// directly: the process-wide one forwards each run to the plain function
// pointers. That one still serves if a context cannot be had.
static void decode_runs(const unsigned char *data, int length)
{
    pelmorin_state &s = pelmorin;
    if (!s.decoder || s.decoder_width != t4_line_width) {
        s.decoder.reset(t4dec_context_new(t4_line_width));
        s.decoder_width = t4_line_width;
    }
    if (s.decoder)
        t4dec_decode_spans_ctx(s.decoder.get(), data, length, s.input_compression,
                               paint_line_spans, nullptr);
    else
        t4dec_decode(data, length, s.input_compression, paint_run, nullptr, end_of_line);
}

static page_result decode_page(const unsigned char *data, std::size_t length)
{
    static const unsigned char no_data[1] = {0};
    length &= ~static_cast<std::size_t>(1);  // the decoders take whole 16-bit words
    // The painter sees lines up to one past the cap; the decoder cannot be
    // stopped, but what it delivers beyond that costs neither memory nor output.
    if (begin_page_bitmap(MAX_CONVERTED_PAGE_LINES) != 0) {
        report_bitmap_failure();
        return PAGE_FATAL;
    }
    decode_runs(data != nullptr ? data : no_data, static_cast<int>(length));
    if (pelmorin.bitmap_failed) {
        report_bitmap_failure();
        return PAGE_FATAL;
    }
    if (pelmorin.line_count > MAX_CONVERTED_PAGE_LINES) {
        std::printf("pelmorin: page %d has more than %lld lines\n", pelmorin.page_number,
                    static_cast<long long>(MAX_CONVERTED_PAGE_LINES));
        return PAGE_FATAL;
    }
    return PAGE_READ;
}

static page_result read_raw_page()
{
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[RAW_CHUNK]);
    if (!buffer) {
        std::printf("pelmorin: out of memory for the page data\n");
        return PAGE_FATAL;
    }
    std::size_t count = 0;
    if (pelmorin.input_fd >= 0)
        count = read_full(pelmorin.input_fd, buffer.get(), RAW_CHUNK);
    if (count == 0)
        return PAGE_NONE;
    return decode_page(buffer.get(), count);
}

static page_result cut_page(int error_number)
{
    close_input();
    std::printf("bad fax file: 2, errno=%d\n", error_number);
    return PAGE_NONE;
}

static page_result read_fax_page()
{
    pelmorin_state &s = pelmorin;
    unsigned char length_bytes[4];
    if (s.input_fd < 0 || read_full(s.input_fd, length_bytes, 4) < 4) {
        if (s.page_number != 1)
            return PAGE_NONE;  // the normal end of the pages
        close_input();
        std::printf("bad fax file: 1\n");
        return PAGE_FATAL;
    }
    uint32_t length = load_be32(length_bytes);
    // A length beyond the file's end is refused before anything is
    // allocated for it; the decoder takes an int length.
    int64_t left = fd_bytes_left(pelmorin.input_fd);
    if ((left >= 0 && length > left) || length > static_cast<uint32_t>(INT_MAX))
        return cut_page(0);
    byte_buffer data;
    errno = 0;
    std::size_t count = read_page_data(length, left >= 0, &data);
    if (count < length)
        return cut_page(errno);
    return decode_page(data.get(), count);
}

static page_result read_page()
{
    return pelmorin.raw_input ? read_raw_page() : read_fax_page();
}

// Opens the page file for writing, emptied, as fopen "wb" would; -1 when it
// cannot be had. The file is truncated only after it is known not to be the
// input (the same file by another name or through a link).
static int create_page_file(const std::string &name, struct stat *status)
{
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat input;
    bool usable = fstat(fd, status) == 0;
    if (usable && pelmorin.input_fd >= 0 && fstat(pelmorin.input_fd, &input) == 0)
        usable = status->st_dev != input.st_dev || status->st_ino != input.st_ino;
    if (!usable || (S_ISREG(status->st_mode) && status->st_size != 0 && ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A page file cut short must not pass for a page. Only the regular file that
// was written goes: a device or FIFO that received the data stays, and a
// file reached through a link is emptied rather than the link removed.
static void discard_page_file(const std::string &name, const struct stat &written)
{
    if (!S_ISREG(written.st_mode))
        return;
    struct stat named;
    if (lstat(name.c_str(), &named) == 0 && named.st_dev == written.st_dev &&
        named.st_ino == written.st_ino) {
        unlink(name.c_str());
    } else if (truncate(name.c_str(), 0) != 0) {
        std::printf("pelmorin: '%s' is cut short\n", name.c_str());
    }
}

// Writes the page bitmap as the file of the current page; 0 or exit status 1.
static int write_page()
{
    pelmorin_state &s = pelmorin;
    int resolution = s.settings.output_resolution;
    image_size size = page_image_size(resolution, s.input_resolution, s.line_count);
    auto row_bytes = static_cast<std::size_t>(row_bytes_for(resolution));
    // Lines that ended without runs still count; their rows must exist.
    if (size.height > INT32_MAX / static_cast<int64_t>(row_bytes) ||
        ensure_bitmap_holds(static_cast<std::size_t>(size.height) * row_bytes) != 0) {
        report_bitmap_failure();
        return 1;
    }
    std::string name = s.settings.outfile + std::to_string(s.page_number);
    struct stat status;
    const int fd = create_page_file(name, &status);
    if (fd < 0) {
        std::printf("Can't create output file: '%s'\n", name.c_str());
        return 1;
    }
    FILE *file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        discard_page_file(name, status);
        std::printf("Can't create output file: '%s'\n", name.c_str());
        return 1;
    }
    pixrect *image = new_pixrect(static_cast<int>(size.width), static_cast<int>(size.height), 1,
                                 s.page_bitmap.get());
    if (image == nullptr) {  // new_pixrect has said why
        std::fclose(file);
        discard_page_file(name, status);
        return 1;
    }
    bool write_failed = pr_dump(image, file, nullptr, RT_STANDARD, 0) != 0;
    free_pixrect(image);
    write_failed = write_failed || std::ferror(file) != 0;
    if (std::fclose(file) != 0 || write_failed) {
        // A full disk must not pass for a converted page.
        discard_page_file(name, status);
        std::printf("Can't write output file: '%s'\n", name.c_str());
        return 1;
    }
    return 0;
}

static void set_up_scrambling()
{
    pelmorin_state &s = pelmorin;
    s.scramble_seed = 0;
    if (s.settings.scramble_requested) {
        int32_t hash = scramble_key_hash(s.settings.scramble_key);
        glibc_srand(&s.random, static_cast<uint32_t>(hash));
        s.scramble_seed = glibc_rand(&s.random);
    }
}

// Positions the input at the first page; -1 when there is none to read
// (the message is printed), else 0.
static int open_input()
{
    pelmorin_state &s = pelmorin;
    s.raw_input = s.settings.infile.find(".tif") != std::string::npos;
    if (s.raw_input) {
        // An input that cannot be opened simply yields no page. So does
        // anything but a regular file: /dev/zero would never end.
        struct stat status;
        s.input_fd = open_input_file(&status);
        if (s.input_fd >= 0 &&
            (!S_ISREG(status.st_mode) || lseek(s.input_fd, RAW_DATA_OFFSET, SEEK_SET) < 0))
            close_input();
        if (s.input_fd >= 0)
            restore_blocking(s.input_fd);
        return 0;
    }
    uint32_t header_length = loc_read_header();
    if (header_length == 0) {
        std::printf("Error:  header size 0!\n");
        return -1;
    }
    lseek(s.input_fd, static_cast<off_t>(header_length) + 8, SEEK_SET);
    return 0;
}

static int run_conversion()
{
    pelmorin_state &s = pelmorin;
    if (s.settings.infile.empty()) {
        std::printf("Missing fax file name '%s'\n", s.settings.infile.c_str());
        return 1;
    }
    set_up_scrambling();
    s.page_number = 1;
    struct stat st;
    if (stat(s.settings.infile.c_str(), &st) != 0) {
        std::printf("Fax file %s not found\n", s.settings.infile.c_str());
        return 1;
    }
    if (open_input() != 0)
        return 0;
    for (;;) {
        page_result result = read_page();
        if (result == PAGE_NONE)
            return 0;
        if (result == PAGE_FATAL || write_page() != 0)
            return 1;
        s.page_number += 1;
    }
}

int convert_fax_file(const run_settings &settings)
{
    pelmorin_state &s = pelmorin;
    close_input();
    s.settings = settings;
    s.page_number = 1;
    s.raw_input = false;
    s.input_resolution = 0;
    s.input_compression = 0;
    s.scramble_seed = 0;
    s.shift_line = -1;
    int status = run_conversion();
    close_input();
    s.decoder.reset();
    return status;
}

// ---------------------------------------------------------------------------
// Entry

namespace {

struct banner_text {
    char text[128];
};

// The banner of the program's own what-string; empty if it cannot be built.
banner_text version_banner()
{
    banner_text banner{};
    if (format_version_banner(what_string, banner.text, sizeof banner.text) == 0)
        banner.text[0] = '\0';
    return banner;
}

void print_usage()
{
    std::printf("\nPelmorin %s syntax: \n\n"
                "pelmorin [-1 | -2] \\        /* 1 = low res (default), 2 = high res */\n"
                "         [-u ] \\            /* produce unencoded (standard raster) format */\n"
                "         [-k scramble_key] \\\n"
                "         infile outfile\n\n",
                version_banner().text);
}

void print_revision()
{
    std::fprintf(stderr, "\nPelmorin %s\n\n", version_banner().text);
}

void print_version_date()
{
    version_banner();  // parses the program's what-string
    const char *date = rev_date(nullptr);
    std::fprintf(stderr, "The date of this version: %s\n\n", date != nullptr ? date : "");
}

}  // namespace

int pelmorin_main(int argc, char **argv)
{
    run_settings settings;
    switch (scan_arguments(argc, argv, &settings)) {
    case SCAN_USAGE:
        print_usage();
        return 1;
    case SCAN_REV:
        print_revision();
        return 0;
    case SCAN_HELP2:
        print_version_date();
        return 0;
    default:
        break;
    }
    int status = convert_fax_file(settings);
    release_page_bitmap();
    std::fflush(stdout);
    return status;
}
