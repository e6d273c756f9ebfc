// Drives faxtool and the independent readers from tests: netpbm, libtiff's
// tools, ghostscript, poppler, qpdf, and pelmorin as the reference for the
// rows a fax page decodes to.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "raster/sunraster.h"
#include "tests/support/fax_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/test_pages.h"

namespace faxtooltest {

using faxbuilder::bytes;
using testpages::page;

inline progrun::result faxtool(const std::vector<std::string> &args, const std::string &cwd = "")
{
    return progrun::run(FAXTOOL_PATH, args, cwd);
}

inline progrun::result shell(const std::string &command, const std::string &cwd = "")
{
    return progrun::run("/bin/sh", {"-c", command}, cwd);
}

// Fails the test, naming the package, when a reader is not installed.
inline bool have_tool(const std::string &tool, const std::string &package)
{
    if (shell("command -v " + tool).status == 0)
        return true;
    ADD_FAILURE() << tool << " is missing: install the Debian package " << package;
    return false;
}

// A bilevel image as PBM holds it: 1 black, rows padded to whole bytes.
struct image {
    int width = 0;
    int height = 0;
    bytes bits;
    bool operator==(const image &) const = default;
};

inline std::string describe(const image &a, const image &b)
{
    if (a.width != b.width || a.height != b.height)
        return std::to_string(a.width) + "x" + std::to_string(a.height) + " against " +
               std::to_string(b.width) + "x" + std::to_string(b.height);
    const int row_bytes = (a.width + 7) / 8;
    for (std::size_t i = 0; i < a.bits.size(); ++i)
        if (a.bits[i] != b.bits[i])
            return "first difference in row " + std::to_string(i / row_bytes) + " near pixel " +
                   std::to_string(i % row_bytes * 8);
    return "same";
}

// Every image of a PBM stream (P4 or P1), as netpbm writes several in a row.
inline std::vector<image> parse_pbm(const bytes &data)
{
    std::vector<image> images;
    std::size_t at = 0;
    auto skip = [&] {
        while (at < data.size() && (isspace(data[at]) || data[at] == '#')) {
            if (data[at] == '#')
                while (at < data.size() && data[at] != '\n')
                    ++at;
            else
                ++at;
        }
    };
    auto number = [&] {
        skip();
        int n = 0;
        while (at < data.size() && isdigit(data[at]))
            n = n * 10 + (data[at++] - '0');
        return n;
    };
    for (skip(); at + 2 <= data.size() && data[at] == 'P'; skip()) {
        const bool raw = data[at + 1] == '4';
        at += 2;
        image im;
        im.width = number();
        im.height = number();
        const std::size_t row_bytes = (im.width + 7) / 8;
        im.bits.assign(row_bytes * im.height, 0);
        if (raw) {
            ++at;
            if (data.size() - at < im.bits.size())
                break;
            std::copy_n(data.begin() + at, im.bits.size(), im.bits.begin());
            at += im.bits.size();
        } else {
            for (int y = 0; y < im.height; ++y)
                for (int x = 0; x < im.width; ++x) {
                    skip();
                    if (at < data.size() && data[at++] == '1')
                        im.bits[y * row_bytes + x / 8] |= 0x80 >> (x % 8);
                }
        }
        images.push_back(std::move(im));
    }
    return images;
}

inline image image_of(const page &p)
{
    return {testpages::kWidth, static_cast<int>(p.lines.size()), testpages::pack(p)};
}

inline bytes pbm_of(const std::vector<image> &images, bool plain = false)
{
    bytes out;
    for (const image &im : images) {
        const std::string head = std::string(plain ? "P1\n" : "P4\n") + std::to_string(im.width) + " " +
                                 std::to_string(im.height) + "\n";
        out.insert(out.end(), head.begin(), head.end());
        if (!plain) {
            out.insert(out.end(), im.bits.begin(), im.bits.end());
            continue;
        }
        const int row_bytes = (im.width + 7) / 8;
        for (int y = 0; y < im.height; ++y) {
            for (int x = 0; x < im.width; ++x)
                out.push_back((im.bits[y * row_bytes + x / 8] >> (7 - x % 8) & 1) ? '1' : '0');
            out.push_back('\n');
        }
    }
    return out;
}

// The pages pelmorin -2 writes for a fax file, unscrambled: pr_load reads
// the little-endian file, each 16-bit unit holds its two bytes swapped.
inline std::vector<image> pelmorin_pages(const std::string &fax, const progrun::temp_dir &dir)
{
    std::vector<image> pages;
    const std::string stem = dir.file("pel-page");
    progrun::result r = progrun::run(PELMORIN_PATH, {"-2", fax, stem});
    EXPECT_EQ(r.status, 0) << r.out;
    for (int n = 1;; ++n) {
        const std::string name = stem + std::to_string(n);
        std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(name.c_str(), "rb"), std::fclose);
        if (!file)
            break;
        pixrect *pr = pr_load(file.get(), nullptr);
        if (pr == nullptr)
            break;
        image im{pr->width, pr->height, {}};
        const int line_bytes = pr->data->line_bytes;
        for (int y = 0; y < pr->height; ++y)
            for (int i = 0; i < pr->width / 8; ++i)
                im.bits.push_back(pr->data->image[y * line_bytes + (i ^ 1)]);
        free_pixrect(pr);
        pages.push_back(std::move(im));
        std::remove(name.c_str());
    }
    return pages;
}

// Rows 0, 2, 4, ... of a page whose every row pelmorin doubled.
inline image undoubled(const image &im)
{
    image out{im.width, im.height / 2, {}};
    const std::size_t row_bytes = (im.width + 7) / 8;
    for (int y = 0; y < im.height; y += 2)
        out.bits.insert(out.bits.end(), im.bits.begin() + y * row_bytes, im.bits.begin() + (y + 1) * row_bytes);
    return out;
}

// `before` white rows, the image's rows widened to 1728 pixels, `after` white rows.
inline image fax_rows(const image &im, int before, int after)
{
    image out{testpages::kWidth, im.height + before + after, {}};
    out.bits.assign(static_cast<std::size_t>(out.height) * testpages::kLineBytes, 0);
    const std::size_t row_bytes = (im.width + 7) / 8;
    for (int y = 0; y < im.height; ++y)
        std::copy_n(im.bits.begin() + y * row_bytes, row_bytes,
                    out.bits.begin() + (y + before) * testpages::kLineBytes);
    return out;
}

// A fax file of the given pages, each coded MH by the test's own builder.
inline bytes mh_fax(const std::vector<page> &pages, int resolution)
{
    std::vector<bytes> coded;
    for (const page &p : pages)
        coded.push_back(faxbuilder::mh_page(p, true));
    return faxbuilder::fax_file("RESOLUTION:" + std::to_string(resolution) + "\nCOMPRESSION:0\n#PAGES:" +
                                    std::to_string(pages.size()) + "\n",
                                coded);
}

}  // namespace faxtooltest
