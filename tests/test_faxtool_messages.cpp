// faxtool's diagnostics: what a user is told, and how often.
#include <gtest/gtest.h>

#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;

const std::string kSample = std::string(EXAMPLES_DIR) + "/sample.fax";

TEST(ExportMessages, EmptyPageListIsAUsageError)
{
    progrun::temp_dir dir;
    progrun::result r = faxtool({"export", "-p", "", "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "faxtool: export: bad page list ''");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(ExportMessages, RunOfMissingPagesIsOneLine)
{
    progrun::temp_dir dir;
    progrun::result r = faxtool({"export", "-p", "5,3-1000000,1", "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + kSample + ": no pages 3-1000000\n");
    r = faxtool({"export", "-p", "3,5-6,2", "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.err, "faxtool: " + kSample + ": no page 3\nfaxtool: " + kSample + ": no pages 5-6\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"p-1.png", "p-2.png"}));
}

// Each listed page is held; a list of many long ranges must not eat memory.
TEST(ExportMessages, PageListOfMoreThanAMillionPagesIsRefused)
{
    progrun::temp_dir dir;
    std::string list = "1-900000";
    for (int i = 1; i < 1000; ++i)
        list += "," + std::to_string(i * 1000000) + "-" + std::to_string(i * 1000000 + 999999);
    progrun::result r = faxtool({"export", "-p", list, "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(ExportMessages, FailedTiffSaysWhyOnce)
{
    progrun::temp_dir dir;
    const std::string out = dir.file("pages.tif");
    progrun::result r =
        shell("ulimit -f 1; exec " + std::string(FAXTOOL_PATH) + " export -o " + out + " " + kSample);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + out + ": File too large\n");
}

TEST(ExportMessages, UnknownCompressionNamesTheHeaderValue)
{
    progrun::temp_dir dir;
    const std::string fax = dir.file("odd.fax");
    const page p{"one", {testpages::white_line()}};
    progrun::write_file(fax, faxbuilder::fax_file("RESOLUTION:0\nCOMPRESSION:7\n#PAGES:1\n",
                                                  {faxbuilder::mh_page(p, true)}));
    const std::string expected = "faxtool: " + fax + ": unknown compression '7'\n";
    progrun::result r = faxtool({"info", fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
    r = faxtool({"export", "-o", dir.file("odd"), fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
}

TEST(StandardOutput, FullOutputFailsEvenForHelp)
{
    const std::string tool = FAXTOOL_PATH;
    progrun::result r = shell(tool + " --help > /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: cannot write standard output: No space left on device\n");
    r = shell(tool + " export -o - " + kSample + " > /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: standard output: No space left on device\n");
}

TEST(ImportMessages, DirectoryIsNotCalledAnImage)
{
    progrun::temp_dir dir;
    progrun::result r = faxtool({"import", "-o", dir.file("out.fax"), dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.path + ": Is a directory\n");
    EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
