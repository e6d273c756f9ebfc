// The encoder against the token-batch reference it replaced, and its
// changing-element entry against its bitmap entry. Byte 0 picks the setting
// and whether the rest is a bitmap or a coded page, byte 1 the line length,
// byte 2 the batch split and a sink failure; the rest are the lines (or a
// page of 1728-pixel lines, as the decoder draws it).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "t4/t4dec.h"
#include "tests/support/encoder_diff.h"

namespace {

void keep_line(void *user, const unsigned char *line, int bytes)
{
    auto &in = *static_cast<encdiff::input *>(user);
    in.bytes.insert(in.bytes.end(), line, line + bytes);
}

struct spans_job {
    const encdiff::input *in = nullptr;
    int line = 0;
    std::vector<int16_t> spans;
    std::vector<uint16_t> words;
};

int give_spans(void *user, const int16_t **spans, int *count)
{
    auto &job = *static_cast<spans_job *>(user);
    const encdiff::input &in = *job.in;
    if (job.line >= encdiff::line_count(in))
        return in.end_value;
    const int width = 8 * in.line_bytes;
    const uint8_t *l = in.bytes.data() + static_cast<std::size_t>(job.line++) * in.line_bytes;
    job.spans.clear();
    bool black = false;
    for (int x = 0; x <= width; ++x) {
        const bool b = x < width && ((l[x / 8] >> (7 - x % 8)) & 1) != 0;
        if (b != black)
            job.spans.push_back(static_cast<int16_t>(x));
        black = b;
    }
    *spans = job.spans.data();
    *count = static_cast<int>(job.spans.size());
    return width;
}

int keep_words(void *user, const uint16_t *words, int count)
{
    auto &job = *static_cast<spans_job *>(user);
    job.words.insert(job.words.end(), words, words + count);
    return 0;
}

// The rows' words and result from spans.
bool spans_match(const encdiff::setting &s, const encdiff::input &in)
{
    if (s.how != encdiff::entry::g3 || in.fail_after_words >= 0 || in.batches.size() > 0)
        return true;
    spans_job job;
    job.in = &in;
    enct4_context *ctx = enct4_context_new();
    enct4_context_set_conforming(ctx, s.conforming ? 1 : 0);
    const int result = enct4_g3_spans_ctx(ctx, give_spans, keep_words, &job, s.compression, s.resolution);
    enct4_context_free(ctx);
    const encdiff::outcome rows = encdiff::shipped(s, in);
    return result == rows.result && (result == 1 || job.words == rows.words);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3 || size > (1u << 17))
        return 0;
    static const std::vector<encdiff::setting> settings = encdiff::all_settings();
    const encdiff::setting &s = settings[data[0] % settings.size()];
    const bool coded_page = (data[0] / settings.size()) % 2 != 0;
    encdiff::input in;
    if (coded_page) {
        static const int modes[] = {0, 1, 3};
        t4dec_context *ctx = t4dec_context_new(1728);
        if (ctx == nullptr)
            return 0;
        t4dec_decode_ctx(ctx, data + 3, static_cast<int>(size - 3), modes[data[1] % 3], nullptr,
                         keep_line, nullptr, &in);
        t4dec_context_free(ctx);
    } else {
        // Narrow, fax-wide and a little wider, and beyond the longest
        // single make-up code (2623 pixels).
        in.line_bytes = data[1] < 200   ? 1 + data[1] % 64
                        : data[1] < 240 ? 216
                        : data[1] < 250 ? 217 + data[1] % 40
                                        : 328 + 37 * (data[1] - 250);
        in.bytes.assign(data + 3, data + 3 + (size - 3) / in.line_bytes * in.line_bytes);
    }
    const uint8_t split = data[2];
    if (split & 0x80)
        in.fail_after_words = (split & 0x0F) * 37;
    if (split & 0x40)
        in.batches = {1 + (split & 7), 1, 2 + (split >> 3 & 7)};
    if (!encdiff::compare(s, in).empty() || !spans_match(s, in))
        __builtin_trap();
    return 0;
}
