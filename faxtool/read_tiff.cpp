// The TIFF reader: bilevel pages in strips or tiles, in any compression
// libtiff decodes, a row at a time. libtiff needs to seek: input that cannot
// seek (a pipe) is first copied into an unnamed memory file.
#include <sys/mman.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "faxtool/image_formats.h"
#include "faxtool/format_libraries.h"
#include "faxtool/library_messages.h"
#include "util/fdio.h"

namespace {

struct tiff_state {
    TIFF *tiff = nullptr;
    int page = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t next_row = 0;
    bool min_is_black = false;
    uint32_t tile_width = 0;    // 0 for strips
    uint32_t tile_height = 0;
    std::vector<uint8_t> tile;  // one decoded tile
    std::vector<uint8_t> band;  // the rows of one row of tiles, whole width
};

// A descriptor libtiff may seek on, positioned at the start of the image.
int seekable_copy(image_input &in, std::string &reason)
{
    if (lseek(in.fd, 0, SEEK_SET) == 0) {
        const int fd = dup(in.fd);
        if (fd < 0)
            reason = std::strerror(errno);
        return fd;
    }
    int fd = memfd_create("faxtool-tiff", MFD_CLOEXEC);
    if (fd < 0) {
        FILE *scratch = std::tmpfile();
        fd = scratch != nullptr ? dup(fileno(scratch)) : -1;
        if (scratch != nullptr)
            std::fclose(scratch);
    }
    if (fd < 0) {
        reason = std::string("cannot hold the TIFF image read from a pipe: ") + std::strerror(errno);
        return -1;
    }
    // What is buffered, then the rest of the input.
    do {
        if (!fd_write_fully(fd, in.buffer + in.at, in.end - in.at)) {
            reason = std::string("cannot hold the TIFF image read from a pipe: ") + std::strerror(errno);
            close(fd);
            return -1;
        }
        in.at = in.end;
    } while (input_fill_to(in, 1) > 0);
    if (in.error != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        reason = std::strerror(in.error != 0 ? in.error : errno);
        close(fd);
        return -1;
    }
    return fd;
}

// libtiff's texts for data past the end of the file count bytes it never
// got (a negative count shown unsigned); faxtool says what they mean.
std::string tiff_failure(const tiff_state &s, const char *fallback)
{
    std::string text = tiff_reason(fallback);
    if (text.rfind("Read error", 0) == 0 || text.rfind("Seek error", 0) == 0 ||
        text.find("Not enough data") != std::string::npos)
        text = "the image data is cut short or lies past the end of the file";
    return "page " + std::to_string(s.page) + ": " + library_failure(text);
}

bool take_layout(tiff_state &s, std::string &reason)
{
    TIFF *tiff = s.tiff;
    const std::size_t row_bytes = bilevel_row_bytes(s.width);
    const std::string where = "page " + std::to_string(s.page) + ": ";
    if (!libtiff().TIFFIsTiled(tiff)) {
        s.tile_width = 0;
        if (libtiff().TIFFScanlineSize64(tiff) != row_bytes) {
            reason = where + "unexpected TIFF layout";
            return false;
        }
        return true;
    }
    uint32_t tw = 0, th = 0;
    libtiff().TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tw);
    libtiff().TIFFGetField(tiff, TIFFTAG_TILELENGTH, &th);
    if (tw == 0 || th == 0 || libtiff().TIFFTileRowSize64(tiff) != bilevel_row_bytes(tw) ||
        libtiff().TIFFTileSize64(tiff) != bilevel_row_bytes(tw) * th) {
        reason = where + "unexpected TIFF layout";
        return false;
    }
    const uint64_t band_bytes = static_cast<uint64_t>(row_bytes) * th;
    if (band_bytes + libtiff().TIFFTileSize64(tiff) > MAX_IMAGE_BUFFER) {
        reason = where + "tiles of " + std::to_string(tw) + " x " + std::to_string(th) + " are too large";
        return false;
    }
    s.tile_width = tw;
    s.tile_height = th;
    s.tile.assign(bilevel_row_bytes(tw) * th, 0);
    s.band.assign(static_cast<std::size_t>(band_bytes), 0);
    return true;
}

bool take_page(tiff_state &s, std::string &reason)
{
    TIFF *tiff = s.tiff;
    uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE;
    s.width = s.height = 0;
    s.next_row = 0;
    libtiff().TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &s.width);
    libtiff().TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &s.height);
    libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    libtiff().TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (libtiff().TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
        photometric = PHOTOMETRIC_MINISWHITE;
    if (bits != 1 || samples != 1 ||
        (photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_MINISBLACK)) {
        reason = "page " + std::to_string(s.page) + ": not a bilevel image";
        return false;
    }
    s.min_is_black = photometric == PHOTOMETRIC_MINISBLACK;
    return page_size_acceptable(s.width, s.height, s.page, reason) && take_layout(s, reason);
}

// The row of tiles that holds row y, into the band.
bool read_band(tiff_state &s, uint32_t y, std::string &reason)
{
    const std::size_t row_bytes = bilevel_row_bytes(s.width), tile_row_bytes = bilevel_row_bytes(s.tile_width);
    const uint32_t rows = std::min(s.tile_height, s.height - y);
    std::fill(s.band.begin(), s.band.end(), 0);
    for (uint32_t x = 0; x < s.width; x += s.tile_width) {
        library_text.tiff[0] = '\0';
        if (libtiff().TIFFReadTile(s.tiff, s.tile.data(), x, y, 0, 0) < 0) {
            reason = tiff_failure(s, "cannot decode");
            return false;
        }
        const uint32_t pixels = std::min(s.tile_width, s.width - x);
        for (uint32_t r = 0; r < rows; ++r)
            copy_bits(s.tile.data() + r * tile_row_bytes, 0, s.band.data() + r * row_bytes, x, pixels);
    }
    return true;
}

bool read_row(tiff_state &s, uint8_t *row, std::string &reason)
{
    const std::size_t row_bytes = bilevel_row_bytes(s.width);
    const uint32_t y = s.next_row;
    if (s.tile_width == 0) {
        library_text.tiff[0] = '\0';
        if (libtiff().TIFFReadScanline(s.tiff, row, y, 0) < 0) {
            reason = tiff_failure(s, "cannot decode");
            return false;
        }
    } else {
        if (y % s.tile_height == 0 && !read_band(s, y, reason))
            return false;
        std::memcpy(row, s.band.data() + (y % s.tile_height) * row_bytes, row_bytes);
    }
    if (s.min_is_black)
        for (std::size_t i = 0; i < row_bytes; ++i)
            row[i] = static_cast<uint8_t>(~row[i]);
    clear_padding(row, s.width);
    ++s.next_row;
    return true;
}

void *tiff_open(image_input &in, std::string &reason)
{
    if (!load_tiff_library(reason))
        return nullptr;
    auto *s = new (std::nothrow) tiff_state;
    if (s == nullptr) {
        reason = "out of memory";
        return nullptr;
    }
    const int fd = seekable_copy(in, reason);
    if (fd < 0) {
        delete s;
        return nullptr;
    }
    library_text.tiff[0] = '\0';
    // "m": read, never map, so that the file takes no address space.
    s->tiff = libtiff().TIFFFdOpen(fd, "image", "rm");
    if (s->tiff == nullptr) {
        close(fd);
        reason = library_failure(tiff_reason("cannot open the TIFF file"));
        delete s;
        return nullptr;
    }
    return s;
}

int tiff_next_page(void *state, image_page_size &size, std::string &reason)
{
    tiff_state &s = *static_cast<tiff_state *>(state);
    if (s.page > 0 && libtiff().TIFFReadDirectory(s.tiff) != 1)
        return 0;
    ++s.page;
    try {
        if (!take_page(s, reason))
            return -1;
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return -1;
    }
    size.width = static_cast<int32_t>(s.width);
    size.height = static_cast<int32_t>(s.height);
    return 1;
}

bool tiff_read_rows(void *state, uint8_t *rows, int32_t count, std::size_t stride, std::string &reason)
{
    tiff_state &s = *static_cast<tiff_state *>(state);
    for (int32_t i = 0; i < count; ++i) {
        if (s.next_row >= s.height) {
            reason = "no rows are left on the page";
            return false;
        }
        if (!read_row(s, rows + static_cast<std::size_t>(i) * stride, reason))
            return false;
    }
    return true;
}

// Walks the chain of directories without reading them.
long tiff_page_count(void *state) { return libtiff().TIFFNumberOfDirectories(static_cast<tiff_state *>(state)->tiff); }

void tiff_close(void *state)
{
    auto *s = static_cast<tiff_state *>(state);
    libtiff().TIFFClose(s->tiff);
    delete s;
}

}  // namespace

const image_format TIFF_FORMAT = {tiff_open,       tiff_next_page, tiff_read_rows, tiff_close,
                                  tiff_page_count, nullptr,        nullptr};
