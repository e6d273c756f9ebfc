// Decoder internals shared by the public entry points, the run sink, the
// table-driven decoders and the bit-by-bit reference decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "t4/standard_page.h"
#include "t4/t4dec.h"
#include "util/free_deleter.h"
#include "util/message_internal.h"

namespace t4dec_detail {

constexpr int WHITE = 0;
constexpr int BLACK = 1;
constexpr int32_t MAX_TERMINATING = 63;
// Positions are int16_t, and so is the bit length (bytes per line * 8) that
// the changing-element search may return.
constexpr int32_t MAX_LINE_WIDTH = 32760;
// Make-up sums stop growing here: far beyond any line, far from overflow.
constexpr int32_t MAX_RUN_SUM = 1 << 20;
constexpr int RTC_EOLS = 6;
constexpr int EOFB_EOLS = 2;

using byte_buffer = std::unique_ptr<unsigned char[], free_deleter>;

// malloc rather than new: failure must come back as a result, and the sink
// reports the errno of the failed allocation.
byte_buffer alloc_cleared(std::size_t bytes);

inline bool valid_width(int32_t width) { return width >= 1 && width <= MAX_LINE_WIDTH; }
inline int bytes_for(int32_t width) { return (width + 7) / 8; }
// Two cleared lines of `width` pixels, the first allocated first; both or
// neither is kept.
inline bool alloc_line_pair(byte_buffer &first, byte_buffer &second, int32_t width)
{
    const auto bytes = static_cast<std::size_t>(bytes_for(width));
    first = alloc_cleared(bytes);
    if (first)
        second = alloc_cleared(bytes);
    if (!second)
        first.reset();
    return second != nullptr;
}
inline int32_t magnitude(int32_t run) { return run < 0 ? -run : run; }
inline int32_t add_run_sum(int32_t sum, int32_t more)
{
    return sum + more > MAX_RUN_SUM ? MAX_RUN_SUM : sum + more;
}

// A decoded code. Tokens are read in the context of the node that gave them:
// the tag leaves' 9 and 10 are EOLs, the same values from a run tree are runs.
struct code_token {
    int32_t value;
    bool tagged_eol;  // EOL with its tag bit (TAG_ONE_DIMENSIONAL / TAG_TWO_DIMENSIONAL)
};

// The caller's callbacks and the report they feed; any callback may be null.
struct callbacks {
    t4dec_run_fn run;
    t4dec_line_fn line;
    t4dec_eol_fn eol;
    void *user;
    t4dec_report *report;
    t4dec_spans_fn spans = nullptr;  // lines whole instead of runs and ends of line

    void run_of(int32_t value) const
    {
        if (run != nullptr)
            run(user, value);
    }
    void line_of(const unsigned char *bitmap, int bytes_per_line) const
    {
        if (line != nullptr)
            line(user, bitmap, bytes_per_line);
    }
    void end_of_line() const
    {
        ++report->lines;
        if (eol != nullptr)
            eol(user);
    }
    bool none() const
    {
        return run == nullptr && line == nullptr && eol == nullptr && spans == nullptr;
    }
    // A line's black runs to the span callback: `count` positions of a
    // change array, which ends black at at[count] when the count is odd.
    void spans_of(const int16_t *at, int count, bool ended, bool had_runs, bool coded) const
    {
        spans(user, at, count + (count & 1),
              (ended ? T4DEC_LINE_ENDED : 0) | (had_runs ? T4DEC_LINE_HAD_RUNS : 0) |
                  (coded ? T4DEC_LINE_CODED : 0));
    }
};

// The run sink of the one-dimensional decoder. Its state outlives a decoder
// call: the recompression closes an MH page's last line with a direct RUN_EOL.
struct sink_state {
    int32_t position = 0;        // pixels of the current line accounted for
    bool skipping = false;       // after a line error, up to and including the next EOL
    int bytes_per_line = 0;      // of `buffer`; 0 while there is none
    int32_t makeup_sum = 0;
    bool makeup_pending = false;
    byte_buffer buffer;          // [0, B): line being assembled; [B, 2B): last complete line
    // When lines go out as spans: the black runs of the line being
    // assembled, which the bitmap then does not keep, and whether any run
    // came since the last end of line.
    std::unique_ptr<int16_t[], free_deleter> spans;
    int span_count = 0;
    bool line_runs = false;
    bool coded_seen = false;     // a line that carried a code was closed
    message_sink messages;       // where the sink's failures go
};

void sink_reset(sink_state &sink);
// One run or RUN_EOL token for lines of `width` pixels.
void sink_token(sink_state &sink, const callbacks &cb, int32_t width, int32_t run);
// Adds black pixels [from, from + count) to a span line that ends at `out`
// and whose last run ends at `last_end` (-1 for none): a run of no pixels
// adds nothing, one that touches the last extends it.
inline void append_span(int16_t *&out, int32_t &last_end, int32_t from, int32_t count)
{
    if (count == 0)
        return;
    if (from == last_end) {  // a white run of no pixels between
        out[-1] = static_cast<int16_t>(from + count);
    } else {
        out[0] = static_cast<int16_t>(from);
        out[1] = static_cast<int16_t>(from + count);
        out += 2;
    }
    last_end = from + count;
}

// Adds black pixels [from, from + length) to the sink's span line.
inline void sink_add_span(sink_state &sink, int32_t from, int32_t length)
{
    int16_t *out = sink.spans.get() + sink.span_count;
    int32_t last_end = sink.span_count > 0 ? out[-1] : -1;
    append_span(out, last_end, from, length);
    sink.span_count = static_cast<int>(out - sink.spans.get());
}
// Hands runs that came after the last end of line to the span callback.
void sink_finish_spans(sink_state &sink, const callbacks &cb);
// True when the data stopped between lines or right after a whole line's runs.
inline bool sink_at_line_end(const sink_state &sink, int32_t width)
{
    return (sink.position == 0 || sink.position == width) && !sink.makeup_pending && !sink.skipping;
}
// True when a line that carried a code was found: one closed, or a whole one open.
inline bool sink_coded_line(const sink_state &sink, int32_t width)
{
    return sink.coded_seen || (sink.position == width && sink.line_runs);
}

// True when bits [from, length * 8) of the data, low bit of each byte
// first, are all 0: fill after the last code.
bool only_fill_from(const unsigned char *data, int length, int64_t from);

// The report's `clean`: nothing concealed, a line that carried a code found,
// and the data ended at an end marker or right after a whole line, with only
// fill after the last code. Zeros or noise in which no line was found, data
// cut inside a code or a line: not clean.
inline int page_clean(const t4dec_report &report, bool coded_line, bool at_end, bool fill_after)
{
    return report.concealed == 0 && coded_line && at_end && fill_after ? 1 : 0;
}

}  // namespace t4dec_detail

// One decoder's state: the sink that survives between pages, the line width
// and what the last decoding saw.
struct t4dec_context {
    int32_t width = T4_STANDARD_WIDTH;
    t4dec_detail::sink_state sink;
    t4dec_report report{};
};

namespace t4dec_detail {

// Decoders over a context; `width` is the line width of this call. Same
// results and callbacks as the public functions.
using page_decoder = int(t4dec_context &ctx, const unsigned char *data, int length, int32_t width,
                         const callbacks &cb);
using decoder_fn = page_decoder *;

}  // namespace t4dec_detail
