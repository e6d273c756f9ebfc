// T.4 encoder: exact coded streams, the K cycle and EOL alignment of MR,
// the code emitter's run coding, and every failure path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "t4/enct4.h"
#include "t4/enct4_internal.h"
#include "tests/enct4_harness.h"
#include "tests/support/capture.h"
#include "tests/support/test_pages.h"

namespace {

using namespace enct4test;
using testpages::line;

std::string mode_name(const testing::TestParamInfo<mode> &info) { return info.param.name; }

// ---- Streams of whole pages ----------------------------------------------

class EmptySource : public testing::TestWithParam<mode> {};

TEST_P(EmptySource, DeliversNothingButTheEofbOfMmr)
{
    start({}, -5);
    EXPECT_EQ(run_coder(GetParam()), -5);
    EXPECT_EQ(enct4_status(), 0);
    EXPECT_EQ(script.calls, 1);
    if (GetParam().compression == 3) {
        EXPECT_EQ(sink.words, (std::vector<uint16_t>{0x0800, 0x0080}));
        EXPECT_EQ(sink.call_sizes, (std::vector<int>{1, 1}));
        EXPECT_EQ(bytes_of(sink.words), (std::vector<uint8_t>{0x00, 0x08, 0x80, 0x00}));
    } else {
        EXPECT_TRUE(sink.call_sizes.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, EmptySource,
                         testing::Values(MH, MR_K2, MR_K4, MMR, MMR_DIRECT, MH_ONLY), mode_name);

struct stream_case {
    const char *name;
    mode how;
    std::vector<line> lines;
    int line_bytes;
    std::string bits;  // before the final fill
};

void PrintTo(const stream_case &c, std::ostream *os) { *os << c.name; }

class Stream : public testing::TestWithParam<stream_case> {};

TEST_P(Stream, IsExactlyTheseCodes)
{
    const auto &c = GetParam();
    coded out = encode(c.how, c.lines, c.line_bytes);
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(bits_of(out.words), padded(c.bits));
}

const std::string EOL_1D = EOL + "1";
const std::string EOL_2D = EOL + "0";
const std::string H = "001", PASS = "0001", V0 = "1", VL2 = "000010";

line white_line(int bytes = testpages::kLineBytes) { return line(static_cast<std::size_t>(bytes), 0); }

INSTANTIATE_TEST_SUITE_P(
    Golden, Stream,
    testing::Values(
        // EOL, make-up 1728, terminating 0: words 0x2800 0x159B.
        stream_case{"MhAllWhite", MH, {white_line()}, 216,
                    "000000000001" "010011011" "00110101"},
        stream_case{"MhOnlyAllWhite", MH_ONLY, {white_line()}, 216,
                    "000000000001" "010011011" "00110101"},
        stream_case{"MhStartsBlack", MH, {line_of(216, {{0, 10}})}, 216,
                    EOL + white(0) + black(10) + white(1718)},
        // 1000-pixel lines are completed with white to 1728 pixels.
        stream_case{"MhNarrowEndsWhite", MH, {line_of(125, {{900, 60}})}, 125,
                    EOL + white(900) + black(60) + white(40 + 728)},
        stream_case{"MhNarrowEndsBlack", MH, {line_of(125, {{960, 40}})}, 125,
                    EOL + white(960) + black(40) + white(728)},
        stream_case{"MhOnlyNarrowEndsBlack", MH_ONLY, {line_of(125, {{960, 40}})}, 125,
                    EOL + white(960) + black(40) + white(728)},
        stream_case{"MhEmptyLine", MH, {white_line(0)}, 0, EOL + white(1728)},
        stream_case{"MhRunsOf64", MH, {line_of(216, {{0, 64}, {128, 1600}})}, 216,
                    EOL + "00110101" "0000001111" "0000110111" "11011" "00110101" +
                        black(1600)},
        // 2560 pixels: extended make-up 2560 and terminating 0.
        stream_case{"MhRunOf2560", MH, {white_line(320)}, 320,
                    EOL + "000000011111" "00110101"},
        // Beyond 2623 pixels the 2560 make-up code is repeated (T.4 4.1.1.4).
        stream_case{"MhWhiteRunOf3200", MH, {white_line(400)}, 400,
                    EOL + "000000011111" "01100111" "00110101"},
        stream_case{"MhBlackRunOf3200", MH, {line_of(400, {{0, 3200}})}, 400,
                    EOL + "00110101" "000000011111" "0000001001010" "0000110111"},
        stream_case{"MhWhiteRunOf5200", MH, {white_line(650)}, 650,
                    EOL + "000000011111" "000000011111" "11011" "101010"},
        // Two MR lines ending mid-word: the second EOL starts on a word.
        stream_case{"MrEolOnWordBoundary", MR_K2, {white_line(), white_line()}, 216,
                    padded(EOL_1D + white(1728)) + EOL_2D + V0},
        // Horizontal mode from a0 = -1 starts with a white run of a1.
        stream_case{"MmrTwoLines", MMR, {line_of(216, {{100, 50}}), line_of(216, {{100, 50}})},
                    216, H + white(100) + black(50) + V0 + V0 + V0 + V0 + EOL + EOL},
        // b2 < a1 with |a1 - b1| <= 3: pass mode is tested first.
        stream_case{"MmrPassBeforeVertical", MMR,
                    {line_of(216, {{100, 2}}), line_of(216, {{103, 5}})}, 216,
                    H + white(100) + black(2) + V0 + PASS + H + white(1) + black(5) + V0 + EOL +
                        EOL},
        // Narrow lines are coded 1728 pixels wide in 2-D coding as well.
        stream_case{"MmrNarrowLine", MMR_DIRECT, {line_of(125, {{960, 40}})}, 125,
                    H + white(960) + black(40) + V0 + EOL + EOL},
        stream_case{"MmrEmptyLine", MMR, {white_line(0)}, 0, V0 + EOL + EOL},
        // The start-0 rule of find_changing_element: below a line black at
        // 2-9, a line black at 0-9 gets b1 = 0 after VL2 and so a pass mode
        // (T.4 would code VL2 V0 V0).
        stream_case{"MmrLegacyB1", MMR, {line_of(216, {{2, 8}}), line_of(216, {{0, 10}})}, 216,
                    H + white(2) + black(8) + V0 + VL2 + PASS + V0 + V0 + EOL + EOL},
        stream_case{"MrLegacyB1", MR_K2, {line_of(216, {{2, 8}}), line_of(216, {{0, 10}})}, 216,
                    padded(EOL_1D + white(2) + black(8) + white(1718)) + EOL_2D + VL2 +
                        PASS + V0 + V0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Stream, MmrWorkedExampleBytes)
{
    // Horizontal white 100 black 50, V0; three V0; EOFB; then the fill byte.
    coded out = encode(MMR, {line_of(216, {{100, 50}}), line_of(216, {{100, 50}})});
    EXPECT_EQ(bytes_of(out.words),
              (std::vector<uint8_t>{0xDC, 0xA8, 0xA0, 0xF4, 0x00, 0x08, 0x80, 0x00}));
}

TEST(Stream, AllWhiteMhLineWords)
{
    coded out = encode(MH, {white_line()});
    EXPECT_EQ(out.words, (std::vector<uint16_t>{0x2800, 0x159B}));
    EXPECT_EQ(bytes_of(out.words), (std::vector<uint8_t>{0x00, 0x28, 0x9B, 0x15}));
}

// ---- MR: K cycle and EOL alignment -----------------------------------------

struct eol_mark {
    std::size_t start;  // first bit of the EOL code
    char tag;
};

// T.4 codes never hold eleven 0 bits in a row, so every run of eleven or
// more 0 bits closed by a 1 is fill plus an EOL.
std::vector<eol_mark> find_eols(const std::string &bits)
{
    std::vector<eol_mark> eols;
    std::size_t zeros = 0;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == '0') {
            ++zeros;
            continue;
        }
        if (zeros >= 11 && i + 1 < bits.size())
            eols.push_back({i - 11, bits[i + 1]});
        zeros = 0;
    }
    return eols;
}

std::string tags_of(const std::vector<eol_mark> &eols)
{
    std::string tags;
    for (const auto &e : eols)
        tags.push_back(e.tag);
    return tags;
}

struct k_case {
    const char *name;
    int resolution;
    const char *tags;  // 1: one-dimensional line, 0: two-dimensional
};

class KCycle : public testing::TestWithParam<k_case> {};

TEST_P(KCycle, LinesAlternateAndEveryEolStartsAWord)
{
    const auto page = testpages::text_page(10, 7);
    start({make_batch(page.lines, testpages::kLineBytes)});
    ASSERT_EQ(encode_g3_fax(scripted_source, recording_sink, 1, GetParam().resolution), -1);
    const auto eols = find_eols(bits_of(sink.words));
    EXPECT_EQ(tags_of(eols), GetParam().tags);
    for (const auto &e : eols)
        EXPECT_EQ(e.start % 16, 0u) << "EOL at bit " << e.start;
}

INSTANTIATE_TEST_SUITE_P(Resolutions, KCycle,
                         testing::Values(k_case{"Fine", 1, "1000100010"},
                                         k_case{"Normal", 0, "1010101010"},
                                         k_case{"Res300", 2, "1010101010"},
                                         k_case{"Res600", 4, "1010101010"},
                                         k_case{"Invalid", -1, "1010101010"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(KCycle, RunsOnAcrossBatchesAndRestartsWithEveryCall)
{
    const auto page = testpages::random_page(9, 3);
    auto third = [&](int i) {
        return std::vector<line>(page.lines.begin() + 3 * i, page.lines.begin() + 3 * i + 3);
    };
    for (int call = 0; call < 2; ++call) {
        start({make_batch(third(0), 216), make_batch(third(1), 216), make_batch(third(2), 216)});
        ASSERT_EQ(encode_g3_fax(scripted_source, recording_sink, 1, 1), -1);
        EXPECT_EQ(tags_of(find_eols(bits_of(sink.words))), "100010001");
    }
}

TEST(Mh, EveryLineHasAnEolAndNoRtc)
{
    const auto page = testpages::text_page(12, 5);
    for (const mode &m : {MH, MH_ONLY}) {
        coded out = encode(m, page.lines);
        const std::string bits = bits_of(out.words);
        EXPECT_EQ(find_eols(bits).size(), page.lines.size()) << m.name;
        EXPECT_EQ(bits.substr(0, 12), EOL) << m.name;
    }
}

// ---- Code emitter ------------------------------------------------------------

struct run_case {
    int32_t token;
    const char *bits;
};

class EmitRun : public testing::TestWithParam<run_case> {};

TEST_P(EmitRun, UsesMakeUpAndTerminatingCodes)
{
    enct4_reset();
    start();
    const int32_t token = GetParam().token;
    enct4_flush(&token, &token + 1, recording_sink);
    EXPECT_EQ(bits_of(sink.words), padded(GetParam().bits));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, EmitRun,
    testing::Values(run_case{0, "00110101"}, run_case{63, "00110100"},
                    run_case{64, "11011" "00110101"},
                    run_case{64 | ENC_BLACK, "0000001111" "0000110111"},
                    run_case{0 | ENC_BLACK, "0000110111"},
                    run_case{1727, "011000" "00110100" /* 1664 + 63 */},
                    run_case{2560, "000000011111" "00110101"},
                    run_case{2560 | ENC_BLACK, "000000011111" "0000110111"},
                    run_case{2623, "000000011111" "00110100"},
                    run_case{2624, "000000011111" "11011" "00110101"},
                    run_case{5120, "000000011111" "000000011111" "00110101"},
                    run_case{5183, "000000011111" "000000011111" "00110100"},
                    run_case{7000 | ENC_BLACK,
                             "000000011111" "000000011111" "00000001100" "00000010111"}),
    [](const auto &info) {
        const int32_t token = info.param.token;
        return ((token & ENC_BLACK) ? "Black" : "White") + std::to_string(token & ~ENC_BLACK);
    });

TEST(Emitter, OnlyMrEolsAreAlignedToAWord)
{
    const int32_t tokens[] = {1, ENC_EOL, 1, ENC_EOL_2D, 1, ENC_EOL_1D};
    enct4_reset();
    start();
    enct4_flush(std::begin(tokens), std::end(tokens), recording_sink);
    const std::string white1 = "000111";
    // 24 bits before the first MR EOL, 51 before the second.
    EXPECT_EQ(bits_of(sink.words), padded(white1 + EOL + white1 + std::string(8, '0') + EOL + "0" +
                                          white1 + std::string(13, '0') + EOL + "1"));
}

TEST(Emitter, HandsABatchToTheSinkInOneCallAndNothingAfterAFailure)
{
    const int32_t tokens[] = {ENC_EOL, 1728, ENC_EOL, 1728};  // 58 bits: three words
    enct4_reset();
    start();
    enct4_put_codes(std::begin(tokens), std::end(tokens), recording_sink);
    EXPECT_EQ(sink.call_sizes, std::vector<int>{3});

    start();
    sink.fail_at_call = 1;
    enct4_put_codes(std::begin(tokens), std::end(tokens), recording_sink);
    EXPECT_EQ(enct4_status(), -3);
    enct4_flush(std::begin(tokens), std::end(tokens), recording_sink);
    EXPECT_EQ(sink.call_sizes.size(), 1u);
    enct4_reset();
}

class WordBatches : public testing::TestWithParam<mode> {};

TEST_P(WordBatches, APageReachesTheSinkInFewLargeCalls)
{
    // A short page: its complete words in one call, the incomplete last one
    // in another.
    std::vector<line> lines{line_of(216, {{1727, 1}})};
    lines.insert(lines.end(), 30, white_line());
    start({make_batch(lines, 216)});
    ASSERT_EQ(run_coder(GetParam()), -1);
    EXPECT_EQ(sink.call_sizes, (std::vector<int>{static_cast<int>(sink.words.size()) - 1, 1}));

    // A long one: full word batches until the last two calls.
    start({make_batch(testpages::random_page(600, 5).lines, 216)});
    ASSERT_EQ(run_coder(GetParam()), -1);
    ASSERT_GT(sink.call_sizes.size(), 3u);
    for (std::size_t i = 0; i + 2 < sink.call_sizes.size(); ++i) {
        EXPECT_GE(sink.call_sizes[i], ENC_WORD_BATCH) << i;
        EXPECT_LE(sink.call_sizes[i], ENC_WORD_BATCH + 64) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, WordBatches, testing::Values(MH, MR_K4, MMR, MH_ONLY), mode_name);

// ---- Failure paths -------------------------------------------------------------

struct size_change_case {
    mode how;
    const char *message;
};

void PrintTo(const size_change_case &c, std::ostream *os) { *os << c.how.name; }

class LineSizeChanged : public testing::TestWithParam<size_change_case> {};

TEST_P(LineSizeChanged, EndsTheCallWithResultOne)
{
    start({make_batch({white_line()}, 216), make_batch({white_line(100)}, 100)});
    int result = 0;
    auto output = testsupport::capture_output([&] { result = run_coder(GetParam().how); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(enct4_status(), 1);
    EXPECT_EQ(output.out, GetParam().message);
    EXPECT_EQ(script.calls, 2);
    EXPECT_TRUE(sink.words.empty());  // the first line's tokens were still waiting
}

INSTANTIATE_TEST_SUITE_P(
    Entries, LineSizeChanged,
    testing::Values(
        size_change_case{MH, "encode_g3_fax: Line size changed for encoding. Can't do that!\n"},
        size_change_case{MR_K4, "encode_g3_fax: Line size changed for encoding. Can't do that!\n"},
        size_change_case{MMR, "enct4_MMR: Line size changed for MMR encoding. Can't do that!\n"},
        size_change_case{MMR_DIRECT,
                         "enct4_MMR: Line size changed for MMR encoding. Can't do that!\n"}),
    [](const auto &info) { return std::string(info.param.how.name); });

TEST(LineSizeChanged, WordsOfEarlierBatchesStayDelivered)
{
    // 600 random lines fill more than one word batch before the size changes.
    const auto page = testpages::random_page(600, 11);
    start({make_batch(page.lines, 216), make_batch({white_line(100)}, 100)});
    testsupport::capture_output([] { EXPECT_EQ(run_coder(MR_K2), 1); });
    EXPECT_FALSE(sink.words.empty());
}

TEST(LineSizeChanged, IsAcceptedByTheMhOnlyCoder)
{
    start({make_batch({white_line()}, 216), make_batch({white_line(100)}, 100)});
    EXPECT_EQ(run_coder(MH_ONLY), -1);
    EXPECT_EQ(bits_of(sink.words), padded(EOL + white(1728) + EOL + white(1728)));
}

class AllocationFailure : public testing::TestWithParam<size_change_case> {};

TEST_P(AllocationFailure, ReportsAndReturnsOne)
{
    start({make_batch({white_line()}, 216)});
    enct4_fail_next_allocation();
    int result = 0;
    auto output = testsupport::capture_output([&] { result = run_coder(GetParam().how); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(enct4_status(), 1);
    EXPECT_EQ(output.out, GetParam().message);
    EXPECT_TRUE(sink.call_sizes.empty());
    EXPECT_EQ(script.calls, 1);

    coded again = encode(GetParam().how, {white_line()});  // the next call is unaffected
    EXPECT_EQ(again.result, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, AllocationFailure,
    testing::Values(
        size_change_case{MH, "encode_g3_fax: failed to alloc space for reference buffer. exit...\n"},
        size_change_case{MR_K2,
                         "encode_g3_fax: failed to alloc space for reference buffer. exit...\n"},
        size_change_case{MMR, "enct4_MMR: failed to alloc space for reference buffer. exit...\n"},
        size_change_case{MMR_DIRECT,
                         "enct4_MMR: failed to alloc space for reference buffer. exit...\n"}),
    [](const auto &info) { return std::string(info.param.how.name); });

class TooWide : public testing::TestWithParam<size_change_case> {};

TEST_P(TooWide, LinesBeyondTheRunLimitAreRefused)
{
    start({batch{ENC_MAX_LINE_BYTES + 1, 0, {}}});
    int result = 0;
    auto output = testsupport::capture_output([&] { result = run_coder(GetParam().how); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(enct4_status(), 1);
    EXPECT_EQ(output.out, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, TooWide,
    testing::Values(
        size_change_case{MR_K2, "encode_g3_fax: Line size 4000 too large for encoding. Can't do that!\n"},
        size_change_case{MMR, "enct4_MMR: Line size 4000 too large for encoding. Can't do that!\n"},
        size_change_case{MH_ONLY,
                         "encode_mh_fax: Line size 4000 too large for encoding. Can't do that!\n"}),
    [](const auto &info) { return std::string(info.param.how.name); });

TEST(UnsupportedCompression, ReturnsOneWithoutCallingTheSource)
{
    for (int compression : {2, 4, -1, 99}) {
        start({make_batch({white_line()}, 216)});
        int result = 0;
        auto output = testsupport::capture_output(
            [&] { result = encode_g3_fax(scripted_source, recording_sink, compression, 0); });
        EXPECT_EQ(result, 1) << compression;
        EXPECT_EQ(enct4_status(), 1) << compression;
        EXPECT_EQ(script.calls, 0) << compression;
        EXPECT_TRUE(sink.call_sizes.empty()) << compression;
        EXPECT_EQ(output.out, "") << compression;
    }
}

TEST(MissingCallbacks, AreTheCodersOwnFailure)
{
    start();
    EXPECT_EQ(encode_g3_fax(nullptr, recording_sink, 0, 0), 1);
    EXPECT_EQ(encode_g3_fax(scripted_source, nullptr, 1, 0), 1);
    EXPECT_EQ(enct4_MMR(scripted_source, nullptr), 1);
    EXPECT_EQ(encode_mh_fax(nullptr, recording_sink), 1);
    EXPECT_EQ(script.calls, 0);
}

class SinkFailure : public testing::TestWithParam<mode> {};

TEST_P(SinkFailure, WhileCodingStopsAfterTheLine)
{
    // More than one word batch: the first sink call comes in the middle of a line.
    const auto page = testpages::random_page(400, 21);
    start({make_batch(page.lines, 216)});
    sink.fail_at_call = 1;
    sink.fail_value = -7;
    int result = 0;
    auto output = testsupport::capture_output([&] { result = run_coder(GetParam()); });
    EXPECT_EQ(result, -7);
    EXPECT_EQ(enct4_status(), -7);
    EXPECT_EQ(sink.call_sizes.size(), 1u);  // nothing packed after the failure
    EXPECT_EQ(script.calls, 1);
    EXPECT_EQ(output.out, "");
}

TEST_P(SinkFailure, AtTheLastWordIsTheResult)
{
    // One short page: everything goes out in the final flush, as the
    // complete words and then the last partial word.
    start({make_batch({line_of(216, {{5, 4}})}, 216)});
    sink.fail_at_call = 2;
    sink.fail_value = -9;
    EXPECT_EQ(run_coder(GetParam()), -9);
    EXPECT_EQ(enct4_status(), -9);
    EXPECT_EQ(sink.call_sizes.size(), 2u);
}

TEST_P(SinkFailure, AtTheFinalPackingSkipsTheLastWord)
{
    start({make_batch({line_of(216, {{5, 4}})}, 216)});
    sink.fail_at_call = 1;
    sink.fail_value = -9;
    EXPECT_EQ(run_coder(GetParam()), -9);
    EXPECT_EQ(enct4_status(), -9);
    EXPECT_EQ(sink.call_sizes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, SinkFailure, testing::Values(MH, MR_K2, MMR, MH_ONLY), mode_name);

}  // namespace
