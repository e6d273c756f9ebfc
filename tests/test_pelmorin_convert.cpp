// The whole conversion through the program: fax files built here, page
// files read back as Sun rasters and compared with the rows the resolution
// table asks for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "driver/pelmorin.h"
#include "faxfile/fax_file.h"
#include "tests/support/fax_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

using faxbuilder::bytes;
using testpages::line;
using testpages::page;

struct raster {
    uint32_t magic = 0, width = 0, height = 0, depth = 0, length = 0, type = 0, map_type = 0, map_length = 0;
    bytes rows;
};

uint32_t le32(const bytes &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Reads the file without the raster module, so the test checks the bytes.
bool load_raster(const std::string &path, raster &r)
{
    bytes b = progrun::read_file(path);
    if (b.size() < 32)
        return false;
    uint32_t *fields[] = {&r.magic, &r.width, &r.height, &r.depth, &r.length, &r.type, &r.map_type, &r.map_length};
    for (size_t i = 0; i < 8; ++i)
        *fields[i] = le32(b, 4 * i);
    r.rows.assign(b.begin() + 32, b.end());
    return true;
}

// The rows of a page as the resolution table paints them: pair-swapped bytes.
// With a scramble seed every line is rotated left by its key shift.
bytes render(const std::vector<line> &lines, int out_res, int in_res, int32_t seed = 0)
{
    const bool high = out_res == 2, normal = in_res == 0;
    const size_t row_bytes = high ? 216 : 108;
    const size_t n = lines.size();
    const size_t height = high ? (normal ? 2 * n : n) : (normal ? n : n / 2);
    bytes rows(height * row_bytes, 0);
    auto set = [&](size_t row, int p) {
        if (row < height)
            rows[row * row_bytes + ((p / 8) ^ 1)] |= static_cast<uint8_t>(0x80 >> (p % 8));
    };
    for (size_t l = 0; l < n; ++l) {
        const int shift = seed != 0 ? scramble_line_shift(static_cast<int64_t>(l), seed) : 0;
        for (int x0 = 0; x0 < testpages::kWidth; ++x0) {
            if (!testpages::pixel(lines[l], x0))
                continue;
            const int x = (x0 - shift + testpages::kWidth) % testpages::kWidth;
            if (!high)
                set(normal ? l : l / 2, x / 2);
            else if (normal) {
                set(2 * l, x);
                set(2 * l + 1, x);
            } else
                set(l, x);
        }
    }
    return rows;
}

// What the MH decoder reports for mh_page(p, rtc): the opening EOL ends an
// all-white line, and each further EOL of the RTC another one.
std::vector<line> decoded_lines(const page &p, bool rtc)
{
    std::vector<line> lines{testpages::white_line()};
    lines.insert(lines.end(), p.lines.begin(), p.lines.end());
    for (int i = 0; rtc && i < 5; ++i)
        lines.push_back(testpages::white_line());
    return lines;
}

std::string header(const std::string &resolution, const std::string &compression = "0")
{
    std::string text;
    if (!resolution.empty())
        text += "RESOLUTION:" + resolution + "\n";
    if (!compression.empty())
        text += "COMPRESSION:" + compression + "\n";
    return text + "#PAGES:1\n";
}

page pattern_page(int lines, uint32_t seed)
{
    page p = testpages::text_page(lines, seed);
    p.lines[3] = testpages::worst_case_page().lines[0];  // alternating pixels, starting black
    return p;
}

class Convert : public ::testing::Test {
protected:
    progrun::temp_dir dir;

    progrun::result run(const std::vector<std::string> &args) { return progrun::run(PELMORIN_PATH, args, dir.path); }
    void put(const std::string &name, const bytes &b) { progrun::write_file(dir.file(name), b); }
    raster page_file(const std::string &name)
    {
        raster r;
        EXPECT_TRUE(load_raster(dir.file(name), r)) << name;
        return r;
    }
};

// --- the test helpers' own MH --------------------------------------------------

TEST(FaxBuilder, WritesMhBitsFirstBitFirst)
{
    faxbuilder::bit_writer w;
    w.put_eol();
    w.put_run(0, false);
    w.put_run(1728, true);
    w.put_eol();
    EXPECT_EQ(w.data, (bytes{0x00, 0xC8, 0x0A, 0x4C, 0x61, 0x07, 0x40}));
}

// --- page files and their pixels ---------------------------------------------------

TEST_F(Convert, ThreePagesBecomeStemOneToThree)
{
    std::vector<bytes> pages;
    for (int i = 0; i < 3; ++i)
        pages.push_back(faxbuilder::mh_page(pattern_page(20 + i, i), true));
    put("in.fax", faxbuilder::fax_file(header("0"), pages));
    progrun::result r = run({"in.fax", "p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.fax", "p1", "p2", "p3"}));
    for (int i = 0; i < 3; ++i) {
        raster ras = page_file("p" + std::to_string(i + 1));
        EXPECT_EQ(ras.height, 20u + i + 6);
        EXPECT_EQ(ras.rows, render(decoded_lines(pattern_page(20 + i, i), true), 1, 0));
    }
}

// Only a page file that holds bytes is emptied first (emptying an empty one
// costs a flush on close on some file systems); a longer old file must
// still lose its tail.
TEST_F(Convert, OldLongerPageFileIsCutToTheNewPage)
{
    put("in.fax", faxbuilder::fax_file(header("0"), {faxbuilder::mh_page(pattern_page(20, 1), true)}));
    ASSERT_EQ(run({"in.fax", "p"}).status, 0);
    const bytes fresh = progrun::read_file(dir.file("p1"));
    put("p1", bytes(fresh.size() * 3, 0xA5));
    ASSERT_EQ(run({"in.fax", "p"}).status, 0);
    EXPECT_EQ(progrun::read_file(dir.file("p1")), fresh);
}

struct resolution_case {
    const char *name;
    std::string resolution_text;  // "" leaves RESOLUTION out
    int input_resolution;          // what the header means
    int output_resolution;
    std::string out;               // standard output of the run
};

class ConvertResolutions : public Convert, public ::testing::WithParamInterface<resolution_case> {};

TEST_P(ConvertResolutions, RowsAndSizeFollowTheTable)
{
    const resolution_case &c = GetParam();
    page p = pattern_page(41, 7);  // odd count: merged pairs leave one line over
    put("in.fax", faxbuilder::fax_file(header(c.resolution_text), {faxbuilder::mh_page(p)}));
    progrun::result r = run({"-" + std::to_string(c.output_resolution), "in.fax", "p"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    raster ras = page_file("p1");
    std::vector<line> lines = decoded_lines(p, false);
    bytes expect = render(lines, c.output_resolution, c.input_resolution);
    const uint32_t row_bytes = c.output_resolution == 2 ? 216 : 108;
    EXPECT_EQ(ras.magic, 0x59A66A95u);
    EXPECT_EQ(ras.width, c.output_resolution == 2 ? 1728u : 864u);
    EXPECT_EQ(ras.height, expect.size() / row_bytes);
    EXPECT_EQ(ras.depth, 1u);
    EXPECT_EQ(ras.length, expect.size());
    EXPECT_EQ(ras.type, 1u);
    EXPECT_EQ(ras.map_type, 0u);
    EXPECT_EQ(ras.map_length, 0u);
    EXPECT_EQ(ras.rows, expect);
}

const std::string kNoResolution = "WARNING: No RESOLUTION value in header\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertResolutions,
    ::testing::Values(resolution_case{"NormalLow", "0", 0, 1, ""}, resolution_case{"NormalHigh", "0", 0, 2, ""},
                      resolution_case{"FineLow", "1", 1, 1, ""}, resolution_case{"FineHigh", "1", 1, 2, ""},
                      resolution_case{"R300Low", "3", 2, 1, ""}, resolution_case{"R300High", "3", 2, 2, ""},
                      resolution_case{"R400Low", "4", 3, 1, ""}, resolution_case{"R600Low", "5", 4, 1, ""},
                      resolution_case{"R600High", "5", 4, 2, ""},
                      resolution_case{"MissingLow", "", -1, 1, kNoResolution},
                      resolution_case{"MissingHigh", "", -1, 2, kNoResolution},
                      resolution_case{"InvalidLow", "2", -1, 1,
                                      "WARNING: Invalid RESOLUTION value in header: [2]\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Convert, RowsKeepThePairSwappedByteOrder)
{
    line l = testpages::white_line();
    testpages::set_pixels(l, 0, 8);
    testpages::set_pixels(l, 1720, 8);
    put("in.fax", faxbuilder::fax_file(header("1"), {faxbuilder::mh_page(page{"", {l}})}));
    ASSERT_EQ(run({"-2", "in.fax", "p"}).status, 0);
    raster ras = page_file("p1");
    ASSERT_EQ(ras.rows.size(), 2u * 216);
    bytes row(ras.rows.begin() + 216, ras.rows.end());
    bytes expect(216, 0);
    expect[1] = 0xFF;    // pixels 0-7
    expect[214] = 0xFF;  // pixels 1720-1727 live in byte 215 XOR 1
    EXPECT_EQ(row, expect);
}

TEST_F(Convert, LongPageGrowsPastTheFirstBitmap)
{
    // 3000 normal lines at -2 are 6002 rows, beyond the 4800 of the first bitmap.
    page p{"long", std::vector<line>(3000, testpages::white_line())};
    for (int l = 0; l < 3000; l += 250)
        testpages::set_pixels(p.lines[l], l % 1700, 20);
    testpages::set_pixels(p.lines.back(), 0, 1728);
    put("in.fax", faxbuilder::fax_file(header("0"), {faxbuilder::mh_page(p)}));
    ASSERT_EQ(run({"-2", "in.fax", "p"}).status, 0);
    raster ras = page_file("p1");
    EXPECT_EQ(ras.height, 6002u);
    EXPECT_EQ(ras.rows, render(decoded_lines(p, false), 2, 0));
}

// --- the compression attribute --------------------------------------------------------

TEST_F(Convert, MissingCompressionMeansMh)
{
    page p = pattern_page(10, 3);
    put("in.fax", faxbuilder::fax_file(header("0", ""), {faxbuilder::mh_page(p)}));
    ASSERT_EQ(run({"in.fax", "p"}).status, 0);
    EXPECT_EQ(page_file("p1").rows, render(decoded_lines(p, false), 1, 0));
}

TEST_F(Convert, UnknownCompressionWritesEmptyPages)
{
    bytes data = faxbuilder::mh_page(pattern_page(10, 3));
    put("in.fax", faxbuilder::fax_file(header("0", "7"), {data, data}));
    progrun::result r = run({"in.fax", "p"});
    EXPECT_EQ(r.status, 0);
    for (const char *name : {"p1", "p2"}) {
        raster ras = page_file(name);
        EXPECT_EQ(ras.width, 864u);
        EXPECT_EQ(ras.height, 0u);
        EXPECT_TRUE(ras.rows.empty());
    }
}

TEST_F(Convert, ZeroLengthPageIsAnEmptyImage)
{
    put("in.fax", faxbuilder::fax_file(header("0"), {{}, faxbuilder::mh_page(pattern_page(4, 1))}));
    ASSERT_EQ(run({"in.fax", "p"}).status, 0);
    EXPECT_EQ(page_file("p1").height, 0u);
    EXPECT_EQ(page_file("p2").height, 5u);
}

TEST_F(Convert, OddPageLengthDropsTheLastByteOnly)
{
    // Three EOLs, the third completed only by the fifth byte.
    bytes odd = {0x00, 0x08, 0x80, 0x00, 0x10};
    bytes next = faxbuilder::mh_page(pattern_page(6, 2));
    put("in.fax", faxbuilder::fax_file(header("0"), {odd, next}));
    ASSERT_EQ(run({"in.fax", "p"}).status, 0);
    EXPECT_EQ(page_file("p1").height, 2u);
    EXPECT_EQ(page_file("p2").rows, render(decoded_lines(pattern_page(6, 2), false), 1, 0));
}

// --- the failure table ----------------------------------------------------------------

struct failure_case {
    const char *name;
    bytes file;
    std::string out;
    int status;
    std::vector<std::string> pages;  // page files left behind
};

class ConvertFailures : public Convert, public ::testing::WithParamInterface<failure_case> {};

TEST_P(ConvertFailures, MessageStatusAndPages)
{
    const failure_case &c = GetParam();
    put("in.fax", c.file);
    progrun::result r = run({"in.fax", "p"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    std::vector<std::string> expect = c.pages;
    expect.insert(expect.begin(), "in.fax");
    EXPECT_EQ(dir.entries(), expect);
}

bytes valid_page() { return faxbuilder::mh_page(pattern_page(5, 9)); }

bytes with_tail(bytes file, const bytes &tail)
{
    file.insert(file.end(), tail.begin(), tail.end());
    return file;
}

const std::string kHeaderZero = "Error:  header size 0!\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertFailures,
    ::testing::Values(
        failure_case{"ShorterThanPrefix", {0xBA, 0xDB, 0xAD, 0x16, 0x00, 0x00}, kHeaderZero, 0, {}},
        failure_case{"UncompressedMmr", faxbuilder::fax_file(header("0", "2"), {valid_page()}), kHeaderZero, 0, {}},
        failure_case{"NoPageAtAll", faxbuilder::prefix(header("0")), "bad fax file: 1\n", 1, {}},
        failure_case{"FirstLengthCut", with_tail(faxbuilder::prefix(header("0")), {0, 0, 1}), "bad fax file: 1\n",
                     1, {}},
        failure_case{"LaterLengthCut", with_tail(faxbuilder::fax_file(header("0"), {valid_page()}), {0, 0}), "", 0,
                     {"p1"}},
        failure_case{"SecondPageDataCut",
                     with_tail(faxbuilder::fax_file(header("0"), {valid_page()}), {0, 0, 0, 200, 0x00, 0x08}),
                     "bad fax file: 2, errno=0\n", 0, {"p1"}},
        // Regression: a length near 4 GB is refused against the file size,
        // not first allocated.
        failure_case{"HugePageLength",
                     with_tail(faxbuilder::fax_file(header("0"), {valid_page()}), {0xFF, 0xFF, 0xFF, 0xF0, 0, 8}),
                     "bad fax file: 2, errno=0\n", 0, {"p1"}},
        failure_case{"NegativeLookingPageLength",
                     with_tail(faxbuilder::prefix(header("0")), {0x80, 0, 0, 0, 0, 8}),
                     "bad fax file: 2, errno=0\n", 0, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Convert, RefusedHeaderAddsHeaderSizeZero)
{
    bytes file = faxbuilder::fax_file(header("0"), {valid_page()});
    file[0] = 0x16;  // magic in the other byte order
    put("in.fax", file);
    progrun::result r = run({"in.fax", "p"});
    EXPECT_EQ(r.status, 0);
    const std::string tail = kHeaderZero;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_NE(r.out.find("Bad Magic Number"), std::string::npos);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.fax"});
}

TEST_F(Convert, FaxFileOnAPipeIsRefusedByTheHeaderReader)
{
    const std::string fifo = dir.file("in.fax");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    bytes file = faxbuilder::fax_file(header("0"), {valid_page()});
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(fifo.c_str(), O_WRONLY);
        _exit(fd >= 0 && write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()) ? 0 : 1);
    }
    progrun::result r = run({"in.fax", "p"});
    kill(child, SIGKILL);  // still waiting for a reader only if the program never opened the pipe
    waitpid(child, nullptr, 0);
    const std::string rewind = "read_fax_header: Can't rewind file: " + std::string(std::strerror(ESPIPE)) + "\n";
    EXPECT_EQ(r.err, rewind);
    EXPECT_EQ(r.out, rewind + kHeaderZero);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.fax"});
}

TEST_F(Convert, UncreatablePageFileEndsTheRun)
{
    put("in.fax", faxbuilder::fax_file(header("0"), {valid_page(), valid_page()}));
    progrun::result r = run({"in.fax", "nodir/p"});
    EXPECT_EQ(r.out, "Can't create output file: 'nodir/p1'\n");
    EXPECT_EQ(r.status, 1);
}

// A full disk must not be reported as a converted page.
TEST_F(Convert, PageThatCannotBeWrittenEndsTheRun)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    put("in.fax", faxbuilder::fax_file(header("0"), {valid_page(), valid_page()}));
    ASSERT_EQ(symlink("/dev/full", dir.file("p1").c_str()), 0);
    progrun::result r = run({"in.fax", "p"});
    EXPECT_EQ(r.out, "Can't write output file: 'p1'\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(progrun::file_exists(dir.file("p2")));
}

// --- inputs and outputs that must not hurt ---------------------------------------------

// Run with a time limit: a program that blocks ends with status 124.
progrun::result run_limited(const std::string &cwd, const std::vector<std::string> &args)
{
    std::vector<std::string> all{"10", PELMORIN_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return progrun::run("/usr/bin/timeout", all, cwd);
}

TEST_F(Convert, PageFileThatIsTheInputIsRefused)
{
    const bytes file = faxbuilder::fax_file(header("0"), {valid_page(), valid_page()});
    put("p1", file);
    progrun::result r = run({"p1", "p"});
    EXPECT_EQ(r.out, "Can't create output file: 'p1'\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(progrun::read_file(dir.file("p1")), file);

    // Through a link: the first page is written, the second would be the input.
    put("in.fax", file);
    ASSERT_EQ(symlink("in.fax", dir.file("q2").c_str()), 0);
    r = run({"in.fax", "q"});
    EXPECT_EQ(r.out, "Can't create output file: 'q2'\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(progrun::read_file(dir.file("in.fax")), file);
    EXPECT_EQ(page_file("q1").height, 6u);
}

TEST_F(Convert, FifoWithoutWriterIsRefusedAtOnce)
{
    ASSERT_EQ(mkfifo(dir.file("in.fax").c_str(), 0600), 0);
    progrun::result r = run_limited(dir.path, {"in.fax", "p"});
    const std::string rewind = "read_fax_header: Can't rewind file: " + std::string(std::strerror(ESPIPE)) + "\n";
    EXPECT_EQ(r.out, rewind + kHeaderZero);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.fax"});
}

TEST_F(Convert, RawNameOnAnEndlessDeviceHasNoPages)
{
    ASSERT_EQ(symlink("/dev/zero", dir.file("z.tif").c_str()), 0);
    progrun::result r = run_limited(dir.path, {"z.tif", "p"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"z.tif"});
}

// MH pages of nothing but EOLs: each ends one line.
bytes eol_page(int eols)
{
    faxbuilder::bit_writer w;
    for (int i = 0; i < eols; ++i)
        w.put_eol();
    return w.data;
}

TEST_F(Convert, PagesOverTheLineCapAreRefused)
{
    put("in.fax", faxbuilder::fax_file(header("0"), {valid_page(), eol_page(65536), eol_page(65537)}));
    progrun::result r = run({"in.fax", "p"});
    EXPECT_EQ(r.out, "pelmorin: page 3 has more than 65536 lines\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.fax", "p1", "p2"}));
    EXPECT_EQ(page_file("p2").height, 65536u);
}

TEST_F(Convert, PageFileCutShortIsRemoved)
{
    put("in.fax", faxbuilder::fax_file(header("0"), {faxbuilder::mh_page(pattern_page(100, 3))}));
    // The child inherits the limit with SIGXFSZ at its default: pelmorin itself
    // must ignore the signal, so that the write fails with EFBIG instead of
    // the process being killed with the page half written.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_DFL);
    struct rlimit limited = {std::min<rlim_t>(4096, saved.rlim_cur), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    progrun::result r = run({"in.fax", "p"});
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(r.out, "Can't write output file: 'p1'\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.fax"});
}

// --- names -----------------------------------------------------------------------------

TEST_F(Convert, SwitchesStartingWithHOrRAreIgnored)
{
    put("a", faxbuilder::fax_file(header("0"), {valid_page()}));
    EXPECT_EQ(run({"-h", "a", "b"}).status, 0);
    EXPECT_EQ(run({"-r", "a", "c"}).status, 0);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "b1", "c1"}));
}

TEST_F(Convert, DashWordAfterInfileIsTheStem)
{
    put("a", faxbuilder::fax_file(header("0"), {valid_page(), valid_page()}));
    EXPECT_EQ(run({"a", "-2", "b"}).status, 0);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"-21", "-22", "a"}));
    EXPECT_EQ(page_file("-21").width, 864u);  // -2 was not an option here
}

TEST_F(Convert, LongStemsAreUsedWholeOrRefusedCleanly)
{
    put("in.fax", faxbuilder::fax_file(header("0"), {valid_page()}));
    const std::string stem(250, 's');  // 251-character name: allowed by the file system
    EXPECT_EQ(run({"in.fax", stem}).status, 0);
    EXPECT_TRUE(progrun::file_exists(dir.file(stem + "1")));
    const std::string huge(10000, 'h');
    progrun::result r = run({"in.fax", huge});
    EXPECT_EQ(r.out, "Can't create output file: '" + huge + "1'\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Convert, UppercaseTifIsAFaxFile)
{
    put("fax.TIF", faxbuilder::fax_file(header("0"), {valid_page()}));
    ASSERT_EQ(run({"fax.TIF", "p"}).status, 0);
    EXPECT_EQ(page_file("p1").rows, render(decoded_lines(pattern_page(5, 9), false), 1, 0));
}

// --- raw input --------------------------------------------------------------------------

// EOL codes (0x08 after a 0x00) at chosen places in otherwise zero data, so
// that each page's height counts the EOLs of its chunk.
bytes raw_file(const std::vector<int> &eols_per_chunk, size_t last_chunk)
{
    bytes file(292, 0);
    for (size_t i = 1; i < file.size(); i += 2)
        file[i] = 0x08;  // EOLs in the part that must be skipped
    for (size_t c = 0; c < eols_per_chunk.size(); ++c) {
        bytes chunk(c + 1 < eols_per_chunk.size() ? 100000 : last_chunk, 0);
        for (int e = 0; e < eols_per_chunk[c]; ++e)
            chunk[101 + 2 * e] = 0x08;
        file.insert(file.end(), chunk.begin(), chunk.end());
    }
    return file;
}

TEST_F(Convert, RawInputIsReadInChunksFromOffset292)
{
    put("x.tif.old", raw_file({3, 5, 7}, 50000));
    progrun::result r = run({"x.tif.old", "p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"p1", "p2", "p3", "x.tif.old"}));
    EXPECT_EQ(page_file("p1").height, 3u);
    EXPECT_EQ(page_file("p2").height, 5u);
    EXPECT_EQ(page_file("p3").height, 7u);
}

TEST_F(Convert, RawInputDecodesAnMhPage)
{
    page p = pattern_page(30, 11);
    bytes file(292, 0xAA);
    bytes data = faxbuilder::mh_page(p, true);
    file.insert(file.end(), data.begin(), data.end());
    put("scan.tiff", file);
    ASSERT_EQ(run({"-2", "scan.tiff", "p"}).status, 0);
    EXPECT_EQ(page_file("p1").rows, render(decoded_lines(p, true), 2, 0));
}

TEST_F(Convert, ShortRawInputHasNoPages)
{
    put("a.tif", bytes(292, 0x08));
    progrun::result r = run({"a.tif", "p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.tif"});
}

// --- scrambling ---------------------------------------------------------------------------

int32_t seed_for(const std::string &key)
{
    glibc_random_state random;
    glibc_srand(&random, static_cast<uint32_t>(scramble_key_hash(key)));
    return glibc_rand(&random);
}

class ConvertScrambled : public Convert, public ::testing::WithParamInterface<int> {};

TEST_P(ConvertScrambled, LaterPagesAreLineRotationsByTheKeyShifts)
{
    const int out_res = GetParam();
    const int width = out_res == 2 ? 1728 : 864, row_bytes = width / 8;
    page p = pattern_page(60, 5);
    bytes data = faxbuilder::mh_page(p);
    put("in.fax", faxbuilder::fax_file(header("1"), {data, data, data}));
    const std::string res = "-" + std::to_string(out_res);
    ASSERT_EQ(run({res, "in.fax", "plain"}).status, 0);
    ASSERT_EQ(run({res, "-k", "Open Sesame", "in.fax", "keyed"}).status, 0);
    ASSERT_EQ(run({res, "-k", "Open Sesame", "in.fax", "again"}).status, 0);

    EXPECT_EQ(page_file("keyed1").rows, page_file("plain1").rows);
    EXPECT_EQ(page_file("keyed2").rows, page_file("again2").rows);
    EXPECT_EQ(page_file("keyed2").rows, page_file("keyed3").rows);  // same shifts on every page
    raster plain = page_file("plain2"), keyed = page_file("keyed2");
    ASSERT_EQ(keyed.height, plain.height);
    EXPECT_NE(keyed.rows, plain.rows);
    auto px = [&](const raster &r, size_t row, int p) {
        return (r.rows[row * row_bytes + ((p / 8) ^ 1)] >> (7 - p % 8)) & 1;
    };
    const int32_t seed = seed_for("Open Sesame");
    for (size_t row = 0; row < keyed.height; ++row) {
        // Fine input at -1 merges lines 2k and 2k+1; the shift of each may
        // differ, so only single-line rows are compared pixel for pixel.
        int shift = scramble_line_shift(out_res == 2 ? static_cast<int64_t>(row) : 2 * static_cast<int64_t>(row), seed);
        if (out_res == 1 && shift != scramble_line_shift(2 * static_cast<int64_t>(row) + 1, seed))
            continue;
        int step = out_res == 2 ? shift : shift / 2;
        for (int p = 0; p < width; ++p)
            ASSERT_EQ(px(keyed, row, p), px(plain, row, (p + step) % width)) << "row " << row << " pixel " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Resolutions, ConvertScrambled, ::testing::Values(1, 2),
                         [](const auto &info) { return "Option" + std::to_string(info.param); });

TEST_F(Convert, EmptyKeyStillScrambles)
{
    bytes data = faxbuilder::mh_page(pattern_page(30, 5));
    put("in.fax", faxbuilder::fax_file(header("0"), {data, data}));
    ASSERT_EQ(run({"in.fax", "plain"}).status, 0);
    ASSERT_EQ(run({"-k", "", "in.fax", "keyed"}).status, 0);
    EXPECT_EQ(page_file("keyed1").rows, page_file("plain1").rows);
    EXPECT_NE(page_file("keyed2").rows, page_file("plain2").rows);
}

// --- two-dimensional codings -----------------------------------------------------------------

struct coding_case {
    const char *name;
    int compression;         // 1 MR, 3 MMR
    const char *resolution;  // header character
    int output_resolution;
};

class ConvertCodings : public Convert, public ::testing::WithParamInterface<coding_case> {};

// Pages coded by libtiff convert, with a key, to exactly the rows of the
// source: page 1 plain, page 2 rotated line by line.
TEST_P(ConvertCodings, IndependentPagesConvertExactly)
{
    if (!tifforacle::available())
        GTEST_SKIP() << "libtiff not available";
    const coding_case &c = GetParam();
    page p = pattern_page(45, 11);
    testpages::remove_legacy_b1_pattern(p);  // where the legacy coders differ from T.4
    const int in_res = c.resolution[0] - '0';
    bytes data = tiff_encode(p, c.compression, in_res == 1 ? 4 : 2);
    ASSERT_FALSE(data.empty());
    data.resize(data.size() + data.size() % 2);  // an odd last byte would be dropped
    put("in.fax", faxbuilder::fax_file("RESOLUTION:" + std::string(c.resolution) + "\nCOMPRESSION:" +
                                           std::to_string(c.compression) + "\n#PAGES:2\n",
                                       {data, data}));
    progrun::result r = run({"-" + std::to_string(c.output_resolution), "-k", "pelmorin", "in.fax", "p"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");

    // MR: the 2nd to 5th EOL of the closing RTC each end an empty line.
    // MMR: the EOFB reports one more, all-white line.
    std::vector<line> lines = p.lines;
    lines.resize(lines.size() + (c.compression == 1 ? 4 : 1), testpages::white_line());
    EXPECT_EQ(page_file("p1").rows, render(lines, c.output_resolution, in_res));
    EXPECT_EQ(page_file("p2").rows, render(lines, c.output_resolution, in_res, seed_for("pelmorin")));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertCodings,
    ::testing::Values(coding_case{"MrNormalLow", 1, "0", 1}, coding_case{"MrNormalHigh", 1, "0", 2},
                      coding_case{"MrFineLow", 1, "1", 1}, coding_case{"MrFineHigh", 1, "1", 2},
                      coding_case{"MmrNormalLow", 3, "0", 1}, coding_case{"MmrNormalHigh", 3, "0", 2},
                      coding_case{"MmrFineLow", 3, "1", 1}, coding_case{"MmrFineHigh", 3, "1", 2}),
    [](const auto &info) { return std::string(info.param.name); });

// --- the sample made by an independent encoder ----------------------------------------------

bytes page_data(const bytes &file, int index)
{
    fax_file_ptr fax(fax_file_open_memory(file.data(), file.size(), nullptr, nullptr));
    if (!fax || static_cast<std::size_t>(index) >= fax->page_count)
        return {};
    const fax_page &page = fax->pages[index];
    return bytes(page.data, page.data + page.length);
}

TEST_F(Convert, SampleFaxMatchesTheIndependentDecoder)
{
    if (!tifforacle::available())
        GTEST_SKIP() << "libtiff not available";
    const std::string sample = std::string(EXAMPLES_DIR) + "/sample.fax";
    bytes file = progrun::read_file(sample);
    ASSERT_GT(file.size(), 100u) << sample;
    progrun::result r = run({"-2", sample, "s"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"s1", "s2"}));
    for (int i = 0; i < 2; ++i) {
        raster ras = page_file("s" + std::to_string(i + 1));
        // Our page: the opening EOL's white line, the page, five RTC lines.
        const int rows = static_cast<int>(ras.height) / 2 - 6;
        ASSERT_GT(rows, 100);
        page oracle;
        ASSERT_TRUE(tifforacle::tiff_decode(page_data(file, i), 0, 1728, rows, oracle));
        EXPECT_EQ(ras.rows, render(decoded_lines(oracle, true), 2, 0)) << "page " << i + 1;
    }
}

}  // namespace
