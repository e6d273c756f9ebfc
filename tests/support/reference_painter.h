// The page bitmap painter as it first was, one pixel at a time, and a player
// that feeds the same runs and ends of line to it and to the converter's
// painter and reports the first difference. Header-only, so that the fuzz
// targets can use it without the test support library.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/pelmorin.h"
#include "t4/t4dec.h"

namespace refpainter {

struct state {
    std::vector<unsigned char> bitmap;  // empty until the first page
    std::size_t bitmap_size = INITIAL_BITMAP_SIZE;
    bool failed = false;
    int64_t run_position = 0;
    int64_t line_count = 0;
    int output_resolution = 1;
    int input_resolution = 0;
    int page_number = 1;
    int32_t scramble_seed = 0;
    int64_t shift_line = -1;  // the shift of the line last asked for
    int shift = 0;
    int64_t line_cap = INT64_MAX;  // lines past it are neither painted nor counted
};

inline bool ensure_holds(state &s, std::size_t bytes)
{
    if (bytes <= s.bitmap_size)
        return true;
    std::size_t steps = (bytes - s.bitmap_size + BITMAP_GROWTH - 1) / BITMAP_GROWTH;
    if (steps > (SIZE_MAX - s.bitmap_size) / BITMAP_GROWTH)
        return false;
    std::size_t new_size = s.bitmap_size + steps * BITMAP_GROWTH;
    if (new_size > (std::size_t{1} << 34))  // far beyond any page the players make
        return false;
    s.bitmap.resize(new_size, 0);
    s.bitmap_size = new_size;
    return true;
}

inline void begin_page(state &s)
{
    s.run_position = 0;
    s.line_count = 0;
    s.failed = false;
    s.bitmap.assign(s.bitmap_size, 0);
}

inline void paint_run(state &s, int32_t n)
{
    if (s.line_count > s.line_cap)
        return;
    auto x = static_cast<int>(s.run_position % INPUT_LINE_WIDTH);
    int64_t magnitude = n < 0 ? -static_cast<int64_t>(n) : n;
    s.run_position += magnitude;
    if (s.failed)
        return;
    auto l = static_cast<uint64_t>(s.line_count);
    bool normal = s.input_resolution == 0, high = s.output_resolution == 2;
    uint64_t first = high ? (normal ? 432 * l : 216 * l) : 108 * (normal ? l : l / 2);
    uint64_t second = first + 216;
    bool doubled = high && normal;
    if (first > SIZE_MAX - 1001 || !ensure_holds(s, first + 1001)) {
        s.failed = true;
        return;
    }
    if (n >= 0)
        return;
    if (s.scramble_seed != 0 && s.page_number != 1) {
        if (s.shift_line != s.line_count) {
            s.shift = scramble_line_shift(s.line_count, s.scramble_seed);
            s.shift_line = s.line_count;
        }
        x -= s.shift;
        if (x < 0)
            x += INPUT_LINE_WIDTH;
    }
    auto count = static_cast<int>(std::min<int64_t>(magnitude, INPUT_LINE_WIDTH));
    for (int i = 0; i < count; ++i) {
        int p = high ? x : x / 2;
        std::size_t byte = static_cast<std::size_t>((p >> 3) ^ 1);
        auto mask = static_cast<unsigned char>(0x80 >> (p & 7));
        s.bitmap[first + byte] |= mask;
        if (doubled)
            s.bitmap[second + byte] |= mask;
        if (++x == INPUT_LINE_WIDTH)
            x = 0;
    }
}

inline void end_of_line(state &s)
{
    if (s.line_count > s.line_cap)
        return;
    s.run_position = 0;
    s.line_count += 1;
}

// Plays one script on both painters. The script's first byte picks the
// resolutions and whether a key scrambles; every later byte is an event:
//   00-7F  a run, black when bit 6 is set, of (b & 63) pixels; 63 takes
//          its length from the next two bytes
//   80-BF  an end of line; from 0xB0 a stretch of 2..15 lines without
//          runs, 0xBF takes the count from the next two bytes
//   C0-DF  an extreme run: one of 0, +-1728, -1729, -3456, INT32_MIN/MAX
//   E0-EF  the page ends and the next begins; bit 0: before comparing,
//          paint the open line so that the whole bitmaps must agree; bit 1:
//          the next page stops at line 2 + 5 * (bits 2-3)
//   F0-FF  a text-like line of short runs from the next byte, then its end
// Returns "" when both agree throughout, else what differed first.
class player {
public:
    std::string play(const uint8_t *data, std::size_t size)
    {
        if (size == 0)
            return "";
        static const int input_resolutions[] = {0, 1, 2, 3, 4, -1};
        start((data[0] & 1) ? 2 : 1, input_resolutions[((data[0] >> 1) & 7) % 6],
              (data[0] & 0x10) ? 0x2545F491 ^ (data[0] >> 5) : 0);
        std::size_t i = 1;
        auto next16 = [&]() {
            uint32_t v = 0;
            for (int k = 0; k < 2; ++k)
                v = (v << 8) | (i < size ? data[i++] : 0);
            return v;
        };
        while (i < size && error_.empty()) {
            uint8_t b = data[i++];
            if (b < 0x80) {
                int32_t length = (b & 63) == 63 ? static_cast<int32_t>(next16()) : b & 63;
                run((b & 0x40) ? -length : length);
            } else if (b < 0xC0) {
                uint32_t count = b < 0xB0 ? 1 : b < 0xBF ? b - 0xAE : next16();
                for (uint32_t k = 0; k < count && ref_.line_count < kMaxLines; ++k)
                    eol();
            } else if (b < 0xE0) {
                static const int32_t extremes[] = {0, 1728, -1728, -1729, -3456, INT32_MIN, INT32_MAX, -1};
                run(extremes[b & 7]);
            } else if (b < 0xF0) {
                next_page((b & 1) != 0, (b & 2) ? 2 + 5 * ((b >> 2) & 3) : INT64_MAX);
            } else {
                uint32_t seed = i < size ? data[i++] : 0;
                int32_t left = INPUT_LINE_WIDTH;
                for (bool black = false; left > 0 && error_.empty(); black = !black) {
                    seed = seed * 1103515245u + 12345u;
                    int32_t length = std::min<int32_t>(left, static_cast<int32_t>((seed >> 16) % (black ? 9 : 40)));
                    run(black ? -length : length);
                    left -= length;
                }
                eol();
            }
        }
        return finish();
    }

    // Page 1 of a run with a fresh bitmap on both sides.
    void start(int output_resolution, int input_resolution, int32_t scramble_seed)
    {
        ref_ = state{};
        error_.clear();
        ref_.output_resolution = output_resolution;
        ref_.input_resolution = input_resolution;
        ref_.scramble_seed = scramble_seed;
        release_page_bitmap();
        pelmorin.settings.output_resolution = output_resolution;
        pelmorin.input_resolution = input_resolution;
        pelmorin.scramble_seed = scramble_seed;
        pelmorin.shift_line = -1;
        begin();
    }

    // Compares the page that ends; `whole`: see compare_page. The next page
    // stops at line `line_cap`.
    void next_page(bool whole, int64_t line_cap = INT64_MAX)
    {
        compare_page(whole);
        ref_.page_number += 1;
        ref_.line_cap = line_cap;
        begin();
    }

    // Compares the last page in whole; "" when everything agreed.
    std::string finish()
    {
        compare_page(true);
        return error_;
    }

    void run(int32_t n)
    {
        paint_run(ref_, n);
        ::paint_run(n);
        check_counters("run", n);
    }

    void eol()
    {
        end_of_line(ref_);
        ::end_of_line();
        check_counters("end of line", 0);
    }

    // A coded page as the converter decodes it: the reference painter takes
    // the decoding's runs and ends of line, the converter's painter the same
    // decoding's lines whole. Then the counts must agree (a line's position
    // lives only inside it).
    void decode_whole_lines(t4dec_context *ctx, const unsigned char *data, int length, int mode)
    {
        t4dec_decode_ctx(ctx, data, length, mode, reference_run, nullptr, reference_eol, &ref_);
        t4dec_decode_spans_ctx(ctx, data, length, mode, paint_line_spans, nullptr);
        check_counters("lines", 0, false);
    }

    int64_t line_count() const { return ref_.line_count; }
    bool failed() const { return ref_.failed; }

    // Moves both to line `line` of the page, as a long run of lines without
    // runs would, without the wait.
    void jump_to_line(int64_t line)
    {
        ref_.line_count = line;
        pelmorin.line_count = line;
    }

private:
    static void reference_run(void *s, int32_t n) { paint_run(*static_cast<state *>(s), n); }
    static void reference_eol(void *s) { end_of_line(*static_cast<state *>(s)); }

    static constexpr int64_t kMaxLines = 12000;  // past the first growth step in most mappings

    void begin()
    {
        pelmorin.page_number = ref_.page_number;
        begin_page(ref_);
        if (begin_page_bitmap(ref_.line_cap) != 0)
            error_ = "no bitmap";
    }

    void check_counters(const char *event, int32_t run, bool positions = true)
    {
        if (!error_.empty())
            return;
        const pelmorin_state &s = pelmorin;
        if ((positions && s.run_position != ref_.run_position) || s.line_count != ref_.line_count ||
            s.bitmap_size != ref_.bitmap_size || s.bitmap_failed != ref_.failed)
            error_ = "counters differ after " + std::string(event) + " " + std::to_string(run) + " on line " +
                     std::to_string(ref_.line_count) + " of page " + std::to_string(ref_.page_number);
    }

    // The page's image must agree; with `whole`, the open line is painted
    // and every byte of the bitmap must agree.
    void compare_page(bool whole)
    {
        if (!error_.empty() || ref_.failed)
            return;
        int row_bytes = row_bytes_for(ref_.output_resolution);
        image_size size = page_image_size(ref_.output_resolution, ref_.input_resolution, ref_.line_count);
        auto image_bytes = static_cast<std::size_t>(size.height) * static_cast<std::size_t>(row_bytes);
        bool ref_ok = ensure_holds(ref_, image_bytes);
        bool ok = ensure_bitmap_holds(image_bytes) == 0;
        if (ref_ok != ok || pelmorin.bitmap_size != ref_.bitmap_size) {
            error_ = "growth for the image differs";
            return;
        }
        std::size_t bytes = image_bytes;
        if (whole) {
            finish_page_bitmap();
            bytes = ref_.bitmap_size;
        }
        const unsigned char *mine = pelmorin.page_bitmap.get();
        if (std::memcmp(mine, ref_.bitmap.data(), bytes) == 0)
            return;
        for (std::size_t k = 0; k < bytes; ++k)
            if (mine[k] != ref_.bitmap[k]) {
                error_ = "byte " + std::to_string(k) + " (row " + std::to_string(k / row_bytes) + ") of page " +
                         std::to_string(ref_.page_number) + " differs";
                return;
            }
    }

    state ref_;
    std::string error_;
};

}  // namespace refpainter
