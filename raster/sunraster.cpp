// In-memory images and the Sun raster file format, standard type only.
#include "raster/sunraster.h"

#include "util/fdio.h"
#include "util/free_deleter.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

[[maybe_unused]] static const char what_string[] = "@(#)|sunraster|9|01|2|0|0|07/26/99|14:47:50";

namespace {

constexpr std::size_t HEADER_SIZE = 32;
// Three colours of at most 256 entries each.
constexpr int32_t MAX_MAP_LENGTH = 3 * 256;
// The image buffer grows from this size as rows arrive, so a header that
// claims a huge image costs memory only in proportion to the data present.
constexpr std::size_t IMAGE_CHUNK = 64 * 1024;
constexpr int64_t INT32_LIMIT = std::numeric_limits<int32_t>::max();

struct raster_header {
    uint32_t magic;
    int32_t width, height, depth, length, type, map_type, map_length;
};

using image_buffer = std::unique_ptr<unsigned char, free_deleter>;

// Header fields are little-endian whatever the host: they are assembled and
// taken apart byte by byte.
raster_header decode_header(const unsigned char *raw)
{
    auto field = [raw](int i) { return static_cast<int32_t>(load_le32(raw + 4 * i)); };
    return {load_le32(raw), field(1), field(2), field(3), field(4), field(5), field(6), field(7)};
}

// Row size and image size of width x height x depth; false when a dimension
// is negative or a size does not fit the 32-bit fields of the format.
bool image_geometry(int64_t width, int64_t height, int64_t depth, int32_t *line_bytes,
                    int32_t *size)
{
    if (width < 0 || height < 0 || depth < 0)
        return false;
    int64_t bytes = ((width * depth + 15) >> 3) & ~int64_t{1};
    if (bytes > INT32_LIMIT || bytes * height > INT32_LIMIT)
        return false;
    *line_bytes = static_cast<int32_t>(bytes);
    *size = static_cast<int32_t>(bytes * height);
    return true;
}

void report_no_memory()
{
    errno = ENOMEM;
    std::perror("malloc pixrect");
}

pixrect *make_pixrect(int32_t width, int32_t height, int32_t depth, int32_t line_bytes,
                      unsigned char *image, int16_t primary)
{
    std::unique_ptr<pixrect_data> data(
        new (std::nothrow) pixrect_data{line_bytes, image, 0, 0, primary, 0});
    std::unique_ptr<pixrect> pr(new (std::nothrow) pixrect{nullptr, width, height, depth, nullptr});
    if (!data || !pr) {
        report_no_memory();
        return nullptr;
    }
    pr->data = data.release();
    return pr.release();
}

// Reads and drops count bytes, or up to the end of the stream.
void skip_bytes(FILE *file, std::size_t count)
{
    unsigned char scratch[MAX_MAP_LENGTH];
    while (count > 0) {
        std::size_t got = std::fread(scratch, 1, std::min(count, sizeof scratch), file);
        if (got == 0)
            return;
        count -= got;
    }
}

// Reads map_length (at most MAX_MAP_LENGTH) bytes of colour map. A length not
// divisible by three leaves a remainder that belongs to no colour; it is
// skipped so that the image starts after the whole map in either case.
void load_colormap(FILE *file, int32_t map_length, sun_colormap *colormap)
{
    std::size_t count = static_cast<std::size_t>(map_length);
    if (!colormap) {
        skip_bytes(file, count);
        return;
    }
    std::size_t per_colour = count / 3;
    std::memset(colormap->red, 0, sizeof colormap->red);
    std::memset(colormap->green, 0, sizeof colormap->green);
    std::memset(colormap->blue, 0, sizeof colormap->blue);
    if (std::fread(colormap->red, 1, per_colour, file) == per_colour &&
        std::fread(colormap->green, 1, per_colour, file) == per_colour &&
        std::fread(colormap->blue, 1, per_colour, file) == per_colour)
        skip_bytes(file, count % 3);
    colormap->length = map_length;
}

bool grow(image_buffer &buffer, std::size_t size)
{
    void *grown = std::realloc(buffer.get(), std::max<std::size_t>(size, 1));
    if (!grown)
        return false;
    (void)buffer.release();
    buffer.reset(static_cast<unsigned char *>(grown));
    return true;
}

enum class image_status { ok, no_memory, truncated };

// Reads an image of size bytes. Missing rows at the end are left white
// (zero) as long as at least half of the image is there; a file holding less
// is refused, which bounds the memory to twice the data actually read.
image_buffer read_image(FILE *file, std::size_t size, image_status *status)
{
    std::size_t capacity = std::min(size, IMAGE_CHUNK), have = 0;
    image_buffer buffer(static_cast<unsigned char *>(std::malloc(std::max<std::size_t>(capacity, 1))));
    *status = image_status::no_memory;
    while (buffer) {
        have += std::fread(buffer.get() + have, 1, capacity - have, file);
        if (have < capacity || capacity == size)
            break;
        capacity = std::min(size, capacity * 2);
        if (!grow(buffer, capacity))
            return nullptr;
    }
    if (!buffer)
        return nullptr;
    if (have < size) {
        if (have < size - have) {
            *status = image_status::truncated;
            return nullptr;
        }
        if (!grow(buffer, size))
            return nullptr;
        std::memset(buffer.get() + have, 0, size - have);
    }
    *status = image_status::ok;
    return buffer;
}

// Refuses what the module's arrays and buffers cannot hold; on success sets
// the row and image sizes.
bool check_header(const raster_header &h, int32_t *line_bytes, int32_t *size)
{
    if (h.map_length < 0 || h.map_length > MAX_MAP_LENGTH) {
        std::fprintf(stderr, "pr_load: bad colour map length %d\n", h.map_length);
        return false;
    }
    if (!image_geometry(h.width, h.height, h.depth, line_bytes, size)) {
        std::fprintf(stderr, "pr_load: bad image size %d x %d x %d\n", h.width, h.height, h.depth);
        return false;
    }
    if (h.length < *size) {
        std::fprintf(stderr, "pr_load: image length %d too small for %d x %d x %d\n", h.length,
                     h.width, h.height, h.depth);
        return false;
    }
    return true;
}

}  // namespace

int32_t pr_line_bytes(int32_t width, int32_t depth)
{
    int32_t line_bytes = 0, size = 0;
    return image_geometry(width, 1, depth, &line_bytes, &size) ? line_bytes : -1;
}

pixrect *new_pixrect(int width, int height, int depth, unsigned char *image)
{
    int32_t line_bytes = 0, size = 0;
    if (!image_geometry(width, height, depth, &line_bytes, &size)) {
        std::fprintf(stderr, "new_pixrect: bad image size %d x %d x %d\n", width, height, depth);
        return nullptr;
    }
    return make_pixrect(width, height, depth, line_bytes, image, 0);
}

int free_pixrect(pixrect *pr)
{
    if (!pr)
        return 0;
    if (pr->data) {
        if (pr->data->primary == 1)
            std::free(pr->data->image);
        delete pr->data;
    }
    delete pr;
    return 0;
}

int pr_dump(const pixrect *pr, FILE *file, const sun_colormap *, int type, int)
{
    if (!pr || !file)
        return -1;
    const unsigned char *image = pr->data ? pr->data->image : nullptr;
    int32_t line_bytes = pr->data ? pr->data->line_bytes : 0;
    int64_t size = int64_t{line_bytes} * pr->height;
    if (line_bytes < 0 || pr->height < 0 || size > INT32_LIMIT || (size > 0 && !image))
        return -1;
    if (type != RT_STANDARD)
        std::fprintf(stderr, "pr_dump: requested type %d, dumping type RT_STANDARD instead\n", type);

    unsigned char header[HEADER_SIZE];
    const uint32_t fields[] = {RAS_MAGIC,
                               static_cast<uint32_t>(pr->width),
                               static_cast<uint32_t>(pr->height),
                               static_cast<uint32_t>(pr->depth),
                               static_cast<uint32_t>(size),
                               RT_STANDARD,
                               RMT_NONE,
                               0};
    for (std::size_t i = 0; i < 8; ++i)
        store_le32(header + 4 * i, fields[i]);
    bool written = std::fwrite(header, 1, sizeof header, file) == sizeof header;
    if (written && size > 0)
        written = std::fwrite(image, 1, static_cast<std::size_t>(size), file) ==
                  static_cast<std::size_t>(size);
    return written ? 0 : -1;
}

pixrect *pr_load(FILE *file, sun_colormap *colormap)
{
    if (!file)
        return nullptr;
    unsigned char raw[HEADER_SIZE] = {};
    bool complete = std::fread(raw, 1, sizeof raw, file) == sizeof raw;
    raster_header h = decode_header(raw);
    if (!complete || h.magic != RAS_MAGIC) {
        std::fputs("pr_load: not a Sun raster file\n", stderr);
        return nullptr;
    }
    if (h.type != RT_STANDARD) {
        std::fprintf(stderr, "Unsupported Sun raster file type %d\n", h.type);
        return nullptr;
    }
    int32_t line_bytes = 0, size = 0;
    if (!check_header(h, &line_bytes, &size))
        return nullptr;
    load_colormap(file, h.map_length, colormap);

    image_status status = image_status::ok;
    image_buffer image = read_image(file, static_cast<std::size_t>(size), &status);
    if (status == image_status::truncated) {
        std::fputs("pr_load: image data truncated\n", stderr);
        return nullptr;
    }
    if (status == image_status::no_memory) {
        report_no_memory();
        return nullptr;
    }
    // The length field may count bytes past the rows; they belong to this
    // image all the same, so the stream is left where the image ends.
    skip_bytes(file, static_cast<std::size_t>(h.length - size));
    pixrect *pr = make_pixrect(h.width, h.height, h.depth, line_bytes, image.get(), 1);
    if (pr)
        (void)image.release();
    return pr;
}
