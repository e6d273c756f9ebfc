// What the decoders call a clean page, and which lines carry codes of their
// own: the table-driven and the bit-by-bit decoders must agree on both.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "t4/t4codes.h"
#include "t4/t4dec.h"
#include "tests/support/decode_recorder.h"
#include "tests/support/decoder_diff.h"
#include "tests/support/test_pages.h"

namespace {

using namespace t4test;
using testpages::kWidth;

std::string eol1() { return eol_bits() + "1"; }
std::string eol0() { return eol_bits() + "0"; }
std::string repeat(const std::string &s, int n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}
std::string v0() { return mode_bits(2); }
std::string horizontal(int first, int second)
{
    return mode_bits(1) + run_bits(false, first) + run_bits(true, second);
}

const std::string kLine = line_bits({100, 50, 1578});
const std::string kZeros(64, '0');  // fill

struct clean_case {
    const char *name;
    int mode;
    std::vector<uint8_t> data;
    bool clean;
};

std::vector<uint8_t> bytes_of(std::size_t count, uint8_t value) { return std::vector<uint8_t>(count, value); }

std::vector<clean_case> cases()
{
    const std::string cut_line = kLine.substr(0, kLine.size() - 3);
    return {
        {"MH ended by RTC", 0, pack_bits(eol_bits() + kLine + repeat(eol_bits(), 6)), true},
        {"MH ended after a whole line, no RTC", 0, pack_bits(eol_bits() + kLine + eol_bits() + kLine + kZeros), true},
        {"MH ended at an EOL", 0, pack_bits(eol_bits() + kLine + eol_bits() + "0000"), true},
        {"MH ended inside a line", 0, pack_bits(eol_bits() + kLine + eol_bits() + run_bits(false, 100)), false},
        {"MH ended inside a code", 0, pack_bits(eol_bits() + kLine + eol_bits() + cut_line), false},
        {"MH with noise after the last line", 0, pack_bits(eol_bits() + kLine + "0110" + kZeros), false},
        {"MH with noise after RTC", 0, pack_bits(eol_bits() + kLine + repeat(eol_bits(), 6) + "101"), false},
        {"MH of EOLs only", 0, pack_bits(repeat(eol_bits(), 6)), false},
        {"MH of 0xFF", 0, bytes_of(100000, 0xFF), false},
        {"MH of zeros", 0, bytes_of(100000, 0x00), false},
        {"MR ended by RTC", 1, pack_bits(eol1() + kLine + eol0() + v0() + v0() + v0() + repeat(eol1(), 6)), true},
        {"MR ended after a whole 2-D line", 1, pack_bits(eol1() + kLine + eol0() + v0() + v0() + v0() + kZeros), true},
        {"MR ended after a whole 1-D line", 1, pack_bits(eol1() + kLine + eol1() + kLine), true},
        {"MR ended at an EOL", 1, pack_bits(eol1() + kLine + eol1()), true},
        {"MR ended inside a horizontal mode", 1, pack_bits(eol1() + kLine + eol0() + mode_bits(1) + run_bits(false, 100)), false},
        {"MR ended inside a code", 1, pack_bits(eol1() + kLine + eol1() + cut_line), false},
        {"MR with noise after RTC", 1, pack_bits(eol1() + kLine + repeat(eol1(), 6) + "11"), false},
        {"MR of RTC only", 1, pack_bits(repeat(eol1(), 6)), false},
        {"MR of 0xFF", 1, bytes_of(100000, 0xFF), false},
        {"MR of zeros", 1, bytes_of(100000, 0x00), false},
        {"MMR ended by EOFB", 3, pack_bits(v0() + horizontal(100, 50) + v0() + repeat(eol_bits(), 2)), true},
        {"MMR ended after a whole line", 3, pack_bits(v0() + horizontal(100, 50) + v0() + kZeros), true},
        {"MMR ended inside a line", 3, pack_bits(v0() + horizontal(100, 50)), false},
        {"MMR ended inside a horizontal mode", 3, pack_bits(v0() + mode_bits(1) + run_bits(false, 100)), false},
        {"MMR with noise after EOFB", 3, pack_bits(v0() + repeat(eol_bits(), 2) + "1"), false},
        {"MMR of EOFB only", 3, pack_bits(repeat(eol_bits(), 2)), false},
        {"MMR of zeros", 3, bytes_of(100000, 0x00), false},
    };
}

TEST(CleanPage, EndsAtAnEndMarkerOrAfterAWholeLineWithOnlyFillAfter)
{
    for (const auto &c : cases()) {
        for (bool reference : {false, true}) {
            const decdiff::outcome got =
                decdiff::decode(reference, c.data.data(), static_cast<int>(c.data.size()), c.mode, kWidth);
            EXPECT_EQ(got.report.clean != 0, c.clean) << c.name << (reference ? " (bit by bit)" : "");
        }
        // The process-wide decoder reports the same.
        decode(c.data, c.mode);
        t4dec_report report{};
        t4dec_get_report(&report);
        EXPECT_EQ(report.clean != 0, c.clean) << c.name << " (default context)";
        putrunlen(1, 0, nullptr, nullptr, nullptr);
    }
}

std::vector<int> line_flags(const std::vector<uint8_t> &data, int mode)
{
    std::vector<int> flags;
    t4dec_context *ctx = t4dec_context_new(kWidth);
    t4dec_decode_spans_ctx(
        ctx, data.data(), static_cast<int>(data.size()), mode,
        [](void *user, const int16_t *, int, int f) { static_cast<std::vector<int> *>(user)->push_back(f); },
        &flags);
    t4dec_context_free(ctx);
    return flags;
}

TEST(CodedLines, OnlyLinesWithCodesOfTheirOwnAreMarked)
{
    constexpr int ended = T4DEC_LINE_ENDED | T4DEC_LINE_HAD_RUNS;
    constexpr int coded = ended | T4DEC_LINE_CODED;
    // MH: the first EOL closes a line of none, RTC's later EOLs five more;
    // an all-white line coded as such carries its code.
    const std::string white_line = run_bits(false, kWidth);
    EXPECT_EQ(line_flags(pack_bits(eol_bits() + kLine + eol_bits() + white_line + repeat(eol_bits(), 6)), 0),
              (std::vector<int>{ended, coded, coded, ended, ended, ended, ended, ended}));
    // MH lines long enough for the fast loops, whose ends of line are taken there.
    std::string long_line;
    for (int i = 0; i < 8; ++i)
        long_line += run_bits(false, 100) + run_bits(true, 100);
    long_line += run_bits(false, kWidth - 1600);
    EXPECT_EQ(line_flags(pack_bits(eol_bits() + long_line + eol_bits() + long_line + repeat(eol_bits(), 3)), 0),
              (std::vector<int>{ended, coded, coded, ended, ended}));
    // MR: RTC's second to fifth EOLs end lines without codes.
    EXPECT_EQ(line_flags(pack_bits(eol1() + kLine + eol0() + v0() + v0() + v0() + repeat(eol1(), 6)), 1),
              (std::vector<int>{coded, coded, T4DEC_LINE_ENDED, T4DEC_LINE_ENDED, T4DEC_LINE_ENDED,
                                T4DEC_LINE_ENDED}));
    // MMR: the EOFB's line has none.
    EXPECT_EQ(line_flags(pack_bits(v0() + v0() + repeat(eol_bits(), 2)), 3),
              (std::vector<int>{coded, coded, T4DEC_LINE_ENDED}));
}

// MMR codes that a decoder reading T.6 to the letter takes otherwise: each
// case once at the end of the data (the bit-by-bit path) and once ahead of
// lines enough for the table-driven loops, whose results must agree.
TEST(NonstandardCodes, CountedWhereAStandardDecoderReadsOtherwise)
{
    using namespace t4codes;
    const std::string white = mode_bits(MODE_HORIZONTAL) + run_bits(false, kWidth) + run_bits(true, 0);
    const std::string eofb = repeat(eol_bits(), 2);
    // A reference white at pixel 0, black at pixels 1-2; then a line that VL1
    // starts black at pixel 0, where the legacy b1 is pixel 0 itself.
    const std::string ref_white_first = horizontal(1, 2) + v0();
    const std::string black_at_0 = mode_bits(MODE_VL1);
    // A reference black from pixel 0; two runs of no pixels leave a0 on pixel 0.
    const std::string ref_black_first = horizontal(0, 5) + v0();
    const std::string no_pixels = horizontal(0, 0);
    struct nonstandard_case {
        const char *name;
        std::string bits;
        int count;
        bool clean;
        bool last = false;  // only at the end of the data
    };
    const std::vector<nonstandard_case> cases = {
        {"standard lines", ref_white_first + white, 0, true},
        {"vertical at pixel 0", ref_white_first + black_at_0 + mode_bits(MODE_VR2) + v0(), 1, true},
        {"pass at pixel 0", ref_white_first + black_at_0 + mode_bits(MODE_PASS) + v0() + v0(), 1, true},
        {"horizontal at pixel 0 reads alike",
         ref_white_first + black_at_0 + mode_bits(MODE_HORIZONTAL) + run_bits(true, 4) + run_bits(false, kWidth - 4),
         0, true},
        {"after runs of no pixels", ref_black_first + no_pixels + v0() + v0() + v0(), 1, true},
        {"pass to the width alike", white + horizontal(0, kWidth) + no_pixels + mode_bits(MODE_PASS), 0, true},
        {"extension code", "0000001" + white, 1, true},
        {"extension code at the end", white + "0000001", 1, true},
        {"EOL between lines", white + eol_bits() + white, 1, true},
        {"EOFB inside a line", horizontal(100, 50), 1, true, true},
    };
    std::string filler;
    for (int i = 0; i < 40; ++i)
        filler += white;
    for (const nonstandard_case &c : cases) {
        for (const std::string &bits : {filler + c.bits + eofb, c.last ? "" : c.bits + filler + eofb}) {
            if (bits.empty())
                continue;
            const std::vector<uint8_t> data = pack_bits(bits);
            for (unsigned set : {0u, unsigned{decdiff::ALL}, unsigned{decdiff::SPANS}}) {
                const decdiff::outcome got =
                    decdiff::decode(false, data.data(), static_cast<int>(data.size()), 3, kWidth, set);
                EXPECT_EQ(got.report.nonstandard, c.count) << c.name << ", callbacks " << set;
                EXPECT_EQ(got.report.clean != 0, c.clean) << c.name << ", callbacks " << set;
            }
        }
    }
}

}  // namespace
