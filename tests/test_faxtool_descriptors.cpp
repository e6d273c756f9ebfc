// The programs under hostile descriptors: standard ones closed, and a file
// system where no scratch file can be made.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;

const std::string kSample = std::string(EXAMPLES_DIR) + "/sample.fax";
const std::string kFaxtool = FAXTOOL_PATH;
const bytes kMagic = {0xBA, 0xDB, 0xAD, 0x16};

// Runs a command line with some standard descriptors closed ("0<&- >&-").
progrun::result closed(const std::string &command, const std::string &closing, const std::string &cwd = "")
{
    return shell("exec " + command + " " + closing, cwd);
}

bool has_magic(const std::string &path)
{
    const bytes data = progrun::read_file(path);
    return data.size() > 8 && std::equal(kMagic.begin(), kMagic.end(), data.begin());
}

const char *const kClosings[] = {">&-", "2>&-", "0<&- >&- 2>&-"};

TEST(ClosedDescriptors, ImportWritesAWholeFaxFile)
{
    progrun::temp_dir dir;
    const std::string pbm = dir.file("pages.pbm");
    ASSERT_EQ(faxtool({"export", "-t", "pbm", "-o", pbm, kSample}).status, 0);
    for (const char *closing : kClosings) {
        SCOPED_TRACE(closing);
        const std::string fax = dir.file("out.fax");
        std::remove(fax.c_str());
        EXPECT_EQ(closed(kFaxtool + " import -o " + fax + " " + pbm, closing).status, 0);
        EXPECT_TRUE(has_magic(fax));
        progrun::result r = faxtool({"info", fax});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("pages: 2 stated, 2 found"), std::string::npos) << r.out;
    }
}

TEST(ClosedDescriptors, InfoExportAndRecompressStillWork)
{
    progrun::temp_dir dir;
    ASSERT_EQ(faxtool({"export", "-o", dir.file("open"), kSample}).status, 0);
    for (const char *closing : kClosings) {
        SCOPED_TRACE(closing);
        EXPECT_EQ(closed(kFaxtool + " info " + kSample, closing).status, 0);
        EXPECT_EQ(closed(kFaxtool + " export -o " + dir.file("shut") + " " + kSample, closing).status, 0);
        for (const char *page : {"-1.png", "-2.png"})
            EXPECT_EQ(progrun::read_file(dir.file(std::string("shut") + page)),
                      progrun::read_file(dir.file(std::string("open") + page)));
        const std::string fax = dir.file("r.fax");
        progrun::write_file(fax, progrun::read_file(kSample));
        EXPECT_EQ(closed(kFaxtool + " recompress -c mmr " + fax, closing).status, 0);
        EXPECT_TRUE(has_magic(fax));
        progrun::result r = faxtool({"info", fax});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("COMPRESSION: 3"), std::string::npos) << r.out;
    }
}

TEST(ClosedDescriptors, PelmorinWritesTheSamePages)
{
    progrun::temp_dir dir;
    ASSERT_EQ(progrun::run(PELMORIN_PATH, {kSample, dir.file("open")}).status, 0);
    for (const char *closing : kClosings) {
        SCOPED_TRACE(closing);
        EXPECT_EQ(closed(std::string(PELMORIN_PATH) + " " + kSample + " " + dir.file("shut"), closing).status, 0);
        for (const char *page : {"1", "2"})
            EXPECT_EQ(progrun::read_file(dir.file(std::string("shut") + page)),
                      progrun::read_file(dir.file(std::string("open") + page)));
    }
    // Its messages still go where they went: nowhere, when stdout is shut.
    progrun::result r = closed(std::string(PELMORIN_PATH) + " " + dir.path + "/missing.fax " + dir.file("x"), ">&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

// The library's messages are caught without a scratch file: with /tmp
// read-only they still become the reason and stay off standard output.
TEST(LibraryMessages, CaughtWithoutAWritableTmp)
{
    if (shell("unshare -m true").status != 0)
        GTEST_SKIP() << "needs a mount namespace (unshare -m, as root) to make /tmp read-only";
    const std::string readme = std::string(EXAMPLES_DIR) + "/../README.md";
    progrun::result r = shell("unshare -m sh -c 'mount --bind -o ro /tmp /tmp && touch /tmp/.probe 2>/dev/null "
                              "&& exit 9; TMPDIR=/nonexistent exec " +
                              kFaxtool + " info --json " + readme + " " + kSample + "'");
    ASSERT_NE(r.status, 9) << "/tmp stayed writable";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("read_fax_header"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(0, 9), "{\"file\": ");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    EXPECT_EQ(r.err, "faxtool: " + readme + ": Bad fax file: Bad Magic Number\n");
}

// Every capture gives back what it took: hundreds of them fit in a handful
// of descriptors, and each one still yields its reason.
TEST(LibraryMessages, CapturesLeakNoDescriptor)
{
    const std::string readme = std::string(EXAMPLES_DIR) + "/../README.md";
    std::string files;
    for (int i = 0; i < 300; ++i)
        files += " " + readme;
    progrun::result r = shell("ulimit -n 16; exec " + kFaxtool + " info --json" + files);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::string expected;
    for (int i = 0; i < 300; ++i)
        expected += "faxtool: " + readme + ": Bad fax file: Bad Magic Number\n";
    EXPECT_EQ(r.err, expected);
}

}  // namespace
