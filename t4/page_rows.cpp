// Whole pages to rows through the span decoder, and rows to a coded page
// through the encoder.
#include "t4/page_rows.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "t4/span_words.h"
#include "t4/t4dec_internal.h"

namespace {

// Grows a malloc'd buffer to hold `needed` bytes, doubling; false when
// memory is short (the buffer stays as it was).
bool reserve_bytes(uint8_t *&bytes, std::size_t &capacity, std::size_t needed)
{
    if (needed <= capacity)
        return true;
    const std::size_t grown = std::max(needed, capacity < 4096 ? std::size_t{4096} : 2 * capacity);
    auto *moved = static_cast<uint8_t *>(std::realloc(bytes, grown));
    if (moved == nullptr)
        return false;
    bytes = moved;
    capacity = grown;
    return true;
}

// Words of one row as 64-bit units, pixel 0 in the top bit of unit 0, so
// that a span sets whole units between its ends; stored big-endian.
constexpr int MAX_UNITS = (t4dec_detail::MAX_LINE_WIDTH + 63) / 64;

constexpr std::size_t TYPICAL_PAGE_ROWS = 2400;

// Byte rows are eight times the packed ones and outgrow the core's cache, so
// their writes wait on memory. Asking for the lines two rows ahead while the
// decoder works on the next one hides part of that wait.
constexpr std::size_t PREFETCH_ROWS_AHEAD = 2;
constexpr std::size_t CACHE_LINE = 64;

void prefetch_for_write(const uint8_t *at)
{
#if defined(__x86_64__) || defined(__i386__)
    // PREFETCHW; processors without it take it as a no-op.
    asm volatile("prefetchw %0" ::"m"(*at));
#else
    __builtin_prefetch(at, 1, 3);
#endif
}

// Prefetches the row `PREFETCH_ROWS_AHEAD` rows after `out`, within the buffer.
void prefetch_row_ahead(const uint8_t *out, std::size_t row_bytes, const uint8_t *end)
{
    if (static_cast<std::size_t>(end - out) <= (PREFETCH_ROWS_AHEAD + 1) * row_bytes)
        return;
    const uint8_t *row = out + PREFETCH_ROWS_AHEAD * row_bytes;
    for (std::size_t at = 0; at < row_bytes; at += CACHE_LINE)
        prefetch_for_write(row + at);
}

struct row_filler {
    t4_rows *rows;
    int32_t width;
    int32_t max_lines;
    bool own_only;              // T4_ROWS_OWN
    bool byte_pixels;           // T4_ROWS_BYTE_PIXELS
    bool skip_opening;          // MH under T4_ROWS_OWN: the line the first EOL closes
    int32_t through_coded = 0;  // rows up to the last that carried a code
    bool overflow = false;
    bool no_memory = false;
};

// A row of one byte a pixel from its black spans, clipped to the width.
void paint_byte_pixels(uint8_t *out, const int16_t *spans, int count, int32_t width)
{
    std::memset(out, 0, static_cast<std::size_t>(width));
    for (int i = 0; i + 1 < count; i += 2) {
        const int from = std::clamp<int>(spans[i], 0, width);
        const int to = std::clamp<int>(spans[i + 1], from, width);
        std::memset(out + from, 1, static_cast<std::size_t>(to - from));
    }
}

// A packed row of row_bytes bytes from its black spans, clipped to the width.
void paint_packed(uint8_t *out, std::size_t row_bytes, const int16_t *spans, int count, int32_t width)
{
    uint64_t units[MAX_UNITS + 1];
    const int unit_count = (width + 63) / 64;
    std::memset(units, 0, sizeof(uint64_t) * static_cast<std::size_t>(unit_count));
    for (int i = 0; i + 1 < count; i += 2) {
        const int from = std::clamp<int>(spans[i], 0, width);
        const int to = std::clamp<int>(spans[i + 1], from, width);
        if (from < to)
            span_words::mark(units, from, to);
    }
    std::size_t b = 0;
    for (; b + 8 <= row_bytes; b += 8) {
        uint64_t big = units[b >> 3];
        if constexpr (std::endian::native == std::endian::little)
            big = __builtin_bswap64(big);
        std::memcpy(out + b, &big, 8);
    }
    for (; b < row_bytes; ++b)
        out[b] = static_cast<uint8_t>(units[b >> 3] >> (56 - 8 * (b & 7)));
}

void fill_row(void *user, const int16_t *spans, int count, int flags)
{
    auto &f = *static_cast<row_filler *>(user);
    if ((flags & T4DEC_LINE_ENDED) == 0 || f.overflow || f.no_memory)
        return;
    const bool coded = (flags & T4DEC_LINE_CODED) != 0;
    const bool opening = f.skip_opening;
    f.skip_opening = false;
    if (opening && !coded)
        return;
    t4_rows &rows = *f.rows;
    if (rows.lines >= f.max_lines) {
        // Under T4_ROWS_OWN the limit is on the rows that stay: uncoded rows
        // past it (the end of page's) go unless a coded row follows them.
        if (f.own_only && !coded)
            return;
        f.overflow = true;
        return;
    }
    const std::size_t row_bytes = static_cast<std::size_t>(rows.row_bytes);
    // A typical page's rows at once: no copies while they grow, and memory
    // that no row reaches is never touched.
    if (rows.capacity == 0 && f.max_lines > 0)
        reserve_bytes(rows.bits, rows.capacity,
                      std::min<std::size_t>(static_cast<std::size_t>(f.max_lines), TYPICAL_PAGE_ROWS) *
                          row_bytes);
    if (!reserve_bytes(rows.bits, rows.capacity, (static_cast<std::size_t>(rows.lines) + 1) * row_bytes)) {
        f.no_memory = true;
        return;
    }
    uint8_t *out = rows.bits + static_cast<std::size_t>(rows.lines) * row_bytes;
    if (f.byte_pixels) {
        prefetch_row_ahead(out, row_bytes, rows.bits + rows.capacity);
        paint_byte_pixels(out, spans, count, f.width);
    } else {
        paint_packed(out, row_bytes, spans, count, f.width);
    }
    ++rows.lines;
    if (coded || !f.own_only)
        f.through_coded = rows.lines;
}

struct coding_job {
    const uint8_t *rows;
    int32_t lines;
    int32_t row_bytes;
    bool given = false;
    t4_coded *out;
    bool no_memory = false;
};

int give_rows(void *user, unsigned char **first_line, int *line_count)
{
    auto &job = *static_cast<coding_job *>(user);
    if (job.given || job.lines == 0)
        return -1;
    job.given = true;
    *first_line = const_cast<unsigned char *>(job.rows);
    *line_count = job.lines;
    return job.row_bytes;
}

// First bit of the stream in bit 0 of each word: the low byte goes first.
int take_words(void *user, const uint16_t *words, int word_count)
{
    auto &job = *static_cast<coding_job *>(user);
    t4_coded &out = *job.out;
    if (!reserve_bytes(out.bytes, out.capacity, out.length + 2 * static_cast<std::size_t>(word_count))) {
        job.no_memory = true;
        return -2;
    }
    for (int i = 0; i < word_count; ++i) {
        out.bytes[out.length++] = static_cast<uint8_t>(words[i] & 0xFF);
        out.bytes[out.length++] = static_cast<uint8_t>(words[i] >> 8);
    }
    return 0;
}

// T.4 4.1.4: RTC is six EOLs, each followed by a 1 tag bit in MR. Returns
// the bytes written: 9 for MH, 10 for MR.
std::size_t rtc_bytes(bool tagged, uint8_t *out)
{
    std::size_t length = 0;
    uint32_t bits = 0;
    int count = 0;
    auto put = [&](int bit) {
        bits |= static_cast<uint32_t>(bit) << count;
        if (++count == 8) {
            out[length++] = static_cast<uint8_t>(bits);
            bits = 0;
            count = 0;
        }
    };
    for (int eol = 0; eol < 6; ++eol) {
        for (int zero = 0; zero < 11; ++zero)
            put(0);
        put(1);
        if (tagged)
            put(1);
    }
    if (count > 0)
        out[length++] = static_cast<uint8_t>(bits);
    return length;
}

}  // namespace

extern "C" {

int t4_page_to_rows(t4dec_context *ctx, const unsigned char *data, std::size_t length, int mode,
                    int flags, int32_t max_lines, t4_rows *rows, t4dec_report *report)
{
    if (report != nullptr)
        *report = t4dec_report{};
    if (rows == nullptr)
        return T4_PAGE_NO_MEMORY;
    rows->lines = 0;
    if (mode != T4DEC_MODE_MH && mode != T4DEC_MODE_MR && mode != T4DEC_MODE_MMR)
        return T4_PAGE_BAD_MODE;
    std::unique_ptr<t4dec_context, decltype(&t4dec_context_free)> own(nullptr, t4dec_context_free);
    if (ctx == nullptr) {
        own.reset(t4dec_context_new(T4_STANDARD_WIDTH));
        if (!own)
            return T4_PAGE_NO_MEMORY;
        ctx = own.get();
    }
    const bool byte_pixels = (flags & T4_ROWS_BYTE_PIXELS) != 0;
    rows->row_bytes = byte_pixels ? ctx->width : t4dec_detail::bytes_for(ctx->width);
    const bool own_only = (flags & T4_ROWS_OWN) != 0;
    row_filler filler{rows, ctx->width, max_lines > 0 ? max_lines : T4_PAGE_DEFAULT_MAX_LINES,
                      own_only, byte_pixels, own_only && mode == T4DEC_MODE_MH};
    // The decoders take whole 16-bit words, as the converter hands them over.
    static const unsigned char no_data[2] = {0, 0};
    const std::size_t words = std::min<std::size_t>(length, 0x7FFFFFFE) & ~std::size_t{1};
    t4dec_decode_spans_ctx(ctx, words > 0 ? data : no_data, static_cast<int>(words), mode,
                           fill_row, &filler);
    if (report != nullptr)
        t4dec_context_report(ctx, report);
    if (filler.overflow || filler.no_memory) {
        rows->lines = 0;
        return filler.overflow ? T4_PAGE_TOO_MANY_LINES : T4_PAGE_NO_MEMORY;
    }
    rows->lines = filler.through_coded;
    return T4_PAGE_OK;
}

void t4_rows_free(t4_rows *rows)
{
    if (rows == nullptr)
        return;
    std::free(rows->bits);
    *rows = t4_rows{};
}

int t4_rows_to_page(enct4_context *ctx, const uint8_t *rows, int32_t lines, int32_t row_bytes,
                    int compression, int resolution, int flags, t4_coded *out)
{
    if (out == nullptr)
        return T4_PAGE_NO_MEMORY;
    out->length = 0;
    if (compression != ENCT4_MODE_MH && compression != ENCT4_MODE_MR && compression != ENCT4_MODE_MMR)
        return T4_PAGE_BAD_MODE;
    if (lines < 0 || row_bytes <= 0 || (lines > 0 && rows == nullptr))
        return T4_PAGE_CODER_FAILED;
    std::unique_ptr<enct4_context, decltype(&enct4_context_free)> own(nullptr, enct4_context_free);
    if (ctx == nullptr) {
        own.reset(enct4_context_new());
        if (!own)
            return T4_PAGE_NO_MEMORY;
        ctx = own.get();
    }
    enct4_context_set_conforming(ctx, (flags & T4_PAGE_CONFORMING) != 0 ? 1 : 0);
    coding_job job{rows, lines, row_bytes, false, out};
    const int result = enct4_g3_ctx(ctx, give_rows, take_words, &job, compression, resolution);
    if (job.no_memory) {
        out->length = 0;
        return T4_PAGE_NO_MEMORY;
    }
    if (result >= 0) {  // the source's end value comes back on success
        out->length = 0;
        return T4_PAGE_CODER_FAILED;
    }
    if ((flags & T4_PAGE_BARE) == 0) {
        uint8_t end[T4_PAGE_END_MAX];
        const std::size_t count = t4_page_end(compression, out->length, end);
        if (!reserve_bytes(out->bytes, out->capacity, out->length + count)) {
            out->length = 0;
            return T4_PAGE_NO_MEMORY;
        }
        if (count > 0)
            std::memcpy(out->bytes + out->length, end, count);
        out->length += count;
    }
    return T4_PAGE_OK;
}

std::size_t t4_page_end(int compression, std::size_t coded_length, uint8_t out[T4_PAGE_END_MAX])
{
    std::size_t length = 0;
    if (compression == ENCT4_MODE_MH || compression == ENCT4_MODE_MR)
        length = rtc_bytes(compression == ENCT4_MODE_MR, out);
    if ((coded_length + length) % 2 != 0)
        out[length++] = 0;
    return length;
}

void t4_coded_free(t4_coded *coded)
{
    if (coded == nullptr)
        return;
    std::free(coded->bytes);
    *coded = t4_coded{};
}

}  // extern "C"
