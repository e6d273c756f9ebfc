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

std::string write_empty_pages(const progrun::temp_dir &dir, const std::string &name, long count)
{
    const std::string path = dir.file(name);
    std::unique_ptr<FILE, int (*)(FILE *)> out(std::fopen(path.c_str(), "wb"), std::fclose);
    EXPECT_TRUE(out != nullptr) << path;
    if (!out)
        return path;
    const bytes head = faxbuilder::prefix("RESOLUTION:1\nCOMPRESSION:1\n");
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

}  // namespace
