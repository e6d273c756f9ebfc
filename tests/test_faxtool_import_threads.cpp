// faxtool import codes an image's pages on two threads when it has two
// CPUs: held to one CPU it codes them on one. Either way the fax file, the
// messages and the status are the same, over many pages, a page too long to
// hold, images that fail part way and a pipe.
#include <gtest/gtest.h>

#include <sched.h>

#include <cstdio>

#include "faxfile/fax_file.h"
#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;

struct outcome {
    progrun::result run;
    bool written = false;
    bytes fax;
};

// `command` runs faxtool (FAXTOOL in it) through the shell in `dir`, on one
// CPU when `one_cpu`; its fax file is out.fax.
outcome import_with(const progrun::temp_dir &dir, std::string command, bool one_cpu)
{
    std::remove(dir.file("out.fax").c_str());
    const std::size_t at = command.find("FAXTOOL");
    command.replace(at, 7, std::string(one_cpu ? "taskset -c 0 " : "") + FAXTOOL_PATH);
    outcome o;
    o.run = shell(command, dir.path);
    o.written = progrun::file_exists(dir.file("out.fax"));
    if (o.written)
        o.fax = progrun::read_file(dir.file("out.fax"));
    return o;
}

std::size_t page_count(const bytes &file)
{
    fax_file_ptr fax(fax_file_open_memory(file.data(), file.size(), nullptr, nullptr));
    return fax ? fax->page_count : 0;
}

image random_image(int width, int height, uint32_t seed)
{
    image im{width, height, bytes(static_cast<std::size_t>((width + 7) / 8) * height)};
    for (uint8_t &b : im.bits)
        b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24) & 0x11;
    return im;
}

// Nine pages, more than the pages held at once, of several widths.
std::vector<image> many_pages()
{
    std::vector<image> pages;
    for (int i = 0; i < 9; ++i)
        pages.push_back(i % 3 == 2 ? random_image(1001 + i, 40 + i, i)
                                   : image_of(i % 2 ? testpages::text_page(300 + 7 * i, i)
                                                    : testpages::random_page(250 + 11 * i, i)));
    return pages;
}

class ImportThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        cpu_set_t cpus;
        if (sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2)
            GTEST_SKIP() << "one CPU: both runs would code on one thread";
        const std::vector<image> many = many_pages();
        progrun::write_file(dir.file("many.pbm"), pbm_of(many));
        // A page of 20000 rows is past what a slot holds: it is coded as read.
        image tall{1728, 20000, bytes(216 * 20000, 0)};
        for (std::size_t row = 0; row < 20000; row += 97)
            tall.bits[row * 216 + row % 216] = 0xF0;
        progrun::write_file(dir.file("tall.pbm"), pbm_of({many[0], tall, many[1], many[2]}));
        bytes cut = pbm_of({many[0], many[1], many[2], many[3], many[4], many[5]});
        cut.resize(cut.size() - 500);
        progrun::write_file(dir.file("cut.pbm"), cut);
        const image wide{1729, 2, bytes(2 * 217, 0)};
        progrun::write_file(dir.file("wide.pbm"), pbm_of({many[0], many[1], many[2], many[3], many[4], wide}));
    }

    // The same run on two CPUs and on one; the one-CPU outcome.
    outcome expect_same(const std::string &command)
    {
        const outcome two = import_with(dir, command, false);
        const outcome one = import_with(dir, command, true);
        EXPECT_EQ(two.run.status, one.run.status) << command;
        EXPECT_EQ(two.run.out, one.run.out) << command;
        EXPECT_EQ(two.run.err, one.run.err) << command;
        EXPECT_EQ(two.written, one.written) << command;
        EXPECT_TRUE(two.fax == one.fax) << command << ": the fax files differ";
        return one;
    }

    progrun::temp_dir dir;
};

TEST_F(ImportThreads, SamePagesOnTwoThreads)
{
    for (const char *coding : {"mh", "mr", "mmr"}) {
        const std::string c = std::string(" -c ") + coding;
        outcome o = expect_same("FAXTOOL import" + c + " -o out.fax many.pbm tall.pbm many.pbm");
        EXPECT_EQ(o.run.status, 0) << o.run.err;
        EXPECT_EQ(page_count(o.fax), 22u) << coding;
        o = expect_same("cat many.pbm tall.pbm | FAXTOOL import" + c + " -o out.fax /dev/stdin");
        EXPECT_EQ(o.run.status, 0) << o.run.err;
        EXPECT_EQ(page_count(o.fax), 13u) << coding;
    }
}

TEST_F(ImportThreads, FailurePartWayIsTheSame)
{
    for (const char *coding : {"mh", "mr", "mmr"}) {
        const std::string c = std::string(" -c ") + coding;
        outcome o = expect_same("FAXTOOL import" + c + " -o out.fax many.pbm cut.pbm many.pbm wide.pbm tall.pbm");
        EXPECT_EQ(o.run.status, 1);
        EXPECT_EQ(o.run.err, "faxtool: cut.pbm: the PBM image is cut short\n"
                             "faxtool: wide.pbm: page 6 is 1729 pixels wide; a fax page holds at most 1728\n");
        EXPECT_FALSE(o.written);
        o = expect_same("cat many.pbm wide.pbm | FAXTOOL import" + c + " -o out.fax /dev/stdin");
        EXPECT_EQ(o.run.status, 1);
        EXPECT_NE(o.run.err.find("page 15 is 1729 pixels wide"), std::string::npos) << o.run.err;
    }
}

}  // namespace
