// The encoder behind faxtool's coded pages.
#include "faxtool/coding.h"

#include "faxfile/fax_header.h"
#include "t4/enct4.h"

namespace {

struct coding_job {
    const page_image *page = nullptr;
    bool lines_given = false;
    std::vector<uint8_t> *out = nullptr;
};

int give_page_lines(void *user, unsigned char **first_line, int *line_count)
{
    auto &job = *static_cast<coding_job *>(user);
    if (job.lines_given || job.page->height == 0)
        return -1;
    job.lines_given = true;
    *first_line = const_cast<unsigned char *>(job.page->bits.data());
    *line_count = job.page->height;
    return job.page->row_bytes;
}

// First bit of the stream in bit 0 of each word, so the low byte goes first.
int take_words(void *user, const uint16_t *words, int word_count)
{
    auto &job = *static_cast<coding_job *>(user);
    for (int i = 0; i < word_count; ++i) {
        job.out->push_back(static_cast<uint8_t>(words[i] & 0xFF));
        job.out->push_back(static_cast<uint8_t>(words[i] >> 8));
    }
    return 0;
}

bool run_encoder(const page_image &page, int compression, int resolution, bool conforming,
                 std::vector<uint8_t> &out)
{
    out.clear();
    enct4_context *ctx = enct4_context_new();
    if (ctx == nullptr)
        return false;
    enct4_context_set_conforming(ctx, conforming ? 1 : 0);
    coding_job job{&page, false, &out};
    const int result = enct4_g3_ctx(ctx, give_page_lines, take_words, &job, compression, resolution);
    enct4_context_free(ctx);
    return result < 0;  // the source's end value comes back on success
}

// T.4 4.1.4: RTC is six EOLs, each followed by a 1 tag bit in MR.
void append_rtc(std::vector<uint8_t> &out, bool tagged)
{
    uint32_t bits = 0;
    int count = 0;
    auto put = [&](int bit) {
        bits |= static_cast<uint32_t>(bit) << count;
        if (++count == 8) {
            out.push_back(static_cast<uint8_t>(bits));
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
        out.push_back(static_cast<uint8_t>(bits));
}

}  // namespace

bool code_page_conforming_mmr(const page_image &page, std::vector<uint8_t> &out)
{
    return run_encoder(page, COMP_MMR, RES_FINE, true, out);
}

bool code_fax_page(const page_image &page, int compression, int resolution,
                   std::vector<uint8_t> &out)
{
    if (!run_encoder(page, compression, resolution, false, out))
        return false;
    if (compression == COMP_MH || compression == COMP_MR)
        append_rtc(out, compression == COMP_MR);
    if (out.size() % 2 != 0)
        out.push_back(0);
    return true;
}
