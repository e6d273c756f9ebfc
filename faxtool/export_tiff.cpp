// TIFF export: libtiff holds the container, the strip is our own MMR data
// written raw.
#include "faxtool/export_tiff.h"
#include "faxtool/format_libraries.h"

#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>
#include <vector>

#include "faxtool/coding.h"
#include "faxtool/library_messages.h"

struct tiff_writer {
    TIFF *tiff = nullptr;
    std::vector<uint8_t> coded;  // a page coded here, reused
};

namespace {

// A failed write says why through errno; libtiff's own message comes second.
std::string write_reason(const char *fallback)
{
    if (errno != 0)
        return std::strerror(errno);
    return tiff_reason(fallback);
}

bool set_page_fields(TIFF *tiff, const mmr_page &page)
{
    const dpi_pair dpi = resolution_dpi(page.resolution);
    // MinIsWhite: a 1 bit is black ink, as in the rows. The data has the
    // first bit of the stream in bit 0 of each byte: FillOrder LSB2MSB.
    return libtiff().TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(page.width)) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(page.height)) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(page.height)) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<float>(dpi.x)) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<float>(dpi.y)) == 1 &&
           libtiff().TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) == 1;
}

}  // namespace

tiff_writer *tiff_open_writer(output_file &out, std::string &reason)
{
    if (!load_tiff_library(reason))
        return nullptr;
    library_text.tiff[0] = '\0';
    // TIFFClose closes its descriptor; the output keeps its own.
    const int fd = dup(fileno(out.stream));
    errno = 0;
    TIFF *tiff = fd >= 0 ? libtiff().TIFFFdOpen(fd, out.path.c_str(), "w") : nullptr;
    if (tiff == nullptr) {
        reason = write_reason("cannot start the TIFF file");
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    auto *writer = new (std::nothrow) tiff_writer;
    if (writer == nullptr) {
        reason = "out of memory";
        libtiff().TIFFClose(tiff);
        return nullptr;
    }
    writer->tiff = tiff;
    return writer;
}

bool tiff_add_page(tiff_writer *writer, const page_image &page, std::string &reason)
{
    if (!code_page_conforming_mmr(page, writer->coded)) {
        reason = "the encoder failed";
        return false;
    }
    return tiff_add_coded_page(writer, mmr_page_of(page, writer->coded), reason);
}

bool tiff_add_coded_page(tiff_writer *writer, const mmr_page &page, std::string &reason)
{
    library_text.tiff[0] = '\0';
    errno = 0;
    if (!set_page_fields(writer->tiff, page) ||
        libtiff().TIFFWriteRawStrip(writer->tiff, 0, const_cast<uint8_t *>(page.data),
                          static_cast<tmsize_t>(page.size)) < 0 ||
        libtiff().TIFFWriteDirectory(writer->tiff) != 1) {
        reason = write_reason("cannot write the TIFF page");
        return false;
    }
    return true;
}

bool tiff_close_writer(tiff_writer *writer, std::string &reason)
{
    library_text.tiff[0] = '\0';
    errno = 0;
    bool ok = libtiff().TIFFFlush(writer->tiff) == 1;
    if (!ok)
        reason = write_reason("cannot write the TIFF file");
    libtiff().TIFFClose(writer->tiff);
    delete writer;
    return ok;
}
