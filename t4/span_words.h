// Black spans set in a row of 64-bit words, pixel 0 in the top bit of word 0:
// the one span painter of the pelmorin painter and the page-to-rows filler.
#pragma once

#include <array>
#include <cstdint>

namespace span_words {

// Masks of a word's pixels from k on, and of those before k (all for k = 0,
// where a span ends on the word's end): a lookup is cheaper than two
// variable shifts.
constexpr std::array<uint64_t, 64> make_masks(bool before)
{
    std::array<uint64_t, 64> masks{};
    for (int k = 0; k < 64; ++k)
        masks[k] = before ? (k == 0 ? ~uint64_t{0} : ~(~uint64_t{0} >> k)) : ~uint64_t{0} >> k;
    return masks;
}
inline constexpr std::array<uint64_t, 64> FROM_MASK = make_masks(false);
inline constexpr std::array<uint64_t, 64> BEFORE_MASK = make_masks(true);

// Sets pixels [from, to) black; 0 <= from < to. Out of line: the long spans
// are the rare ones.
[[gnu::noinline]] inline void mark_span(uint64_t *words, int from, int to)
{
    const int first = from >> 6;
    const int last = (to - 1) >> 6;
    const uint64_t head = ~uint64_t{0} >> (from & 63);
    const uint64_t tail = ~uint64_t{0} << (-to & 63);
    if (first == last) {
        words[first] |= head & tail;
        return;
    }
    words[first] |= head;
    for (int w = first + 1; w < last; ++w)
        words[w] = ~uint64_t{0};
    words[last] |= tail;
}

// The same, a span within one word in line.
inline void mark(uint64_t *words, int from, int to)
{
    const int first = from >> 6;
    if (first == (to - 1) >> 6)
        words[first] |= FROM_MASK[from & 63] & BEFORE_MASK[to & 63];
    else
        mark_span(words, from, to);
}

}  // namespace span_words
