// A file of a million pages of no bytes: four bytes a page in the file may
// not cost faxtool a record, a line of text or a copy for every page on top
// of the file itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/faxtool_harness.h"
#include "tests/peak_memory.h"

namespace {

using namespace faxtooltest;

constexpr long kPages = 1000 * 1000;

std::string write_empty_pages(const progrun::temp_dir &dir, const std::string &name, long count,
                              const char *header = "RESOLUTION:1\nCOMPRESSION:1\n")
{
    const std::string path = dir.file(name);
    std::unique_ptr<FILE, int (*)(FILE *)> out(std::fopen(path.c_str(), "wb"), std::fclose);
    EXPECT_TRUE(out != nullptr) << path;
    if (!out)
        return path;
    const bytes head = faxbuilder::prefix(header);
    std::fwrite(head.data(), 1, head.size(), out.get());
    static const unsigned char no_length[4] = {0, 0, 0, 0};
    for (long i = 0; i < count; ++i)
        std::fwrite(no_length, 1, sizeof no_length, out.get());
    EXPECT_EQ(std::fflush(out.get()), 0);
    return path;
}

// Each page is still told of, in order, after the listing.
void expect_every_page_told(const measured &m, const std::string &path)
{
    EXPECT_EQ(m.status, 1);
    const std::string told = std::string("faxtool: ") + path + ": page ";
    const std::string first = told + "1: not clean\n";
    const std::string last = told + std::to_string(kPages) + ": not clean\n";
    EXPECT_EQ(m.err.compare(0, first.size(), first), 0) << m.err.substr(0, 200);
    ASSERT_GE(m.err.size(), last.size());
    EXPECT_EQ(m.err.substr(m.err.size() - last.size()), last);
}

TEST(EmptyPages, InfoAndExportTakeLittleMoreThanTheFile)
{
#ifdef PEAK_UNDER_SANITIZER
    GTEST_SKIP() << "peak memory means nothing under a sanitizer's shadow memory";
#endif
    progrun::temp_dir dir;
    const std::string one = write_empty_pages(dir, "one.fax", 1);
    const std::string many = write_empty_pages(dir, "many.fax", kPages);
    const long file_kb = (4 * kPages) / 1024;
    const measured base = run_measured({"info", "--json", one}, dir);
    ASSERT_EQ(base.status, 1) << base.err;
    for (const char *json : {"", "--json"}) {
        std::vector<std::string> args{"info", many};
        if (*json != '\0')
            args.insert(args.begin() + 1, json);
        const measured m = run_measured(args, dir);
        expect_every_page_told(m, many);
        EXPECT_LT(m.peak_kb, base.peak_kb + 2 * file_kb) << "info " << json;
    }
    for (const char *type : {"tiff", "pdf"}) {
        const measured m = run_measured({"export", "-t", type, "-o", dir.file(std::string("out.") + type), many}, dir);
        EXPECT_EQ(m.status, 1);
        EXPECT_NE(m.err.find(std::string("page ") + std::to_string(kPages) + " holds no lines"), std::string::npos);
        EXPECT_LT(m.peak_kb, base.peak_kb + 4 * file_kb) << "export -t " << type;
    }
}

// Listings waiting for their turn go out as they would one file at a time,
// byte for byte and in order, whether they stay in memory, spill to a
// temporary file or find none to spill to.
TEST(EmptyPages, LongListingsOfManyInputsKeepTheirBytesAndOrder)
{
    progrun::temp_dir dir;
    std::vector<std::string> args{"info", "-j", "3"};
    std::string out, err;
    for (const char *name : {"a.fax", "b.fax", "c.fax"}) {
        args.push_back(write_empty_pages(dir, name, 20000 + 37 * static_cast<long>(args.size())));
        const progrun::result alone = faxtool({"info", args.back()});
        out += alone.out;
        err += alone.err;
    }
    ASSERT_GT(out.size() / 3, 1000000u) << "each listing is larger than what is kept in memory";
    ASSERT_GT(err.size() / 3, 600000u);
    for (const char *tmpdir : {"", "TMPDIR= ", "TMPDIR=/nonexistent/dir "}) {
        for (const char *jobs : {"1", "3"}) {
            std::string command = std::string(tmpdir) + FAXTOOL_PATH + " info -j " + jobs;
            for (std::size_t i = 3; i < args.size(); ++i)
                command += " " + args[i];
            const progrun::result many = shell(command);
            EXPECT_EQ(many.status, 1) << command;
            EXPECT_TRUE(many.out == out) << command;
            EXPECT_TRUE(many.err == err) << command;
        }
    }
}

// Each input's listing and messages wait in a file, not in memory.
TEST(EmptyPages, InfoOverManyInputsHoldsNoListing)
{
#ifdef PEAK_UNDER_SANITIZER
    GTEST_SKIP() << "peak memory means nothing under a sanitizer's shadow memory";
#endif
    progrun::temp_dir dir;
    const std::string one = write_empty_pages(dir, "one.fax", 1);
    const std::string a = write_empty_pages(dir, "a.fax", kPages);
    const std::string b = write_empty_pages(dir, "b.fax", kPages);
    const long file_kb = (4 * kPages) / 1024;
    const measured base = run_measured({"info", "-j", "2", one, one}, dir);
    ASSERT_EQ(base.status, 1) << base.err;
    for (const char *json : {"--summary", "--json"}) {
        const measured m = run_measured({"info", json, "-j", "2", a, b}, dir);
        EXPECT_EQ(m.status, 1);
        EXPECT_LT(m.peak_kb, base.peak_kb + 3 * file_kb) << "info -j 2 " << json;
    }
}

// Neither the pages an export goes through, nor those a list names, nor
// the checks of an MMR file's pages cost a record for each page.
TEST(EmptyPages, ExportHoldsNoRecordPerPage)
{
#ifdef PEAK_UNDER_SANITIZER
    GTEST_SKIP() << "peak memory means nothing under a sanitizer's shadow memory";
#endif
    progrun::temp_dir dir;
    // Two pages: the base pays for the second thread that a file of several pages starts.
    const std::string two = write_empty_pages(dir, "two.fax", 2);
    const std::string many = write_empty_pages(dir, "many.fax", kPages);
    const std::string mmr = write_empty_pages(dir, "mmr.fax", kPages, "RESOLUTION:1\nCOMPRESSION:3\n");
    const long file_kb = (4 * kPages) / 1024;
    const std::vector<std::pair<std::string, std::vector<std::string>>> runs{
        {"tiff", {"export", "-t", "tiff", "-o", dir.file("out.tif"), mmr}},
        {"pdf", {"export", "-p", "1-1000000", "-t", "pdf", "-o", dir.file("out.pdf"), many}},
    };
    for (const auto &[type, args] : runs) {
        const measured base = run_measured({"export", "-t", type, "-o", dir.file("two." + type), two}, dir);
        ASSERT_EQ(base.status, 1) << base.err;
        const measured m = run_measured(args, dir);
        EXPECT_EQ(m.status, 1);
        EXPECT_NE(m.err.find(std::string("page ") + std::to_string(kPages) + " holds no lines"), std::string::npos);
        EXPECT_LT(m.peak_kb, base.peak_kb + 2 * file_kb) << args[2] << " " << args.back();
    }
}

}  // namespace
