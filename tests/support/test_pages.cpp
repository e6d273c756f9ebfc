#include "tests/support/test_pages.h"

#include <algorithm>
#include <random>

namespace testpages {

line white_line() { return line(kLineBytes, 0); }

bool pixel(const line &l, int x) { return (l[x / 8] >> (7 - x % 8)) & 1; }

void set_pixels(line &l, int from, int count)
{
    int end = std::min(from + count, kWidth);
    for (int x = std::max(from, 0); x < end; ++x)
        l[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

page random_page(int lines, uint32_t seed, int mean_run)
{
    std::mt19937 rng(seed);
    std::geometric_distribution<int> run_length(1.0 / mean_run);
    page p{"random", {}};
    for (int y = 0; y < lines; ++y) {
        line l = white_line();
        bool black = rng() & 1;
        for (int x = 0; x < kWidth;) {
            int n = 1 + run_length(rng);
            if (black)
                set_pixels(l, x, n);
            x += n;
            black = !black;
        }
        p.lines.push_back(std::move(l));
    }
    return p;
}

page text_page(int lines, uint32_t seed)
{
    std::mt19937 rng(seed);
    page p{"text", {}};
    const int row_height = 24, glyph_height = 16, margin = 120;
    // Each text row is a sequence of glyphs: narrow columns of strokes.
    std::vector<std::vector<std::pair<int, int>>> strokes;  // per row: (x, width)
    for (int y = 0; y < lines; ++y) {
        line l = white_line();
        int row = y / row_height, in_row = y % row_height;
        if (static_cast<int>(strokes.size()) <= row) {
            std::vector<std::pair<int, int>> s;
            bool blank_row = rng() % 7 == 0;
            for (int x = margin; !blank_row && x < kWidth - margin;) {
                int glyph = 8 + static_cast<int>(rng() % 10);
                if (rng() % 6 == 0) {  // word gap
                    x += glyph;
                    continue;
                }
                s.emplace_back(x, 1 + static_cast<int>(rng() % 3));
                if (rng() & 1)
                    s.emplace_back(x + glyph / 2, 2);
                x += glyph + 2;
            }
            strokes.push_back(std::move(s));
        }
        if (in_row < glyph_height) {
            for (auto [x, w] : strokes[row]) {
                // Vary the shape by line so the 2-D modes see real changes.
                int shift = (in_row * (x % 5)) / glyph_height;
                set_pixels(l, x + shift, w);
                if (in_row == 0 || in_row == glyph_height - 1 || in_row == glyph_height / 2)
                    set_pixels(l, x, 6);
            }
        }
        p.lines.push_back(std::move(l));
    }
    return p;
}

page worst_case_page()
{
    page p{"worst", {}};
    line l = white_line();
    for (int x = 0; x < kWidth; x += 2)
        set_pixels(l, x, 1);  // alternating, starting black
    p.lines.push_back(l);
    l = white_line();
    for (int x = 1; x < kWidth; x += 2)
        set_pixels(l, x, 1);  // alternating, starting white
    p.lines.push_back(l);
    p.lines.push_back(white_line());
    for (int run : {63, 64, 127, 128, 1727, 1728}) {
        line w = white_line();  // white run of `run`, then black
        set_pixels(w, run, kWidth);
        p.lines.push_back(w);
        line b = white_line();  // black run of `run` from pixel 0
        set_pixels(b, 0, run);
        p.lines.push_back(b);
        line m = white_line();  // black run of `run` in the middle
        set_pixels(m, 10, run);
        p.lines.push_back(m);
    }
    line black = white_line();
    set_pixels(black, 0, kWidth);
    p.lines.push_back(black);
    p.lines.push_back(black);
    p.lines.push_back(white_line());
    line stripes = white_line();
    for (int x = 0; x < kWidth; x += 16)
        set_pixels(stripes, x, 8);
    p.lines.push_back(stripes);
    p.lines.push_back(black);
    return p;
}

bool has_legacy_b1_pattern(const line &reference, const line &coding)
{
    return pixel(coding, 0) && !pixel(reference, 0) &&
           (pixel(reference, 1) || pixel(reference, 2) || pixel(reference, 3));
}

void remove_legacy_b1_pattern(page &p)
{
    line reference = white_line();
    for (auto &l : p.lines) {
        if (has_legacy_b1_pattern(reference, l))
            l[0] &= 0x7F;
        reference = l;
    }
}

std::vector<uint8_t> pack(const page &p)
{
    std::vector<uint8_t> out;
    out.reserve(p.lines.size() * kLineBytes);
    for (const auto &l : p.lines)
        out.insert(out.end(), l.begin(), l.end());
    return out;
}

}  // namespace testpages
