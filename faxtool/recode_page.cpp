// A page from the decoder to the encoder: as its lines' changing elements
// where they are the lines the library recodes, else as bitmaps.
#include "faxtool/recode_page.h"

#include <climits>
#include <new>

#include "faxfile/fax_header.h"
#include "faxtool/pages.h"
#include "t4/enct4.h"
#include "t4/t4dec.h"

namespace {

// One page on its way from the decoder to the encoder: as its lines'
// changing elements where they are the lines the library recodes, else as
// bitmaps. The buffers serve every page.
struct page_recoding {
    // Lines as black runs: line i is positions [first[i], first[i + 1]) of `at`.
    std::vector<int16_t> at;
    std::vector<uint32_t> first{0};
    std::size_t next_row = 0;
    std::vector<int16_t> open;  // runs after the last end of line
    bool has_open = false;
    std::vector<unsigned char> lines;  // bitmap lines back to back
    bool handed_over = false;
    bool runs_pending = false;         // runs since the last line: a line is open
    bool out_of_memory = false;
    std::vector<unsigned char> coded;
    bool too_long = false;

    void clear()
    {
        at.clear();
        first.assign(1, 0);
        next_row = 0;
        open.clear();
        has_open = false;
        lines.clear();
        handed_over = runs_pending = out_of_memory = too_long = false;
        coded.clear();
    }
    std::size_t rows() const { return first.size() - 1; }
};

void add_row(page_recoding &page, const int16_t *spans, int count)
{
    page.at.insert(page.at.end(), spans, spans + count);
    page.first.push_back(static_cast<uint32_t>(page.at.size()));
}

void take_spans(void *user, const int16_t *spans, int count, int flags)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (page.out_of_memory)
        return;
    try {
        if ((flags & T4DEC_LINE_ENDED) != 0) {
            add_row(page, spans, count);
        } else {
            page.open.assign(spans, spans + count);
            page.has_open = true;
        }
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
    }
}

int give_row(void *user, const int16_t **spans, int *count)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (page.next_row >= page.rows())
        return -1;
    const uint32_t from = page.first[page.next_row];
    *spans = page.at.data() + from;
    *count = static_cast<int>(page.first[page.next_row + 1] - from);
    ++page.next_row;
    return FAX_WIDTH;
}

void note_run(void *user, int32_t)
{
    static_cast<page_recoding *>(user)->runs_pending = true;
}

void collect_line(void *user, const unsigned char *line, int bytes)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    page.runs_pending = false;
    if (line == nullptr || bytes != FAX_ROW_BYTES || page.out_of_memory)
        return;
    try {
        page.lines.insert(page.lines.end(), line, line + bytes);
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
    }
}

// The whole page as one batch, then the end.
int hand_over_lines(void *user, unsigned char **first_line, int *line_count)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (page.handed_over || page.lines.empty())
        return -1;
    page.handed_over = true;
    *first_line = page.lines.data();
    *line_count = static_cast<int>(page.lines.size() / FAX_ROW_BYTES);
    return FAX_ROW_BYTES;
}

// Words go out low byte first: the bit stream starts at bit 0 of the first
// byte. A page's length field holds 32 bits.
int take_words(void *user, const uint16_t *words, int count)
{
    page_recoding &page = *static_cast<page_recoding *>(user);
    if (words == nullptr || count <= 0)
        return 0;
    const std::size_t at = page.coded.size();
    if (at + 2 * static_cast<uint64_t>(count) > UINT32_MAX) {
        page.too_long = true;
        return -1;
    }
    try {
        page.coded.resize(at + 2 * static_cast<std::size_t>(count));
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
        return -1;
    }
    unsigned char *p = page.coded.data() + at;
    for (int i = 0; i < count; ++i) {
        p[2 * i] = static_cast<unsigned char>(words[i] & 0xFF);
        p[2 * i + 1] = static_cast<unsigned char>(words[i] >> 8);
    }
    return 2 * count;
}

}  // namespace

struct page_coder {
    int source = -1;
    int target = -1;
    int resolution = -1;
    bool force = false;
    std::unique_ptr<t4dec_context, decltype(&t4dec_context_free)> decoder{nullptr, t4dec_context_free};
    std::unique_ptr<enct4_context, decltype(&enct4_context_free)> encoder{nullptr, enct4_context_free};
    page_recoding page;
    std::vector<library_said> *said = nullptr;  // the page's, while it is recoded
};

namespace {

using recoder = page_coder;

// The contexts print where the library prints: the decoder on standard
// error, the encoder on standard output.
void keep_said(page_coder &coder, FILE *stream, const char *text)
{
    if (coder.said == nullptr)
        return;
    try {
        coder.said->push_back(library_said{stream, text});
    } catch (const std::bad_alloc &) {
        // A message is not worth a failure.
    }
}

void decoder_said(void *user, const char *text) { keep_said(*static_cast<page_coder *>(user), stderr, text); }
void encoder_said(void *user, const char *text) { keep_said(*static_cast<page_coder *>(user), stdout, text); }

// Recoding would put the decoder's repair in place of the coded data.
bool page_is_whole(const page_report &report, const std::string &which, std::string &reason)
{
    const std::string damage = page_damage(report);
    if (damage.empty())
        return true;
    reason = which + " is damaged (" + damage + ")";
    return false;
}

enum class decoding { done, refused, as_bitmaps };

// What a decoding of the page says: damage refused without --force, as
// are data that stop decoding part way; with it the lines before are kept.
decoding judge_decoding(const recoder &r, int decoded, bool judged_apart, const std::string &which,
                        std::string &reason)
{
    if (!r.force && !judged_apart) {
        t4dec_report seen{};
        t4dec_context_report(r.decoder.get(), &seen);
        if (!page_is_whole(page_report{seen.lines, seen.concealed, seen.clean != 0}, which, reason))
            return decoding::refused;
    }
    if (decoded == 0 && !r.force) {
        reason = which + " cannot be decoded";
        return decoding::refused;
    }
    return decoding::done;
}

// The page's lines as changing elements, as_bitmaps where they might not be
// the lines that the bitmap decoding gives: MR's EOLs in a row give a line
// each, and a concealed MH line is the broken one rather than the previous.
// MMR gives the same lines either way.
decoding decode_as_spans(recoder &r, const unsigned char *data, int length, bool judged_apart,
                         const std::string &which, page_recoding &page, std::string &reason)
{
    if (r.source == COMP_MR)
        return decoding::as_bitmaps;
    const int decoded = t4dec_decode_spans_ctx(r.decoder.get(), data, length, r.source, take_spans, &page);
    const decoding judged = judge_decoding(r, decoded, judged_apart, which, reason);
    if (judged != decoding::done)
        return judged;
    t4dec_report seen{};
    t4dec_context_report(r.decoder.get(), &seen);
    if (r.source == COMP_MH && (seen.clean == 0 || seen.concealed != 0))
        return decoding::as_bitmaps;
    try {
        // A whole MH line that no EOL closed: the library closes it.
        if (r.source == COMP_MH && page.has_open)
            add_row(page, page.open.data(), static_cast<int>(page.open.size()));
        // MH is coded with an EOL before each line and none after the last:
        // a white line's EOL ends the page's last real line.
        if (r.target == COMP_MH)
            add_row(page, nullptr, 0);
    } catch (const std::bad_alloc &) {
        page.out_of_memory = true;
    }
    return decoding::done;
}

// The page's lines as bitmaps, the way the library decodes them.
decoding decode_as_bitmaps(recoder &r, const unsigned char *data, int length, bool judged_apart,
                           const std::string &which, page_recoding &page, std::string &reason)
{
    // The MR decoder refuses an empty page: it has no lines.
    if (length > 0 || r.source != COMP_MR) {
        const int decoded = t4dec_decode_ctx(r.decoder.get(), data, length, r.source, note_run, collect_line,
                                             nullptr, &page);
        if (judge_decoding(r, decoded, judged_apart, which, reason) != decoding::done)
            return decoding::refused;
    }
    // Data may end inside an MH line: an EOL there closes it.
    if (r.source == COMP_MH && page.runs_pending)
        t4dec_context_end_line(r.decoder.get(), note_run, collect_line, nullptr, &page);
    if (r.target == COMP_MH && !page.out_of_memory) {
        try {
            page.lines.resize(page.lines.size() + FAX_ROW_BYTES, 0);
        } catch (const std::bad_alloc &) {
            page.out_of_memory = true;
        }
    }
    return decoding::done;
}

// The encoder's result for the page, and why it is not whole.
bool coded_whole(int coded, const std::string &which, const page_recoding &page, std::string &reason)
{
    if (page.out_of_memory) {
        reason = "out of memory";
        return false;
    }
    if (page.too_long) {
        reason = which + " codes to more than 4 GiB";
        return false;
    }
    if (coded >= 0) {
        reason = "the encoder failed on " + which;
        return false;
    }
    return true;
}

void say_nothing(void *, const char *) {}

// Decodes one page's data and codes its lines again, into page.coded;
// without --force a damaged page is refused.
bool recode_into(recoder &r, const unsigned char *data, uint32_t length, int number, page_recoding &page,
                 std::string &reason)
{
    static const unsigned char no_data[1] = {0};
    const std::string which = "page " + std::to_string(number);
    if (length > static_cast<uint32_t>(INT_MAX)) {
        reason = which + " is too long to decode";
        return false;
    }
    // A page is judged on whole 16-bit words, as info judges it: one of odd
    // length, and an empty MR page, which is not decoded, on their own.
    const bool judged_apart = !r.force && (length % 2 != 0 || (length == 0 && r.source == COMP_MR));
    if (judged_apart && !page_is_whole(decode_data_report(r.decoder.get(), data, length, r.source), which, reason))
        return false;
    const unsigned char *from = length > 0 ? data : no_data;
    const int size = static_cast<int>(length);
    page.clear();
    const decoding spans = decode_as_spans(r, from, size, judged_apart, which, page, reason);
    if (spans == decoding::refused)
        return false;
    if (spans == decoding::done) {
        if (page.out_of_memory)
            return coded_whole(-1, which, page, reason);
        // Spans the encoder refuses (it says nothing of them here) are
        // recoded from bitmaps, which it takes as they are.
        enct4_context_set_messages(r.encoder.get(), say_nothing, nullptr);
        const int coded = enct4_g3_spans_ctx(r.encoder.get(), give_row, take_words, &page, r.target, r.resolution);
        enct4_context_set_messages(r.encoder.get(), encoder_said, &r);
        if (coded < 0 || page.out_of_memory || page.too_long)
            return coded_whole(coded, which, page, reason);
    }
    page.clear();
    if (decode_as_bitmaps(r, from, size, judged_apart, which, page, reason) == decoding::refused)
        return false;
    if (page.out_of_memory)
        return coded_whole(-1, which, page, reason);
    const int coded = enct4_g3_ctx(r.encoder.get(), hand_over_lines, take_words, &page, r.target, r.resolution);
    return coded_whole(coded, which, page, reason);
}

}  // namespace

void page_coder_deleter::operator()(page_coder *coder) const { delete coder; }

page_coder_owner page_coder_new(const recode_setup &setup)
{
    page_coder_owner coder(new (std::nothrow) page_coder);
    if (!coder)
        return coder;
    coder->source = setup.source;
    coder->target = setup.target;
    coder->resolution = setup.resolution;
    coder->force = setup.force;
    coder->decoder.reset(t4dec_context_new(FAX_WIDTH));
    coder->encoder.reset(enct4_context_new());
    if (!coder->decoder || !coder->encoder)
        return nullptr;
    t4dec_context_set_messages(coder->decoder.get(), decoder_said, coder.get());
    enct4_context_set_messages(coder->encoder.get(), encoder_said, coder.get());
    // A fine text page's changing elements: reserved, not touched, so a
    // page grows into them without copying and only what it uses is resident.
    try {
        coder->page.at.reserve(TYPICAL_PAGE_SPANS);
        coder->page.first.reserve(TYPICAL_PAGE_ROWS + 1);
    } catch (const std::bad_alloc &) {
        // They grow as they must.
    }
    return coder;
}

bool recode_page(page_coder &coder, const unsigned char *data, uint32_t length, int number,
                 std::vector<unsigned char> &coded, std::vector<library_said> &said, std::string &reason)
{
    // The caller's buffer takes the page's coding, and the coder keeps the
    // one it gave for the next page.
    coder.page.coded.swap(coded);
    coder.said = &said;
    const bool ok = recode_into(coder, data, length, number, coder.page, reason);
    coder.said = nullptr;
    coder.page.coded.swap(coded);
    return ok;
}
