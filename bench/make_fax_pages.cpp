// Writes the same dense fine text pages twice, coded by libtiff: as a
// multi-page TIFF (for tiffcp) and as a fax file of the raw strips (for
// pelmorin), so that whole conversions can be compared.
//
//   make_fax_pages mh|mr|mmr PAGES OUT.tif OUT.fax [TEXT_ROWS_IN]
//
// TEXT_ROWS_IN (default 1) keeps one text row in that many and leaves the
// others blank: 1 gives a page of about 140 runs a line, 3 one of about the
// density of a typed letter.
#include <tiffio.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/fax_builder.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

constexpr int kLines = 2200;  // an A4 page at fine resolution
constexpr int kTextRow = 24;  // lines of one text row of text_page

bool write_tiff(const std::string &path, const std::vector<testpages::page> &pages, int coding)
{
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr)
        return false;
    bool ok = true;
    std::vector<uint8_t> row(testpages::kLineBytes);
    for (std::size_t n = 0; ok && n < pages.size(); ++n) {
        const auto rows = static_cast<uint32_t>(pages[n].lines.size());
        ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(testpages::kWidth)) &&
             TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows) && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1) &&
             TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
             TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE) &&
             TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB) &&
             TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows) &&
             TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
             TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0f) && TIFFSetField(tif, TIFFTAG_YRESOLUTION, 196.0f) &&
             TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
             TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(n), static_cast<uint16_t>(pages.size()));
        if (ok && coding == 3)
            ok = TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        else if (ok)
            ok = TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3) &&
                 TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS,
                              static_cast<uint32_t>(coding == 1 ? GROUP3OPT_2DENCODING : 0));
        for (uint32_t y = 0; ok && y < rows; ++y) {
            std::memcpy(row.data(), pages[n].lines[y].data(), row.size());
            ok = TIFFWriteScanline(tif, row.data(), y, 0) == 1;
        }
        ok = ok && TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s mh|mr|mmr PAGES OUT.tif OUT.fax [TEXT_ROWS_IN]\n", argv[0]);
        return 2;
    }
    std::string name = argv[1];
    int coding = name == "mh" ? 0 : name == "mr" ? 1 : name == "mmr" ? 3 : -1;
    int count = std::atoi(argv[2]);
    int rows_in = argc == 6 ? std::atoi(argv[5]) : 1;
    if (coding < 0 || count < 1 || count > 1000 || rows_in < 1) {
        std::fprintf(stderr, "make_fax_pages: bad coding or page count\n");
        return 2;
    }
    std::vector<testpages::page> pages;
    std::vector<faxbuilder::bytes> strips;
    for (int n = 0; n < count; ++n) {
        pages.push_back(testpages::text_page(kLines, 1000 + static_cast<uint32_t>(n)));
        for (int y = 0; y < kLines; ++y)
            if ((y / kTextRow) % rows_in != 0)
                pages.back().lines[static_cast<std::size_t>(y)] = testpages::white_line();
        faxbuilder::bytes strip = tifforacle::tiff_encode(pages.back(), coding, 4);
        if (strip.empty()) {
            std::fprintf(stderr, "make_fax_pages: libtiff could not code page %d\n", n + 1);
            return 1;
        }
        if (strip.size() % 2 != 0)
            strip.push_back(0);  // whole 16-bit words
        strips.push_back(std::move(strip));
    }
    if (!write_tiff(argv[3], pages, coding)) {
        std::fprintf(stderr, "make_fax_pages: cannot write %s\n", argv[3]);
        return 1;
    }
    std::string header = "RESOLUTION:1\nCOMPRESSION:" + std::to_string(coding) + "\n#PAGES:" +
                         std::to_string(count) + "\n";
    faxbuilder::bytes fax = faxbuilder::fax_file(header, strips);
    std::ofstream out(argv[4], std::ios::binary);
    out.write(reinterpret_cast<const char *>(fax.data()), static_cast<std::streamsize>(fax.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "make_fax_pages: cannot write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
