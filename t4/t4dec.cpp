// T.4/T.6 decoding entry points: the public functions on a process-wide
// default context, the context API, and the run sink's public face. The
// decoders themselves are the table-driven ones of fastdec.
#include "t4/t4dec.h"

#include <new>

#include "t4/fastdec.h"
#include "t4/t4dec_internal.h"

[[maybe_unused]] static const char what_string[] = "@(#)|t4dec|9|01|2|0|0|07/26/99|14:47:50";

extern "C" {
int32_t t4_line_width = T4_STANDARD_WIDTH;
}

namespace {

using namespace t4dec_detail;

// The callbacks of the public functions take no user pointer: `user` points
// at them and these forward.
struct plain_callbacks {
    run_callback run;
    line_callback line;
    eol_callback eol;
};

void forward_run(void *user, int32_t run) { static_cast<plain_callbacks *>(user)->run(run); }
void forward_line(void *user, const unsigned char *line, int bytes_per_line)
{
    static_cast<plain_callbacks *>(user)->line(line, bytes_per_line);
}
void forward_eol(void *user) { static_cast<plain_callbacks *>(user)->eol(); }

struct default_state {
    t4dec_context context;
};
default_state module;

callbacks forwarding(plain_callbacks &plain)
{
    return callbacks{plain.run != nullptr ? forward_run : nullptr,
                     plain.line != nullptr ? forward_line : nullptr,
                     plain.eol != nullptr ? forward_eol : nullptr, &plain,
                     &module.context.report};
}

int decode_default(decoder_fn decoder, const unsigned char *data, int length, int32_t width,
                   run_callback run, line_callback line, eol_callback eol)
{
    plain_callbacks plain{run, line, eol};
    return decoder(module.context, data, length, width, forwarding(plain));
}

int decode_on(t4dec_context &ctx, const unsigned char *data, int length, int mode,
              const callbacks &cb)
{
    switch (mode) {
    case 0:
        return fast_MH(ctx, data, length, ctx.width, cb);
    case 1:
        return fast_MR(ctx, data, length, ctx.width, cb);
    case 3:
        return fast_MMR(ctx, data, length, ctx.width, cb);
    default:
        return 0;
    }
}

}  // namespace

bool t4dec_detail::only_fill_from(const unsigned char *data, int length, int64_t from)
{
    if (data == nullptr || length <= 0 || from >= static_cast<int64_t>(length) * 8)
        return true;
    const auto first = static_cast<std::size_t>(from >> 3);
    if ((data[first] >> (from & 7)) != 0)
        return false;
    for (std::size_t i = first + 1; i < static_cast<std::size_t>(length); ++i)
        if (data[i] != 0)
            return false;
    return true;
}

extern "C" {

void t4dec_get_report(t4dec_report *out)
{
    if (out != nullptr)
        *out = module.context.report;
}

void t4dec_set_width(int width)
{
    // Wider lines would overflow the int16_t positions; keep the old width.
    if (valid_width(width))
        t4_line_width = width;
}

int t4dec_decode(const unsigned char *data, int length, int mode, run_callback run,
                 line_callback line, eol_callback eol)
{
    switch (mode) {
    case 0:
        return t4dec_MH(data, length, run, line, eol);
    case 1:
        return t4dec_MR(data, length, run, line, eol);
    case 3:
        return t4dec_MMR(data, length, t4_line_width, run, line, eol);
    default:
        return 0;
    }
}

void putrunlen(int reset, int32_t run, run_callback run_cb, line_callback line_cb,
               eol_callback eol_cb)
{
    if (reset != 0) {
        sink_reset(module.context.sink);
        return;
    }
    plain_callbacks plain{run_cb, line_cb, eol_cb};
    sink_token(module.context.sink, forwarding(plain), t4_line_width, run);
}

int t4dec_MH(const unsigned char *data, int length, run_callback run, line_callback line,
             eol_callback eol)
{
    return decode_default(fast_MH, data, length, t4_line_width, run, line, eol);
}

int t4dec_MR(const unsigned char *data, int length, run_callback run, line_callback line,
             eol_callback eol)
{
    return decode_default(fast_MR, data, length, t4_line_width, run, line, eol);
}

int t4dec_MMR(const unsigned char *data, int length, int width, run_callback run,
              line_callback line, eol_callback eol)
{
    return decode_default(fast_MMR, data, length, width, run, line, eol);
}

t4dec_context *t4dec_context_new(int width)
{
    if (!valid_width(width))
        return nullptr;
    auto *ctx = new (std::nothrow) t4dec_context;
    if (ctx != nullptr)
        ctx->width = width;
    return ctx;
}

void t4dec_context_free(t4dec_context *ctx) { delete ctx; }

int t4dec_decode_ctx(t4dec_context *ctx, const unsigned char *data, int length, int mode,
                     t4dec_run_fn run, t4dec_line_fn line, t4dec_eol_fn eol, void *user)
{
    if (ctx == nullptr)
        return 0;
    return decode_on(*ctx, data, length, mode, callbacks{run, line, eol, user, &ctx->report});
}

int t4dec_decode_spans_ctx(t4dec_context *ctx, const unsigned char *data, int length, int mode,
                           t4dec_spans_fn spans, void *user)
{
    if (ctx == nullptr)
        return 0;
    return decode_on(*ctx, data, length, mode,
                     callbacks{nullptr, nullptr, nullptr, user, &ctx->report, spans});
}

void t4dec_context_set_messages(t4dec_context *ctx, tavrin_message_fn message, void *user)
{
    if (ctx != nullptr)
        ctx->sink.messages = message_sink{message, user};
}

void t4dec_context_report(const t4dec_context *ctx, t4dec_report *out)
{
    if (ctx != nullptr && out != nullptr)
        *out = ctx->report;
}

void t4dec_context_end_line(t4dec_context *ctx, t4dec_run_fn run, t4dec_line_fn line,
                            t4dec_eol_fn eol, void *user)
{
    if (ctx != nullptr)
        sink_token(ctx->sink, callbacks{run, line, eol, user, &ctx->report}, ctx->width, RUN_EOL);
}

}  // extern "C"
