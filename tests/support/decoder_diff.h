// Runs the table-driven decoder and the bit-by-bit reference on the same
// input, each on a fresh context, and compares everything they report: every
// callback with its arguments (line bytes included) in order, the result, the
// report, and for MH the line the sink still holds. Header-only so that the
// fuzz targets, which link no test library, can use it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "t4/t4dec.h"
#include "t4/t4dec_internal.h"
#include "tests/support/t4dec_reference.h"

namespace decdiff {

// Which callbacks are given (the decoders skip work for absent ones). SPANS
// decodes to whole lines on one side and, on the reference side, turns runs
// and ends of line into the lines they paint.
enum callback_set : unsigned { RUN = 1, LINE = 2, EOL = 4, ALL = 7, SPANS = 8 };

struct outcome {
    int result = 0;
    t4dec_report report{};
    // run: 1 v; line: 2 n bytes...; eol: 3; sink flush: 4; spans: 5 flags n positions...
    std::vector<int32_t> events;
    std::size_t flush_at = 0;     // of the flush marker
};

inline void on_run(void *user, int32_t run)
{
    auto &e = *static_cast<std::vector<int32_t> *>(user);
    e.push_back(1);
    e.push_back(run);
}

inline void on_line(void *user, const unsigned char *line, int bytes_per_line)
{
    auto &e = *static_cast<std::vector<int32_t> *>(user);
    e.push_back(2);
    e.push_back(bytes_per_line);
    e.insert(e.end(), line, line + bytes_per_line);
}

inline void on_eol(void *user) { static_cast<std::vector<int32_t> *>(user)->push_back(3); }

inline void on_spans(void *user, const int16_t *spans, int count, int flags)
{
    auto &e = *static_cast<std::vector<int32_t> *>(user);
    e.push_back(5);
    e.push_back(flags & ~T4DEC_LINE_CODED);  // runs cannot show it: the padding white is a run
    e.push_back(count);
    e.insert(e.end(), spans, spans + count);
}

// Runs and ends of line gathered into what the span callback says of them:
// each line's black runs laid end to end from 0, touching ones joined.
struct span_lines {
    std::vector<int32_t> *events = nullptr;
    std::vector<int32_t> line;
    int64_t position = 0;
    bool runs = false;

    void hand_over(int flags)
    {
        events->push_back(5);
        events->push_back(flags | (runs ? T4DEC_LINE_HAD_RUNS : 0));
        events->push_back(static_cast<int32_t>(line.size()));
        events->insert(events->end(), line.begin(), line.end());
        line.clear();
        position = 0;
        runs = false;
    }
};

inline void run_to_spans(void *user, int32_t run)
{
    auto &s = *static_cast<span_lines *>(user);
    const int64_t length = run < 0 ? -static_cast<int64_t>(run) : run;
    s.runs = true;
    if (run < 0 && length > 0) {
        if (!s.line.empty() && s.line.back() == s.position)
            s.line.back() = static_cast<int32_t>(s.position + length);
        else
            s.line.insert(s.line.end(), {static_cast<int32_t>(s.position),
                                         static_cast<int32_t>(s.position + length)});
    }
    s.position += length;
}

inline void eol_to_spans(void *user) { static_cast<span_lines *>(user)->hand_over(T4DEC_LINE_ENDED); }

inline outcome decode(bool reference, const unsigned char *data, int length, int mode, int width,
                      unsigned set = ALL)
{
    outcome out;
    t4dec_context *ctx = t4dec_context_new(width);
    if (ctx == nullptr)
        return out;
    const t4dec_run_fn run = (set & RUN) != 0 ? on_run : nullptr;
    const t4dec_line_fn line = (set & LINE) != 0 ? on_line : nullptr;
    const t4dec_eol_fn eol = (set & EOL) != 0 ? on_eol : nullptr;
    void *user = &out.events;
    if (set == SPANS) {
        if (reference) {
            span_lines lines;
            lines.events = &out.events;
            out.result = t4dec_reference_decode_ctx(ctx, data, length, mode, run_to_spans, nullptr,
                                                    eol_to_spans, &lines);
            if (lines.runs)
                lines.hand_over(0);
        } else {
            out.result = t4dec_decode_spans_ctx(ctx, data, length, mode, on_spans, user);
        }
        t4dec_context_report(ctx, &out.report);
        t4dec_context_free(ctx);
        return out;
    }
    const auto decoder = reference ? t4dec_reference_decode_ctx : t4dec_decode_ctx;
    out.result = decoder(ctx, data, length, mode, run, line, eol, user);
    t4dec_context_report(ctx, &out.report);
    if (mode == 0) {
        // The line an MH page leaves open, as a later RUN_EOL finds it.
        out.flush_at = out.events.size();
        out.events.push_back(4);
        t4dec_report flush_report{};
        const t4dec_detail::callbacks cb{on_run, on_line, on_eol, &out.events, &flush_report};
        t4dec_detail::sink_token(ctx->sink, cb, width, RUN_EOL);
    }
    t4dec_context_free(ctx);
    return out;
}

// Empty when both decoders agree, else where they part.
inline std::string compare(const unsigned char *data, int length, int mode, int width,
                           unsigned set = ALL)
{
    const outcome fast = decode(false, data, length, mode, width, set);
    const outcome ref = decode(true, data, length, mode, width, set);
    std::string where;
    if (fast.result != ref.result)
        where += " result " + std::to_string(fast.result) + " vs " + std::to_string(ref.result);
    if (fast.report.lines != ref.report.lines || fast.report.concealed != ref.report.concealed ||
        fast.report.clean != ref.report.clean)
        where += " report";
    if (fast.events != ref.events) {
        std::size_t i = 0;
        while (i < fast.events.size() && i < ref.events.size() && fast.events[i] == ref.events[i])
            ++i;
        where += " events differ at " + std::to_string(i) + " of " +
                 std::to_string(fast.events.size()) + "/" + std::to_string(ref.events.size());
    }
    if (!where.empty())
        where = "mode " + std::to_string(mode) + " width " + std::to_string(width) + " set " +
                std::to_string(set) + ":" + where;
    return where;
}

}  // namespace decdiff
