// faxtool export and info against independent readers: pelmorin's pages for
// the rows, netpbm, libtiff's tools, ghostscript, poppler and qpdf for the
// files written, and the failures that must leave no partial output.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;
using faxbuilder::bit_writer;

const std::string kExamples = EXAMPLES_DIR;

// A fine page where a 2-D line starts black below a line that is white at
// pixel 0 and black within pixels 1-3, the case standard readers take
// differently from the legacy coding of stored pages.
page b1_pattern_page()
{
    page p{"pattern", {}};
    for (int i = 0; i < 40; ++i) {
        testpages::line reference = testpages::white_line(), coding = testpages::white_line();
        testpages::set_pixels(reference, 1 + i % 3, 5 + i);
        testpages::set_pixels(reference, 300, 20);
        testpages::set_pixels(coding, 0, 2 + i % 7);
        testpages::set_pixels(coding, 100 + i, 9);
        p.lines.push_back(reference);
        p.lines.push_back(coding);
    }
    return p;
}

// An MH page the decoder has to work at: a bare EOL, a broken line it
// conceals, and runs at the end that no EOL closes.
bytes awkward_mh_page()
{
    bit_writer w;
    w.put_eol();
    for (int line = 0; line < 6; ++line) {
        w.put_run(100 + line, false);
        w.put_run(50, true);
        w.put_run(1728 - 150 - line, false);
        w.put_eol();
    }
    w.put_eol();
    w.put_run(100, false);
    w.put("0000000011");  // no code of either colour starts so
    w.put_eol();
    w.put_run(20, false);
    w.put_run(30, true);
    if (w.data.size() % 2 != 0)
        w.data.push_back(0);
    return w.data;
}

struct fixture_files {
    progrun::temp_dir dir;
    std::string fine_mh, awkward, normal_mh = kExamples + "/sample.fax";

    fixture_files()
    {
        fine_mh = dir.file("fine.fax");
        progrun::write_file(fine_mh, mh_fax({b1_pattern_page(), testpages::text_page(300, 7)}, 1));
        awkward = dir.file("awkward.fax");
        progrun::write_file(awkward, faxbuilder::fax_file("RESOLUTION:1\nCOMPRESSION:0\n", {awkward_mh_page()}));
    }
};

// The pages exported as PBM; a damaged file says so, with status 1.
std::vector<image> export_pbm(const std::string &fax, const progrun::temp_dir &dir,
                              const std::vector<std::string> &extra = {}, bool damaged = false)
{
    std::vector<std::string> args = {"export", "-o", dir.file("rows.pbm")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(fax);
    progrun::result r = faxtool(args);
    EXPECT_EQ(r.status, damaged ? 1 : 0) << r.err;
    EXPECT_EQ(r.err.empty(), !damaged) << r.err;
    return parse_pbm(progrun::read_file(dir.file("rows.pbm")));
}

// ---- rows: the decoder's, as pelmorin -2 writes them for fine pages ----------

struct rows_case {
    std::string name;
    std::string file;       // under examples/, or "" for the fixture's fine page
    bool normal;
    std::string recompress; // faxtool recompress to this coding first
    int opening = 0;        // decoder lines before the page's own rows
    int closing = 0;        // and after them, made only by end markers
};

// Rows [from, height - to) of an image.
image rows_within(const image &im, int from, int to)
{
    const std::size_t row_bytes = (im.width + 7) / 8;
    image out{im.width, im.height - from - to, {}};
    out.bits.assign(im.bits.begin() + static_cast<long>(from * row_bytes),
                    im.bits.end() - static_cast<long>(to * row_bytes));
    return out;
}

void PrintTo(const rows_case &c, std::ostream *os)
{
    *os << c.name;
}

class ExportRows : public ::testing::TestWithParam<rows_case> {};

TEST_P(ExportRows, EqualPelmorinPages)
{
    fixture_files files;
    std::string fax = GetParam().file == "fine" ? files.fine_mh
                      : GetParam().file == "awkward" ? files.awkward
                                                     : kExamples + "/" + GetParam().file;
    if (!GetParam().recompress.empty()) {
        const std::string copy = files.dir.file("copy.fax");
        progrun::write_file(copy, progrun::read_file(fax));
        progrun::result r = faxtool({"recompress", "-c", GetParam().recompress, copy});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        fax = copy;
    }
    std::vector<image> reference = pelmorin_pages(fax, files.dir);
    const bool damaged = GetParam().file == "awkward";
    std::vector<image> rows = export_pbm(fax, files.dir, {"--decoder-lines"}, damaged);
    std::vector<image> stretched = export_pbm(fax, files.dir, {"--stretch", "--decoder-lines"}, damaged);
    std::vector<image> own = export_pbm(fax, files.dir, {}, damaged);
    std::vector<image> own_stretched = export_pbm(fax, files.dir, {"--stretch"}, damaged);
    ASSERT_FALSE(reference.empty());
    ASSERT_EQ(rows.size(), reference.size());
    ASSERT_EQ(stretched.size(), reference.size());
    ASSERT_EQ(own.size(), reference.size());
    ASSERT_EQ(own_stretched.size(), reference.size());
    const int doubling = GetParam().normal ? 2 : 1;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const image expected = GetParam().normal ? undoubled(reference[i]) : reference[i];
        EXPECT_TRUE(rows[i] == expected) << "page " << i + 1 << ": " << describe(rows[i], expected);
        // Stretching doubles normal pages just as pelmorin does, and leaves fine ones.
        EXPECT_TRUE(stretched[i] == reference[i]) << "page " << i + 1 << ": " << describe(stretched[i], reference[i]);
        // By default the lines that only the end markers make are left out.
        const image trimmed = rows_within(expected, GetParam().opening, GetParam().closing);
        EXPECT_TRUE(own[i] == trimmed) << "page " << i + 1 << ": " << describe(own[i], trimmed);
        const image trimmed_stretched =
            rows_within(reference[i], GetParam().opening * doubling, GetParam().closing * doubling);
        EXPECT_TRUE(own_stretched[i] == trimmed_stretched)
            << "page " << i + 1 << ": " << describe(own_stretched[i], trimmed_stretched);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ExportRows,
                         ::testing::Values(rows_case{"NormalMH", "sample.fax", true, "", 1, 5},
                                           rows_case{"NormalMR", "sample_mr.fax", true, "", 0, 4},
                                           rows_case{"NormalMMR", "sample_mmr.fax", true, "", 0, 1},
                                           rows_case{"FineMH", "fine", false, "", 1, 5},
                                           // Recompression codes every decoder line.
                                           rows_case{"FineToMR", "fine", false, "mr", 0, 0},
                                           rows_case{"FineToMMR", "fine", false, "mmr", 0, 1},
                                           // The runs at the end that no EOL closes make no row.
                                           rows_case{"Awkward", "awkward", false, "", 1, 0}),
                         [](const auto &info) { return info.param.name; });

// Recompressing to MMR adds the one white line that EOFB reports, nothing else.
TEST(ExportRows, MmrPageIsOneWhiteLineTaller)
{
    progrun::temp_dir dir;
    const std::string fax = dir.file("s.fax");
    progrun::write_file(fax, progrun::read_file(kExamples + "/sample.fax"));
    std::vector<image> before = export_pbm(fax, dir, {"--decoder-lines"});
    progrun::result r = faxtool({"recompress", "-c", "mmr", fax});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fax + ": MH to MMR\n");
    std::vector<image> after = export_pbm(fax, dir, {"--decoder-lines"});
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        image expected = before[i];
        expected.height += 1;
        expected.bits.resize(expected.bits.size() + testpages::kLineBytes, 0);
        EXPECT_TRUE(after[i] == expected) << describe(after[i], expected);
    }
}

// Exported pages imported again, in every format import reads and every
// coding, keep their rows however often they go round.
TEST(ExportRows, RoundTripsKeepThePageSize)
{
    fixture_files files;
    for (const std::string &fax : {files.normal_mh, files.fine_mh, kExamples + "/sample_mmr.fax"}) {
        const std::vector<image> first = export_pbm(fax, files.dir);
        ASSERT_EQ(first.size(), 2u);
        for (const char *type : {"pbm", "png", "tiff"})
            for (const char *coding : {"mh", "mr", "mmr"}) {
                std::string current = fax;
                for (int round = 1; round <= 2; ++round) {
                    const std::string out = files.dir.file(std::string("round.") + type);
                    progrun::result r = faxtool({"export", "-t", type, "-o", out, current});
                    ASSERT_EQ(r.status, 0) << r.err;
                    std::vector<std::string> import = {"import", "-c", coding, "-o", files.dir.file("round.fax")};
                    if (type == std::string("png"))
                        import.insert(import.end(), {files.dir.file("round-1.png"), files.dir.file("round-2.png")});
                    else
                        import.push_back(out);
                    r = faxtool(import);
                    ASSERT_EQ(r.status, 0) << r.err;
                    current = files.dir.file("round.fax");
                    const std::vector<image> again = export_pbm(current, files.dir);
                    ASSERT_EQ(again.size(), first.size());
                    for (std::size_t i = 0; i < first.size(); ++i)
                        EXPECT_TRUE(again[i] == first[i]) << fax << " via " << type << ", " << coding << ", round "
                                                          << round << ", page " << i + 1 << ": "
                                                          << describe(again[i], first[i]);
                }
            }
    }
}

// ---- every format through real readers ---------------------------------------

uint32_t be32_at(const bytes &b, std::size_t at)
{
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// pHYs of a PNG file, in dots per metre.
std::pair<uint32_t, uint32_t> png_phys(const bytes &png)
{
    const std::string data(png.begin(), png.end());
    const std::size_t at = data.find("pHYs");
    if (at == std::string::npos || at + 13 > png.size())
        return {0, 0};
    return {be32_at(png, at + 4), be32_at(png, at + 8)};
}

std::vector<image> pbm_from(const std::string &command, const progrun::temp_dir &dir)
{
    progrun::result r = shell(command, dir.path);
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
    return parse_pbm(progrun::read_file(dir.file("decoded.pbm")));
}

void expect_same_pages(const std::vector<image> &got, const std::vector<image> &expected, const std::string &reader)
{
    ASSERT_EQ(got.size(), expected.size()) << reader;
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(got[i] == expected[i]) << reader << ", page " << i + 1 << ": " << describe(got[i], expected[i]);
}

void check_png(const std::string &fax, const std::vector<image> &rows, int y_dpi, const progrun::temp_dir &dir)
{
    ASSERT_TRUE(have_tool("pngtopnm", "netpbm"));
    progrun::result r = faxtool({"export", "-t", "png", "-o", dir.file("page"), fax});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<image> decoded;
    for (std::size_t n = 1; n <= rows.size(); ++n) {
        const std::string name = "page-" + std::to_string(n) + ".png";
        const auto [x, y] = png_phys(progrun::read_file(dir.file(name)));
        EXPECT_EQ(x, 8031u) << name;  // 204 dpi
        EXPECT_EQ(y, y_dpi == 98 ? 3858u : 7717u) << name;
        for (const image &im : pbm_from("pngtopnm " + name + " > decoded.pbm", dir))
            decoded.push_back(im);
    }
    expect_same_pages(decoded, rows, "pngtopnm");
}

void check_tiff(const std::string &fax, const std::vector<image> &rows, int y_dpi, const progrun::temp_dir &dir)
{
    ASSERT_TRUE(have_tool("tifftopnm", "netpbm") && have_tool("tiffinfo", "libtiff-tools") &&
                have_tool("tiffcp", "libtiff-tools"));
    progrun::result r = faxtool({"export", "-o", dir.file("pages.tiff"), fax});
    ASSERT_EQ(r.status, 0) << r.err;
    progrun::result info = shell("tiffinfo pages.tiff", dir.path);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    const std::string resolution = "Resolution: 204, " + std::to_string(y_dpi) + " pixels/inch";
    for (const char *field : {"CCITT Group 4", "min-is-white", resolution.c_str()})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << " in\n" << info.out;
    expect_same_pages(pbm_from("tifftopnm pages.tiff > decoded.pbm 2>/dev/null", dir), rows, "tifftopnm");
    // tiffcp decodes each strip with libtiff's own codec to write it plain.
    expect_same_pages(pbm_from("tiffcp -c none pages.tiff plain.tif && tifftopnm plain.tif > decoded.pbm 2>/dev/null",
                               dir),
                      rows, "tiffcp");
}

void check_pdf(const std::string &fax, const std::vector<image> &rows, int y_dpi, const progrun::temp_dir &dir)
{
    ASSERT_TRUE(have_tool("qpdf", "qpdf") && have_tool("gs", "ghostscript") && have_tool("pdfimages", "poppler-utils"));
    progrun::result r = faxtool({"export", "-o", dir.file("pages.pdf"), fax});
    ASSERT_EQ(r.status, 0) << r.err;
    progrun::result check = shell("qpdf --check pages.pdf", dir.path);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    // The embedded image, as poppler's own decoder gives it.
    shell("pdfimages pages.pdf img", dir.path);
    std::vector<image> extracted;
    for (std::size_t n = 0; n < rows.size(); ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "img-%03zu.pbm", n);
        for (const image &im : parse_pbm(progrun::read_file(dir.file(name))))
            extracted.push_back(im);
    }
    expect_same_pages(extracted, rows, "pdfimages");
    // Rendered at the page's own resolution, every pixel lands on its own.
    const std::string gs = "gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=pbmraw -r204x" + std::to_string(y_dpi) +
                           " -sOutputFile=render-%d.pbm pages.pdf";
    progrun::result rendered = shell(gs, dir.path);
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    std::vector<image> pages;
    for (std::size_t n = 1; n <= rows.size(); ++n)
        for (const image &im : parse_pbm(progrun::read_file(dir.file("render-" + std::to_string(n) + ".pbm"))))
            pages.push_back(im);
    expect_same_pages(pages, rows, "ghostscript");
}

struct reader_case {
    std::string name;
    void (*check)(const std::string &, const std::vector<image> &, int, const progrun::temp_dir &);
};

void PrintTo(const reader_case &c, std::ostream *os)
{
    *os << c.name;
}

class ExportReaders : public ::testing::TestWithParam<reader_case> {};

TEST_P(ExportReaders, DecodeTheRowsExactly)
{
    fixture_files files;
    for (const auto &[fax, y_dpi] : {std::pair{files.fine_mh, 196}, std::pair{files.normal_mh, 98}}) {
        SCOPED_TRACE(fax);
        std::vector<image> rows = export_pbm(fax, files.dir);
        GetParam().check(fax, rows, y_dpi, files.dir);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ExportReaders,
                         ::testing::Values(reader_case{"Png", check_png}, reader_case{"Tiff", check_tiff},
                                           reader_case{"Pdf", check_pdf}),
                         [](const auto &info) { return info.param.name; });

// The pattern page reaches the readers as drawn, not as the legacy coding
// would have a standard reader see it.
TEST(ExportReaders, StartOfLinePatternSurvives)
{
    fixture_files files;
    const page pattern = b1_pattern_page();
    bool has_pattern = false;
    for (std::size_t i = 1; i < pattern.lines.size(); ++i)
        has_pattern = has_pattern || testpages::has_legacy_b1_pattern(pattern.lines[i - 1], pattern.lines[i]);
    ASSERT_TRUE(has_pattern);
    // The white rows that the MH builder's opening EOL and RTC make are not the page's.
    const image drawn = fax_rows(image_of(pattern), 0, 0);
    std::vector<image> rows = export_pbm(files.fine_mh, files.dir, {"-p", "1"});
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0] == drawn) << describe(rows[0], drawn);
    check_tiff(files.fine_mh, export_pbm(files.fine_mh, files.dir), 196, files.dir);
    check_pdf(files.fine_mh, export_pbm(files.fine_mh, files.dir), 196, files.dir);
}

// ---- pages, damage and the command line ------------------------------------

TEST(ExportPages, AscendingOnceAndMissingReported)
{
    progrun::temp_dir dir;
    const std::string fax = kExamples + "/sample.fax";
    std::vector<image> all = export_pbm(fax, dir);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(export_pbm(fax, dir, {"-p", "2,1-2,2"}), all);

    progrun::result r = faxtool({"export", "-p", "9,2", "-o", dir.file("p"), fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + fax + ": no page 9\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"p-2.png", "rows.pbm"}));

    r = faxtool({"export", "-p", "2", "-o", "-", fax});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(parse_pbm(bytes(r.out.begin(), r.out.end())), std::vector<image>{all[1]});
}

TEST(ExportPages, DamagedFileGivesThePagesItCan)
{
    progrun::temp_dir dir;
    bytes data = progrun::read_file(kExamples + "/sample.fax");
    data.resize(data.size() - 3000);  // into page 2
    const std::string fax = dir.file("cut.fax");
    progrun::write_file(fax, data);
    const std::vector<image> reference = pelmorin_pages(fax, dir);
    ASSERT_EQ(reference.size(), 1u);

    progrun::result r = faxtool({"export", "--decoder-lines", "-o", dir.file("cut.pbm"), fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + fax + ": page 2 is cut short: 12510 of its 15510 bytes are there\n");
    std::vector<image> pages = parse_pbm(progrun::read_file(dir.file("cut.pbm")));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0] == undoubled(reference[0]));

    r = faxtool({"info", "--json", fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"file\": \"" + fax +
                         "\", \"attributes\": [[\"RESOLUTION\", \"0\"], [\"COMPRESSION\", \"0\"], [\"#PAGES\", \"2\"]], "
                         "\"pages_stated\": 2, \"resolution\": 0, \"compression\": 0, \"pages\": [{\"bytes\": 8970, "
                         "\"lines\": 1106, \"concealed\": 0, \"clean\": true}]}\n");
    EXPECT_EQ(r.err, "faxtool: " + fax + ": page 2 is cut short: 12510 of its 15510 bytes are there\n");

    progrun::write_file(fax, faxtooltest::bytes{'n', 'o', 'p', 'e', 0, 0, 0, 1});
    r = faxtool({"info", fax, kExamples + "/sample_mmr.fax"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + fax + ": Bad fax file: Bad Magic Number\n");
    EXPECT_NE(r.out.find("page 2: 4132 bytes, 1101 lines, 0 concealed, clean"), std::string::npos) << r.out;
}

TEST(ExportPages, DamagedPagesAreReportedAndStillExported)
{
    progrun::temp_dir dir;
    const std::string fax = dir.file("hurt.fax");
    bytes data = progrun::read_file(kExamples + "/sample.fax");
    for (std::size_t i = 300; i < 2000; ++i)  // noise inside page 1
        data[i] = static_cast<uint8_t>(i * 37);
    // Page 2 ends inside a line: its last 200 bytes (RTC and all) are zeros.
    std::fill(data.end() - 200, data.end(), 0);
    progrun::write_file(fax, data);
    const std::string said = "faxtool: " + fax + ": page 1: 1 line concealed, not clean\n" +
                             "faxtool: " + fax + ": page 2: not clean\n";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"info", fax}, {"info", "--json", fax}, {"export", "-o", dir.file("x.pbm"), fax}}) {
        progrun::result r = faxtool(args);
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_EQ(r.err, said) << args[1];
    }
    EXPECT_EQ(parse_pbm(progrun::read_file(dir.file("x.pbm"))).size(), 2u);
}

// Recompressed pages end after their last line, without RTC or EOFB.
TEST(ExportPages, RecompressedPagesReadClean)
{
    progrun::temp_dir dir;
    for (const char *source : {"sample.fax", "sample_mmr.fax"})
        for (const char *coding : {"mh", "mr", "mmr"}) {
            const std::string fax = dir.file("r.fax");
            progrun::write_file(fax, progrun::read_file(kExamples + "/" + source));
            ASSERT_EQ(faxtool({"recompress", "-c", coding, fax}).status, 0);
            const progrun::result r = faxtool({"info", fax});
            EXPECT_EQ(r.status, 0) << source << " to " << coding << ": " << r.err;
            EXPECT_EQ(r.out.find("not clean"), std::string::npos) << source << " to " << coding << ": " << r.out;
        }
}

TEST(ExportPages, PipesAndFifosAreReadOnce)
{
    progrun::temp_dir dir;
    const std::string fax = kExamples + "/sample.fax";
    const progrun::result direct = faxtool({"info", fax});
    const progrun::result exported = faxtool({"export", "-o", "-", fax});
    ASSERT_EQ(direct.status, 0) << direct.err;
    const std::string tool = FAXTOOL_PATH;
    progrun::result r = shell("cat " + fax + " | " + tool + " info /dev/stdin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/dev/stdin" + direct.out.substr(fax.size()));
    r = shell("mkfifo f && (cat " + fax + " > f &) && " + tool + " export -o - f", dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == exported.out) << r.err;
}

// An output path that is a link is written through: the file it names gets
// the pages and the link stays, whether it is the user's own link or
// /dev/stdout into a redirected file. A link to nothing is refused.
TEST(ExportPages, LinksAreWrittenThrough)
{
    namespace fs = std::filesystem;
    progrun::temp_dir dir;
    const std::string fax = kExamples + "/sample.fax";
    ASSERT_EQ(faxtool({"export", "-o", dir.file("direct.pdf"), fax}).status, 0);
    const bytes expected = progrun::read_file(dir.file("direct.pdf"));
    fs::create_directory(dir.file("real"));
    progrun::write_file(dir.file("real/out.pdf"), bytes{'o', 'l', 'd'});
    fs::create_symlink("real/out.pdf", dir.file("link.pdf"));
    progrun::result r = faxtool({"export", "-o", dir.file("link.pdf"), fax});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir.file("link.pdf")));
    EXPECT_EQ(progrun::read_file(dir.file("real/out.pdf")), expected);
    EXPECT_EQ(shell("ls -A real", dir.path).out, "out.pdf\n");
    // The descriptor's own link, as /dev/stdout is one, into a file.
    r = shell(std::string(FAXTOOL_PATH) + " export -t pdf -o /proc/self/fd/1 " + fax + " > redirected.pdf", dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(progrun::read_file(dir.file("redirected.pdf")), expected);
    fs::create_symlink("missing/out.pdf", dir.file("dangling.pdf"));
    r = faxtool({"export", "-o", dir.file("dangling.pdf"), fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot follow the link"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir.file("dangling.pdf")));
    EXPECT_FALSE(fs::exists(dir.file("missing")));
}

TEST(ExportPages, LoadFailuresSayWhatIsWrong)
{
    progrun::temp_dir dir;
    const bytes sample = progrun::read_file(kExamples + "/sample.fax");
    const std::size_t header_end = 8 + be32_at(sample, 4);
    auto write = [&](const std::string &name, bytes data) {
        progrun::write_file(dir.file(name), data);
        return dir.file(name);
    };
    bytes huge_header(sample.begin(), sample.begin() + 8);
    std::fill(huge_header.begin() + 4, huge_header.end(), 0xFF);
    bytes one_stray = sample, two_stray(sample.begin(), sample.begin() + static_cast<long>(header_end));
    one_stray.push_back('x');
    two_stray.insert(two_stray.end(), {'a', 'b'});
    struct load_case {
        std::string file;
        std::string said;
    };
    for (const load_case &c : std::vector<load_case>{
             {write("huge.fax", huge_header),
              "Bad fax file: the header length 4294967295 goes beyond the end of the file (8 bytes)"},
             {write("one.fax", one_stray), "1 stray byte after page 2"},
             {write("two.fax", two_stray), "2 stray bytes after the header"}}) {
        for (const char *command : {"info", "export"}) {
            progrun::result r = faxtool({command, "-o", dir.file("out.pbm"), c.file});
            if (command == std::string("info"))
                r = faxtool({command, c.file});
            EXPECT_EQ(r.status, 1) << command << " " << c.file;
            EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "faxtool: " + c.file + ": " + c.said + "\n")
                << command;
        }
    }
    // A directory is walked: what is wrong is said of the files in it.
    progrun::result r = faxtool({"info", dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "faxtool: " + dir.file("huge.fax") +
                  ": Bad fax file: the header length 4294967295 goes beyond the end of the file (8 bytes)\n");
    // An extension that names no format is not taken for PNG.
    r = faxtool({"export", "-o", dir.file("x.jpg"), kExamples + "/sample.fax"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown extension '.jpg'"), std::string::npos) << r.err;
    for (const std::string &name : dir.entries())
        EXPECT_EQ(name.rfind("x.jpg", 0), std::string::npos) << name;
}

TEST(ExportPages, InfoShowsAFileWithoutPageCount)
{
    progrun::temp_dir dir;
    const std::string fax = dir.file("a\"b.fax");
    page p{"three", {testpages::white_line(), testpages::white_line(), testpages::white_line()}};
    testpages::set_pixels(p.lines[1], 10, 20);
    const bytes coded = faxbuilder::mh_page(p, true);
    progrun::write_file(fax, faxbuilder::fax_file("SENDER:caf\xe9\nRESOLUTION:1\nCOMPRESSION:0\n", {coded}));
    progrun::result r = faxtool({"info", "--json", fax});
    EXPECT_EQ(r.status, 0) << r.err;
    // The opening EOL and the five more of RTC each close a white line.
    EXPECT_EQ(r.out, "{\"file\": \"" + dir.path +
                         "/a\\\"b.fax\", \"attributes\": [[\"SENDER\", \"caf\\u00e9\"], [\"RESOLUTION\", \"1\"], "
                         "[\"COMPRESSION\", \"0\"]], \"pages_stated\": null, \"resolution\": 1, \"compression\": 0, "
                         "\"pages\": [{\"bytes\": " +
                         std::to_string(coded.size()) + ", \"lines\": 9, \"concealed\": 0, \"clean\": true}]}\n");
}

TEST(CommandLine, UsageErrorsAndHelp)
{
    const std::string fax = kExamples + "/sample.fax";
    struct usage_case {
        std::vector<std::string> args;
        std::string first_line;
    };
    for (const usage_case &c : std::vector<usage_case>{
             {{}, "faxtool: missing command"},
             {{"frob"}, "faxtool: unknown command 'frob'"},
             {{"recompress", fax}, "faxtool: recompress: missing -c mh|mr|mmr"},
             {{"export", "-x", fax}, "faxtool: export: unknown option '-x'"},
             {{"export", "-t", "gif", fax}, "faxtool: export: unknown type 'gif'"},
             {{"export", "-p", "3-1", fax}, "faxtool: export: bad page list '3-1'"},
             {{"export", "-o", "-", "-t", "pdf", fax}, "faxtool: export: only pbm goes to standard output"},
             {{"import", "x.pbm"}, "faxtool: import: missing -o OUT"},
             {{"info", "--json"}, "faxtool: info: missing operand"},
             {{"import", "-c"}, "faxtool: import: option '-c' needs a value"}}) {
        progrun::result r = faxtool(c.args);
        EXPECT_EQ(r.status, 2) << c.first_line;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.first_line);
        EXPECT_EQ(r.out, "");
    }
    for (const char *command : {"info", "export", "import", "recompress"}) {
        progrun::result r = faxtool({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("Usage: faxtool ") + command, 0), 0u) << r.out;
    }
    EXPECT_EQ(faxtool({"--version"}).out.rfind("faxtool ", 0), 0u);
}

// ---- failed outputs leave nothing behind ----------------------------------------

struct failure_case {
    std::string name;
    std::string type;
    std::string how;  // "unwritable", "fsize", "devfull"
};

void PrintTo(const failure_case &c, std::ostream *os)
{
    *os << c.name;
}

class ExportFailure : public ::testing::TestWithParam<failure_case> {};

TEST_P(ExportFailure, LeavesNoPartialFile)
{
    const failure_case &c = GetParam();
    progrun::temp_dir dir;
    const std::string fax = dir.file("in.fax");
    progrun::write_file(fax, progrun::read_file(kExamples + "/sample.fax"));
    const std::string out_dir = dir.file("out");
    ASSERT_EQ(mkdir(out_dir.c_str(), 0755), 0);
    // The existing file an output would replace must stay as it was.
    const std::string out = out_dir + "/pages", existing = c.type == "png" ? out + "-1.png" : out;
    progrun::write_file(existing, faxtooltest::bytes{'o', 'l', 'd'});
    std::string command = std::string(FAXTOOL_PATH) + " export -t " + c.type + " -o " +
                          (c.how == "devfull" ? std::string("/dev/full") : out) + " " + fax;
    if (c.how == "fsize") {
        command = "ulimit -f 1; exec " + command;
    } else if (c.how == "unwritable") {
        ASSERT_EQ(chmod(out_dir.c_str(), 0555), 0);
        // The superuser writes anywhere: the export runs as nobody instead.
        if (geteuid() == 0) {
            ASSERT_TRUE(have_tool("setpriv", "util-linux"));
            chmod(dir.path.c_str(), 0755);
            command = "setpriv --reuid=65534 --regid=65534 --clear-groups " + command;
        }
    }
    progrun::result r = shell(command);
    chmod(out_dir.c_str(), 0755);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("faxtool: "), std::string::npos);
    if (c.how == "devfull") {
        EXPECT_EQ(shell("ls -a /dev | grep -c '^\\.full'").out, "0\n") << "temporary file left in /dev";
        return;
    }
    EXPECT_EQ(progrun::read_file(existing), (faxtooltest::bytes{'o', 'l', 'd'}));
    progrun::result listing = shell("ls -A " + out_dir);
    EXPECT_EQ(listing.out, (c.type == "png" ? "pages-1.png\n" : "pages\n"));
}

std::vector<failure_case> failure_cases()
{
    std::vector<failure_case> cases;
    for (const char *type : {"png", "tiff", "pdf", "pbm"})
        for (const char *how : {"unwritable", "fsize"})
            cases.push_back({std::string(type) + (how[0] == 'u' ? "Unwritable" : "FileSizeLimit"), type, how});
    for (const char *type : {"tiff", "pdf", "pbm"})
        cases.push_back({std::string(type) + "DevFull", type, "devfull"});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Outputs, ExportFailure, ::testing::ValuesIn(failure_cases()),
                         [](const auto &info) { return info.param.name; });

}  // namespace
