// T.4 encoder: codes bitmap lines as MH, MR (K = 2 or 4) or MMR (T.6).
// MH lines are coded straight from their words, run by run. Lines of MR and
// MMR are turned once into their changing elements, 64 pixels at a time,
// and coded from those arrays (MR's 1-D lines too, as the next line's
// reference). The codes are packed into a 64-bit accumulator and stored as
// whole 16-bit words, first transmitted bit in bit 0, into a large buffer
// that the sink gets in few calls.
#include "t4/enct4.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "t4/enct4_internal.h"
#include "t4/enctbls.h"
#include "t4/standard_page.h"
#include "t4/t4codes.h"
#include "util/message_internal.h"

[[maybe_unused]] static const char what_string[] = "@(#)|enct4|9|01|2|0|0|07/26/99|14:47:50";

namespace {

// One encoding's state: each context has its own.
struct encoder_state {
    int32_t status = 0;       // 0, 1 (coder failure) or the sink's negative result
    uint16_t accumulator = 0;  // bits of the incomplete word, from bit 0 up
    int32_t bit_count = 0;    // valid bits in the accumulator, 0..15
    bool fail_next_allocation = false;  // test seam for the allocation failure path
    bool conforming = false;  // 2-D coding as T.4/T.6 read it (see code_line_2d)
    message_sink messages;    // where the coders' failures go
};

}  // namespace

struct enct4_context {
    encoder_state state;
};

namespace {

// Module-wide: the context of the plain functions, one encoding at a time.
enct4_context default_context;

// The plain functions' callbacks, reached through a user pointer.
struct plain_callbacks {
    line_source source;
    word_sink sink;
};

int call_plain_source(void *user, unsigned char **first_line, int *line_count)
{
    return static_cast<const plain_callbacks *>(user)->source(first_line, line_count);
}

int call_plain_sink(void *user, const uint16_t *words, int word_count)
{
    return static_cast<const plain_callbacks *>(user)->sink(words, word_count);
}

// A plain callback that is null stays null.
enct4_line_fn plain_source_fn(const plain_callbacks &plain)
{
    return plain.source != nullptr ? call_plain_source : nullptr;
}

enct4_word_fn plain_sink_fn(const plain_callbacks &plain)
{
    return plain.sink != nullptr ? call_plain_sink : nullptr;
}

constexpr int32_t MIN_CODED_PIXELS = T4_STANDARD_WIDTH;  // narrower lines are widened
constexpr int32_t LONGEST_PACKED_RUN = ENC_PACKED_RUNS - 1;
constexpr int SENTINELS = 3;  // a1/b1 may step past the last element, a2/b2 once more

// ---- Code emitter ----------------------------------------------------------

// Room behind the write position: a step stores four words at once, and a
// horizontal step of two runs beyond 2623 pixels (long make-up chains) gives
// at most 22 words.
constexpr int WORD_SLACK = 64;

// The stream being packed: `pending` bits in the accumulator from bit 0 up,
// the complete words before `out`. After settle() fewer than 16 bits are
// pending, and the word at `out` already holds them.
struct bit_out {
    uint64_t accumulator = 0;
    uint32_t pending = 0;
    uint16_t *out = nullptr;
};

inline void store4(uint16_t *to, uint64_t bits)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(to, &bits, sizeof bits);
    } else {
        for (int i = 0; i < 4; ++i)
            to[i] = static_cast<uint16_t>(bits >> (16 * i));
    }
}

// The caller keeps pending + the code's length within 64.
inline void put(bit_out &b, uint32_t packed)
{
    b.accumulator |= static_cast<uint64_t>(packed & ENC_CODE_MASK) << b.pending;
    b.pending += packed >> ENC_LENGTH_SHIFT;
}

// Stores the complete words without a branch: all four, then moves on by
// as many as are complete.
inline void settle(bit_out &b)
{
    store4(b.out, b.accumulator);
    b.out += b.pending >> 4;
    b.accumulator >>= b.pending & 48u;
    b.pending &= 15u;
}

const uint32_t makeup_2560[2] = {pack_code(white_codes[ENC_MAKEUP_2560_INDEX]),
                                 pack_code(black_codes[ENC_MAKEUP_2560_INDEX])};

// T.4 4.1.1.4: runs of 2624 pixels and more begin with make-up 2560 codes
// until what remains has a make-up and terminating code of its own. The
// stream goes by value so that the callers' copies can stay in registers.
[[gnu::noinline]] bit_out put_long_run(bit_out b, int colour, int32_t run)
{
    while (run > LONGEST_PACKED_RUN) {
        put(b, makeup_2560[colour]);
        settle(b);
        run -= 2560;
    }
    put(b, packed_run_codes[static_cast<std::size_t>(colour)][static_cast<std::size_t>(run)]);
    return b;
}

// Up to 25 bits.
inline void put_run(bit_out &b, int colour, int32_t run)
{
    if (run > LONGEST_PACKED_RUN) [[unlikely]] {
        b = put_long_run(b, colour, run);
        return;
    }
    put(b, packed_run_codes[static_cast<std::size_t>(colour)][static_cast<std::size_t>(run)]);
}

// Fill bits before an MR EOL, so that every EOL starts a word.
inline void align_to_word(bit_out &b)
{
    settle(b);
    b.out += b.pending != 0 ? 1 : 0;
    b.accumulator = 0;
    b.pending = 0;
}

// Mode codes packed; index as mode_codes.
constexpr int PASS = t4codes::MODE_PASS, HORIZ = t4codes::MODE_HORIZONTAL,
              EOL_1D = t4codes::TAG_ONE_DIMENSIONAL, EOL_2D = t4codes::TAG_TWO_DIMENSIONAL;
const uint32_t packed_modes[ENC_MODE_TABLE_SIZE] = {
    pack_code(mode_codes[0]), pack_code(mode_codes[1]), pack_code(mode_codes[2]),
    pack_code(mode_codes[3]), pack_code(mode_codes[4]), pack_code(mode_codes[5]),
    pack_code(mode_codes[6]), pack_code(mode_codes[7]), pack_code(mode_codes[8]),
    pack_code(mode_codes[9]), pack_code(mode_codes[10])};
// Vertical modes by a1 - b1 + 3.
constexpr std::array<int, 7> vertical_by_offset()
{
    std::array<int, 7> index{};
    for (const auto &m : t4codes::modes)
        if (t4codes::is_vertical(m.token))
            index[static_cast<std::size_t>(m.offset + 3)] = m.token;
    return index;
}
constexpr std::array<int, 7> vertical_index = vertical_by_offset();
const uint32_t packed_vertical[7] = {
    packed_modes[vertical_index[0]], packed_modes[vertical_index[1]], packed_modes[vertical_index[2]],
    packed_modes[vertical_index[3]], packed_modes[vertical_index[4]], packed_modes[vertical_index[5]],
    packed_modes[vertical_index[6]]};
const uint32_t packed_eol = pack_code(white_codes[ENC_EOL_INDEX]);

// ---- Changing elements -----------------------------------------------------

inline uint64_t load_msb_first(const uint8_t *p)
{
    uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::little)
        w = __builtin_bswap64(w);
    return w;
}

// The positions where a line of `bytes` bytes, widened with white to `width`
// pixels (width >= 8 x bytes), changes colour, the imaginary pixel before it
// white: ascending, then SENTINELS copies of width. Even entries are changes
// to black, odd ones to white. `changes` holds width + SENTINELS + 1.
int find_changes(const uint8_t *line, int bytes, int32_t width, int32_t *changes)
{
    int32_t *out = changes;
    uint64_t carry = 0;  // the previous word's last pixel, in bit 63
    const auto scan = [&](uint64_t word, int32_t base) {
        // A 1 wherever a pixel differs from the one before it.
        uint64_t toggles = word ^ ((word >> 1) | carry);
        carry = word << 63;
        while (toggles != 0) {
            const int at = std::countl_zero(toggles);
            *out++ = base + at;
            toggles ^= (uint64_t{1} << 63) >> at;
        }
    };
    int i = 0;
    for (; i + 8 <= bytes; i += 8)
        scan(load_msb_first(line + i), 8 * i);
    if (i < bytes) {
        uint8_t tail[8] = {};
        std::memcpy(tail, line + i, static_cast<std::size_t>(bytes - i));
        scan(load_msb_first(tail), 8 * i);  // a black end shows as a change at 8 x bytes
    } else if (carry != 0) {
        *out++ = 8 * bytes;
    }
    if (out != changes && out[-1] >= width)
        --out;  // a black line end is no change when nothing follows
    const int count = static_cast<int>(out - changes);
    std::fill_n(out, SENTINELS, width);
    return count;
}

// ---- Coder calls -----------------------------------------------------------

enum class coding { g3, mmr, mh_only };

// Where a line comes from: its bitmap, or its changing elements.
enum class line_form { bitmap, spans };

struct coder_call {
    explicit coder_call(encoder_state &state) : encoder(state) {}

    encoder_state &encoder;
    coding kind = coding::g3;
    line_form form = line_form::bitmap;
    const char *name = "";
    int k_factor = 1;             // 1 for MH: every line one-dimensional
    int k_counter = 0;
    int line_size = -1;           // L (bytes, or pixels for spans) of the first batch
    int32_t width = 0;            // coded pixels: at least 1728
    int32_t capacity = 0;         // pixels the change arrays are sized for
    std::unique_ptr<int32_t[]> arrays;  // reference and coding line changes
    int32_t *reference = nullptr;
    int32_t *coding_line = nullptr;
    int reference_count = 0;
    std::unique_ptr<uint16_t[]> words;
    uint16_t *words_limit = nullptr;  // deliver before a step starts beyond it
    bit_out bits;
    enct4_word_fn sink = nullptr;
    void *user = nullptr;
};

// Hands the complete words before `end` to the sink in one call and gives
// the buffer's start; a failure becomes the status, after which nothing
// more is delivered. The coders' bit_out is passed by value so that it
// can stay in registers.
[[gnu::noinline]] uint16_t *deliver_words(coder_call &call, const uint16_t *end)
{
    const int count = static_cast<int>(end - call.words.get());
    if (count > 0 && call.encoder.status == 0) {
        const int result = call.sink(call.user, call.words.get(), count);
        if (result < 0)
            call.encoder.status = result;
    }
    return call.words.get();
}

void deliver(coder_call &call, bit_out &b) { b.out = deliver_words(call, b.out); }

inline void make_room(const uint16_t *limit, coder_call &call, bit_out &b)
{
    if (b.out > limit) [[unlikely]]
        b.out = deliver_words(call, b.out);
}

// One-dimensional coding (T.4 MH) of the changes: alternating runs from
// white, the last one up to the coded width (which completes a narrow line
// with white).
void code_line_1d(coder_call &call, const int32_t *changes, int count)
{
    bit_out b = call.bits;
    const int32_t width = call.width;
    const uint16_t *const limit = call.words_limit;
    int32_t from = 0;
    int k = 0;
    for (; k + 1 < count; k += 2) {  // a white run and a black run: at most 45 bits
        make_room(limit, call, b);
        put_run(b, 0, changes[k] - from);
        put_run(b, 1, changes[k + 1] - changes[k]);
        settle(b);
        from = changes[k + 1];
    }
    make_room(limit, call, b);
    if (k < count) {
        put_run(b, 0, changes[k] - from);
        settle(b);
        put_run(b, 1, width - changes[k]);
    } else {
        put_run(b, 0, width - from);
    }
    settle(b);
    call.bits = b;
}

// ---- MH straight from the row ---------------------------------------------

// The changes of a row of `words` whole words, a word of them for each: a
// 1 for each pixel that differs from the one before it (the pixel before
// the row white), pixel 0 in bit 0. A little-endian load puts the bytes in
// pixel order and each byte's bits are reversed; the loops have no step
// that depends on the one before, so that they vectorise.
void row_toggles(const uint8_t *row, int words, uint64_t *toggles)
{
    for (int i = 0; i < words; ++i) {
        uint64_t x = 0;
        std::memcpy(&x, row + 8 * static_cast<std::size_t>(i), sizeof x);
        if constexpr (std::endian::native == std::endian::big)
            x = __builtin_bswap64(x);
        x = (x >> 1 & 0x5555555555555555u) | (x & 0x5555555555555555u) << 1;
        x = (x >> 2 & 0x3333333333333333u) | (x & 0x3333333333333333u) << 2;
        toggles[i] = (x >> 4 & 0x0F0F0F0F0F0F0F0Fu) | (x & 0x0F0F0F0F0F0F0F0Fu) << 4;
    }
    for (int i = words - 1; i > 0; --i)
        toggles[i] ^= toggles[i] << 1 | toggles[i - 1] >> 63;
    if (words > 0)
        toggles[0] ^= toggles[0] << 1;
}

// A run of a row at most LONGEST_PACKED_RUN pixels wide needs no check for
// make-up 2560 codes.
template <bool Wide>
inline void put_row_run(bit_out &b, int colour, int64_t run)
{
    if constexpr (Wide) {
        put_run(b, colour, static_cast<int32_t>(run));
    } else {
        const run_code_bits &c = split_run_codes[static_cast<std::size_t>(colour)][static_cast<std::size_t>(run)];
        b.accumulator |= static_cast<uint64_t>(c.code) << b.pending;
        b.pending += c.length;
    }
}

// Passes over words without a change four at a time, as blank margins
// have them; `into` grows with the pixels passed.
inline void skip_unchanged(const uint64_t *&next, const uint64_t *end, int64_t &into)
{
    while (end - next >= 4 && (next[0] | next[1] | next[2] | next[3]) == 0) {
        next += 4;
        into += 256;
    }
}

// The end of a row of `row_end` pixels that ends black from `from`: a row
// narrower than the line is completed with white.
template <bool Wide>
inline void put_black_end(bit_out &b, int64_t from, int64_t row_end, int64_t width)
{
    if (row_end < width) {
        put_row_run<Wide>(b, 1, row_end - from);
        settle(b);  // behind the white run before it: more than 64 bits
        put_row_run<Wide>(b, 0, width - row_end);
    } else {
        put_row_run<Wide>(b, 1, width - from);
    }
    settle(b);
}

// A row's changes as code_row_1d reads them: the current word of
// row_toggles, and how far the current run reaches. Taking the lowest 1
// and clearing it keeps the chain of steps that depend on each other short.
struct row_changes {
    const uint64_t *next;  // the word after the current one
    const uint64_t *end;
    uint64_t toggles = 0;
    int64_t into = -64;    // from the current run's start to the current word's pixel 0

    // Moves to the next word; false when the row has none left.
    bool advance()
    {
        if (next == end)
            return false;
        toggles = *next++;
        into += 64;
        if (toggles == 0)
            skip_unchanged(next, end, into);
        return true;
    }
    // The current run's length up to the next change, which starts the next run.
    int64_t take()
    {
        const auto at = static_cast<int64_t>(std::countr_zero(toggles));
        toggles &= toggles - 1;
        const int64_t run = into + at;
        into = -at;
        return run;
    }
};

// One-dimensional coding of a row of `words` whole 64-bit words, as
// find_changes and code_line_1d would code it, but without the changes
// array: each change ends a run whose code goes out at once. Pixels past the
// row's bytes repeat its last pixel when the row is as wide as the line and
// are white when it is narrower, so that every change lies within the line
// and a row ends only where its words do. `toggles` has room for the words.
template <bool Wide>
void code_row_1d(coder_call &call, const uint8_t *row, int words, uint64_t *toggles)
{
    row_toggles(row, words, toggles);
    bit_out b = call.bits;
    const uint16_t *const limit = call.words_limit;
    row_changes c{toggles, toggles + words};
    // Where the current run starts, when the words are done.
    const auto start = [&] { return 64 * static_cast<int64_t>(words) - 64 - c.into; };
    for (;;) {  // a white run and a black run: at most 45 bits
        make_room(limit, call, b);
        while (c.toggles == 0) {
            if (!c.advance()) {
                put_row_run<Wide>(b, 0, call.width - start());
                settle(b);
                call.bits = b;
                return;
            }
        }
        put_row_run<Wide>(b, 0, c.take());
        while (c.toggles == 0) {
            if (!c.advance()) {
                put_black_end<Wide>(b, start(), 64 * static_cast<int64_t>(words), call.width);
                call.bits = b;
                return;
            }
        }
        put_row_run<Wide>(b, 1, c.take());
        settle(b);
    }
}

// Whether a row of `words` whole words is all white: most rows of a text
// page are, and then are one run. Rows of the standard width are looked at
// without a loop.
template <int Words>
inline bool words_are_white(const uint8_t *row, int words)
{
    uint64_t ink = 0;
    for (int i = 0; i < (Words > 0 ? Words : words); ++i) {
        uint64_t w;
        std::memcpy(&w, row + 8 * static_cast<std::size_t>(i), sizeof w);
        ink |= w;
    }
    return ink == 0;
}

bool row_is_white(const uint8_t *row, int words)
{
    constexpr int STANDARD_WORDS = T4_STANDARD_WIDTH / 64;
    static_assert(STANDARD_WORDS * 64 == T4_STANDARD_WIDTH);
    return words == STANDARD_WORDS ? words_are_white<STANDARD_WORDS>(row, words) : words_are_white<0>(row, words);
}

// MH lines of a batch, each after its EOL. Rows whose bytes are not whole
// words are copied and padded as code_row_1d wants them.
void code_rows_1d(coder_call &call, const line_batch &batch)
{
    const int words = (batch.line_bytes + 7) / 8;
    const std::size_t bytes = static_cast<std::size_t>(batch.line_bytes);
    const bool narrow = 8 * batch.line_bytes < call.width;
    const auto code_row = call.width > LONGEST_PACKED_RUN ? code_row_1d<true> : code_row_1d<false>;
    uint8_t padded[8 * ((ENC_MAX_LINE_BYTES + 7) / 8)];
    uint64_t toggles[(ENC_MAX_LINE_BYTES + 7) / 8];
    for (int n = 0; n < batch.count && call.encoder.status == 0; ++n) {
        const uint8_t *row = batch.lines + static_cast<std::size_t>(n) * bytes;
        if (bytes % 8 != 0) {
            const bool ends_black = !narrow && (row[bytes - 1] & 1) != 0;
            std::memset(padded + 8 * (words - 1), ends_black ? 0xFF : 0, 8);
            std::memcpy(padded, row, bytes);
            row = padded;
        }
        make_room(call.words_limit, call, call.bits);
        put(call.bits, packed_eol);
        if (row_is_white(row, words)) {
            put_run(call.bits, 0, call.width);
            settle(call.bits);
            continue;
        }
        settle(call.bits);
        code_row(call, row, words, toggles);
    }
}

// Two-dimensional coding (T.4 4.2.1.3; T.6) of the coding line against the
// reference, both as changes with sentinels. Even entries are changes to
// black, odd ones to white: a1 and b1, changes to the colour opposite a0's,
// have the parity of a0's colour. Each cursor rests on an entry of that
// parity with none of it between a0 and the entry, so it only moves
// forward, two entries at a time.
void code_line_2d(coder_call &call, const int32_t *reference, const int32_t *coding)
{
    bit_out b = call.bits;
    const int32_t width = call.width;
    const uint16_t *const limit = call.words_limit;
    const bool conforming = call.encoder.conforming;
    const int32_t *pa = coding;
    const int32_t *pb = reference;
    int32_t a0 = -1;
    int colour = 0;  // of a0
    while (a0 < width) {
        make_room(limit, call, b);
        while (*pa <= a0)
            pa += 2;
        while (*pb <= a0)
            pb += 2;
        const int32_t a1 = *pa;
        int32_t b1 = *pb;
        int32_t b2 = pb[1];
        // a0 is 0 only after a line that starts black (a1 = 0 in V0 from
        // -1). The stored pages' rule takes pixel 0 itself as b1 there when
        // reference pixel 0 is white; T.4 wants a changing element right of
        // a0, which is what the cursor gives.
        if (a0 == 0 && !conforming && reference[0] > 0) {
            b1 = 0;
            b2 = reference[0];
        }
        if (b2 < a1) {
            put(b, packed_modes[PASS]);
            settle(b);
            a0 = b2;
            continue;
        }
        const int32_t delta = a1 - b1;
        if (static_cast<uint32_t>(delta + 3) <= 6) {
            put(b, packed_vertical[delta + 3]);
            settle(b);
            a0 = a1;
            colour ^= 1;
            ++pa;
            // The other parity: the entry before b1 may lie right of a1.
            pb += pb != reference ? -1 : 1;
            continue;
        }
        const int32_t a2 = pa[1];
        put(b, packed_modes[HORIZ]);
        put_run(b, colour, a1 - std::max(a0, 0));
        settle(b);
        put_run(b, colour ^ 1, a2 - a1);
        settle(b);
        a0 = a2;
        pa += 2;
    }
    call.bits = b;
}

int coder_failure(encoder_state &encoder)
{
    encoder.status = 1;
    return 1;
}

// Line sizes are bytes of bitmap, or pixels for lines as changes.
int32_t pixels_of(const coder_call &call, int line_size)
{
    return call.form == line_form::spans ? line_size : 8 * line_size;
}

bool too_wide(const coder_call &call, int line_size)
{
    if (pixels_of(call, line_size) <= 8 * ENC_MAX_LINE_BYTES)
        return false;
    message_printf(call.encoder.messages, stdout,
                   "%s: Line size %d too large for encoding. Can't do that!\n", call.name, line_size);
    return true;
}

// The change arrays of two lines at `width` pixels and the word buffer.
bool allocate_arrays(coder_call &call, int32_t width)
{
    if (call.encoder.fail_next_allocation) {
        call.encoder.fail_next_allocation = false;
        return false;
    }
    const std::size_t per_line = static_cast<std::size_t>(width) + SENTINELS + 1;
    call.arrays.reset(new (std::nothrow) int32_t[2 * per_line]);
    if (call.words == nullptr)
        call.words.reset(new (std::nothrow) uint16_t[ENC_WORD_BATCH + WORD_SLACK]);
    if (call.arrays == nullptr || call.words == nullptr)
        return false;
    call.width = width;
    call.capacity = width;
    call.reference = call.arrays.get();
    call.coding_line = call.reference + per_line;
    call.reference_count = 0;  // all white
    std::fill_n(call.reference, SENTINELS, width);
    call.words_limit = call.words.get() + ENC_WORD_BATCH;
    call.bits.out = call.words.get();
    return true;
}

// The first batch fixes L and gets the line arrays; later ones must keep L.
// The MH-only coder takes any L and sizes its arrays to each batch.
bool accept_batch(coder_call &call, int line_size)
{
    if (call.kind == coding::mh_only) {
        if (too_wide(call, line_size))
            return false;
        const int32_t width = std::max(pixels_of(call, line_size), MIN_CODED_PIXELS);
        if (call.line_size >= 0 && width <= call.capacity) {
            call.line_size = line_size;
            call.width = width;
            return true;
        }
        call.line_size = line_size;
        if (allocate_arrays(call, width))
            return true;
        message_printf(call.encoder.messages, stdout,
                       "%s: failed to alloc space for reference buffer. exit...\n", call.name);
        return false;
    }
    if (call.line_size >= 0) {
        if (line_size == call.line_size)
            return true;
        if (call.kind == coding::mmr)
            message_printf(call.encoder.messages, stdout,
                           "%s: Line size changed for MMR encoding. Can't do that!\n", call.name);
        else
            message_printf(call.encoder.messages, stdout,
                           "%s: Line size changed for encoding. Can't do that!\n", call.name);
        return false;
    }
    if (too_wide(call, line_size))
        return false;
    call.line_size = line_size;
    if (!allocate_arrays(call, std::max(pixels_of(call, line_size), MIN_CODED_PIXELS))) {
        message_printf(call.encoder.messages, stdout,
                       "%s: failed to alloc space for reference buffer. exit...\n", call.name);
        return false;
    }
    return true;
}

// Codes the line whose changes are in call.coding_line; it then becomes the
// reference of the next.
void code_changes(coder_call &call, int count)
{
    bit_out &b = call.bits;
    const auto next_reference = [&] {
        std::swap(call.reference, call.coding_line);
        call.reference_count = count;
    };
    if (call.kind == coding::mh_only) {
        make_room(call.words_limit, call, b);
        put(b, packed_eol);
        settle(b);
        code_line_1d(call, call.coding_line, count);
        return;
    }
    if (call.kind == coding::mmr) {
        code_line_2d(call, call.reference, call.coding_line);
        next_reference();
        return;
    }
    make_room(call.words_limit, call, b);
    if (call.k_counter == 0) {
        if (call.k_factor == 1) {
            put(b, packed_eol);
            settle(b);
        } else {
            align_to_word(b);
            put(b, packed_modes[EOL_1D]);
            settle(b);
        }
        code_line_1d(call, call.coding_line, count);
    } else {
        align_to_word(b);
        put(b, packed_modes[EOL_2D]);
        settle(b);
        code_line_2d(call, call.reference, call.coding_line);
    }
    if (call.k_factor > 1)
        next_reference();
    call.k_counter = call.k_counter == call.k_factor - 1 ? 0 : call.k_counter + 1;
}

// Changes from a line given as its black runs: ascending positions within
// the line, the runs [s0, s1), [s2, s3), ...; a run may end at the line's
// end. Anything else is refused.
bool take_spans(coder_call &call, const int16_t *spans, int count, int32_t pixels, int &changes)
{
    if (count < 0 || count % 2 != 0 || (count > 0 && spans == nullptr))
        return false;
    int32_t *out = call.coding_line;
    // Ascending positions in [0, pixels] number at most pixels + 1, which
    // the coding line holds. Copied, then checked with no branch per
    // position, so that both loops vectorise.
    if (count > pixels + 1 || (count > 0 && (spans[0] < 0 || spans[count - 1] > pixels)))
        return false;
    for (int i = 0; i < count; ++i)
        out[i] = spans[i];
    int32_t not_up = 0;  // negative once a step is not up
    for (int i = 1; i < count; ++i)
        not_up |= out[i] - out[i - 1] - 1;
    if (not_up < 0)
        return false;
    const int32_t last = count > 0 ? out[count - 1] : -1;
    changes = count;
    if (count > 0 && last >= call.width)
        --changes;  // a run to the end of a full-width line
    std::fill_n(out + changes, SENTINELS, call.width);
    return true;
}

// End of the lines: the EOFB for MMR, then the complete words in one call
// and the incomplete last word in another. A sink that fails here has lost
// the page's last bits, so its result is returned rather than the source's
// end value.
int finish(coder_call &call, int end_value)
{
    encoder_state &encoder = call.encoder;
    bit_out &b = call.bits;
    if (call.words != nullptr) {
        if (call.kind == coding::mmr) {
            put(b, packed_eol);
            settle(b);
            put(b, packed_eol);
            settle(b);
        }
        deliver(call, b);
        if (b.pending != 0 && encoder.status == 0) {
            const auto word = static_cast<uint16_t>(b.accumulator);
            const int result = call.sink(call.user, &word, 1);
            if (result < 0)
                encoder.status = result;
        }
    }
    encoder.accumulator = 0;
    encoder.bit_count = 0;
    return encoder.status < 0 ? encoder.status : end_value;
}

// Leaves the incomplete word in the state, as after any packing.
int stop(coder_call &call, int result)
{
    call.encoder.accumulator = static_cast<uint16_t>(call.bits.accumulator);
    call.encoder.bit_count = static_cast<int32_t>(call.bits.pending);
    return result;
}

void reset_encoder(encoder_state &encoder)
{
    encoder.status = 0;
    encoder.accumulator = 0;
    encoder.bit_count = 0;
}

// The start of a coder call: the status cleared, the sink taken, and for MMR
// the word buffer (an empty MMR page still gets its EOFB). False, with the
// coder's failure set, for a missing callback or memory short.
bool start_call(coder_call &call, bool have_source, enct4_word_fn sink, void *user)
{
    reset_encoder(call.encoder);
    if (!have_source || sink == nullptr) {
        coder_failure(call.encoder);
        return false;
    }
    call.sink = sink;
    call.user = user;
    if (call.kind == coding::mmr &&
        (call.words.reset(new (std::nothrow) uint16_t[ENC_WORD_BATCH + WORD_SLACK]),
         call.words == nullptr)) {
        coder_failure(call.encoder);
        return false;
    }
    call.bits.out = call.words.get();
    return true;
}

int run_coder(coder_call &call, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    encoder_state &encoder = call.encoder;
    if (!start_call(call, source != nullptr, sink, user))
        return encoder.status;
    // MH lines need no changes array: no later line is coded against them.
    const bool one_dimensional =
        call.kind == coding::mh_only || (call.kind == coding::g3 && call.k_factor == 1);
    for (;;) {
        const line_batch b = next_line_batch(source, user);
        if (b.line_bytes < 0)
            return finish(call, b.line_bytes);
        if (!accept_batch(call, b.line_bytes))
            return stop(call, coder_failure(encoder));  // words not yet delivered are dropped
        if (one_dimensional) {
            code_rows_1d(call, b);
            if (encoder.status != 0)
                return stop(call, encoder.status);
            continue;
        }
        for (int i = 0; i < b.count; ++i) {
            const uint8_t *line =
                b.lines + static_cast<std::size_t>(i) * static_cast<std::size_t>(b.line_bytes);
            code_changes(call, find_changes(line, b.line_bytes, call.width, call.coding_line));
            if (encoder.status != 0)
                return stop(call, encoder.status);
        }
    }
}

int run_spans_coder(coder_call &call, enct4_spans_fn source, enct4_word_fn sink, void *user)
{
    encoder_state &encoder = call.encoder;
    call.form = line_form::spans;
    if (!start_call(call, source != nullptr, sink, user))
        return encoder.status;
    for (;;) {
        const int16_t *spans = nullptr;
        int count = 0;
        const int pixels = source(user, &spans, &count);
        if (pixels < 0)
            return finish(call, pixels);
        if (!accept_batch(call, pixels))
            return stop(call, coder_failure(encoder));
        int changes = 0;
        if (!take_spans(call, spans, count, pixels, changes)) {
            message_printf(call.encoder.messages, stdout,
                           "%s: Bad changing elements for encoding. Can't do that!\n", call.name);
            return stop(call, coder_failure(encoder));
        }
        code_changes(call, changes);
        if (encoder.status != 0)
            return stop(call, encoder.status);
    }
}

// Sets up a call of the given coding; false for an unsupported compression.
bool setup(coder_call &call, int compression, int resolution, bool mh_only)
{
    if (mh_only) {
        call.kind = coding::mh_only;
        call.name = "encode_mh_fax";
        return true;
    }
    if (compression == 3) {
        call.kind = coding::mmr;
        call.name = "enct4_MMR";
        return true;
    }
    if (compression != 0 && compression != 1)
        return false;
    call.kind = coding::g3;
    call.name = "encode_g3_fax";
    // T.4 4.2.1: K = 2 at standard vertical resolution, 4 at fine.
    call.k_factor = compression == 0 ? 1 : resolution == 1 ? 4 : 2;
    return true;
}

int code_g3(encoder_state &encoder, enct4_line_fn source, enct4_word_fn sink, void *user,
            int compression, int resolution)
{
    coder_call call(encoder);
    if (!setup(call, compression, resolution, false)) {
        reset_encoder(encoder);
        return coder_failure(encoder);
    }
    return run_coder(call, source, sink, user);
}

int code_mmr(encoder_state &encoder, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    return code_g3(encoder, source, sink, user, 3, 0);
}

int code_mh(encoder_state &encoder, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    coder_call call(encoder);
    setup(call, 0, 0, true);
    return run_coder(call, source, sink, user);
}

// ---- Token emitter ---------------------------------------------------------

constexpr int32_t RUN_MASK = 0x7FFF;

void put_token(bit_out &b, int32_t token)
{
    const int colour = (token & ENC_BLACK) != 0 ? 1 : 0;
    const int32_t v = token & RUN_MASK;
    if (v >= ENC_PASS && v <= ENC_EOL_2D) {
        if (v >= ENC_EOL_1D)
            align_to_word(b);
        put(b, packed_modes[v - ENC_PASS]);
    } else if (v == ENC_EOL) {
        put(b, packed_eol);
    } else {
        put_run(b, colour, v);
    }
    settle(b);
}

// Packs tokens into words and hands the complete ones to the sink in one
// call (also when there is none).
void put_codes(encoder_state &encoder, const int32_t *first, const int32_t *last,
               enct4_word_fn sink, void *user)
{
    if (encoder.status != 0)
        return;
    // A token yields at most 12 words (a run of 32767 pixels: 12 make-up codes).
    const std::size_t room = static_cast<std::size_t>(last - first) * 12 + WORD_SLACK;
    std::unique_ptr<uint16_t[]> words(new (std::nothrow) uint16_t[room]);
    if (words == nullptr) {
        encoder.status = 1;
        return;
    }
    bit_out b{encoder.accumulator, static_cast<uint32_t>(encoder.bit_count), words.get()};
    for (const int32_t *token = first; token != last; ++token)
        put_token(b, *token);
    encoder.accumulator = static_cast<uint16_t>(b.accumulator);
    encoder.bit_count = static_cast<int32_t>(b.pending);
    const int result = sink != nullptr ? sink(user, words.get(), static_cast<int>(b.out - words.get())) : 0;
    if (result < 0)
        encoder.status = result;
}

void flush_codes(encoder_state &encoder, const int32_t *first, const int32_t *last,
                 enct4_word_fn sink, void *user)
{
    if (first != last)
        put_codes(encoder, first, last, sink, user);
    if (encoder.bit_count != 0 && encoder.status == 0 && sink != nullptr) {
        const uint16_t word = encoder.accumulator;
        const int result = sink(user, &word, 1);
        if (result < 0)
            encoder.status = result;
    }
    encoder.accumulator = 0;
    encoder.bit_count = 0;
}

}  // namespace

// ---- Emitter entries -------------------------------------------------------

void enct4_put_codes(const int32_t *first, const int32_t *last, word_sink sink)
{
    plain_callbacks plain{nullptr, sink};
    put_codes(default_context.state, first, last, plain_sink_fn(plain), &plain);
}

void enct4_flush(const int32_t *first, const int32_t *last, word_sink sink)
{
    plain_callbacks plain{nullptr, sink};
    flush_codes(default_context.state, first, last, plain_sink_fn(plain), &plain);
}

void enct4_reset() { reset_encoder(default_context.state); }

int enct4_status() { return default_context.state.status; }

void enct4_fail_next_allocation() { default_context.state.fail_next_allocation = true; }

// ---- Coder entries ---------------------------------------------------------

extern "C" {

void enct4_set_conforming(int on) { default_context.state.conforming = on != 0; }

int enct4_conforming() { return default_context.state.conforming ? 1 : 0; }

int encode_g3_fax(line_source source, word_sink sink, int compression, int resolution)
{
    plain_callbacks plain{source, sink};
    return code_g3(default_context.state, plain_source_fn(plain), plain_sink_fn(plain), &plain,
                   compression, resolution);
}

int enct4_MMR(line_source source, word_sink sink)
{
    plain_callbacks plain{source, sink};
    return code_mmr(default_context.state, plain_source_fn(plain), plain_sink_fn(plain), &plain);
}

int encode_mh_fax(line_source source, word_sink sink)
{
    plain_callbacks plain{source, sink};
    return code_mh(default_context.state, plain_source_fn(plain), plain_sink_fn(plain), &plain);
}

enct4_context *enct4_context_new(void) { return new (std::nothrow) enct4_context{}; }

void enct4_context_free(enct4_context *ctx) { delete ctx; }

void enct4_context_set_conforming(enct4_context *ctx, int on) { ctx->state.conforming = on != 0; }

void enct4_context_set_messages(enct4_context *ctx, tavrin_message_fn message, void *user)
{
    ctx->state.messages = message_sink{message, user};
}

int enct4_g3_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink, void *user,
                 int compression, int resolution)
{
    return code_g3(ctx->state, source, sink, user, compression, resolution);
}

int enct4_MMR_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    return code_mmr(ctx->state, source, sink, user);
}

int enct4_mh_ctx(enct4_context *ctx, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    return code_mh(ctx->state, source, sink, user);
}

int enct4_g3_spans_ctx(enct4_context *ctx, enct4_spans_fn source, enct4_word_fn sink, void *user,
                       int compression, int resolution)
{
    coder_call call(ctx->state);
    if (!setup(call, compression, resolution, false)) {
        reset_encoder(ctx->state);
        return coder_failure(ctx->state);
    }
    return run_spans_coder(call, source, sink, user);
}

}  // extern "C"
