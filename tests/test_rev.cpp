#include "util/rev.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Spliced so that scans of the test binary for what-strings find only the
// modules' own.
const std::string MARKER = std::string("@(") + "#)";
const std::string OWN = MARKER + "|pelmorin|9|01|2|0|0|07/26/99|14:47:50";

TEST(ParseWhatString, SplitsTheEightFieldsAfterTheMarker)
{
    ASSERT_EQ(parse_what_string(OWN.c_str(), &rev_last_parse), 1);
    const char *expected[] = {"pelmorin", "9", "01", "2", "0", "0", "07/26/99", "14:47:50"};
    for (int i = 0; i < 8; ++i)
        EXPECT_STREQ(rev_last_parse.fields[i], expected[i]) << "field " << i + 1;
    EXPECT_STREQ(rev_file(nullptr), "pelmorin");
    EXPECT_STREQ(rev_fifth(""), "0");
    EXPECT_STREQ(rev_sixth(nullptr), "0");
    EXPECT_STREQ(rev_time(nullptr), "14:47:50");
}

TEST(ParseWhatString, WorksOnAPrivateRecordWithoutTouchingTheCaller)
{
    what_record record{nullptr, {}};
    char text[64];
    std::strcpy(text, "xxxx|a|b|c|d|e|f|g|h");
    ASSERT_EQ(parse_what_string(text, &record), 1);  // the marker is dropped whatever it holds
    EXPECT_STREQ(record.fields[0], "a");
    EXPECT_STREQ(record.fields[7], "h");
    EXPECT_STREQ(text, "xxxx|a|b|c|d|e|f|g|h");
    EXPECT_EQ(parse_what_string(nullptr, &record), 0);
    EXPECT_EQ(record.copy, nullptr);
    EXPECT_EQ(record.fields[0], nullptr);
}

TEST(ParseWhatString, ShortStringKeepsTheFieldsFoundAndClearsTheRest)
{
    ASSERT_EQ(parse_what_string(OWN.c_str(), &rev_last_parse), 1);
    EXPECT_EQ(parse_what_string((MARKER + "|m|1|02").c_str(), &rev_last_parse), 0);
    EXPECT_STREQ(rev_last_parse.fields[0], "m");
    EXPECT_STREQ(rev_last_parse.fields[2], "02");
    for (int i = 3; i < 8; ++i)
        EXPECT_EQ(rev_last_parse.fields[i], nullptr) << "field " << i + 1;
}

TEST(ParseWhatString, TextInsideTheRecordItselfCanBeParsed)
{
    // The old copy is released only after the new text has been copied.
    ASSERT_EQ(parse_what_string(OWN.c_str(), &rev_last_parse), 1);
    EXPECT_EQ(parse_what_string(rev_last_parse.fields[0], &rev_last_parse), 0);
    EXPECT_STREQ(rev_last_parse.copy, "pelmorin");
}

TEST(RevGetters, AFailedParseGivesNoneAndLastParseIsReplaced)
{
    EXPECT_STREQ(rev_date(OWN.c_str()), "07/26/99");
    EXPECT_STREQ(rev_date(nullptr), "07/26/99");
    EXPECT_STREQ(rev_date((MARKER + "|m|10|01|1|0|0|04/08/02|14:29:10").c_str()), "04/08/02");
    EXPECT_STREQ(rev_date(""), "04/08/02");
    EXPECT_EQ(rev_file((MARKER + "|m|10|01|1|0|0|04/08/02").c_str()), nullptr);
    EXPECT_EQ(rev_time(nullptr), nullptr);
    EXPECT_STREQ(rev_file(nullptr), "m");
}

struct banner_case {
    const char *name;
    std::string what;
    const char *banner;  // null: the banner is not built
};

class VersionBanner : public testing::TestWithParam<banner_case> {};

TEST_P(VersionBanner, FormatsOrRefuses)
{
    const banner_case &c = GetParam();
    char out[128];
    std::memset(out, '#', sizeof out);
    int length = format_version_banner(c.what.c_str(), out, sizeof out);
    if (c.banner) {
        EXPECT_STREQ(out, c.banner);
        EXPECT_EQ(length, static_cast<int>(std::strlen(c.banner)));
    } else {
        EXPECT_EQ(length, 0);
        EXPECT_EQ(out[0], '#') << "out written although the banner was refused";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionBanner,
    testing::Values(
        banner_case{"Own", OWN, "Version  9.2     Release 9.01"},
        banner_case{"TwoDigitMajor", MARKER + "|m|10|01|1|0|0|04/08/02|14:29:10",
                    "Version 10.1     Release 10.01"},
        banner_case{"LetteredRelease", MARKER + "|m|9|b1|2|0|0|07/26/99|14:47:50",
                    "Version  9.2     Release 9b1"},
        banner_case{"LongVersionNotCut", MARKER + "|m|9|01|123456|0|0|07/26/99|14:47:50",
                    "Version  9.123456 Release 9.01"},
        banner_case{"SevenFields", MARKER + "|m|9|01|2|0|0|07/26/99", nullptr},
        banner_case{"EmptyFieldSkipped", MARKER + "||9|01|2|0|0|07/26/99|14:47:50", nullptr},
        banner_case{"NoMarker", "|pelmorin|9|01|2|0|0|07/26/99|14:47:50", nullptr},
        banner_case{"MarkerOnly", MARKER, nullptr}),
    [](const testing::TestParamInfo<banner_case> &info) { return std::string(info.param.name); });

TEST(VersionBannerBuffer, NeverWritesPastTheGivenSize)
{
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(format_version_banner(OWN.c_str(), out, 10), 9);
    EXPECT_STREQ(out, "Version  ");
    EXPECT_EQ(out[10], '#');

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(format_version_banner(OWN.c_str(), out, 0), 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(format_version_banner(OWN.c_str(), out, 1), 0);
    EXPECT_EQ(out[0], '\0');
}

TEST(VersionBannerBuffer, NoTextUsesTheLastParseAndLeavesTheDateForHelp)
{
    ASSERT_EQ(parse_what_string(OWN.c_str(), &rev_last_parse), 1);
    char out[64];
    EXPECT_EQ(format_version_banner(nullptr, out, sizeof out), 29);
    EXPECT_STREQ(out, "Version  9.2     Release 9.01");
    EXPECT_STREQ(rev_date(nullptr), "07/26/99");
}

}  // namespace
