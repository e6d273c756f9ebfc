// TIFF and PDF exports go from coded page to coded page: an MMR page that
// standard readers decode as this library does is embedded as stored; any
// other page is coded afresh from the decoder's changing elements, exactly
// as the encoder codes the page's rows. Every page decodes to its rows in
// libtiff, poppler and ghostscript.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "t4/enct4.h"
#include "tests/faxtool_harness.h"
#include "tests/support/tiff_oracle.h"

namespace {

using namespace faxtooltest;

uint32_t be32(const bytes &b, std::size_t at)
{
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// The coded pages of a fax file as stored.
std::vector<bytes> stored_pages(const bytes &file)
{
    std::vector<bytes> pages;
    for (std::size_t at = 8 + be32(file, 4); at + 4 <= file.size();) {
        const std::size_t length = be32(file, at);
        pages.emplace_back(file.begin() + static_cast<long>(at) + 4,
                           file.begin() + static_cast<long>(at + 4 + length));
        at += 4 + length;
    }
    return pages;
}

bytes mirrored(bytes data)
{
    for (auto &b : data) {
        unsigned v = b, r = 0;
        for (int i = 0; i < 8; ++i)
            r |= ((v >> i) & 1u) << (7 - i);
        b = static_cast<uint8_t>(r);
    }
    return data;
}

struct coding_job {
    const image *rows;
    bool given = false;
    std::vector<uint16_t> words;
};

int give_rows(void *user, unsigned char **first, int *count)
{
    auto &job = *static_cast<coding_job *>(user);
    if (job.given)
        return -1;
    job.given = true;
    *first = const_cast<unsigned char *>(job.rows->bits.data());
    *count = job.rows->height;
    return (job.rows->width + 7) / 8;
}

int keep_words(void *user, const uint16_t *words, int count)
{
    auto &job = *static_cast<coding_job *>(user);
    job.words.insert(job.words.end(), words, words + count);
    return 0;
}

// The rows coded by the bitmap encoder, conforming MMR, low bytes first.
bytes conforming_mmr(const image &rows)
{
    coding_job job{&rows, false, {}};
    enct4_context *ctx = enct4_context_new();
    enct4_context_set_conforming(ctx, 1);
    enct4_MMR_ctx(ctx, give_rows, keep_words, &job);
    enct4_context_free(ctx);
    bytes out;
    for (uint16_t w : job.words) {
        out.push_back(static_cast<uint8_t>(w & 0xFF));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    return out;
}

struct exported {
    std::vector<image> rows;     // faxtool's own PBM export
    std::vector<bytes> strips;   // of the TIFF, raw
    std::vector<bytes> images;   // of the PDF, raw CCITT data
    std::vector<image> libtiff, poppler, ghostscript;
};

std::vector<image> pbm_files(const progrun::temp_dir &dir, const std::string &pattern, std::size_t count,
                             int first)
{
    std::vector<image> all;
    for (std::size_t n = 0; n < count; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, pattern.c_str(), static_cast<int>(n) + first);
        for (const image &im : parse_pbm(progrun::read_file(dir.file(name))))
            all.push_back(im);
    }
    return all;
}

exported export_all(const std::string &fax, const progrun::temp_dir &dir, int y_dpi = 196,
                    bool damaged = false)
{
    exported e;
    const int want = damaged ? 1 : 0;
    EXPECT_EQ(faxtool({"export", "-o", dir.file("rows.pbm"), fax}).status, want);
    e.rows = parse_pbm(progrun::read_file(dir.file("rows.pbm")));
    EXPECT_EQ(faxtool({"export", "-o", dir.file("pages.tif"), fax}).status, want);
    EXPECT_EQ(faxtool({"export", "-o", dir.file("pages.pdf"), fax}).status, want);
    // libtiff's codec through tiffcp.
    EXPECT_EQ(shell("tiffcp -c none pages.tif plain.tif && tifftopnm plain.tif > lt.pbm 2>/dev/null", dir.path).status,
              0);
    e.libtiff = parse_pbm(progrun::read_file(dir.file("lt.pbm")));
    EXPECT_EQ(shell("pdfimages -ccitt pages.pdf raw && pdfimages pages.pdf img", dir.path).status, 0);
    for (std::size_t n = 0; n < e.rows.size(); ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "raw-%03zu.ccitt", n);
        e.images.push_back(progrun::read_file(dir.file(name)));
    }
    e.poppler = pbm_files(dir, "img-%03d.pbm", e.rows.size(), 0);
    const progrun::result gs = shell(
        "gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pbmraw -r204x" + std::to_string(y_dpi) +
            " -sOutputFile=gs-%d.pbm pages.pdf",
        dir.path);
    EXPECT_EQ(gs.status, 0) << gs.err;
    e.ghostscript = pbm_files(dir, "gs-%d.pbm", e.rows.size(), 1);
    return e;
}

void expect_readers_agree(const exported &e)
{
    for (const auto &[name, pages] : {std::pair{"libtiff", &e.libtiff}, std::pair{"poppler", &e.poppler},
                                      std::pair{"ghostscript", &e.ghostscript}}) {
        ASSERT_EQ(pages->size(), e.rows.size()) << name;
        for (std::size_t i = 0; i < pages->size(); ++i)
            EXPECT_TRUE((*pages)[i] == e.rows[i]) << name << ", page " << i + 1 << ": "
                                                  << describe((*pages)[i], e.rows[i]);
    }
}

bool tools_installed()
{
    return have_tool("tiffcp", "libtiff-tools") && have_tool("tifftopnm", "netpbm") &&
           have_tool("pdfimages", "poppler-utils") && have_tool("gs", "ghostscript");
}

// An MMR file of the pages, coded by faxtool import (the legacy coding).
std::string mmr_file(const std::vector<page> &pages, const progrun::temp_dir &dir, const std::string &name)
{
    std::vector<image> images;
    for (const page &p : pages)
        images.push_back(image_of(p));
    progrun::write_file(dir.file(name + ".pbm"), pbm_of(images));
    const progrun::result r =
        faxtool({"import", "-c", "mmr", "-r", "fine", "-o", dir.file(name + ".fax"), dir.file(name + ".pbm")});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file(name + ".fax");
}

// A page where a line starts black below one white at pixel 0 and black
// within pixels 1-3: the legacy coding there reads differently in T.6.
page start_of_line_page()
{
    page p = testpages::text_page(60, 4);
    for (std::size_t i = 1; i < p.lines.size(); i += 2) {
        p.lines[i - 1] = testpages::white_line();
        testpages::set_pixels(p.lines[i - 1], 1 + static_cast<int>(i % 3), 7);
        testpages::set_pixels(p.lines[i], 0, 3);
    }
    return p;
}

TEST(ExportTranscode, CleanMmrPagesPassThroughAsStored)
{
    ASSERT_TRUE(tools_installed());
    progrun::temp_dir dir;
    page noise = testpages::random_page(100, 2, 5);
    testpages::remove_legacy_b1_pattern(noise);
    const std::string ours = mmr_file({testpages::text_page(400, 3), noise}, dir, "clean");
    // A page coded elsewhere, with fill after its EOFB, goes as it came too.
    std::vector<bytes> stored = stored_pages(progrun::read_file(ours));
    ASSERT_TRUE(tifforacle::available());
    stored.push_back(tifforacle::tiff_encode(testpages::text_page(200, 8), tifforacle::MMR));
    stored.back().resize(stored.back().size() + 6, 0);
    const std::string fax = dir.file("mixed.fax");
    progrun::write_file(fax, faxbuilder::fax_file("RESOLUTION:1\nCOMPRESSION:3\n", stored));
    const exported e = export_all(fax, dir);
    ASSERT_EQ(e.rows.size(), 3u);
    for (std::size_t i = 0; i < stored.size(); ++i)
        EXPECT_EQ(e.images[i], mirrored(stored[i])) << "page " << i + 1;
    // The TIFF holds the same bytes unmirrored (FillOrder 2): as big as the
    // stored pages plus the container.
    const bytes tiff = progrun::read_file(dir.file("pages.tif"));
    for (const bytes &page : stored)
        EXPECT_NE(std::search(tiff.begin(), tiff.end(), page.begin(), page.end()), tiff.end());
    expect_readers_agree(e);
}

TEST(ExportTranscode, PagesThatStandardReadersTakeDifferentlyAreCodedAfresh)
{
    ASSERT_TRUE(tools_installed());
    progrun::temp_dir dir;
    const std::string fax = mmr_file({start_of_line_page()}, dir, "pattern");
    const bytes stored = stored_pages(progrun::read_file(fax)).at(0);
    const exported e = export_all(fax, dir);
    ASSERT_EQ(e.rows.size(), 1u);
    EXPECT_NE(e.images[0], mirrored(stored));
    EXPECT_EQ(e.images[0], mirrored(conforming_mmr(e.rows[0])));
    expect_readers_agree(e);

    // A damaged page neither.
    bytes file = progrun::read_file(mmr_file({testpages::text_page(300, 5)}, dir, "damaged"));
    for (std::size_t i = file.size() / 2; i < file.size() / 2 + 40; ++i)
        file[i] ^= 0x5A;
    progrun::write_file(dir.file("damaged.fax"), file);
    const exported d = export_all(dir.file("damaged.fax"), dir, 196, true);
    ASSERT_EQ(d.rows.size(), 1u);
    EXPECT_NE(d.images[0], mirrored(stored_pages(file).at(0)));
    EXPECT_EQ(d.images[0], mirrored(conforming_mmr(d.rows[0])));
    expect_readers_agree(d);
}

TEST(ExportTranscode, MhAndMrPagesCodeAsTheirRows)
{
    ASSERT_TRUE(tools_installed());
    progrun::temp_dir dir;
    for (const char *name : {"sample.fax", "sample_mr.fax"}) {
        const exported e = export_all(std::string(EXAMPLES_DIR) + "/" + name, dir, 98);
        ASSERT_FALSE(e.rows.empty()) << name;
        for (std::size_t i = 0; i < e.rows.size(); ++i)
            EXPECT_EQ(e.images[i], mirrored(conforming_mmr(e.rows[i]))) << name << ", page " << i + 1;
        expect_readers_agree(e);
    }
}

}  // namespace
