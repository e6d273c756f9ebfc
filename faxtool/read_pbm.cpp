// The PBM reader: plain (P1) and raw (P4) images, several in a row as
// netpbm writes them. Every read is bounded by the bytes in memory.
#include <algorithm>
#include <cstring>

#include "faxtool/image_readers.h"
#include "faxtool/image_rows.h"

namespace {

struct pbm_cursor {
    const std::vector<uint8_t> &data;
    std::size_t at = 0;

    bool at_end() const { return at >= data.size(); }
    int peek() const { return at_end() ? -1 : data[at]; }
};

// White space and comments, which run to the end of their line.
void skip_space(pbm_cursor &in)
{
    while (!in.at_end()) {
        const int c = in.peek();
        if (c == '#') {
            while (!in.at_end() && in.peek() != '\n' && in.peek() != '\r')
                ++in.at;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            ++in.at;
        } else {
            return;
        }
    }
}

bool read_number(pbm_cursor &in, int64_t &value)
{
    skip_space(in);
    value = 0;
    const std::size_t start = in.at;
    while (!in.at_end() && in.peek() >= '0' && in.peek() <= '9' && in.at - start < 9)
        value = value * 10 + (in.data[in.at++] - '0');
    return in.at > start;
}

bool read_pbm_raster(pbm_cursor &in, bool raw, page_image &image, std::string &reason)
{
    if (raw) {
        ++in.at;  // the single white-space byte after the height
        const std::size_t bytes = image.bits.size();
        if (in.data.size() - std::min(in.at, in.data.size()) < bytes) {
            reason = "the PBM image is cut short";
            return false;
        }
        std::memcpy(image.bits.data(), in.data.data() + in.at, bytes);
        in.at += bytes;
        return true;
    }
    for (int32_t y = 0; y < image.height; ++y) {
        for (int32_t x = 0; x < image.width; ++x) {
            skip_space(in);
            const int c = in.peek();
            if (c != '0' && c != '1') {
                reason = "the PBM image is cut short";
                return false;
            }
            ++in.at;
            if (c == '1')
                set_black(image, x, y);
        }
    }
    return true;
}

}  // namespace

bool read_pbm_pages(const std::vector<uint8_t> &data, std::vector<page_image> &pages,
                    std::string &reason)
{
    pbm_cursor in{data};
    do {
        if (in.data.size() - in.at < 2 || in.data[in.at] != 'P' ||
            (in.data[in.at + 1] != '1' && in.data[in.at + 1] != '4')) {
            reason = pages.empty() ? "not a PBM image (P1 or P4)"
                                   : "image " + std::to_string(pages.size() + 1) + " is not a PBM image";
            return false;
        }
        const bool raw = in.data[in.at + 1] == '4';
        in.at += 2;
        int64_t width = 0, height = 0;
        if (!read_number(in, width) || !read_number(in, height)) {
            reason = "bad PBM header";
            return false;
        }
        if (!size_acceptable(width, height, reason))
            return false;
        // A raw image must be in the file before its rows get memory.
        if (raw && static_cast<uint64_t>((width + 7) / 8) * static_cast<uint64_t>(height) >
                       in.data.size() - in.at) {
            reason = "the PBM image is cut short";
            return false;
        }
        page_image image = blank_image(static_cast<int32_t>(width), static_cast<int32_t>(height));
        if (!raw && static_cast<uint64_t>(width * height) > in.data.size() - in.at) {
            reason = "the PBM image is cut short";
            return false;
        }
        if (!read_pbm_raster(in, raw, image, reason))
            return false;
        pages.push_back(std::move(image));
        skip_space(in);
    } while (!in.at_end());
    return true;
}
