// Pages coded by the encoder decode back to the same lines: through the
// project's decoders (with the lines that the decoder contract adds for EOL
// and EOFB), and through independent decoders (libtiff, netpbm's g3topbm).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "t4/t4dec.h"
#include "tests/enct4_harness.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_pages.h"
#include "tests/support/tiff_oracle.h"

namespace {

using namespace enct4test;
using testpages::line;
using testpages::page;

bool two_dimensional(const mode &m) { return m.compression != 0; }

// First difference between two line lists, or "" when they are equal.
std::string compare_lines(const std::vector<line> &got, const std::vector<line> &want)
{
    if (got.size() != want.size())
        return "line count " + std::to_string(got.size()) + ", expected " +
               std::to_string(want.size());
    for (std::size_t y = 0; y < want.size(); ++y) {
        if (got[y].size() != want[y].size())
            return "line " + std::to_string(y) + " has " + std::to_string(got[y].size()) +
                   " bytes, expected " + std::to_string(want[y].size());
        auto diff = std::mismatch(got[y].begin(), got[y].end(), want[y].begin());
        if (diff.first != got[y].end())
            return "line " + std::to_string(y) + " differs at byte " +
                   std::to_string(diff.first - got[y].begin());
    }
    return "";
}

// Lines as the decoders give them: completed with white to `bytes`.
std::vector<line> widened(const std::vector<line> &lines, std::size_t bytes)
{
    std::vector<line> out;
    for (line l : lines) {
        l.resize(std::max(l.size(), bytes), 0);
        out.push_back(std::move(l));
    }
    return out;
}

// What the project's decoders report for the coded lines. MH: the EOL that
// opens the page ends an empty line, and the last line stays open in the run
// sink (no RTC follows) until a direct RUN_EOL closes it. MR: the first EOL
// synchronises, the end of the data closes the last line. MMR: the EOFB adds
// one all-white line.
std::vector<line> decoded_by_project(const mode &m, const std::vector<uint16_t> &words)
{
    const auto bytes = bytes_of(words);
    t4test::rec.clear();
    EXPECT_EQ(t4dec_decode(bytes.data(), static_cast<int>(bytes.size()), m.compression, nullptr,
                           t4test::record_line, nullptr),
              1);
    if (m.compression == 0)
        putrunlen(0, RUN_EOL, nullptr, t4test::record_line, nullptr);
    return t4test::rec.lines();
}

std::vector<line> expected_from_project(const mode &m, const std::vector<line> &lines, int width)
{
    const line white(static_cast<std::size_t>((width + 7) / 8), 0);
    std::vector<line> want = widened(lines, white.size());
    if (m.compression == 0)
        want.insert(want.begin(), white);
    if (m.compression == 3)
        want.push_back(white);
    return want;
}

// Sets the decoders' line width for one test.
struct decoder_width {
    explicit decoder_width(int width) { t4dec_set_width(width); }
    ~decoder_width() { t4dec_set_width(testpages::kWidth); }
    decoder_width(const decoder_width &) = delete;
    decoder_width &operator=(const decoder_width &) = delete;
};

// ---- Pages ------------------------------------------------------------------

struct page_maker {
    const char *name;
    std::function<page()> make;
};

const page_maker page_makers[] = {
    {"random", [] { return testpages::random_page(60, 1); }},
    {"random_long_runs", [] { return testpages::random_page(40, 2, 90); }},
    {"text", [] { return testpages::text_page(96, 3); }},
    {"worst", [] { return testpages::worst_case_page(); }},
};

// Lines of any byte length: blank and full lines, runs past the make-up
// limits, and noise.
std::vector<line> lines_of_width(int bytes, uint32_t seed)
{
    const int width = bytes * 8;
    std::mt19937 rng(seed);
    std::vector<line> lines;
    lines.push_back(line_of(bytes, {}));
    lines.push_back(line_of(bytes, {{0, width}}));
    lines.push_back(line_of(bytes, {{width - 5, 5}}));
    lines.push_back(line_of(bytes, {{0, 3}, {width / 2, width / 3}}));
    lines.push_back(line_of(bytes, {{1, width - 2}}));
    for (int mean : {3, 40, 700, 3000}) {
        std::geometric_distribution<int> run_length(1.0 / mean);
        for (int k = 0; k < 3; ++k) {
            line l = line_of(bytes, {});
            bool black = rng() & 1;
            for (int x = 0; x < width;) {
                const int n = 1 + run_length(rng);
                if (black)
                    for (int i = x; i < std::min(x + n, width); ++i)
                        l[static_cast<std::size_t>(i / 8)] |= static_cast<uint8_t>(0x80 >> (i % 8));
                x += n;
                black = !black;
            }
            lines.push_back(std::move(l));
        }
    }
    return lines;
}

// ---- Project decoders -----------------------------------------------------------

const mode all_modes[] = {MH, MR_K2, MR_K4, MMR, MH_ONLY};

struct roundtrip_case {
    mode how;
    page_maker pages;
};

void PrintTo(const roundtrip_case &c, std::ostream *os) { *os << c.how.name << "/" << c.pages.name; }

std::vector<roundtrip_case> all_cases()
{
    std::vector<roundtrip_case> cases;
    for (const mode &m : all_modes)
        for (const auto &p : page_makers)
            cases.push_back({m, p});
    return cases;
}

std::string case_name(const testing::TestParamInfo<roundtrip_case> &info)
{
    return std::string(info.param.how.name) + "_" + info.param.pages.name;
}

class ProjectRoundTrip : public testing::TestWithParam<roundtrip_case> {};

TEST_P(ProjectRoundTrip, DecodesToTheSameLines)
{
    const mode &m = GetParam().how;
    const page p = GetParam().pages.make();
    const coded out = encode(m, p.lines);
    ASSERT_EQ(out.result, -1);
    EXPECT_EQ(compare_lines(decoded_by_project(m, out.words),
                            expected_from_project(m, p.lines, testpages::kWidth)),
              "");
}

INSTANTIATE_TEST_SUITE_P(Pages, ProjectRoundTrip, testing::ValuesIn(all_cases()), case_name);

struct width_case {
    mode how;
    int line_bytes;
};

void PrintTo(const width_case &c, std::ostream *os) { *os << c.how.name << "/" << c.line_bytes; }

std::string width_name(const testing::TestParamInfo<width_case> &info)
{
    return std::string(info.param.how.name) + "_" + std::to_string(info.param.line_bytes);
}

std::vector<width_case> width_cases(std::initializer_list<int> widths, bool with_mh)
{
    std::vector<width_case> cases;
    for (const mode &m : all_modes)
        if (with_mh || two_dimensional(m))
            for (int bytes : widths)
                cases.push_back({m, bytes});
    return cases;
}

// Narrow lines are completed with white to 1728 pixels in every coding.
class NarrowLines : public testing::TestWithParam<width_case> {};

TEST_P(NarrowLines, DecodeToFullLinesWithWhiteAtTheEnd)
{
    const mode &m = GetParam().how;
    const auto lines = lines_of_width(GetParam().line_bytes, 5);
    const coded out = encode(m, lines, GetParam().line_bytes);
    ASSERT_EQ(out.result, -1);
    EXPECT_EQ(compare_lines(decoded_by_project(m, out.words),
                            expected_from_project(m, lines, testpages::kWidth)),
              "");
}

INSTANTIATE_TEST_SUITE_P(Widths, NarrowLines, testing::ValuesIn(width_cases({1, 2, 100, 215}, true)),
                         width_name);

// Lines wider than 2623 pixels hold runs that need repeated 2560 make-up
// codes. The MR and MMR decoders add make-up codes up; the MH run sink
// takes a second make-up code for a line error, so MH is checked by libtiff.
class WideLines : public testing::TestWithParam<width_case> {};

TEST_P(WideLines, DecodeToTheSameLines)
{
    const mode &m = GetParam().how;
    const int bytes = GetParam().line_bytes;
    const auto lines = lines_of_width(bytes, 9);
    const coded out = encode(m, lines, bytes);
    ASSERT_EQ(out.result, -1);
    decoder_width width(bytes * 8);
    ASSERT_EQ(t4_line_width, bytes * 8);
    EXPECT_EQ(compare_lines(decoded_by_project(m, out.words),
                            expected_from_project(m, lines, bytes * 8)),
              "");
}

INSTANTIATE_TEST_SUITE_P(Widths, WideLines,
                         testing::ValuesIn(width_cases({217, 320, 400, 1000, 3999}, false)),
                         width_name);

TEST(WideLines, MhWithinTheSinglemakeUpRangeDecodesThroughTheProject)
{
    const int bytes = 327;  // 2616 pixels: every run fits one make-up code
    const auto lines = lines_of_width(bytes, 13);
    const coded out = encode(MH, lines, bytes);
    decoder_width width(bytes * 8);
    EXPECT_EQ(compare_lines(decoded_by_project(MH, out.words),
                            expected_from_project(MH, lines, bytes * 8)),
              "");
}

// ---- Independent decoders --------------------------------------------------------

#if HAVE_LIBTIFF
constexpr bool have_libtiff = true;
#else
constexpr bool have_libtiff = false;
#endif

// libtiff follows T.4 for b1, so 2-D pages leave out the one pattern where
// the legacy rule differs (pinned in LegacyB1 below). The pattern lies in
// the first byte, so this works for lines of any length.
page for_libtiff(const mode &m, page p)
{
    if (!two_dimensional(m))
        return p;
    line reference(1, 0);
    for (auto &l : p.lines) {
        if (!l.empty() && testpages::has_legacy_b1_pattern(reference, l))
            l[0] &= 0x7F;
        reference = l.empty() ? line(1, 0) : l;
    }
    return p;
}

// libtiff refuses MH lines of alternating pixels (over a thousand runs);
// those lines are left to g3topbm and the project's decoders.
page without_many_runs(page p)
{
    std::erase_if(p.lines, [](const line &l) {
        int changes = 0;
        for (int x = 1; x < testpages::kWidth; ++x)
            changes += testpages::pixel(l, x) != testpages::pixel(l, x - 1);
        return changes > 1000;
    });
    return p;
}

class LibtiffRoundTrip : public testing::TestWithParam<roundtrip_case> {};

TEST_P(LibtiffRoundTrip, DecodesToTheSameLines)
{
    if (!have_libtiff)
        GTEST_SKIP() << "libtiff not available";
    const mode &m = GetParam().how;
    page p = for_libtiff(m, GetParam().pages.make());
    if (!two_dimensional(m))
        p = without_many_runs(p);
    const coded out = encode(m, p.lines);
    page decoded;
    ASSERT_TRUE(tiff_decode(bytes_of(out.words), m.compression, testpages::kWidth,
                            static_cast<int>(p.lines.size()), decoded));
    EXPECT_EQ(compare_lines(decoded.lines, p.lines), "");
}

INSTANTIATE_TEST_SUITE_P(Pages, LibtiffRoundTrip, testing::ValuesIn(all_cases()), case_name);

class LibtiffWidths : public testing::TestWithParam<width_case> {};

TEST_P(LibtiffWidths, DecodeToTheSameLines)
{
    if (!have_libtiff)
        GTEST_SKIP() << "libtiff not available";
    const mode &m = GetParam().how;
    const int bytes = GetParam().line_bytes;
    page p{"widths", lines_of_width(bytes, 17)};
    p = for_libtiff(m, p);
    const coded out = encode(m, p.lines, bytes);
    const int width = std::max(bytes * 8, testpages::kWidth);
    page decoded;
    ASSERT_TRUE(tiff_decode(bytes_of(out.words), m.compression, width,
                            static_cast<int>(p.lines.size()), decoded));
    EXPECT_EQ(compare_lines(decoded.lines, widened(p.lines, static_cast<std::size_t>(width / 8))),
              "");
}

INSTANTIATE_TEST_SUITE_P(Widths, LibtiffWidths,
                         testing::ValuesIn(width_cases({0, 1, 100, 215, 320, 400, 1000, 3999}, true)),
                         width_name);

// The encoder keeps the start-0 rule for b1 (pixel 0 is a candidate): the
// project's decoders share it, a T.4 decoder reads the pass mode differently.
TEST(LegacyB1, ProjectDecodersAgreeAndLibtiffDoesNot)
{
    const std::vector<line> lines{line_of(216, {{2, 8}}), line_of(216, {{0, 10}}),
                                  line_of(216, {})};
    ASSERT_TRUE(testpages::has_legacy_b1_pattern(lines[0], lines[1]));
    for (const mode &m : {MR_K2, MMR}) {
        const coded out = encode(m, lines);
        EXPECT_EQ(compare_lines(decoded_by_project(m, out.words),
                                expected_from_project(m, lines, testpages::kWidth)),
                  "")
            << m.name;
        if (!have_libtiff)
            continue;
        page decoded;
        const bool ok = tiff_decode(bytes_of(out.words), m.compression, testpages::kWidth,
                                    static_cast<int>(lines.size()), decoded);
        EXPECT_FALSE(ok && compare_lines(decoded.lines, lines).empty()) << m.name;
    }
}

// Full path of g3topbm from PATH, or "" when it is not installed.
std::string g3topbm_path()
{
    auto r = progrun::run("/bin/sh", {"-c", "command -v g3topbm"});
    while (!r.out.empty() && std::isspace(static_cast<unsigned char>(r.out.back())))
        r.out.pop_back();
    return r.status == 0 ? r.out : "";
}

// netpbm's g3topbm reads MH only, and takes the lines of alternating pixels
// that libtiff refuses.
std::vector<line> g3topbm_decode(const std::vector<uint8_t> &data, int rows)
{
    progrun::temp_dir dir;
    const std::string input = dir.file("page.g3");
    progrun::write_file(input, data);
    const auto r = progrun::run(g3topbm_path(), {"-reversebits", "-width=1728", input});
    EXPECT_EQ(r.status, 0) << r.err;
    // P4 header: "P4", width, height, one white-space byte, then the rows.
    std::size_t pos = 0;
    int fields = 0;
    while (fields < 3 && pos < r.out.size()) {
        while (pos < r.out.size() && std::isspace(static_cast<unsigned char>(r.out[pos])))
            ++pos;
        while (pos < r.out.size() && !std::isspace(static_cast<unsigned char>(r.out[pos])))
            ++pos;
        ++fields;
    }
    ++pos;
    std::vector<line> lines;
    for (int y = 0; y < rows && pos + testpages::kLineBytes <= r.out.size(); ++y) {
        lines.emplace_back(r.out.begin() + static_cast<std::ptrdiff_t>(pos),
                           r.out.begin() + static_cast<std::ptrdiff_t>(pos + testpages::kLineBytes));
        pos += testpages::kLineBytes;
    }
    return lines;
}

class G3topbm : public testing::TestWithParam<page_maker> {};

TEST_P(G3topbm, DecodesMhPagesToTheSameLines)
{
    if (g3topbm_path().empty())
        GTEST_SKIP() << "netpbm's g3topbm not installed";
    const page p = GetParam().make();
    for (const mode &m : {MH, MH_ONLY}) {
        const coded out = encode(m, p.lines);
        EXPECT_EQ(compare_lines(g3topbm_decode(bytes_of(out.words), static_cast<int>(p.lines.size())),
                                p.lines),
                  "")
            << m.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, G3topbm, testing::ValuesIn(page_makers),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// Conforming mode codes for standard readers: libtiff decodes every page as
// drawn, the start-of-line pattern included. Pages without that pattern come
// out bit for bit as in legacy mode, which stays the default.
class ConformingMode : public testing::TestWithParam<roundtrip_case> {};

struct conforming_scope {
    conforming_scope() { enct4_set_conforming(1); }
    ~conforming_scope() { enct4_set_conforming(0); }
};

TEST_P(ConformingMode, LibtiffDecodesEveryPageAndOtherPagesKeepTheirBits)
{
    const mode &m = GetParam().how;
    page p = GetParam().pages.make();
    if (!two_dimensional(m))
        p = without_many_runs(p);
    const page without_pattern = for_libtiff(m, p);
    ASSERT_EQ(enct4_conforming(), 0);
    const coded legacy = encode(m, without_pattern.lines);
    coded conforming, conforming_without;
    {
        conforming_scope scope;
        conforming = encode(m, p.lines);
        conforming_without = encode(m, without_pattern.lines);
    }
    EXPECT_EQ(conforming_without.words, legacy.words);
    if (!have_libtiff)
        GTEST_SKIP() << "libtiff not available";
    page decoded;
    ASSERT_TRUE(tiff_decode(bytes_of(conforming.words), m.compression, testpages::kWidth,
                            static_cast<int>(p.lines.size()), decoded));
    EXPECT_EQ(compare_lines(decoded.lines, p.lines), "");
}

INSTANTIATE_TEST_SUITE_P(Pages, ConformingMode, testing::ValuesIn(all_cases()), case_name);
