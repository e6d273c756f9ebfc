// The encoder as it was before it coded from changing elements: a coder
// turns lines into tokens (runs, modes, EOLs) by rescanning the bitmap with
// find_changing_element, and an emitter packs the tokens' codes into 16-bit
// words in batches of 62 or 63 tokens. Kept only as the reference that the
// shipped encoder must match word for word and result for result.
#include "tests/support/enct4_reference.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <memory>
#include <new>

#include "t4/bitmanip.h"
#include "t4/enct4_internal.h"
#include "t4/enctbls.h"

namespace {

// One encoding's state: each context has its own.
struct encoder_state {
    int32_t status = 0;       // 0, 1 (coder failure) or the sink's negative result
    uint16_t accumulator = 0;  // bits of the incomplete word, from bit 0 up
    int32_t bit_count = 0;    // valid bits in the accumulator, 0..15
    bool fail_next_allocation = false;  // never set: the reference is not failure-tested
    bool conforming = false;  // 2-D coding as T.4/T.6 read it (see code_2d_step)
};

// Where the packed words go: a sink and its user pointer, or nowhere.
struct code_sink {
    enct4_word_fn fn = nullptr;
    void *user = nullptr;
};

// Tokens gathered before the emitter packs them.
constexpr int ENC_BATCH_G3 = 62;
constexpr int ENC_BATCH_MMR = 63;

constexpr int32_t RUN_MASK = 0x7FFF;
constexpr int32_t MIN_CODED_PIXELS = 1728;  // the decoders' line width
constexpr int MIN_CODED_BYTES = MIN_CODED_PIXELS / 8;
constexpr int32_t LONGEST_SINGLE_MAKEUP_RUN = 2560 + 63;
constexpr std::size_t MAKEUP_2560_INDEX = ENC_EOL_INDEX - 1;

// ---- Code emitter ----------------------------------------------------------

// A token never yields more than 11 complete words (a run of 2560 make-up
// codes, make-up and terminating code behind 15 pending bits: 184 bits).
constexpr int MAX_WORDS_PER_TOKEN = 12;
constexpr int WORD_BUFFER_SIZE = ENC_BATCH_MMR * MAX_WORDS_PER_TOKEN + MAX_WORDS_PER_TOKEN;

// The words being packed, and the encoder's incomplete word, held here
// while a batch is packed (put_codes takes it in and hands it back).
struct word_buffer {
    std::array<uint16_t, WORD_BUFFER_SIZE> words;  // only [0, count) is ever read
    int count = 0;
    uint16_t accumulator = 0;
    int32_t bit_count = 0;
};

void deliver(encoder_state &encoder, word_buffer &out, code_sink sink)
{
    const int result = sink.fn != nullptr ? sink.fn(sink.user, out.words.data(), out.count) : 0;
    if (result < 0)
        encoder.status = result;
    out.count = 0;
}

void store_word(word_buffer &out, uint16_t word)
{
    if (out.count < WORD_BUFFER_SIZE)  // always true: put_codes keeps room for a token
        out.words[static_cast<std::size_t>(out.count++)] = word;
}

void emit(code_entry code, word_buffer &out)
{
    const int32_t old = out.bit_count;
    const auto bits = static_cast<uint32_t>(code.code);
    out.accumulator = static_cast<uint16_t>(out.accumulator | (bits << old));
    if (old + code.length >= 16) {
        store_word(out, out.accumulator);
        out.accumulator = static_cast<uint16_t>(bits >> (16 - old));
        out.bit_count = old + code.length - 16;
    } else {
        out.bit_count = old + code.length;
    }
}

// Fill bits before an MR EOL, so that every EOL starts a word.
void align_to_word(word_buffer &out)
{
    if (out.bit_count == 0)
        return;
    store_word(out, out.accumulator);
    out.accumulator = 0;
    out.bit_count = 0;
}

void emit_run(int32_t run, const std::array<code_entry, ENC_RUN_TABLE_SIZE> &table,
              word_buffer &out)
{
    // T.4 4.1.1.4: runs of 2624 pixels and more begin with make-up 2560
    // codes until what remains has a make-up and terminating code of its own.
    while (run > LONGEST_SINGLE_MAKEUP_RUN) {
        emit(table[MAKEUP_2560_INDEX], out);
        run -= 2560;
    }
    if (run >= 64)
        emit(table[static_cast<std::size_t>(ENC_MAKEUP_FIRST - 1 + run / 64)], out);
    emit(table[static_cast<std::size_t>(run % 64)], out);
}

void emit_token(int32_t token, word_buffer &out)
{
    const auto &table = (token & ENC_BLACK) != 0 ? black_codes : white_codes;
    const int32_t v = token & RUN_MASK;
    if (v >= ENC_PASS && v <= ENC_EOL_2D) {
        if (v >= ENC_EOL_1D)
            align_to_word(out);
        emit(mode_codes[static_cast<std::size_t>(v - ENC_PASS)], out);
    } else if (v == ENC_EOL) {
        emit(table[ENC_EOL_INDEX], out);
    } else {
        emit_run(v, table, out);
    }
}

void put_codes(encoder_state &encoder, const int32_t *first, const int32_t *last, code_sink sink)
{
    if (encoder.status != 0)
        return;
    word_buffer out;
    out.accumulator = encoder.accumulator;
    out.bit_count = encoder.bit_count;
    const auto hand_back = [&] {
        encoder.accumulator = out.accumulator;
        encoder.bit_count = out.bit_count;
    };
    for (const int32_t *token = first; token != last; ++token) {
        if (WORD_BUFFER_SIZE - out.count < MAX_WORDS_PER_TOKEN) {
            deliver(encoder, out, sink);
            if (encoder.status != 0)
                return hand_back();
        }
        emit_token(*token, out);
    }
    hand_back();
    deliver(encoder, out, sink);
}

void flush_codes(encoder_state &encoder, const int32_t *first, const int32_t *last, code_sink sink)
{
    if (first != last)
        put_codes(encoder, first, last, sink);
    if (encoder.bit_count != 0 && encoder.status == 0 && sink.fn != nullptr) {
        const uint16_t word = encoder.accumulator;
        const int result = sink.fn(sink.user, &word, 1);
        if (result < 0)
            encoder.status = result;
    }
    encoder.accumulator = 0;
    encoder.bit_count = 0;
}

void reset_encoder(encoder_state &encoder)
{
    encoder.status = 0;
    encoder.accumulator = 0;
    encoder.bit_count = 0;
}

// ---- Token batch -----------------------------------------------------------

struct token_batch {
    encoder_state &encoder;
    std::array<int32_t, ENC_BATCH_MMR> tokens{};
    int count = 0;
    int capacity = ENC_BATCH_G3;
    code_sink sink{};
};

void pack_batch(token_batch &batch)
{
    put_codes(batch.encoder, batch.tokens.data(), batch.tokens.data() + batch.count, batch.sink);
    batch.count = 0;
}

// Packs the batch before a step whose tokens might not fit.
void make_room(token_batch &batch, int needed)
{
    if (batch.count + needed > batch.capacity)
        pack_batch(batch);
}

void append(token_batch &batch, int32_t token)
{
    if (batch.count >= batch.capacity)
        pack_batch(batch);
    batch.tokens[static_cast<std::size_t>(batch.count++)] = token;
}

// ---- One-dimensional coding (T.4 MH) ---------------------------------------

struct run_state {
    int32_t colour = 0;  // 0 or ENC_BLACK
    int32_t length = 0;  // pixels of the pending run
};

// A byte with both colours: at most eight runs close inside it.
void code_mixed_byte(token_batch &batch, uint8_t byte, run_state &run)
{
    unsigned pixels = byte;  // next pixel in bit 7
    int left = 8;
    for (;;) {
        // Pixels of the other colour show as 1 bits.
        const auto other = static_cast<uint8_t>(run.colour != 0 ? ~pixels : pixels);
        const int same = std::min(std::countl_zero(other), left);
        run.length += same;
        left -= same;
        if (left == 0)
            return;
        pixels = (pixels << same) & 0xFFu;
        append(batch, run.length | run.colour);
        run.colour ^= ENC_BLACK;
        run.length = 0;
    }
}

// Codes a line as alternating runs starting white; lines narrower than 1728
// pixels are completed with white so every coded line has the full width.
void code_line_1d(token_batch &batch, const uint8_t *line, int line_bytes, bool whole_black_bytes)
{
    run_state run;
    for (int i = 0; i < line_bytes; ++i) {
        const uint8_t byte = line[i];
        if ((byte == 0x00 && run.colour == 0) ||
            (byte == 0xFF && run.colour != 0 && whole_black_bytes)) {
            run.length += 8;
            continue;
        }
        make_room(batch, 8);
        code_mixed_byte(batch, byte, run);
    }
    make_room(batch, 2);
    const int32_t missing = std::max(0, MIN_CODED_PIXELS - 8 * line_bytes);
    if (run.colour == 0) {
        append(batch, run.length + missing);
        return;
    }
    append(batch, run.length | ENC_BLACK);
    if (missing > 0)
        append(batch, missing);
}

// ---- Two-dimensional coding (T.4 MR, T.6 MMR) ------------------------------

constexpr int32_t vertical_tokens[7] = {ENC_VL3, ENC_VL2, ENC_VL1, ENC_V0,
                                        ENC_VR1, ENC_VR2, ENC_VR3};

int32_t run_token(int32_t length, int colour)
{
    return colour != 0 ? (length | ENC_BLACK) : length;
}

inline bool black_at(const uint8_t *line, int x)
{
    return ((line[x >> 3] >> (7 - (x & 7))) & 1) != 0;
}

// b1 when a0 sits on pixel 0 (a line starting black), as T.4 4.2.1.3.1
// defines it: a changing element right of a0, so never pixel 0 itself. It
// differs from the legacy search only when reference pixel 0 is white.
short conforming_b1_from_pixel_0(const uint8_t *reference, int bytes, int colour)
{
    const int end = bytes * 8;
    if (colour == 0 || black_at(reference, 0)) {
        short b1 = 0;
        find_changing_element(reference, bytes, 0, &b1, colour);
        return b1;
    }
    int x = 1;  // leave the white run holding pixel 0, then find the next white
    while (x < end && !black_at(reference, x))
        ++x;
    while (x < end && black_at(reference, x))
        ++x;
    return static_cast<short>(x);
}

// One coding mode (T.4 4.2.1.3) from a0; returns the new a0. The changing
// elements come from find_changing_element exactly as it gives them, with its
// rule that from a start of 0 pixel 0 itself is a candidate for b1, unless
// the encoder is in conforming mode, where a0 starts on the imaginary white
// pixel before the line and b1 always lies right of a0.
int16_t code_2d_step(token_batch &batch, const uint8_t *reference, const uint8_t *coding,
                     int bytes, int16_t a0, int &colour)
{
    short a1 = 0, b1 = 0, b2 = 0;
    find_changing_element(coding, bytes, a0, &a1, colour);
    if (batch.encoder.conforming && a0 == 0)
        b1 = conforming_b1_from_pixel_0(reference, bytes, colour);
    else
        find_changing_element(reference, bytes, a0, &b1, colour);
    find_changing_element(reference, bytes, b1, &b2, colour ^ 1);
    if (b2 < a1) {
        append(batch, ENC_PASS);
        return b2;
    }
    const int delta = a1 - b1;
    if (delta >= -3 && delta <= 3) {
        append(batch, vertical_tokens[delta + 3]);
        colour ^= 1;
        return a1;
    }
    short a2 = 0;
    find_changing_element(coding, bytes, a1, &a2, colour ^ 1);
    append(batch, ENC_HORIZ);
    append(batch, run_token(a1 - std::max<int>(a0, 0), colour));
    append(batch, run_token(a2 - a1, colour ^ 1));
    return a2;
}

// Both lines hold `bytes` bytes (at least 216, padded white).
void code_line_2d(token_batch &batch, const uint8_t *reference, const uint8_t *coding, int bytes)
{
    const int width = bytes * 8;
    int16_t a0 = -1;
    int colour = 0;
    while (a0 < width) {
        make_room(batch, 3);
        a0 = code_2d_step(batch, reference, coding, bytes, a0, colour);
    }
}

// ---- Coder calls -----------------------------------------------------------

enum class coding { g3, mmr, mh_only };

struct coder_call {
    explicit coder_call(encoder_state &state) : encoder(state), batch{state} {}

    encoder_state &encoder;
    coding kind = coding::g3;
    const char *name = "";
    int k_factor = 1;             // 1 for MH: every line one-dimensional
    int k_counter = 0;
    int line_bytes = -1;          // L of the first batch
    int coded_bytes = 0;          // max(L, 216): width of two-dimensional lines
    std::unique_ptr<uint8_t[]> reference;
    token_batch batch;
};

int coder_failure(encoder_state &encoder)
{
    encoder.status = 1;
    return 1;
}

bool too_wide(const coder_call &call, int line_bytes)
{
    if (line_bytes <= ENC_MAX_LINE_BYTES)
        return false;
    std::printf("%s: Line size %d too large for encoding. Can't do that!\n", call.name, line_bytes);
    return true;
}

uint8_t *allocate_reference(encoder_state &encoder, std::size_t bytes)
{
    if (encoder.fail_next_allocation) {
        encoder.fail_next_allocation = false;
        return nullptr;
    }
    return new (std::nothrow) uint8_t[bytes]();  // all white
}

// The first batch fixes L and gets the reference line; later ones must keep L.
bool accept_batch(coder_call &call, int line_bytes)
{
    if (call.kind == coding::mh_only)
        return !too_wide(call, line_bytes);
    if (call.line_bytes >= 0) {
        if (line_bytes == call.line_bytes)
            return true;
        std::printf(call.kind == coding::mmr
                        ? "%s: Line size changed for MMR encoding. Can't do that!\n"
                        : "%s: Line size changed for encoding. Can't do that!\n",
                    call.name);
        return false;
    }
    if (too_wide(call, line_bytes))
        return false;
    call.line_bytes = line_bytes;
    call.coded_bytes = std::max(line_bytes, MIN_CODED_BYTES);
    call.reference.reset(allocate_reference(call.encoder, static_cast<std::size_t>(call.coded_bytes)));
    if (call.reference == nullptr) {
        std::printf("%s: failed to alloc space for reference buffer. exit...\n", call.name);
        return false;
    }
    return true;
}

// Two-dimensional lines are coded at least 1728 pixels wide; a narrower
// line is widened with white in scratch (the line itself has only L bytes).
void code_against_reference(coder_call &call, const uint8_t *line)
{
    std::array<uint8_t, MIN_CODED_BYTES> scratch{};
    const uint8_t *coding = line;
    if (call.line_bytes < MIN_CODED_BYTES) {
        std::copy_n(line, call.line_bytes, scratch.begin());
        coding = scratch.data();
    }
    code_line_2d(call.batch, call.reference.get(), coding, call.coded_bytes);
}

void remember_line(coder_call &call, const uint8_t *line)
{
    std::copy_n(line, call.line_bytes, call.reference.get());  // a null line of 0 bytes too
}

void code_line(coder_call &call, const uint8_t *line, int line_bytes)
{
    token_batch &batch = call.batch;
    // A line's start gets the same room as its completion: two tokens.
    if (call.kind == coding::mh_only) {
        make_room(batch, 2);
        append(batch, ENC_EOL);
        code_line_1d(batch, line, line_bytes, false);
        return;
    }
    if (call.kind == coding::mmr) {
        code_against_reference(call, line);
        remember_line(call, line);
        return;
    }
    make_room(batch, 2);
    if (call.k_counter == 0) {
        append(batch, call.k_factor == 1 ? ENC_EOL : ENC_EOL_1D);
        remember_line(call, line);
        code_line_1d(batch, line, line_bytes, true);
    } else {
        append(batch, ENC_EOL_2D);
        code_against_reference(call, line);
        remember_line(call, line);
    }
    call.k_counter = call.k_counter == call.k_factor - 1 ? 0 : call.k_counter + 1;
}

// End of the lines: the EOFB for MMR, then everything still pending goes out.
// A sink that fails here has lost the page's last bits, so its result is
// returned rather than the source's end value.
int finish(coder_call &call, int end_value)
{
    if (call.kind == coding::mmr) {
        make_room(call.batch, 2);
        append(call.batch, ENC_EOL);
        append(call.batch, ENC_EOL);
    }
    call.reference.reset();
    token_batch &batch = call.batch;
    flush_codes(call.encoder, batch.tokens.data(), batch.tokens.data() + batch.count, batch.sink);
    batch.count = 0;
    return call.encoder.status < 0 ? call.encoder.status : end_value;
}

int run_coder(coder_call &call, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    encoder_state &encoder = call.encoder;
    reset_encoder(encoder);
    if (source == nullptr || sink == nullptr)
        return coder_failure(encoder);
    call.batch.sink = {sink, user};
    call.batch.capacity = call.kind == coding::mmr ? ENC_BATCH_MMR : ENC_BATCH_G3;
    for (;;) {
        const line_batch b = next_line_batch(source, user);
        if (b.line_bytes < 0)
            return finish(call, b.line_bytes);
        if (!accept_batch(call, b.line_bytes))
            return coder_failure(encoder);  // waiting tokens are dropped
        for (int i = 0; i < b.count; ++i) {
            code_line(call, b.lines + static_cast<std::size_t>(i) * static_cast<std::size_t>(b.line_bytes),
                      b.line_bytes);
            if (encoder.status != 0)
                return encoder.status;
        }
    }
}

// The coders on a state; the plain functions' callbacks come as `user`.
int code_mmr(encoder_state &encoder, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    coder_call call(encoder);
    call.kind = coding::mmr;
    call.name = "enct4_MMR";
    return run_coder(call, source, sink, user);
}

int code_g3(encoder_state &encoder, enct4_line_fn source, enct4_word_fn sink, void *user,
            int compression, int resolution)
{
    if (compression == 3)
        return code_mmr(encoder, source, sink, user);
    if (compression != 0 && compression != 1) {
        reset_encoder(encoder);
        return coder_failure(encoder);
    }
    coder_call call(encoder);
    call.kind = coding::g3;
    call.name = "encode_g3_fax";
    // T.4 4.2.1: K = 2 at standard vertical resolution, 4 at fine.
    call.k_factor = compression == 0 ? 1 : resolution == 1 ? 4 : 2;
    return run_coder(call, source, sink, user);
}

int code_mh(encoder_state &encoder, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    coder_call call(encoder);
    call.kind = coding::mh_only;
    call.name = "encode_mh_fax";
    return run_coder(call, source, sink, user);
}

}  // namespace

namespace enct4ref {

int g3(bool conforming, enct4_line_fn source, enct4_word_fn sink, void *user, int compression,
       int resolution)
{
    encoder_state state;
    state.conforming = conforming;
    return code_g3(state, source, sink, user, compression, resolution);
}

int mmr(bool conforming, enct4_line_fn source, enct4_word_fn sink, void *user)
{
    encoder_state state;
    state.conforming = conforming;
    return code_mmr(state, source, sink, user);
}

int mh(enct4_line_fn source, enct4_word_fn sink, void *user)
{
    encoder_state state;
    return code_mh(state, source, sink, user);
}

}  // namespace enct4ref
