// TIFF and PDF exports of MMR files: a stored page that standard readers
// decode as faxtool does goes in as it is, any other is coded again; either
// way libtiff, poppler and ghostscript give exactly the rows of the PBM export.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <cstdio>

#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;

const std::string kExamples = EXAMPLES_DIR;

// The pages' coded data of a fax file, as stored.
std::vector<bytes> stored_pages(const bytes &fax)
{
    auto be32 = [&](std::size_t at) {
        return uint32_t{fax[at]} << 24 | uint32_t{fax[at + 1]} << 16 | uint32_t{fax[at + 2]} << 8 | fax[at + 3];
    };
    std::vector<bytes> pages;
    std::size_t at = 8 + be32(4);
    while (at + 4 <= fax.size()) {
        const uint32_t length = be32(at);
        at += 4;
        pages.emplace_back(fax.begin() + static_cast<std::ptrdiff_t>(at),
                           fax.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return pages;
}

bytes fax_of(const std::vector<bytes> &pages, int resolution)
{
    return faxbuilder::fax_file("RESOLUTION:" + std::to_string(resolution) + "\nCOMPRESSION:3\n", pages);
}

bytes mirrored(bytes data)
{
    for (uint8_t &b : data) {
        uint8_t m = 0;
        for (int bit = 0; bit < 8; ++bit)
            m = static_cast<uint8_t>(m | ((b >> bit) & 1) << (7 - bit));
        b = m;
    }
    return data;
}

// A page where lines start black below lines white at pixel 0 and black
// within pixels 1-3: the legacy coding reads it otherwise than standard readers.
page pattern_page()
{
    page p = testpages::text_page(120, 5);
    for (std::size_t i = 0; i + 1 < p.lines.size(); i += 8) {
        p.lines[i] = testpages::white_line();
        testpages::set_pixels(p.lines[i], 1 + static_cast<int>(i % 3), 6);
        p.lines[i + 1] = testpages::white_line();
        testpages::set_pixels(p.lines[i + 1], 0, 2 + static_cast<int>(i % 5));
    }
    return p;
}

struct tiff_strip {
    bytes data;
    uint32_t rows = 0;
    uint16_t fill_order = 0;
};

std::vector<tiff_strip> tiff_strips(const std::string &path)
{
    std::vector<tiff_strip> strips;
    TIFF *tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr) {
        ADD_FAILURE() << "libtiff cannot open " << path;
        return strips;
    }
    do {
        tiff_strip s;
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &s.rows);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &s.fill_order);
        EXPECT_EQ(TIFFNumberOfStrips(tiff), 1u);
        s.data.resize(static_cast<std::size_t>(TIFFRawStripSize(tiff, 0)));
        EXPECT_EQ(TIFFReadRawStrip(tiff, 0, s.data.data(), static_cast<tmsize_t>(s.data.size())),
                  static_cast<tmsize_t>(s.data.size()));
        strips.push_back(std::move(s));
    } while (TIFFReadDirectory(tiff) == 1);
    TIFFClose(tiff);
    return strips;
}

std::vector<image> pbm_files(const progrun::temp_dir &dir, const std::string &format, std::size_t count)
{
    std::vector<image> images;
    for (std::size_t n = 0; n < count; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, format.c_str(), n);
        for (const image &im : parse_pbm(progrun::read_file(dir.file(name))))
            images.push_back(im);
    }
    return images;
}

void expect_same(const std::vector<image> &got, const std::vector<image> &rows, const std::string &reader)
{
    ASSERT_EQ(got.size(), rows.size()) << reader;
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_TRUE(got[i] == rows[i]) << reader << ", page " << i + 1 << ": " << describe(got[i], rows[i]);
}

// Exports `fax` (with `options`) as PBM, TIFF and PDF; checks that the pages
// `as_stored` marks are the stored data and the others not, and that every
// reader decodes the TIFF and the PDF to the PBM rows.
void check_exports(const std::string &fax, const std::vector<std::string> &options, const std::vector<bool> &as_stored,
                   int status, int y_dpi)
{
    ASSERT_TRUE(have_tool("tifftopnm", "netpbm") && have_tool("tiffcp", "libtiff-tools") &&
                have_tool("pdfimages", "poppler-utils") && have_tool("gs", "ghostscript"));
    progrun::temp_dir dir;
    const std::vector<bytes> stored = stored_pages(progrun::read_file(fax));
    auto run = [&](const std::string &out) {
        std::vector<std::string> args = {"export", "-o", dir.file(out)};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(fax);
        const progrun::result r = faxtool(args);
        EXPECT_EQ(r.status, status) << out << ": " << r.err;
    };
    run("rows.pbm");
    run("pages.tif");
    run("pages.pdf");
    const std::vector<image> rows = parse_pbm(progrun::read_file(dir.file("rows.pbm")));
    ASSERT_EQ(rows.size(), as_stored.size());

    const std::vector<tiff_strip> strips = tiff_strips(dir.file("pages.tif"));
    ASSERT_EQ(strips.size(), rows.size());
    shell("pdfimages -ccitt pages.pdf raw", dir.path);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        bytes whole_words = stored[i];
        whole_words.resize(whole_words.size() & ~std::size_t{1});
        EXPECT_EQ(strips[i].data == whole_words, as_stored[i]) << "TIFF page " << i + 1;
        EXPECT_EQ(strips[i].fill_order, FILLORDER_LSB2MSB) << "TIFF page " << i + 1;
        EXPECT_EQ(strips[i].rows, static_cast<uint32_t>(rows[i].height)) << "TIFF page " << i + 1;
        char name[32];
        std::snprintf(name, sizeof name, "raw-%03zu.ccitt", i);
        EXPECT_EQ(progrun::read_file(dir.file(name)) == mirrored(whole_words), as_stored[i]) << "PDF page " << i + 1;
    }

    shell("tifftopnm pages.tif > libtiff.pbm 2>/dev/null", dir.path);
    expect_same(parse_pbm(progrun::read_file(dir.file("libtiff.pbm"))), rows, "tifftopnm");
    shell("tiffcp -c none pages.tif plain.tif && tifftopnm plain.tif > tiffcp.pbm 2>/dev/null", dir.path);
    expect_same(parse_pbm(progrun::read_file(dir.file("tiffcp.pbm"))), rows, "tiffcp");
    shell("pdfimages pages.pdf img", dir.path);
    expect_same(pbm_files(dir, "img-%03zu.pbm", rows.size()), rows, "pdfimages");
    const progrun::result gs = shell("gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pbmraw -r204x" +
                                         std::to_string(y_dpi) + " -sOutputFile=gs-%d.pbm pages.pdf",
                                     dir.path);
    ASSERT_EQ(gs.status, 0) << gs.err;
    std::vector<image> rendered;
    for (std::size_t n = 1; n <= rows.size(); ++n)
        for (const image &im : parse_pbm(progrun::read_file(dir.file("gs-" + std::to_string(n) + ".pbm"))))
            rendered.push_back(im);
    expect_same(rendered, rows, "ghostscript");
}

// The rows libtiff decodes from `data` taken as one Group 4 strip of
// `rows` rows: what any standard reader would make of the stored page.
image libtiff_rows(const bytes &data, int32_t rows, const progrun::temp_dir &dir)
{
    image im{testpages::kWidth, rows, bytes(static_cast<std::size_t>(rows) * testpages::kLineBytes, 0)};
    const std::string path = dir.file("raw.tif");
    TIFFSetErrorHandler(nullptr);  // the pages it reads otherwise may be broken codes to it
    TIFFSetWarningHandler(nullptr);
    TIFF *out = TIFFOpen(path.c_str(), "w");
    if (out == nullptr)
        return {};
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(testpages::kWidth));
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(rows));
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(out, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(rows));
    TIFFWriteRawStrip(out, 0, const_cast<uint8_t *>(data.data()), static_cast<tmsize_t>(data.size()));
    TIFFClose(out);
    TIFF *in = TIFFOpen(path.c_str(), "r");
    if (in == nullptr)
        return {};
    for (int32_t row = 0; row < rows; ++row)
        if (TIFFReadScanline(in, im.bits.data() + static_cast<std::size_t>(row) * testpages::kLineBytes,
                             static_cast<uint32_t>(row)) != 1)
            break;  // the rest stays white: a difference all the same
    TIFFClose(in);
    return im;
}

// Pages as recompress codes them: the legacy coding of stored pages.
std::vector<bytes> legacy_mmr_pages(const std::vector<page> &pages, const progrun::temp_dir &dir)
{
    const std::string fax = dir.file("legacy.fax");
    progrun::write_file(fax, mh_fax(pages, 1));
    const progrun::result r = faxtool({"recompress", "-c", "mmr", fax});
    EXPECT_EQ(r.status, 0) << r.err;
    return stored_pages(progrun::read_file(fax));
}

// The page with its EOFB cleared: it ends after its last line, with fill.
bytes without_eofb(bytes page)
{
    for (int ones = 0; ones < 2; ++ones) {
        std::size_t at = page.size();
        while (at > 0 && page[at - 1] == 0)
            --at;
        if (at == 0)
            break;
        const int top = 31 - __builtin_clz(page[at - 1]);  // the stream's last 1 bit
        page[at - 1] = static_cast<uint8_t>(page[at - 1] & ~(1u << top));
    }
    return page;
}

TEST(PassThrough, StandardPagesGoInAsStored)
{
    progrun::temp_dir dir;
    const page text = testpages::text_page(400, 11);
    const page pattern = pattern_page();
    bool has_pattern = false;
    for (std::size_t i = 1; i < pattern.lines.size(); ++i)
        has_pattern = has_pattern || testpages::has_legacy_b1_pattern(pattern.lines[i - 1], pattern.lines[i]);
    ASSERT_TRUE(has_pattern);
    std::vector<bytes> pages = legacy_mmr_pages({text, pattern}, dir);
    ASSERT_EQ(pages.size(), 2u);
    pages.push_back(without_eofb(pages[0]));
    ASSERT_NE(pages[2], pages[0]);
    const std::string fax = dir.file("mixed.fax");
    progrun::write_file(fax, fax_of(pages, 1));
    check_exports(fax, {}, {true, false, true}, 0, 196);
    // The example's normal pages too, unless stretched or shown with the
    // line the EOFB closes.
    const std::string sample = kExamples + "/sample_mmr.fax";
    check_exports(sample, {}, {true, true}, 0, 98);
    check_exports(sample, {"--stretch"}, {false, false}, 0, 196);
    check_exports(sample, {"--decoder-lines"}, {false, false}, 0, 98);
}

TEST(PassThrough, DamagedPagesAreCodedAgain)
{
    progrun::temp_dir dir;
    std::vector<bytes> pages = legacy_mmr_pages({testpages::text_page(300, 3)}, dir);
    ASSERT_EQ(pages.size(), 1u);
    bytes cut = pages[0];
    cut.resize(cut.size() / 2 & ~std::size_t{1});  // ends inside a line
    bytes noisy = pages[0];
    for (std::size_t i = noisy.size() / 3; i < noisy.size() / 3 + 40; ++i)
        noisy[i] = static_cast<uint8_t>(i * 37);
    bytes trailing = pages[0];  // whole lines, but codes after the EOFB
    trailing.insert(trailing.end(), {0xA5, 0x5A});
    pages.push_back(cut);
    pages.push_back(noisy);
    pages.push_back(trailing);
    const std::string fax = dir.file("damaged.fax");
    progrun::write_file(fax, fax_of(pages, 1));
    check_exports(fax, {}, {true, false, false, false}, 1, 196);
}

// The choice is exact: a page goes in as stored exactly when libtiff reads
// its stored data as faxtool does, over pages whose lines often start black.
TEST(PassThrough, StoredExactlyWhenLibtiffReadsAlike)
{
    progrun::temp_dir dir;
    std::vector<page> drawn = {testpages::worst_case_page()};
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        page p = testpages::random_page(120, seed, 2 + static_cast<int>(seed % 5));
        if (seed % 2 == 0)  // black margins: lines start black below lines that do too
            for (testpages::line &l : p.lines)
                testpages::set_pixels(l, 0, 4);
        drawn.push_back(p);
    }
    const std::vector<bytes> stored = legacy_mmr_pages(drawn, dir);
    const std::string fax = dir.file("mixed.fax");
    progrun::write_file(fax, fax_of(stored, 1));
    progrun::result r = faxtool({"export", "-o", dir.file("rows.pbm"), fax});
    ASSERT_EQ(r.status, 0) << r.err;
    r = faxtool({"export", "-o", dir.file("pages.tif"), fax});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<image> rows = parse_pbm(progrun::read_file(dir.file("rows.pbm")));
    const std::vector<tiff_strip> strips = tiff_strips(dir.file("pages.tif"));
    ASSERT_EQ(rows.size(), stored.size());
    ASSERT_EQ(strips.size(), stored.size());
    int as_stored = 0, coded_again = 0;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const bool reads_alike = libtiff_rows(stored[i], rows[i].height, dir) == rows[i];
        EXPECT_EQ(strips[i].data == stored[i], reads_alike) << "page " << i + 1;
        (reads_alike ? as_stored : coded_again) += 1;
    }
    // Both kinds are there, or the test shows nothing.
    EXPECT_GT(as_stored, 0);
    EXPECT_GT(coded_again, 0);
}

}  // namespace
