// The run sink: turns the one-dimensional decoder's run and EOL tokens into
// lines, checks each line against the width and conceals broken lines.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "t4/bitmanip.h"
#include "t4/t4dec_internal.h"

namespace t4dec_detail {

byte_buffer alloc_cleared(std::size_t bytes)
{
    byte_buffer buffer(static_cast<unsigned char *>(std::malloc(bytes)));
    if (buffer)
        std::memset(buffer.get(), 0, bytes);
    return buffer;
}

namespace {

bool sink_ensure_buffer(sink_state &sink, int bytes_per_line, bool spans)
{
    if (!sink.buffer || sink.bytes_per_line != bytes_per_line) {
        sink.buffer.reset();
        sink.spans.reset();
        sink.bytes_per_line = 0;
        sink.buffer = alloc_cleared(2 * static_cast<std::size_t>(bytes_per_line));
        if (!sink.buffer) {
            message_printf(sink.messages, stderr, "putrunlen: allocation error, %d\n", errno);
            return false;
        }
        sink.bytes_per_line = bytes_per_line;
    }
    if (spans && !sink.spans) {  // no two runs touch: a pair per two pixels at most
        sink.spans.reset(static_cast<int16_t *>(
            std::malloc((8 * static_cast<std::size_t>(bytes_per_line) + 2) * sizeof(int16_t))));
        if (!sink.spans) {
            message_printf(sink.messages, stderr, "putrunlen: allocation error, %d\n", errno);
            return false;
        }
    }
    return true;
}

// Reports the line and starts the next one. `shown` is the line that goes to
// line_callback: the one assembled, or the last complete one in its place;
// `coded` says a code of the line's own came.
void sink_close_line(sink_state &sink, const callbacks &cb, const unsigned char *shown, bool coded)
{
    const int bytes = sink.bytes_per_line;
    sink.coded_seen = sink.coded_seen || coded;
    if (cb.spans != nullptr) {
        cb.spans_of(sink.spans.get(), sink.span_count, true, sink.line_runs, coded);
        sink.span_count = 0;
    } else {
        cb.line_of(shown, bytes);
    }
    sink.line_runs = false;
    cb.end_of_line();
    sink.position = 0;
    sink.makeup_sum = 0;
    sink.makeup_pending = false;
    if (cb.spans == nullptr)  // span lines leave the bitmap alone
        std::memset(sink.buffer.get(), 0, static_cast<std::size_t>(bytes));
}

void sink_line_error(sink_state &sink, const callbacks &cb, int32_t width)
{
    ++cb.report->concealed;
    sink.skipping = true;
    if (sink.position < width) {
        cb.run_of(width - sink.position);
        sink.line_runs = true;
    }
    sink_close_line(sink, cb, sink.buffer.get() + sink.bytes_per_line, true);  // a code broke it
}

void sink_end_of_line(sink_state &sink, const callbacks &cb, int32_t width)
{
    unsigned char *assembled = sink.buffer.get();
    const bool coded = sink.line_runs;  // before the white that pads the line
    if (sink.position < width) {
        cb.run_of(width - sink.position);  // the rest stays white; not kept as complete
        sink.line_runs = true;
    } else if (cb.spans == nullptr) {
        std::memcpy(assembled + sink.bytes_per_line, assembled,
                    static_cast<std::size_t>(sink.bytes_per_line));
    }
    sink_close_line(sink, cb, assembled, coded);
}

// A complete run (terminating code, with any make-up sum added).
void sink_place_run(sink_state &sink, const callbacks &cb, int32_t width, int64_t run)
{
    const int64_t length = run < 0 ? -run : run;
    if (sink.position + length > width) {
        sink_line_error(sink, cb, width);
        return;
    }
    if (run < 0 && cb.spans != nullptr)
        sink_add_span(sink, sink.position, static_cast<int32_t>(length));
    else if (run < 0)
        set_bit_run(sink.buffer.get(), static_cast<short>(sink.position),
                    static_cast<int>(length), 1);
    sink.line_runs = true;
    sink.position += static_cast<int32_t>(length);
    sink.makeup_sum = 0;
    sink.makeup_pending = false;
    cb.run_of(static_cast<int32_t>(run));
}

void sink_take(sink_state &sink, const callbacks &cb, int32_t width, int32_t run)
{
    const int64_t size = run < 0 ? -static_cast<int64_t>(run) : run;
    if (sink.makeup_pending) {
        if (size > MAX_TERMINATING)  // a second make-up code, or an EOL
            sink_line_error(sink, cb, width);
        else
            sink_place_run(sink, cb, width, static_cast<int64_t>(sink.makeup_sum) + run);
    } else if (size <= MAX_TERMINATING) {
        sink_place_run(sink, cb, width, run);
    } else if (run == RUN_EOL) {
        sink_end_of_line(sink, cb, width);
    } else {
        sink.makeup_sum = run;
        sink.makeup_pending = true;
    }
}

}  // namespace

void sink_reset(sink_state &sink)
{
    sink.position = 0;
    sink.skipping = false;
    sink.bytes_per_line = 0;
    sink.makeup_sum = 0;
    sink.makeup_pending = false;
    sink.buffer.reset();
    sink.spans.reset();
    sink.span_count = 0;
    sink.line_runs = false;
    sink.coded_seen = false;
}

void sink_finish_spans(sink_state &sink, const callbacks &cb)
{
    if (cb.spans != nullptr && sink.line_runs)
        cb.spans_of(sink.spans.get(), sink.span_count, false, true, true);
    sink.span_count = 0;
    sink.line_runs = false;
}

void sink_token(sink_state &sink, const callbacks &cb, int32_t width, int32_t run)
{
    if (!valid_width(width) || !sink_ensure_buffer(sink, bytes_for(width), cb.spans != nullptr))
        return;
    if (sink.skipping) {
        if (run == RUN_EOL)
            sink.skipping = false;
        return;
    }
    sink_take(sink, cb, width, run);
}

}  // namespace t4dec_detail
