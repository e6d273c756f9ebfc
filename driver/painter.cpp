// The page bitmap painter: paints decoded runs into output rows at the
// chosen resolution, with the optional scramble rotation.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/pelmorin.h"

// ---------------------------------------------------------------------------
// glibc's TYPE_3 additive feedback generator

void glibc_srand(glibc_random_state *state, uint32_t seed)
{
    if (seed == 0)
        seed = 1;
    // glibc keeps the seed in an int32_t and spreads it with 16807 * word
    // mod (2^31 - 1), computed by Schrage's method so nothing overflows.
    int32_t word = static_cast<int32_t>(seed);
    state->table[0] = seed;
    for (int i = 1; i < 31; ++i) {
        int32_t hi = word / 127773;
        int32_t lo = word % 127773;
        word = 16807 * lo - 2836 * hi;
        if (word < 0)
            word += 2147483647;
        state->table[i] = static_cast<uint32_t>(word);
    }
    state->front = 3;
    state->rear = 0;
    for (int i = 0; i < 310; ++i)
        glibc_rand(state);
}

int32_t glibc_rand(glibc_random_state *state)
{
    uint32_t value = state->table[state->front] += state->table[state->rear];
    state->front = (state->front + 1) % 31;
    state->rear = (state->rear + 1) % 31;
    return static_cast<int32_t>(value >> 1);
}

// ---------------------------------------------------------------------------
// Page bitmap painter

int32_t scramble_key_hash(std::string_view key)
{
    glibc_random_state *random = &pelmorin.random;
    glibc_srand(random, 1);
    uint32_t hash = 0;
    for (char ch : key) {
        // Characters count as signed 8-bit values, as a plain char did.
        auto c = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(ch)));
        auto r = static_cast<uint32_t>(glibc_rand(random));
        glibc_srand(random, r + 128u * hash + c);
        hash = static_cast<uint32_t>(glibc_rand(random));
    }
    return static_cast<int32_t>(hash);
}

int scramble_line_shift(int64_t line, int32_t seed)
{
    glibc_random_state *random = &pelmorin.random;
    glibc_srand(random, static_cast<uint32_t>(line - 1));
    auto r = static_cast<uint32_t>(glibc_rand(random)) & 0xFFFFu;
    glibc_srand(random, r * static_cast<uint32_t>(seed));
    int e;
    do
        e = glibc_rand(random) & 0xFF;
    while (e > 215);
    return 8 * e;  // whole bytes of the 216-byte input line
}

// Every run of a line needs the same shift; compute it once per line.
static int current_line_shift()
{
    pelmorin_state &s = pelmorin;
    if (s.shift_line != s.line_count || s.shift_seed != s.scramble_seed) {
        s.shift_pixels = scramble_line_shift(s.line_count, s.scramble_seed);
        s.shift_line = s.line_count;
        s.shift_seed = s.scramble_seed;
    }
    return s.shift_pixels;
}

int row_bytes_for(int output_resolution)
{
    return output_resolution == 2 ? 216 : 108;
}

image_size page_image_size(int output_resolution, int input_resolution, int64_t line_count)
{
    bool normal = input_resolution == 0;
    if (output_resolution == 2)
        return {1728, normal ? 2 * line_count : line_count};
    // Fine and the finer or unknown resolutions merge line pairs into one
    // row; the height is what the painter filled.
    return {864, normal ? line_count : line_count / 2};
}

namespace {

// Where input line L goes in the bitmap.
struct row_plan {
    uint64_t first;     // byte offset of the first row
    uint64_t second;    // of the copy when lines are doubled
    bool doubled;
    bool halve_pixels;  // 864-pixel rows: input pixels 2k and 2k+1 merge
};

row_plan plan_rows(int64_t line)
{
    const pelmorin_state &s = pelmorin;
    auto l = static_cast<uint64_t>(line);
    bool normal = s.input_resolution == 0;
    if (s.settings.output_resolution != 2)
        return {108 * (normal ? l : l / 2), 0, false, true};
    if (normal)
        return {432 * l, 432 * l + 216, true, false};
    return {216 * l, 0, false, false};
}

// Paints `count` pixels from input pixel x, wrapping within the line.
void paint_pixels(const row_plan &rows, int x, int count)
{
    unsigned char *bitmap = pelmorin.page_bitmap.get();
    for (int i = 0; i < count; ++i) {
        int p = rows.halve_pixels ? x / 2 : x;
        // Byte pairs are swapped: each little-endian 16-bit unit holds 16
        // pixels with the leftmost in its top bit.
        std::size_t byte = static_cast<std::size_t>((p >> 3) ^ 1);
        auto mask = static_cast<unsigned char>(0x80 >> (p & 7));
        bitmap[rows.first + byte] |= mask;
        if (rows.doubled)
            bitmap[rows.second + byte] |= mask;
        if (++x == INPUT_LINE_WIDTH)
            x = 0;
    }
}

}  // namespace

int ensure_bitmap_holds(std::size_t bytes)
{
    pelmorin_state &s = pelmorin;
    if (!s.page_bitmap)
        return -1;
    if (bytes <= s.bitmap_size)
        return 0;
    std::size_t steps = (bytes - s.bitmap_size + BITMAP_GROWTH - 1) / BITMAP_GROWTH;
    if (steps > (SIZE_MAX - s.bitmap_size) / BITMAP_GROWTH)
        return -1;
    std::size_t new_size = s.bitmap_size + steps * BITMAP_GROWTH;
    if (new_size > static_cast<std::size_t>(PTRDIFF_MAX))
        return -1;
    void *grown = std::realloc(s.page_bitmap.get(), new_size);
    if (grown == nullptr)
        return -1;  // the old block stays owned and valid
    s.page_bitmap.release();
    s.page_bitmap.reset(static_cast<unsigned char *>(grown));
    std::memset(s.page_bitmap.get() + s.bitmap_size, 0, new_size - s.bitmap_size);
    s.bitmap_size = new_size;
    return 0;
}

int begin_page_bitmap()
{
    pelmorin_state &s = pelmorin;
    s.run_position = 0;
    s.line_count = 0;
    s.bitmap_failed = false;
    if (!s.page_bitmap) {
        s.bitmap_size = INITIAL_BITMAP_SIZE;
        s.page_bitmap.reset(static_cast<unsigned char *>(std::malloc(s.bitmap_size)));
        if (!s.page_bitmap)
            return -1;
    }
    std::memset(s.page_bitmap.get(), 0, s.bitmap_size);
    return 0;
}

void release_page_bitmap()
{
    pelmorin.page_bitmap.reset();
    pelmorin.bitmap_size = INITIAL_BITMAP_SIZE;
}

extern "C" void paint_run(int32_t n)
{
    pelmorin_state &s = pelmorin;
    // The decoder keeps a line's runs within 1728 pixels; the modulo only
    // guards the bitmap against one that does not.
    auto x = static_cast<int>(s.run_position % INPUT_LINE_WIDTH);
    int64_t magnitude = n < 0 ? -static_cast<int64_t>(n) : n;
    s.run_position += magnitude;
    if (s.bitmap_failed || !s.page_bitmap)
        return;

    row_plan rows = plan_rows(s.line_count);
    // Lines that end without any run never come through here, so the row
    // may be several growth steps past the end: grow until it fits.
    if (rows.first > SIZE_MAX - 1001 || ensure_bitmap_holds(rows.first + 1001) != 0) {
        s.bitmap_failed = true;
        return;
    }
    if (n >= 0)
        return;  // white runs paint nothing
    if (s.scramble_seed != 0 && s.page_number != 1) {
        x -= current_line_shift();
        if (x < 0)
            x += INPUT_LINE_WIDTH;
    }
    // Past one full line a wrapping run only repaints the same pixels.
    paint_pixels(rows, x, static_cast<int>(std::min<int64_t>(magnitude, INPUT_LINE_WIDTH)));
}

extern "C" void end_of_line(void)
{
    pelmorin.run_position = 0;
    pelmorin.line_count += 1;
}
