// Pages from the decoder's changing elements to the encoder's, with the rows
// that decode_page_rows paints, but never painted.
#include "faxtool/transcode.h"

#include <algorithm>
#include <memory>
#include <new>

#include "faxfile/fax_header.h"
#include "t4/enct4.h"
#include "t4/t4dec.h"

namespace {

// A page's rows as black runs: row r is positions [first[r], first[r + 1])
// of `at`, ascending, runs [at[i], at[i + 1]) for even i.
struct span_rows {
    std::vector<int16_t> at;
    std::vector<uint32_t> first{0};
    int32_t rows() const { return static_cast<int32_t>(first.size()) - 1; }
};

// What decode_page_rows keeps of the decoder's lines, and what a standard
// reader would need to read them the same way.
struct span_builder {
    span_rows *rows = nullptr;  // null: the rows are counted, not kept
    int copies = 1;
    bool own_rows_only = true;
    bool skip_opening = false;
    int32_t count = 0;
    int32_t through_coded = 0;
    bool overflow = false;
    bool out_of_memory = false;
    // How the decoder's lines end, for taking the page as stored.
    int32_t lines = 0;           // ended
    int32_t coded_lines = 0;     // ended, with a code of their own
    int32_t uncoded_inside = 0;  // ended without a code, and more lines after
    bool last_coded = false;
    bool last_empty = false;     // the last line ended had no run at all
    bool open_runs = false;      // runs no end of line closed
};

void tally_line(span_builder &b, int count, int flags)
{
    if ((flags & T4DEC_LINE_ENDED) == 0) {
        b.open_runs = true;
        return;
    }
    if (b.lines > 0 && !b.last_coded)
        ++b.uncoded_inside;
    b.last_coded = (flags & T4DEC_LINE_CODED) != 0;
    b.last_empty = count == 0 && (flags & T4DEC_LINE_HAD_RUNS) == 0;
    ++b.lines;
    b.coded_lines += b.last_coded ? 1 : 0;
}

// True when any standard T.6 reader decodes the stored data to the rows
// kept: it decoded clean, with no code such a reader takes otherwise (the
// legacy start-of-line choice among them), and its lines are the full lines
// the decoder ends and, at EOFB or the end of the data, the one that had
// begun, with no code: no row of the page.
bool reads_as_stored(const t4dec_report &seen, const span_builder &b)
{
    return seen.clean != 0 && seen.concealed == 0 && seen.nonstandard == 0 && !b.open_runs &&
           b.lines >= 2 && b.coded_lines == b.lines - 1 && b.uncoded_inside == 0 && !b.last_coded &&
           b.last_empty && b.copies == 1 && b.through_coded == b.coded_lines;
}

// As decode_page_rows paints a row: runs clamped to the line, touching or
// overlapping ones painted as one.
void append_row(span_rows &rows, const int16_t *spans, int count)
{
    std::vector<int16_t> &at = rows.at;
    const std::size_t row_start = at.size();
    // The decoders give ascending runs that neither touch nor are empty:
    // within the line they go as they are.
    if (count % 2 == 0 && (count == 0 || (spans[0] >= 0 && spans[count - 1] <= FAX_WIDTH))) {
        at.insert(at.end(), spans, spans + count);
        rows.first.push_back(static_cast<uint32_t>(at.size()));
        return;
    }
    for (int i = 0; i + 1 < count; i += 2) {
        const int from = std::clamp<int>(spans[i], 0, FAX_WIDTH);
        const int to = std::clamp<int>(spans[i + 1], from, FAX_WIDTH);
        if (to <= from)
            continue;
        if (at.size() > row_start && from <= at.back()) {
            at.back() = static_cast<int16_t>(std::max<int>(at.back(), to));
            continue;
        }
        at.push_back(static_cast<int16_t>(from));
        at.push_back(static_cast<int16_t>(to));
    }
    rows.first.push_back(static_cast<uint32_t>(at.size()));
}

// Tallies a line; true when it is to be one of the page's rows.
inline bool row_to_come(span_builder &b, int count, int flags)
{
    tally_line(b, count, flags);
    if ((flags & T4DEC_LINE_ENDED) == 0 || b.out_of_memory)
        return false;
    const bool opening = b.skip_opening;
    b.skip_opening = false;
    if (opening && (flags & T4DEC_LINE_CODED) == 0 && b.own_rows_only)
        return false;
    if (b.count >= MAX_PAGE_ROWS) {
        b.overflow = true;
        return false;
    }
    return true;
}

inline void row_taken(span_builder &b, int flags)
{
    ++b.count;
    if ((flags & T4DEC_LINE_CODED) != 0 || !b.own_rows_only)
        b.through_coded = b.count;
}

void take_line(void *user, const int16_t *spans, int count, int flags)
{
    span_builder &b = *static_cast<span_builder *>(user);
    if (!row_to_come(b, count, flags))
        return;
    try {
        for (int copy = 0; copy < b.copies && b.rows != nullptr; ++copy)
            append_row(*b.rows, spans, count);
    } catch (const std::bad_alloc &) {
        b.out_of_memory = true;
        return;
    }
    row_taken(b, flags);
}

// take_line for a builder that keeps no rows: a leaf, cheap on every line.
void count_line(void *user, const int16_t *, int count, int flags)
{
    span_builder &b = *static_cast<span_builder *>(user);
    if (row_to_come(b, count, flags))
        row_taken(b, flags);
}

// The encoder's one user pointer: rows in, bytes out.
struct rows_source {
    const span_rows *rows = nullptr;
    int32_t next = 0;
    int32_t end = 0;
    std::vector<uint8_t> *out = nullptr;
};

int give_row(void *user, const int16_t **spans, int *count)
{
    auto &src = *static_cast<rows_source *>(user);
    if (src.next >= src.end)
        return -1;
    const uint32_t from = src.rows->first[static_cast<std::size_t>(src.next)];
    const uint32_t to = src.rows->first[static_cast<std::size_t>(src.next) + 1];
    ++src.next;
    *spans = src.rows->at.data() + from;
    *count = static_cast<int>(to - from);
    return FAX_WIDTH;
}

// First bit of the stream in bit 0 of each word, so the low byte goes first.
// No exception leaves the callback: out of memory fails the sink.
int take_words(void *user, const uint16_t *words, int word_count)
{
    auto &out = *static_cast<rows_source *>(user)->out;
    const std::size_t at = out.size();
    try {
        out.resize(at + 2 * static_cast<std::size_t>(word_count));
    } catch (const std::bad_alloc &) {
        return -1;
    }
    uint8_t *p = out.data() + at;
    for (int i = 0; i < word_count; ++i) {
        p[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
        p[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    return 0;
}

using decoder_owner = std::unique_ptr<t4dec_context, decltype(&t4dec_context_free)>;
using encoder_owner = std::unique_ptr<enct4_context, decltype(&enct4_context_free)>;

// The builder of a page's rows as decode_page_rows keeps them.
span_builder builder_for(const fax_document &doc, const row_choice &choice, span_rows *rows)
{
    span_builder builder;
    builder.rows = rows;
    builder.copies = choice.stretch && doc.resolution == RES_NORMAL ? 2 : 1;
    builder.own_rows_only = !choice.decoder_lines;
    builder.skip_opening = doc.compression == COMP_MH;
    return builder;
}

// The whole 16-bit words of a page's data, which the decoders take as
// pelmorin hands them over.
uint32_t whole_words(const fax_page_ref &ref) { return ref.length & ~1u; }

void decode_lines(t4dec_context *decoder, const fax_document &doc, std::size_t index, span_builder &builder,
                  t4dec_report &seen)
{
    static const unsigned char no_data[2] = {0, 0};
    const fax_page_ref &ref = doc.pages[index];
    const int length = static_cast<int>(whole_words(ref));
    const unsigned char *data = length > 0 ? ref.data : no_data;
    t4dec_decode_spans_ctx(decoder, data, length, doc.compression,
                           builder.rows != nullptr ? take_line : count_line, &builder);
    t4dec_context_report(decoder, &seen);
}

// The rows kept must be those lines: with --decoder-lines the end's line is
// one more than the data holds.
bool goes_as_stored(const fax_document &doc, const t4dec_report &seen, const span_builder &builder)
{
    const int32_t height = builder.through_coded * builder.copies;
    return doc.compression == COMP_MMR && !builder.overflow && !builder.out_of_memory && height > 0 &&
           reads_as_stored(seen, builder) && height == builder.coded_lines;
}

// The page's rows coded afresh as conforming MMR.
void say_nothing(void *, const char *) {}

// `quiet`: the encoder's messages are dropped (a page coded ahead of its
// turn, which the full path codes again when this fails).
bool encode_rows(span_rows &rows, int32_t height, const fax_page_ref &ref, std::vector<uint8_t> &coded,
                 bool quiet, std::string &reason)
{
    encoder_owner encoder(enct4_context_new(), enct4_context_free);
    if (!encoder) {
        reason = "out of memory";
        return false;
    }
    enct4_context_set_conforming(encoder.get(), 1);
    if (quiet)
        enct4_context_set_messages(encoder.get(), say_nothing, nullptr);
    rows_source source{&rows, 0, height, &coded};
    try {
        coded.reserve(static_cast<std::size_t>(ref.length) * 2 + 4096);
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return false;
    }
    if (enct4_g3_spans_ctx(encoder.get(), give_row, take_words, &source, COMP_MMR, RES_FINE) >= 0) {
        reason = "the encoder failed";
        return false;
    }
    return true;
}

// export_page_mmr on `decoder` (null: one of its own, whose messages go
// where the library's go); `quiet`: the encoder's messages are dropped.
bool export_page_on(t4dec_context *decoder, bool quiet, const fax_document &doc, std::size_t index,
                    const row_choice &choice, page_image &page, std::vector<uint8_t> &coded, bool &stored,
                    page_report &report, std::string &reason)
{
    page = page_image{};
    page.number = static_cast<int>(index) + 1;
    page.resolution = doc.resolution;
    coded.clear();
    stored = false;
    if (!decodable_compression(doc.compression)) {
        reason = undecodable_reason(doc);
        return false;
    }
    span_rows rows;
    span_builder builder = builder_for(doc, choice, &rows);
    t4dec_report seen{};
    try {
        rows.at.reserve(TYPICAL_PAGE_SPANS);
        rows.first.reserve(TYPICAL_PAGE_ROWS + 1);
    } catch (const std::bad_alloc &) {
        reason = "out of memory";
        return false;
    }
    {
        decoder_owner own(decoder == nullptr ? t4dec_context_new(FAX_WIDTH) : nullptr, t4dec_context_free);
        if (decoder == nullptr && !own) {
            reason = "out of memory";
            return false;
        }
        decode_lines(decoder != nullptr ? decoder : own.get(), doc, index, builder, seen);
    }
    if (builder.out_of_memory) {
        reason = "out of memory";
        return false;
    }
    if (builder.overflow) {
        reason = "page " + std::to_string(page.number) + " has more than " +
                 std::to_string(MAX_PAGE_ROWS) + " lines";
        return false;
    }
    report = page_report{seen.lines, seen.concealed, seen.clean != 0};
    page.height = builder.through_coded * builder.copies;
    if (builder.copies == 2)
        page.resolution = RES_FINE;
    if (page.height == 0)
        return true;
    const fax_page_ref &ref = doc.pages[index];
    if (goes_as_stored(doc, seen, builder)) {
        try {
            coded.assign(ref.data, ref.data + whole_words(ref));
        } catch (const std::bad_alloc &) {
            reason = "out of memory";
            return false;
        }
        stored = true;
        return true;
    }
    return encode_rows(rows, page.height, ref, coded, quiet, reason);
}

}  // namespace

bool export_page_mmr(const fax_document &doc, std::size_t index, const row_choice &choice,
                     page_image &page, std::vector<uint8_t> &coded, bool &stored,
                     page_report &report, std::string &reason)
{
    return export_page_on(nullptr, false, doc, index, choice, page, coded, stored, report, reason);
}

bool code_page_ahead(t4dec_context *decoder, const fax_document &doc, std::size_t index,
                     const row_choice &choice, stored_mmr &out, std::vector<uint8_t> &coded)
{
    out = stored_mmr{};
    bool stored = false;
    std::string reason;
    if (decoder == nullptr ||
        !export_page_on(decoder, true, doc, index, choice, out.page, coded, stored, out.report, reason))
        return false;
    if (!out.report.clean || out.page.height == 0)
        return false;
    out.data = coded.data();
    out.size = coded.size();
    return true;
}

bool check_stored_mmr(t4dec_context *decoder, const fax_document &doc, std::size_t index,
                      const row_choice &choice, stored_mmr &out)
{
    out = stored_mmr{};
    span_builder builder = builder_for(doc, choice, nullptr);
    if (decoder == nullptr || doc.compression != COMP_MMR || builder.copies != 1)
        return false;
    t4dec_report seen{};
    decode_lines(decoder, doc, index, builder, seen);
    if (!goes_as_stored(doc, seen, builder))
        return false;
    const fax_page_ref &ref = doc.pages[index];
    out.page.number = static_cast<int>(index) + 1;
    out.page.resolution = doc.resolution;
    out.page.height = builder.through_coded;
    out.report = page_report{seen.lines, seen.concealed, seen.clean != 0};
    out.data = ref.data;
    out.size = whole_words(ref);
    return true;
}
