// The command line: the scanner in-process, and the texts, streams and exit
// statuses of the program run as a subprocess.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/pelmorin.h"
#include "tests/support/program_runner.h"

namespace {

const std::string kUsage =
    "\nPelmorin Version  9.2     Release 9.01 syntax: \n\n"
    "pelmorin [-1 | -2] \\        /* 1 = low res (default), 2 = high res */\n"
    "         [-u ] \\            /* produce unencoded (standard raster) format */\n"
    "         [-k scramble_key] \\\n"
    "         infile outfile\n\n";
const std::string kRevision = "\nPelmorin Version  9.2     Release 9.01\n\n";
const std::string kVersionDate = "The date of this version: 07/26/99\n\n";

// --- the scanner ------------------------------------------------------------

int scan(std::vector<std::string> words, run_settings *out)
{
    words.insert(words.begin(), "pelmorin");
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return scan_arguments(static_cast<int>(words.size()), argv.data(), out);
}

struct scan_case {
    const char *name;
    std::vector<std::string> words;
    int action;
    // Expected settings when the action is SCAN_RUN.
    std::string infile, outfile;
    int resolution;
    bool scramble;
    std::string key;
};

class ScanArguments : public ::testing::TestWithParam<scan_case> {};

TEST_P(ScanArguments, GivesActionAndSettings)
{
    const scan_case &c = GetParam();
    run_settings settings;
    settings.outfile = "stale";  // the scanner starts from the defaults
    ASSERT_EQ(scan(c.words, &settings), c.action);
    if (c.action != SCAN_RUN)
        return;
    EXPECT_EQ(settings.infile, c.infile);
    EXPECT_EQ(settings.outfile, c.outfile);
    EXPECT_EQ(settings.output_resolution, c.resolution);
    EXPECT_EQ(settings.scramble_requested, c.scramble);
    EXPECT_EQ(settings.scramble_key, c.key);
}

const scan_case kScanCases[] = {
    {"Nothing", {}, SCAN_USAGE, "", "", 0, false, ""},
    {"PlainRun", {"in.fax", "pg"}, SCAN_RUN, "in.fax", "pg", 1, false, ""},
    {"NoOutputStem", {"-2", "in.fax"}, SCAN_USAGE, "", "", 0, false, ""},
    {"KeyMissing", {"-k"}, SCAN_USAGE, "", "", 0, false, ""},
    {"UnknownOption", {"-x", "a", "b"}, SCAN_USAGE, "", "", 0, false, ""},
    {"LoneDash", {"-", "a", "b"}, SCAN_USAGE, "", "", 0, false, ""},
    {"Help", {"-help", "a", "b"}, SCAN_USAGE, "", "", 0, false, ""},
    {"Rev", {"-rev", "a", "b"}, SCAN_REV, "", "", 0, false, ""},
    {"Help2", {"-help2", "-x"}, SCAN_HELP2, "", "", 0, false, ""},
    {"UsageBeforeRev", {"-x", "-rev"}, SCAN_USAGE, "", "", 0, false, ""},
    {"HighRes", {"-2", "a", "b"}, SCAN_RUN, "a", "b", 2, false, ""},
    {"LaterOptionWins", {"-2", "-1xyz", "a", "b"}, SCAN_RUN, "a", "b", 1, false, ""},
    {"SecondCharOnly", {"-2nd", "a", "b"}, SCAN_RUN, "a", "b", 2, false, ""},
    {"UnencodedAccepted", {"-u", "a", "b"}, SCAN_RUN, "a", "b", 1, false, ""},
    {"HIgnored", {"-h", "a", "b"}, SCAN_RUN, "a", "b", 1, false, ""},
    {"HelpmeIgnored", {"-helpme", "a", "b"}, SCAN_RUN, "a", "b", 1, false, ""},
    {"RIgnored", {"-r", "-2", "a", "b"}, SCAN_RUN, "a", "b", 2, false, ""},
    {"RevxIgnored", {"-revx", "a", "b"}, SCAN_RUN, "a", "b", 1, false, ""},
    {"Key", {"-k", "secret", "a", "b"}, SCAN_RUN, "a", "b", 1, true, "secret"},
    {"EmptyKeyStillScrambles", {"-k", "", "a", "b"}, SCAN_RUN, "a", "b", 1, true, ""},
    {"KeyTakesADashWord", {"-k", "-2", "a", "b"}, SCAN_RUN, "a", "b", 1, true, "-2"},
    {"KeyTakesRev", {"-k", "-rev", "a", "b"}, SCAN_RUN, "a", "b", 1, true, "-rev"},
    {"OutfileMayBeginWithDash", {"a", "-2", "b"}, SCAN_RUN, "a", "-2", 1, false, ""},
    {"EmptyInfile", {"", "b"}, SCAN_RUN, "", "b", 1, false, ""},
    {"InfileWithoutOutfile", {"a"}, SCAN_USAGE, "", "", 0, false, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, ScanArguments, ::testing::ValuesIn(kScanCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ScanArgumentsLimits, LongWordsAreKeptWhole)
{
    const std::string in(10000, 'i'), out(10000, 'o'), key(10000, 'k');
    run_settings settings;
    ASSERT_EQ(scan({"-k", key, in, out}, &settings), SCAN_RUN);
    EXPECT_EQ(settings.infile, in);
    EXPECT_EQ(settings.outfile, out);
    EXPECT_EQ(settings.scramble_key, key);
}

// --- the program --------------------------------------------------------------

struct cli_case {
    const char *name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

class ProgramTexts : public ::testing::TestWithParam<cli_case> {};

TEST_P(ProgramTexts, PrintsExactTextOnItsStream)
{
    const cli_case &c = GetParam();
    progrun::temp_dir dir;
    progrun::result r = progrun::run(PELMORIN_PATH, c.args, dir.path);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(dir.entries().empty()) << "no page file may be written";
}

const cli_case kCliCases[] = {
    {"NoArguments", {}, kUsage, "", 1},
    {"NoOutputStem", {"-2", "in.fax"}, kUsage, "", 1},
    {"KeyMissing", {"-k"}, kUsage, "", 1},
    {"UnknownOption", {"-x", "a", "b"}, kUsage, "", 1},
    {"Help", {"-help"}, kUsage, "", 1},
    {"Rev", {"-rev", "a", "b"}, "", kRevision, 0},
    {"Help2", {"-help2"}, "", kVersionDate, 0},
    {"EmptyInfile", {"", "b"}, "Missing fax file name ''\n", "", 1},
    {"InfileNotFound", {"nosuch.fax", "p"}, "Fax file nosuch.fax not found\n", "", 1},
    {"KeyConsumesRev", {"-k", "-rev", "nosuch", "p"}, "Fax file nosuch not found\n", "", 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, ProgramTexts, ::testing::ValuesIn(kCliCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ProgramLimits, VeryLongNamesAreReportedWhole)
{
    progrun::temp_dir dir;
    const std::string in(10000, 'n');
    progrun::result r = progrun::run(PELMORIN_PATH, {"-k", std::string(10000, 'k'), in, in}, dir.path);
    EXPECT_EQ(r.out, "Fax file " + in + " not found\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace
