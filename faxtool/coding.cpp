// The encoder behind faxtool's coded pages.
#include "faxtool/coding.h"

#include <bit>

#include "faxfile/fax_header.h"
#include "t4/enct4.h"
#include "t4/page_rows.h"

namespace {

// ---- A whole page in memory --------------------------------------------------

struct page_job {
    const page_image *page = nullptr;
    bool lines_given = false;
    std::vector<uint8_t> *out = nullptr;
};

int give_page_lines(void *user, unsigned char **first_line, int *line_count)
{
    auto &job = *static_cast<page_job *>(user);
    if (job.lines_given || job.page->height == 0)
        return -1;
    job.lines_given = true;
    *first_line = const_cast<unsigned char *>(job.page->bits.data());
    *line_count = job.page->height;
    return job.page->row_bytes;
}

// First bit of the stream in bit 0 of each word, so the low byte goes first.
int take_page_words(void *user, const uint16_t *words, int word_count)
{
    auto &job = *static_cast<page_job *>(user);
    for (int i = 0; i < word_count; ++i) {
        job.out->push_back(static_cast<uint8_t>(words[i] & 0xFF));
        job.out->push_back(static_cast<uint8_t>(words[i] >> 8));
    }
    return 0;
}

// ---- A page streamed through ---------------------------------------------------

// Rows coded per call of the encoder's source: a few kilobytes at a time.
constexpr int32_t STRIP_ROWS = 64;

struct stream_job {
    const page_stream *stream = nullptr;
    uint8_t rows[STRIP_ROWS * FAX_ROW_BYTES];
    bool failed = false;   // a callback failed
    uint64_t length = 0;
};

// Rows in place come as many at a time as their reader holds.
constexpr int32_t MAX_ROWS_IN_PLACE = 4096;

int give_strip(void *user, unsigned char **first_line, int *line_count)
{
    auto &job = *static_cast<stream_job *>(user);
    const page_stream &stream = *job.stream;
    if (stream.rows_in_place != nullptr) {
        const uint8_t *first = nullptr;
        const int32_t got = stream.rows_in_place(stream.user, MAX_ROWS_IN_PLACE, &first);
        if (got <= 0) {
            job.failed = job.failed || got < 0;
            return -1;
        }
        *first_line = const_cast<unsigned char *>(first);  // the encoder only reads its lines
        *line_count = got;
        return static_cast<int>(stream.row_bytes);
    }
    const int32_t got = job.stream->rows(job.stream->user, job.rows, STRIP_ROWS);
    if (got <= 0) {
        job.failed = job.failed || got < 0;
        return -1;
    }
    *first_line = job.rows;
    *line_count = got;
    return FAX_ROW_BYTES;
}

bool give_bytes(stream_job &job, const uint8_t *data, std::size_t count)
{
    if (job.failed || !job.stream->bytes(job.stream->user, data, count)) {
        job.failed = true;
        return false;
    }
    job.length += count;
    return true;
}

int take_stream_words(void *user, const uint16_t *words, int word_count)
{
    auto &job = *static_cast<stream_job *>(user);
    if constexpr (std::endian::native == std::endian::little) {
        // The words' bytes are already in stream order.
        const auto *first = reinterpret_cast<const uint8_t *>(words);
        return give_bytes(job, first, 2 * static_cast<std::size_t>(word_count)) ? 0 : -1;
    }
    uint8_t bytes[512];
    for (int i = 0; i < word_count;) {
        std::size_t n = 0;
        for (; i < word_count && n < sizeof bytes; ++i) {
            bytes[n++] = static_cast<uint8_t>(words[i] & 0xFF);
            bytes[n++] = static_cast<uint8_t>(words[i] >> 8);
        }
        if (!give_bytes(job, bytes, n))
            return -1;
    }
    return 0;
}

// ---- Both --------------------------------------------------------------------

bool run_encoder(enct4_line_fn source, enct4_word_fn sink, void *user, int compression, int resolution,
                 bool conforming)
{
    enct4_context *ctx = enct4_context_new();
    if (ctx == nullptr)
        return false;
    enct4_context_set_conforming(ctx, conforming ? 1 : 0);
    const int result = enct4_g3_ctx(ctx, source, sink, user, compression, resolution);
    enct4_context_free(ctx);
    return result < 0;  // the source's end value comes back on success
}

}  // namespace

bool code_page_conforming_mmr(const page_image &page, std::vector<uint8_t> &out)
{
    out.clear();
    page_job job{&page, false, &out};
    return run_encoder(give_page_lines, take_page_words, &job, COMP_MMR, RES_FINE, true);
}

bool code_fax_page(const page_stream &stream, int compression, int resolution, uint64_t &length)
{
    stream_job job;
    job.stream = &stream;
    length = 0;
    if (!run_encoder(give_strip, take_stream_words, &job, compression, resolution, false) || job.failed)
        return false;
    uint8_t end[T4_PAGE_END_MAX];
    const std::size_t count = t4_page_end(compression, job.length, end);
    if (count > 0 && !give_bytes(job, end, count))
        return false;
    length = job.length;
    return true;
}
