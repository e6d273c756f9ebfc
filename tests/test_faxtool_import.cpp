// faxtool import: pages made by netpbm and libtiff come back exactly through
// pelmorin and through libtiff's decoding of the coded pages.
#include <gtest/gtest.h>

#include "faxfile/fax_file.h"
#include "tests/faxtool_harness.h"
#include "tests/support/tiff_oracle.h"

namespace {

using namespace faxtooltest;

// The white rows each coding adds around a page's rows when the library's
// decoders read it: MH's opening EOL closes a white line and RTC's last five
// EOLs five more; MR's RTC adds four; MMR's EOFB one.
struct coding_case {
    std::string name;
    int compression;
    int before;
    int after;
};

const coding_case kCodings[] = {{"mh", 0, 1, 5}, {"mr", 1, 0, 4}, {"mmr", 3, 0, 1}};

// The images netpbm and libtiff make, and the pages each holds, read from
// netpbm's own PBM of the same picture.
struct source_case {
    std::string name;
    std::string make;       // shell commands writing `file` in the test's directory
    std::string file;
    std::string expected;   // PBM (multi-image) with the expected pages
};

const std::string kText = "pbmtext -builtin fixed 'Fax me, 1728' | pnmpad -white -left 7 -top 3 -right 40 -bottom 2";
const std::string kWide = "pbmtext -builtin fixed 'wide page' | pnmpad -white -left 3 -width 1728 -height 40";

std::vector<source_case> sources()
{
    return {
        {"PbmRawTwoImages", kText + " > a.pbm && " + kWide + " > b.pbm && cat a.pbm b.pbm > in.pbm", "in.pbm", "in.pbm"},
        {"PbmPlain", kText + " > e.pbm && pnmtopnm -plain e.pbm > in.pbm", "in.pbm", "e.pbm"},
        {"PngGrey1", kText + " > e.pbm && pnmtopng e.pbm > in.png", "in.png", "e.pbm"},
        {"PngRgb8", kText + " > e.pbm && ppmtoppm < e.pbm | pnmtopng -force > in.png", "in.png", "e.pbm"},
        {"PngInterlaced", kText + " > e.pbm && pnmtopng -interlace e.pbm > in.png", "in.png", "e.pbm"},
        // 16-bit grey from black to white: below half of full scale is black.
        {"PngGrey16Ramp", "pgmramp -lr 300 6 | pnmdepth 65535 > r.pgm && pnmtopng -force r.pgm > in.png && "
                          "pamthreshold -simple -threshold 0.5 r.pgm > e.pam && pamtopnm e.pam > e.pbm",
         "in.png", "e.pbm"},
        {"TiffG4AndLzwMinIsBlack", kText + " > a.pbm && " + kWide + " > b.pbm && cat a.pbm b.pbm > e.pbm && "
                                  "pnmtotiff -g4 a.pbm > a.tif && pnmtotiff -minisblack -lzw b.pbm > b.tif && "
                                  "tiffcp a.tif b.tif in.tif",
         "in.tif", "e.pbm"},
        {"TiffTiledG4", kText + " > e.pbm && pnmtotiff -none e.pbm > n.tif && tiffcp -t -w 32 -l 16 -c g4 n.tif in.tif",
         "in.tif", "e.pbm"},
    };
}

struct import_case {
    source_case source;
    coding_case coding;
};

std::vector<import_case> import_cases()
{
    std::vector<import_case> cases;
    for (const source_case &s : sources())
        for (const coding_case &c : kCodings)
            cases.push_back({s, c});
    return cases;
}

// The coded pages of a fax file, straight from the container.
std::vector<bytes> coded_pages(const bytes &file)
{
    std::vector<bytes> pages;
    fax_file_ptr fax(fax_file_open_memory(file.data(), file.size(), nullptr, nullptr));
    for (std::size_t i = 0; fax && i < fax->page_count; ++i)
        pages.emplace_back(fax->pages[i].data, fax->pages[i].data + fax->pages[i].length);
    return pages;
}

void PrintTo(const import_case &c, std::ostream *os)
{
    *os << c.source.name << "/" << c.coding.name;
}

class ImportRoundTrip : public ::testing::TestWithParam<import_case> {};

TEST_P(ImportRoundTrip, PelmorinAndLibtiffGiveThePagesBack)
{
    const source_case &source = GetParam().source;
    const coding_case &coding = GetParam().coding;
    ASSERT_TRUE(have_tool("pbmtext", "netpbm") && have_tool("tiffcp", "libtiff-tools"));
    progrun::temp_dir dir;
    progrun::result made = shell(source.make, dir.path);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<image> expected = parse_pbm(progrun::read_file(dir.file(source.expected)));
    ASSERT_FALSE(expected.empty());

    progrun::result r = faxtool({"import", "-c", coding.name, "-o", dir.file("out.fax"), dir.file(source.file)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");

    const std::vector<image> pages = pelmorin_pages(dir.file("out.fax"), dir);
    ASSERT_EQ(pages.size(), expected.size());
    const std::vector<bytes> coded = coded_pages(progrun::read_file(dir.file("out.fax")));
    ASSERT_EQ(coded.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const image rows = fax_rows(expected[i], coding.before, coding.after);
        EXPECT_TRUE(pages[i] == rows) << "pelmorin, page " << i + 1 << ": " << describe(pages[i], rows);
        testpages::page decoded;
        ASSERT_TRUE(tifforacle::tiff_decode(coded[i], coding.compression, testpages::kWidth, expected[i].height, decoded))
            << "libtiff refused page " << i + 1;
        const image plain = fax_rows(expected[i], 0, 0);
        EXPECT_TRUE(image_of(decoded) == plain) << "libtiff, page " << i + 1 << ": " << describe(image_of(decoded), plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, ImportRoundTrip, ::testing::ValuesIn(import_cases()), [](const auto &info) {
    return info.param.source.name + "_" + info.param.coding.name;
});

// Fax files keep the legacy start-of-line choice: a page with the pattern
// standard readers take otherwise still decodes exactly in pelmorin.
TEST(Import, LegacyPatternPageDecodesInPelmorin)
{
    page p{"pattern", {}};
    for (int i = 0; i < 30; ++i) {
        testpages::line reference = testpages::white_line(), coding = testpages::white_line();
        testpages::set_pixels(reference, 1 + i % 3, 4 + i);
        testpages::set_pixels(coding, 0, 3 + i % 5);
        p.lines.push_back(reference);
        p.lines.push_back(coding);
    }
    progrun::temp_dir dir;
    progrun::write_file(dir.file("p.pbm"), pbm_of({image_of(p)}));
    for (const coding_case &coding : kCodings) {
        progrun::result r = faxtool({"import", "-c", coding.name, "-o", dir.file("p.fax"), dir.file("p.pbm")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<image> pages = pelmorin_pages(dir.file("p.fax"), dir);
        ASSERT_EQ(pages.size(), 1u);
        const image rows = fax_rows(image_of(p), coding.before, coding.after);
        EXPECT_TRUE(pages[0] == rows) << coding.name << ": " << describe(pages[0], rows);
    }
}

TEST(Import, NormalResolutionHeader)
{
    progrun::temp_dir dir;
    progrun::write_file(dir.file("p.pbm"), pbm_of({image_of(testpages::text_page(20, 3))}));
    progrun::result r = faxtool({"import", "-r", "normal", "-c", "mr", "-o", dir.file("n.fax"), dir.file("p.pbm")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = faxtool({"info", "--json", dir.file("n.fax")});
    EXPECT_NE(r.out.find("[[\"RESOLUTION\", \"0\"], [\"COMPRESSION\", \"1\"], [\"#PAGES\", \"1\"]], \"pages_stated\": 1"),
              std::string::npos)
        << r.out;
    // pelmorin doubles the rows of a normal page at -2.
    const std::vector<image> pages = pelmorin_pages(dir.file("n.fax"), dir);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(undoubled(pages[0]) == fax_rows(image_of(testpages::text_page(20, 3)), 0, 4));
}

TEST(Import, RefusalsWriteNothing)
{
    progrun::temp_dir dir;
    const image wide{1729, 2, bytes(2 * 217, 0)};
    const image fine{8, 1, bytes{0x80}};
    progrun::write_file(dir.file("ok.pbm"), pbm_of({fine}));
    progrun::write_file(dir.file("wide.pbm"), pbm_of({fine, wide}));
    progrun::write_file(dir.file("junk.png"), bytes{'G', 'I', 'F', '8'});
    const bytes ok_before = progrun::read_file(dir.file("ok.pbm"));

    progrun::result r = faxtool({"import", "-o", dir.file("out.fax"), dir.file("ok.pbm"), dir.file("wide.pbm")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.file("wide.pbm") + ": page 2 is 1729 pixels wide; a fax page holds at most 1728\n");
    r = faxtool({"import", "-o", dir.file("out.fax"), dir.file("junk.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.file("junk.png") + ": not a PBM, PNG or TIFF image\n");
    r = faxtool({"import", "-o", dir.file("ok.pbm"), dir.file("ok.pbm")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.file("ok.pbm") + ": is an input; it is not written over\n");
    EXPECT_EQ(progrun::read_file(dir.file("ok.pbm")), ok_before);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"junk.png", "ok.pbm", "wide.pbm"}));
}

}  // namespace
