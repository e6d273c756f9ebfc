// libtiff as an independent black-box fax codec, run on in-memory TIFF files.
#include "tests/support/tiff_oracle.h"

#if HAVE_LIBTIFF

#include <tiffio.h>

#include <algorithm>
#include <cstring>

namespace tifforacle {
namespace {

tmsize_t mem_read(thandle_t h, void *buf, tmsize_t size)
{
    auto *f = static_cast<mem_file *>(h);
    if (f->pos >= f->bytes.size())
        return 0;
    tmsize_t n = std::min<tmsize_t>(size, static_cast<tmsize_t>(f->bytes.size() - f->pos));
    std::memcpy(buf, f->bytes.data() + f->pos, static_cast<size_t>(n));
    f->pos += static_cast<toff_t>(n);
    return n;
}

tmsize_t mem_write(thandle_t h, void *buf, tmsize_t size)
{
    auto *f = static_cast<mem_file *>(h);
    size_t end = static_cast<size_t>(f->pos) + static_cast<size_t>(size);
    if (f->bytes.size() < end)
        f->bytes.resize(end);
    std::memcpy(f->bytes.data() + f->pos, buf, static_cast<size_t>(size));
    f->pos = end;
    return size;
}

toff_t mem_seek(thandle_t h, toff_t off, int whence)
{
    auto *f = static_cast<mem_file *>(h);
    toff_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : f->bytes.size();
    f->pos = base + off;
    return f->pos;
}

int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<mem_file *>(h)->bytes.size(); }
int mem_map(thandle_t, void **, toff_t *) { return 0; }
void mem_unmap(thandle_t, void *, toff_t) {}

// libtiff's complaints about deliberately damaged data would only clutter
// the test output; the result says whether it accepted the data.
struct quiet_libtiff {
    TIFFErrorHandler error = TIFFSetErrorHandler(nullptr);
    TIFFErrorHandler warning = TIFFSetWarningHandler(nullptr);
    ~quiet_libtiff()
    {
        TIFFSetErrorHandler(error);
        TIFFSetWarningHandler(warning);
    }
};

bool valid_coding(int compression)
{
    return compression == MH || compression == MR || compression == MMR;
}

}  // namespace

bool available() { return true; }

bool set_fax_fields(TIFF *tif, int compression, int width, int rows, int k_factor)
{
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width)) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(rows)) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
              TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(rows)) &&
              TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
              TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0f) &&
              // libtiff's G3 2-D encoder takes K = 4 above 150 dpi, else K = 2.
              TIFFSetField(tif, TIFFTAG_YRESOLUTION, k_factor == 4 ? 196.0f : 98.0f);
    if (!ok)
        return false;
    if (compression == MMR)
        return TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) &&
               TIFFSetField(tif, TIFFTAG_GROUP4OPTIONS, 0);
    // Classic fax mode: an EOL before every line and the RTC at the end.
    return TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3) &&
           TIFFSetField(tif, TIFFTAG_FAXMODE, FAXMODE_CLASSIC) &&
           TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS,
                        static_cast<uint32_t>(compression == MR ? GROUP3OPT_2DENCODING : 0));
}

TIFF *open_mem(mem_file &f, const char *mode)
{
    f.pos = 0;
    return TIFFClientOpen("oracle", mode, &f, mem_read, mem_write, mem_seek, mem_close,
                          mem_size, mem_map, mem_unmap);
}

bool wrap_strip(mem_file &f, const std::vector<uint8_t> &data, int compression, int width,
                int rows, int k_factor)
{
    TIFF *tif = open_mem(f, "w");
    if (tif == nullptr)
        return false;
    const bool ok = set_fax_fields(tif, compression, width, rows, k_factor) &&
                    TIFFWriteRawStrip(tif, 0, const_cast<uint8_t *>(data.data()),
                                      static_cast<tmsize_t>(data.size())) ==
                        static_cast<tmsize_t>(data.size());
    TIFFClose(tif);
    return ok;
}

std::vector<uint8_t> tiff_encode(const testpages::page &p, int compression, int k_factor)
{
    if (!valid_coding(compression) || p.lines.empty())
        return {};
    quiet_libtiff quiet;
    mem_file f;
    TIFF *tif = open_mem(f, "w");
    if (tif == nullptr)
        return {};
    const int rows = static_cast<int>(p.lines.size());
    bool ok = set_fax_fields(tif, compression, testpages::kWidth, rows, k_factor);
    std::vector<uint8_t> row(testpages::kLineBytes);
    for (int y = 0; ok && y < rows; ++y) {
        std::copy_n(p.lines[y].begin(), std::min(row.size(), p.lines[y].size()), row.begin());
        ok = TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    TIFFClose(tif);  // flushes the strip, RTC or EOFB included
    if (!ok)
        return {};

    tif = open_mem(f, "r");
    if (tif == nullptr)
        return {};
    std::vector<uint8_t> raw(static_cast<size_t>(TIFFRawStripSize(tif, 0)));
    tmsize_t n = TIFFReadRawStrip(tif, 0, raw.data(), static_cast<tmsize_t>(raw.size()));
    TIFFClose(tif);
    if (n < 0)
        return {};
    raw.resize(static_cast<size_t>(n));
    return raw;
}

bool tiff_decode(const std::vector<uint8_t> &data, int compression, int width, int rows,
                 testpages::page &out)
{
    if (!valid_coding(compression) || width <= 0 || rows <= 0 || data.empty())
        return false;
    quiet_libtiff quiet;
    mem_file f;
    if (!wrap_strip(f, data, compression, width, rows, 2))
        return false;
    TIFF *tif = open_mem(f, "r");
    if (tif == nullptr)
        return false;
    bool ok = true;
    const size_t line_bytes = static_cast<size_t>((width + 7) / 8);
    out.lines.assign(static_cast<size_t>(rows), testpages::line(line_bytes, 0));
    for (int y = 0; ok && y < rows; ++y)
        ok = TIFFReadScanline(tif, out.lines[y].data(), static_cast<uint32_t>(y), 0) == 1;
    TIFFClose(tif);
    return ok;
}

}  // namespace tifforacle

#else  // !HAVE_LIBTIFF

namespace tifforacle {

bool available() { return false; }

std::vector<uint8_t> tiff_encode(const testpages::page &, int, int) { return {}; }

bool tiff_decode(const std::vector<uint8_t> &, int, int, int, testpages::page &) { return false; }

}  // namespace tifforacle

#endif
