// The PBM reader: plain (P1) and raw (P4) images, several in a row as
// netpbm writes them, read row by row from the input; raw rows can also be
// had where the input's buffer holds them.
#include <algorithm>
#include <cstring>
#include <new>

#include "faxtool/image_formats.h"

namespace {

struct pbm_state {
    image_input *in = nullptr;
    bool raw = false;
    int64_t width = 0;
    int64_t rows_left = 0;
    int pages = 0;
    // The white space after a page's last row waits when its rows were
    // handed out in place: reading it could refill the buffer under them.
    bool space_pending = false;
};

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// White space and comments, which run to the end of their line.
void skip_space(image_input &in)
{
    for (int c = input_peek(in); c >= 0; c = input_peek(in)) {
        if (c == '#') {
            while ((c = input_peek(in)) >= 0 && c != '\n' && c != '\r')
                input_get(in);
        } else if (is_space(c)) {
            input_get(in);
        } else {
            return;
        }
    }
}

// A number is read whole, leading zeros and all; one beyond any size a
// page could have is refused by its own digits.
bool read_number(image_input &in, const char *what, int64_t &value, std::string &reason)
{
    constexpr int MAX_DIGITS = 18;  // below 2^63
    constexpr std::size_t SHOWN_DIGITS = 40;
    skip_space(in);
    value = 0;
    bool any = false;
    std::string digits;
    for (int c = input_peek(in); c >= '0' && c <= '9'; c = input_peek(in)) {
        input_get(in);
        any = true;
        if (digits.empty() && c == '0')
            continue;
        if (digits.size() < SHOWN_DIGITS)
            digits.push_back(static_cast<char>(c));
        else if (digits.size() == SHOWN_DIGITS)
            digits += "...";
        if (digits.size() <= MAX_DIGITS)
            value = value * 10 + (c - '0');
    }
    if (!any) {
        reason = in.error != 0 ? std::strerror(in.error) : "bad PBM header";
        return false;
    }
    if (digits.size() > MAX_DIGITS) {
        reason = std::string("the PBM ") + what + " " + digits + " is too large";
        return false;
    }
    return true;
}

bool read_raw_row(pbm_state &pbm, uint8_t *row, std::string &reason)
{
    const std::size_t bytes = bilevel_row_bytes(pbm.width);
    if (input_read(*pbm.in, row, bytes) < bytes) {
        reason = input_short_reason(*pbm.in, "the PBM image is cut short");
        return false;
    }
    clear_padding(row, pbm.width);
    return true;
}

bool read_plain_row(pbm_state &pbm, uint8_t *row, std::string &reason)
{
    std::memset(row, 0, bilevel_row_bytes(pbm.width));
    for (int64_t x = 0; x < pbm.width; ++x) {
        skip_space(*pbm.in);
        const int c = input_get(*pbm.in);
        if (c != '0' && c != '1') {
            reason = input_short_reason(*pbm.in, "the PBM image is cut short");
            return false;
        }
        if (c == '1')
            row[x >> 3] |= static_cast<uint8_t>(0x80u >> (x & 7));
    }
    return true;
}

bool read_pbm_row(pbm_state &pbm, uint8_t *row, std::string &reason)
{
    if (!(pbm.raw ? read_raw_row(pbm, row, reason) : read_plain_row(pbm, row, reason)))
        return false;
    if (--pbm.rows_left == 0)
        skip_space(*pbm.in);
    return true;
}

void *pbm_open(image_input &in, std::string &reason)
{
    auto *pbm = new (std::nothrow) pbm_state;
    if (pbm == nullptr)
        reason = "out of memory";
    else
        pbm->in = &in;
    return pbm;
}

int pbm_next_page(void *state, image_page_size &size, std::string &reason)
{
    pbm_state &pbm = *static_cast<pbm_state *>(state);
    image_input &in = *pbm.in;
    if (pbm.space_pending) {
        skip_space(in);
        pbm.space_pending = false;
    }
    // Rows a caller did not take are passed over.
    uint8_t row[FAX_ROW_BYTES];
    while (pbm.rows_left > 0)
        if (!read_pbm_row(pbm, row, reason))
            return -1;
    if (pbm.pages > 0 && input_peek(in) < 0) {
        if (in.error == 0)
            return 0;
        reason = std::strerror(in.error);
        return -1;
    }
    const int p = input_get(in);
    const int kind = input_get(in);
    if (p != 'P' || (kind != '1' && kind != '4')) {
        reason = pbm.pages == 0 ? "not a PBM image (P1 or P4)"
                                : "image " + std::to_string(pbm.pages + 1) + " is not a PBM image";
        return -1;
    }
    pbm.raw = kind == '4';
    int64_t width = 0, height = 0;
    if (!read_number(in, "width", width, reason) || !read_number(in, "height", height, reason))
        return -1;
    ++pbm.pages;
    if (!page_size_acceptable(width, height, pbm.pages, reason))
        return -1;
    if (pbm.raw)
        input_get(in);  // the single white-space byte after the height
    pbm.width = width;
    pbm.rows_left = height;
    size.width = static_cast<int32_t>(width);
    size.height = static_cast<int32_t>(height);
    return 1;
}

bool pbm_read_rows(void *state, uint8_t *rows, int32_t count, std::size_t stride, std::string &reason)
{
    pbm_state &pbm = *static_cast<pbm_state *>(state);
    for (int32_t i = 0; i < count; ++i) {
        if (pbm.rows_left == 0) {
            reason = "no rows are left on the page";
            return false;
        }
        if (!read_pbm_row(pbm, rows + static_cast<std::size_t>(i) * stride, reason))
            return false;
    }
    return true;
}

bool pbm_rows_in_place(void *state) { return static_cast<const pbm_state *>(state)->raw; }

// As many whole rows as the buffer holds, once it holds one.
int32_t pbm_view_rows(void *state, int32_t max, const uint8_t **rows, std::string &reason)
{
    pbm_state &pbm = *static_cast<pbm_state *>(state);
    image_input &in = *pbm.in;
    if (pbm.rows_left == 0) {
        reason = "no rows are left on the page";
        return -1;
    }
    const std::size_t bytes = bilevel_row_bytes(pbm.width);
    if (in.end - in.at < bytes && input_fill_to(in, bytes) < bytes) {
        reason = input_short_reason(in, "the PBM image is cut short");
        return -1;
    }
    const auto held = static_cast<int64_t>((in.end - in.at) / bytes);
    const auto count = static_cast<int32_t>(std::min({static_cast<int64_t>(max), pbm.rows_left, held}));
    uint8_t *first = in.buffer + in.at;
    for (int32_t i = 0; i < count && pbm.width % 8 != 0; ++i)
        clear_padding(first + static_cast<std::size_t>(i) * bytes, pbm.width);
    in.at += static_cast<std::size_t>(count) * bytes;
    pbm.rows_left -= count;
    pbm.space_pending = pbm.rows_left == 0;
    *rows = first;
    return count;
}

void pbm_close(void *state) { delete static_cast<pbm_state *>(state); }

long pbm_page_count(void *) { return -1; }

}  // namespace

const image_format PBM_FORMAT = {pbm_open,       pbm_next_page,     pbm_read_rows, pbm_close,
                                 pbm_page_count, pbm_rows_in_place, pbm_view_rows};
