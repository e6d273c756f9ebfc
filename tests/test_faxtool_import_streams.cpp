// faxtool import on hostile and unusual input: memory bounded whatever an
// image declares, pipes and FIFOs, tiled TIFFs, PBM numbers of any length,
// and messages that say what is wrong with the file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "tests/faxtool_harness.h"
#include "tests/peak_memory.h"

namespace {

using namespace faxtooltest;

// Import's bound on its own memory, whatever the input.
constexpr long kPeakLimitKb = 64 * 1024;

std::string text_of(const bytes &b) { return std::string(b.begin(), b.end()); }

bytes pbm_bytes(const std::string &head, std::size_t raster_bytes)
{
    bytes out(head.begin(), head.end());
    out.resize(out.size() + raster_bytes, 0);
    return out;
}

// A little-endian TIFF of one uncompressed bilevel strip, its offset and
// byte count as given: the damage libtiff reports in its own numbers.
bytes strip_tiff(uint32_t width, uint32_t height, uint32_t strip_offset, uint32_t strip_bytes, std::size_t data_bytes)
{
    bytes out{'I', 'I', 42, 0, 8, 0, 0, 0};
    const uint16_t tags[][2] = {{256, 4}, {257, 4}, {258, 3}, {259, 3}, {262, 3}, {273, 4}, {277, 3}, {278, 4}, {279, 4}};
    const uint32_t values[] = {width, height, 1, 1, 0, strip_offset, 1, height, strip_bytes};
    auto le16 = [&](uint32_t v) { out.push_back(v & 0xFF); out.push_back(v >> 8 & 0xFF); };
    auto le32 = [&](uint32_t v) { le16(v & 0xFFFF); le16(v >> 16); };
    le16(9);
    for (int i = 0; i < 9; ++i) {
        le16(tags[i][0]);
        le16(tags[i][1]);
        le32(1);
        if (tags[i][1] == 3) {
            le16(values[i]);
            le16(0);
        } else {
            le32(values[i]);
        }
    }
    le32(0);
    out.resize(out.size() + data_bytes, 0);
    return out;
}

class ImportMemory : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef PEAK_UNDER_SANITIZER
        GTEST_SKIP() << "peak memory means nothing under a sanitizer's shadow memory";
#endif
        ASSERT_TRUE(have_tool("pbmmake", "netpbm") && have_tool("tiffcp", "libtiff-tools") &&
                    have_tool("python3", "python3"));
    }

    void expect_bounded(const std::string &image, int status, const std::string &err,
                        rlim_t address_space = RLIM_INFINITY)
    {
        const measured m = run_measured({"import", "-o", dir.file("out.fax"), dir.file(image)}, dir, address_space);
        EXPECT_EQ(m.status, status) << image << ": " << m.err;
        if (!err.empty()) {
            EXPECT_EQ(m.err, "faxtool: " + dir.file(image) + ": " + err + "\n");
        }
        EXPECT_LT(m.peak_kb, kPeakLimitKb) << image;
    }

    progrun::temp_dir dir;
};

// Pages are coded as they are read: tall pages and many pages take no more
// memory than one small one.
TEST_F(ImportMemory, TallAndManyTiffPagesStayUnderTheBound)
{
    progrun::result made = shell("pbmmake -white 1728 262144 | pnmtotiff -g4 > tall1.tif && "
                                 "tiffcp tall1.tif tall1.tif tall1.tif tall.tif && "
                                 "pbmmake -white 1728 1100 | pnmtotiff -g4 > small.tif && "
                                 "tiffcp $(for i in $(seq 400); do echo small.tif; done) many.tif",
                                 dir.path);
    ASSERT_EQ(made.status, 0) << made.err;
    expect_bounded("tall.tif", 0, "");
    expect_bounded("many.tif", 0, "");
    EXPECT_NE(text_of(progrun::read_file(dir.file("out.fax"))).find("#PAGES:400\n"), std::string::npos);
}

// A declared size is checked before anything is allocated for it, and
// under a tight address space nothing aborts: a failed allocation is
// reported as such.
TEST_F(ImportMemory, DeclaredSizesAndFailedAllocationsAreRefusedCleanly)
{
    // A PNG that declares 1,000,000 x 905 in 80 bytes, and an interlaced
    // 1728 x 140000 white page, which is held whole at one bit a pixel.
    const std::string script = R"(import struct, zlib
def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
def png(name, width, height, depth, interlace, raw):
    ihdr = struct.pack('>IIBBBBB', width, height, depth, 0, 0, 0, interlace)
    data = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr) + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')
    open(name, 'wb').write(data)
png('huge.png', 1000000, 905, 8, 0, bytes(2000))
w, h, raw = 1728, 140000, bytearray()
for x0, y0, dx, dy in ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)):
    cols, rows = (w - x0 + dx - 1) // dx, (h - y0 + dy - 1) // dy
    raw += (b'\0' + b'\xff' * ((cols + 7) // 8)) * rows
png('interlaced.png', w, h, 1, 1, bytes(raw))
)";
    progrun::write_file(dir.file("make.py"), bytes(script.begin(), script.end()));
    progrun::result made = shell("python3 make.py && rm make.py", dir.path);
    ASSERT_EQ(made.status, 0) << made.err;
    const rlim_t tight = rlim_t{24} << 20;  // faxtool itself needs about 10 MB
    expect_bounded("huge.png", 1, "page 1 is 1000000 pixels wide; a fax page holds at most 1728", rlim_t{400} << 20);
    progrun::write_file(dir.file("small.pbm"), pbm_of({image_of(testpages::text_page(8, 1))}));
    const measured small = run_measured({"import", "-o", dir.file("out.fax"), dir.file("small.pbm")}, dir, tight);
    if (small.status != 0)
        GTEST_SKIP() << "faxtool does not even start in 24 MB of address space here: " << small.err;
    expect_bounded("interlaced.png", 1, "out of memory", tight);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"huge.png", "interlaced.png", "out.fax", "small.pbm"}));
}

// Whatever the page count's digits, the file is the one that importing the
// same pages from single images gives: the header is sized after the fact.
TEST(ImportStreams, PageCountHeaderIsRightForAnyNumberOfPages)
{
    progrun::temp_dir dir;
    std::vector<image> images;
    std::vector<std::string> singles{"import", "-c", "mr", "-o", dir.file("singles.fax")};
    for (int i = 0; i < 12; ++i) {
        images.push_back(image_of(testpages::text_page(10 + i, static_cast<uint32_t>(i))));
        const std::string name = dir.file("p" + std::to_string(i) + ".pbm");
        progrun::write_file(name, pbm_of({images.back()}));
        singles.push_back(name);
    }
    progrun::write_file(dir.file("all.pbm"), pbm_of(images));
    progrun::result r = faxtool({"import", "-c", "mr", "-o", dir.file("all.fax"), dir.file("all.pbm")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = faxtool(singles);
    ASSERT_EQ(r.status, 0) << r.err;
    const bytes all = progrun::read_file(dir.file("all.fax"));
    EXPECT_EQ(all, progrun::read_file(dir.file("singles.fax")));
    EXPECT_NE(text_of(all).find("#PAGES:12\n\x1d"), std::string::npos);
    const std::vector<image> pages = pelmorin_pages(dir.file("all.fax"), dir);
    ASSERT_EQ(pages.size(), 12u);
    for (std::size_t i = 0; i < pages.size(); ++i)
        EXPECT_TRUE(pages[i] == fax_rows(images[i], 0, 4)) << "page " << i + 1;
}

// Every input is read once through one descriptor: a pipe and a FIFO give
// the same fax file as the image itself. (Reopened, a FIFO fed once waits
// for ever: hence the time limit.)
TEST(ImportStreams, PipesAndFifosAreReadOnce)
{
    ASSERT_TRUE(have_tool("pbmtext", "netpbm") && have_tool("tiffcp", "libtiff-tools"));
    progrun::temp_dir dir;
    progrun::result made = shell("pbmtext -builtin fixed 'through a pipe' > p.pbm && pnmtopng p.pbm > p.png && "
                                 "pnmtotiff -g4 p.pbm > a.tif && pnmtotiff -lzw p.pbm > b.tif && tiffcp a.tif b.tif p.tif",
                                 dir.path);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string tool = FAXTOOL_PATH;
    for (const std::string image : {"p.pbm", "p.png", "p.tif"}) {
        progrun::result r = faxtool({"import", "-o", dir.file("file.fax"), dir.file(image)});
        ASSERT_EQ(r.status, 0) << r.err;
        r = shell("cat " + image + " | " + tool + " import -o pipe.fax /dev/stdin", dir.path);
        EXPECT_EQ(r.status, 0) << image << ": " << r.err;
        EXPECT_EQ(progrun::read_file(dir.file("pipe.fax")), progrun::read_file(dir.file("file.fax"))) << image;
        r = shell("rm -f fifo && mkfifo fifo && (cat " + image + " > fifo &) && timeout 20 " + tool +
                      " import -o fifo.fax fifo",
                  dir.path);
        EXPECT_EQ(r.status, 0) << image << ": " << r.err;
        EXPECT_EQ(progrun::read_file(dir.file("fifo.fax")), progrun::read_file(dir.file("file.fax"))) << image;
    }
}

// Tiles of any size, at the right edge cut by the page, in any compression:
// the same pages as the image in strips.
TEST(ImportStreams, TiledTiffsGiveTheStripPages)
{
    ASSERT_TRUE(have_tool("pbmtext", "netpbm") && have_tool("tiffcp", "libtiff-tools"));
    progrun::temp_dir dir;
    progrun::result made = shell("pbmtext -builtin fixed 'tiles, tiles' | pnmpad -white -left 5 -width 1000 -height 300 > p.pbm && "
                                 "pnmtotiff -none p.pbm > strips.tif && pnmtotiff -none -minisblack p.pbm > black.tif && "
                                 "tiffcp -t -w 64 -l 64 -c g4 strips.tif t1.tif && "
                                 "tiffcp -t -w 48 -l 16 -c lzw strips.tif t2.tif && "
                                 "tiffcp -t -w 128 -l 32 -c packbits black.tif t3.tif && "
                                 "tiffcp t1.tif t2.tif t3.tif tiled.tif && tiffcp strips.tif strips.tif strips.tif three.tif",
                                 dir.path);
    ASSERT_EQ(made.status, 0) << made.err;
    progrun::result r = faxtool({"import", "-o", dir.file("strips.fax"), dir.file("three.tif")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = faxtool({"import", "-o", dir.file("tiled.fax"), dir.file("tiled.tif")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(progrun::read_file(dir.file("tiled.fax")), progrun::read_file(dir.file("strips.fax")));
}

// PBM numbers are read whole; a value no page can have is named as written.
TEST(ImportStreams, PbmNumbersAreReadWhole)
{
    progrun::temp_dir dir;
    progrun::write_file(dir.file("zeros.pbm"), pbm_bytes("P4 00000001728 2\n", 432));
    progrun::write_file(dir.file("plain.pbm"), pbm_bytes("P4 1728 2\n", 432));
    progrun::write_file(dir.file("wide.pbm"), pbm_bytes("P4 4294967297 4294967297\n", 0));
    progrun::write_file(dir.file("long.pbm"), pbm_bytes("P1 8 123456789012345678901234567890\n", 0));
    progrun::result r = faxtool({"import", "-o", dir.file("zeros.fax"), dir.file("zeros.pbm")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = faxtool({"import", "-o", dir.file("plain.fax"), dir.file("plain.pbm")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(progrun::read_file(dir.file("zeros.fax")), progrun::read_file(dir.file("plain.fax")));
    r = faxtool({"import", "-o", dir.file("x.fax"), dir.file("wide.pbm")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.file("wide.pbm") + ": page 1 is 4294967297 pixels wide; a fax page holds at most 1728\n");
    r = faxtool({"import", "-o", dir.file("x.fax"), dir.file("long.pbm")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.file("long.pbm") + ": the PBM height 123456789012345678901234567890 is too large\n");
}

// The bits that pad a raw PBM row to a whole byte are not pixels, whatever
// they hold.
TEST(ImportStreams, PbmPaddingBitsAreNotInk)
{
    progrun::temp_dir dir;
    progrun::write_file(dir.file("dirty.pbm"), bytes{'P', '4', ' ', '5', ' ', '2', '\n', 0xFF, 0xAF});
    progrun::write_file(dir.file("clean.pbm"), bytes{'P', '4', ' ', '5', ' ', '2', '\n', 0xF8, 0xA8});
    for (const std::string name : {"dirty", "clean"}) {
        progrun::result r = faxtool({"import", "-o", dir.file(name + ".fax"), dir.file(name + ".pbm")});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(progrun::read_file(dir.file("dirty.fax")), progrun::read_file(dir.file("clean.fax")));
}

// Raw PBM rows are coded where the reader's buffer holds them; they must
// give the fax file that the same images give as plain PBM, whose rows are
// copied: any width, ink in the padding bits, rows across buffer refills,
// white space and comments between images, in every coding.
TEST(ImportStreams, RawPbmRowsCodeAsPlainPbmRows)
{
    std::mt19937 rng(7);
    std::vector<image> images;
    for (int width : {1, 7, 8, 999, 1000, 1727, 1728}) {
        image im{width, width == 999 ? 700 : 37, {}};  // 700 rows of 125 bytes: more than a buffer
        const int row_bytes = (width + 7) / 8;
        for (int i = 0; i < row_bytes * im.height; ++i) {
            const bool blank = i / row_bytes % 5 == 0;
            im.bits.push_back(blank ? 0 : static_cast<uint8_t>(rng() & rng()));
        }
        images.push_back(im);
    }
    bytes raw = pbm_of(images);
    const std::string between = "\n# between images\n \n";
    const bytes first = pbm_of({images[0]});
    raw.insert(raw.begin() + static_cast<long>(first.size()), between.begin(), between.end());
    progrun::temp_dir dir;
    progrun::write_file(dir.file("raw.pbm"), raw);
    progrun::write_file(dir.file("plain.pbm"), pbm_of(images, true));
    for (const std::string c : {"mh", "mr", "mmr"}) {
        for (const std::string form : {"raw", "plain"}) {
            progrun::result r = faxtool({"import", "-c", c, "-o", dir.file(form + c + ".fax"), dir.file(form + ".pbm")});
            ASSERT_EQ(r.status, 0) << form << " " << c << ": " << r.err;
        }
        EXPECT_EQ(progrun::read_file(dir.file("raw" + c + ".fax")), progrun::read_file(dir.file("plain" + c + ".fax"))) << c;
    }
}

// Cut and misplaced image data is called that, not "Read Error" or a byte
// count libtiff never got.
TEST(ImportStreams, CutImagesSayTheyAreCut)
{
    ASSERT_TRUE(have_tool("pbmmake", "netpbm"));
    progrun::temp_dir dir;
    progrun::result made = shell("pbmmake -gray 1728 400 | pnmtopng > whole.png && "
                                 "head -c $(($(wc -c < whole.png) / 2)) whole.png > cut.png",
                                 dir.path);
    ASSERT_EQ(made.status, 0) << made.err;
    progrun::write_file(dir.file("far.tif"), strip_tiff(1728, 4, 1000000000, 864, 864));
    progrun::write_file(dir.file("short.tif"), strip_tiff(1728, 4, 122, 864, 300));
    progrun::result r = faxtool({"import", "-o", dir.file("x.fax"), dir.file("cut.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.file("cut.png") + ": the PNG image is cut short\n");
    for (const std::string tif : {"far.tif", "short.tif"}) {
        r = faxtool({"import", "-o", dir.file("x.fax"), dir.file(tif)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "faxtool: " + dir.file(tif) + ": page 1: the image data is cut short or lies past the end of the file\n");
    }
    EXPECT_FALSE(progrun::file_exists(dir.file("x.fax")));
}

}  // namespace
