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
// glibc's TYPE_3 additive feedback generator

void glibc_srand(glibc_random_state *state, uint32_t seed)
{
    if (seed == 0)
        seed = 1;
    // glibc keeps the seed in an int32_t and spreads it with 16807 * word
    // mod (2^31 - 1), computed by Schrage's method so nothing overflows.
    int32_t word = static_cast<int32_t>(seed);
    state->table[0] = seed;
    for (int i = 1; i < 31; ++i) {
        int32_t hi = word / 127773;
        int32_t lo = word % 127773;
        word = 16807 * lo - 2836 * hi;
        if (word < 0)
            word += 2147483647;
        state->table[i] = static_cast<uint32_t>(word);
    }
    state->front = 3;
    state->rear = 0;
    for (int i = 0; i < 310; ++i)
        glibc_rand(state);
}

int32_t glibc_rand(glibc_random_state *state)
{
    uint32_t value = state->table[state->front] += state->table[state->rear];
    state->front = (state->front + 1) % 31;
    state->rear = (state->rear + 1) % 31;
    return static_cast<int32_t>(value >> 1);
}

// ---------------------------------------------------------------------------
// Page bitmap painter

int32_t scramble_key_hash(std::string_view key)
{
    glibc_random_state *random = &pelmorin.random;
    glibc_srand(random, 1);
    uint32_t hash = 0;
    for (char ch : key) {
        // Characters count as signed 8-bit values, as a plain char did.
        auto c = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(ch)));
        auto r = static_cast<uint32_t>(glibc_rand(random));
        glibc_srand(random, r + 128u * hash + c);
        hash = static_cast<uint32_t>(glibc_rand(random));
    }
    return static_cast<int32_t>(hash);
}

int scramble_line_shift(int64_t line, int32_t seed)
{
    glibc_random_state *random = &pelmorin.random;
    glibc_srand(random, static_cast<uint32_t>(line - 1));
    auto r = static_cast<uint32_t>(glibc_rand(random)) & 0xFFFFu;
    glibc_srand(random, r * static_cast<uint32_t>(seed));
    int e;
    do
        e = glibc_rand(random) & 0xFF;
    while (e > 215);
    return 8 * e;  // whole bytes of the 216-byte input line
}

// Every run of a line needs the same shift; compute it once per line.
static int current_line_shift()
{
    pelmorin_state &s = pelmorin;
    if (s.shift_line != s.line_count || s.shift_seed != s.scramble_seed) {
        s.shift_pixels = scramble_line_shift(s.line_count, s.scramble_seed);
        s.shift_line = s.line_count;
        s.shift_seed = s.scramble_seed;
    }
    return s.shift_pixels;
}

int row_bytes_for(int output_resolution)
{
    return output_resolution == 2 ? 216 : 108;
}

image_size page_image_size(int output_resolution, int input_resolution, int64_t line_count)
{
    bool normal = input_resolution == 0;
    if (output_resolution == 2)
        return {1728, normal ? 2 * line_count : line_count};
    // Fine and the finer or unknown resolutions merge line pairs into one
    // row; the height is what the painter filled.
    return {864, normal ? line_count : line_count / 2};
}

namespace {

// Where input line L goes in the bitmap.
struct row_plan {
    uint64_t first;     // byte offset of the first row
    uint64_t second;    // of the copy when lines are doubled
    bool doubled;
    bool halve_pixels;  // 864-pixel rows: input pixels 2k and 2k+1 merge
};

row_plan plan_rows(int64_t line)
{
    const pelmorin_state &s = pelmorin;
    auto l = static_cast<uint64_t>(line);
    bool normal = s.input_resolution == 0;
    if (s.settings.output_resolution != 2)
        return {108 * (normal ? l : l / 2), 0, false, true};
    if (normal)
        return {432 * l, 432 * l + 216, true, false};
    return {216 * l, 0, false, false};
}

// Paints `count` pixels from input pixel x, wrapping within the line.
void paint_pixels(const row_plan &rows, int x, int count)
{
    unsigned char *bitmap = pelmorin.page_bitmap.get();
    for (int i = 0; i < count; ++i) {
        int p = rows.halve_pixels ? x / 2 : x;
        // Byte pairs are swapped: each little-endian 16-bit unit holds 16
        // pixels with the leftmost in its top bit.
        std::size_t byte = static_cast<std::size_t>((p >> 3) ^ 1);
        auto mask = static_cast<unsigned char>(0x80 >> (p & 7));
        bitmap[rows.first + byte] |= mask;
        if (rows.doubled)
            bitmap[rows.second + byte] |= mask;
        if (++x == INPUT_LINE_WIDTH)
            x = 0;
    }
}

}  // namespace

int ensure_bitmap_holds(std::size_t bytes)
{
    pelmorin_state &s = pelmorin;
    if (!s.page_bitmap)
        return -1;
    if (bytes <= s.bitmap_size)
        return 0;
    std::size_t steps = (bytes - s.bitmap_size + BITMAP_GROWTH - 1) / BITMAP_GROWTH;
    if (steps > (SIZE_MAX - s.bitmap_size) / BITMAP_GROWTH)
        return -1;
    std::size_t new_size = s.bitmap_size + steps * BITMAP_GROWTH;
    if (new_size > static_cast<std::size_t>(PTRDIFF_MAX))
        return -1;
    void *grown = std::realloc(s.page_bitmap.get(), new_size);
    if (grown == nullptr)
        return -1;  // the old block stays owned and valid
    s.page_bitmap.release();
    s.page_bitmap.reset(static_cast<unsigned char *>(grown));
    std::memset(s.page_bitmap.get() + s.bitmap_size, 0, new_size - s.bitmap_size);
    s.bitmap_size = new_size;
    return 0;
}

int begin_page_bitmap()
{
    pelmorin_state &s = pelmorin;
    s.run_position = 0;
    s.line_count = 0;
    s.bitmap_failed = false;
    if (!s.page_bitmap) {
        s.bitmap_size = INITIAL_BITMAP_SIZE;
        s.page_bitmap.reset(static_cast<unsigned char *>(std::malloc(s.bitmap_size)));
        if (!s.page_bitmap)
            return -1;
    }
    std::memset(s.page_bitmap.get(), 0, s.bitmap_size);
    return 0;
}

void release_page_bitmap()
{
    pelmorin.page_bitmap.reset();
    pelmorin.bitmap_size = INITIAL_BITMAP_SIZE;
}

extern "C" void paint_run(int32_t n)
{
    pelmorin_state &s = pelmorin;
    // The decoder keeps a line's runs within 1728 pixels; the modulo only
    // guards the bitmap against one that does not.
    auto x = static_cast<int>(s.run_position % INPUT_LINE_WIDTH);
    int64_t magnitude = n < 0 ? -static_cast<int64_t>(n) : n;
    s.run_position += magnitude;
    if (s.bitmap_failed || !s.page_bitmap)
        return;

    row_plan rows = plan_rows(s.line_count);
    // Lines that end without any run never come through here, so the row
    // may be several growth steps past the end: grow until it fits.
    if (rows.first > SIZE_MAX - 1001 || ensure_bitmap_holds(rows.first + 1001) != 0) {
        s.bitmap_failed = true;
        return;
    }
    if (n >= 0)
        return;  // white runs paint nothing
    if (s.scramble_seed != 0 && s.page_number != 1) {
        x -= current_line_shift();
        if (x < 0)
            x += INPUT_LINE_WIDTH;
    }
    // Past one full line a wrapping run only repaints the same pixels.
    paint_pixels(rows, x, static_cast<int>(std::min<int64_t>(magnitude, INPUT_LINE_WIDTH)));
}

extern "C" void end_of_line(void)
{
    pelmorin.run_position = 0;
    pelmorin.line_count += 1;
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

// Header length N of a usable fax file, or 0; leaves the input open on success.
static uint32_t loc_read_header()
{
    pelmorin_state &s = pelmorin;
    close_input();
    s.input_fd = open(s.settings.infile.c_str(), O_RDONLY);
    if (s.input_fd < 0)
        return 0;
    unsigned char length[4];
    // An input that cannot seek is left to read_fax_header to refuse, with
    // its own message.
    lseek(s.input_fd, 4, SEEK_SET);
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

static page_result decode_page(const unsigned char *data, std::size_t length)
{
    static const unsigned char no_data[1] = {0};
    length &= ~static_cast<std::size_t>(1);  // the decoders take whole 16-bit words
    if (begin_page_bitmap() != 0) {
        report_bitmap_failure();
        return PAGE_FATAL;
    }
    t4dec_decode(data != nullptr ? data : no_data, static_cast<int>(length),
                 pelmorin.input_compression, paint_run, nullptr, end_of_line);
    if (pelmorin.bitmap_failed) {
        report_bitmap_failure();
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
    FILE *file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) {
        std::printf("Can't create output file: '%s'\n", name.c_str());
        return 1;
    }
    pixrect *image = new_pixrect(static_cast<int>(size.width), static_cast<int>(size.height), 1,
                                 s.page_bitmap.get());
    if (image == nullptr) {  // new_pixrect has said why
        std::fclose(file);
        return 1;
    }
    bool write_failed = pr_dump(image, file, nullptr, RT_STANDARD, 0) != 0;
    free_pixrect(image);
    write_failed = write_failed || std::ferror(file) != 0;
    if (std::fclose(file) != 0 || write_failed) {
        // A full disk must not pass for a converted page.
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
        // An input that cannot be opened simply yields no page.
        s.input_fd = open(s.settings.infile.c_str(), O_RDONLY);
        if (s.input_fd >= 0)
            lseek(s.input_fd, RAW_DATA_OFFSET, SEEK_SET);
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
