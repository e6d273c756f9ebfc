// Page content shared by the decoder and encoder tests and the benchmarks:
// 1728-pixel lines of 216 bytes, MSB leftmost, 1 black.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testpages {

constexpr int kWidth = 1728;
constexpr int kLineBytes = kWidth / 8;

using line = std::vector<uint8_t>;

struct page {
    std::string name;
    std::vector<line> lines;
};

line white_line();
bool pixel(const line &l, int x);
void set_pixels(line &l, int from, int count);  // paints black, clipped to the line

// Random noise with the given share of black pixels in runs of mean length mean_run.
page random_page(int lines, uint32_t seed, int mean_run = 6);
// Lines of glyph-like marks in text rows with white margins and blank rows.
page text_page(int lines, uint32_t seed);
// The hard cases: alternating single pixels, lines starting black, runs at
// the make-up boundaries 63/64/127/128/1727/1728, all-black lines.
page worst_case_page();

// True where a line starts black below a reference line that is white at
// pixel 0 and black within pixels 1-3: the one place where the legacy b1 rule
// (pixel 0 is a candidate from a start of 0) differs from T.4.
bool has_legacy_b1_pattern(const line &reference, const line &coding);
// Clears pixel 0 of every line that would show that pattern.
void remove_legacy_b1_pattern(page &p);

// Lines packed back to back.
std::vector<uint8_t> pack(const page &p);

}  // namespace testpages
