// Codes the same lines with the shipped encoder and the token-batch
// reference, each on fresh state, and compares what the sink receives (all
// words, in order) and the result. The lines come in the batches a split
// gives; a sink may fail once a word count is reached. Header-only so that
// the fuzz target can use it with just the reference compiled in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "t4/enct4.h"
#include "tests/support/enct4_reference.h"

namespace encdiff {

enum class entry { g3, mmr, mh_only };

struct setting {
    entry how = entry::g3;
    int compression = 0;
    int resolution = 1;
    bool conforming = false;
};

// Lines back to back, handed out as batches of the given sizes (the rest
// in one batch), with a line length per batch (all the same unless a test
// changes it on purpose).
struct input {
    int line_bytes = 216;
    std::vector<uint8_t> bytes;  // line_bytes per line
    std::vector<int> batches;    // lines per batch
    int changed_size_at = -1;    // batch index handed out with line_bytes - 1
    int end_value = -1;
    long fail_after_words = -1;  // the sink fails once this many words came
    int fail_value = -6;
};

struct outcome {
    int result = 0;
    std::vector<uint16_t> words;
    bool failed = false;
};

struct run_state {
    const input *in = nullptr;
    std::size_t batch = 0;
    int line = 0;
    bool ended = false;
    outcome out;
};

inline int line_count(const input &in)
{
    return in.line_bytes > 0 ? static_cast<int>(in.bytes.size()) / in.line_bytes : 0;
}

inline int give_lines(void *user, unsigned char **first_line, int *count)
{
    auto &r = *static_cast<run_state *>(user);
    const input &in = *r.in;
    const int total = line_count(in);
    if (r.ended || r.line >= total) {
        r.ended = true;
        return in.end_value;
    }
    int n = total - r.line;
    if (r.batch < in.batches.size() && in.batches[r.batch] < n)
        n = in.batches[r.batch];
    const int bytes = static_cast<int>(r.batch) == in.changed_size_at ? in.line_bytes - 1 : in.line_bytes;
    ++r.batch;
    *first_line = const_cast<unsigned char *>(in.bytes.data()) +
                  static_cast<std::size_t>(r.line) * static_cast<std::size_t>(in.line_bytes);
    *count = n;
    r.line += n;
    return bytes;
}

inline int take_words(void *user, const uint16_t *words, int count)
{
    auto &r = *static_cast<run_state *>(user);
    if (r.in->fail_after_words >= 0 &&
        static_cast<long>(r.out.words.size()) + count > r.in->fail_after_words) {
        r.out.failed = true;
        return r.in->fail_value;
    }
    r.out.words.insert(r.out.words.end(), words, words + count);
    return count;
}

inline outcome shipped(const setting &s, const input &in)
{
    run_state r;
    r.in = &in;
    enct4_context *ctx = enct4_context_new();
    if (ctx == nullptr)
        return {};
    enct4_context_set_conforming(ctx, s.conforming ? 1 : 0);
    switch (s.how) {
    case entry::g3:
        r.out.result = enct4_g3_ctx(ctx, give_lines, take_words, &r, s.compression, s.resolution);
        break;
    case entry::mmr:
        r.out.result = enct4_MMR_ctx(ctx, give_lines, take_words, &r);
        break;
    case entry::mh_only:
        r.out.result = enct4_mh_ctx(ctx, give_lines, take_words, &r);
        break;
    }
    enct4_context_free(ctx);
    return r.out;
}

inline outcome reference(const setting &s, const input &in)
{
    run_state r;
    r.in = &in;
    switch (s.how) {
    case entry::g3:
        r.out.result = enct4ref::g3(s.conforming, give_lines, take_words, &r, s.compression, s.resolution);
        break;
    case entry::mmr:
        r.out.result = enct4ref::mmr(s.conforming, give_lines, take_words, &r);
        break;
    case entry::mh_only:
        r.out.result = enct4ref::mh(give_lines, take_words, &r);
        break;
    }
    return r.out;
}

// Words the shipped encoder delivers before a sink failure or its own
// failure (result 1) depend on its batch size, so only the result is
// compared then.
inline std::string compare(const setting &s, const input &in)
{
    const outcome ours = shipped(s, in);
    const outcome ref = reference(s, in);
    char what[160];
    if (ours.result != ref.result) {
        std::snprintf(what, sizeof what, "result %d, reference %d", ours.result, ref.result);
        return what;
    }
    if (ours.failed != ref.failed)
        return ours.failed ? "the sink failed only for ours" : "the sink failed only for the reference";
    if (ours.failed || ours.result == 1)
        return {};
    if (ours.words.size() != ref.words.size()) {
        std::snprintf(what, sizeof what, "%zu words, reference %zu", ours.words.size(), ref.words.size());
        return what;
    }
    for (std::size_t i = 0; i < ours.words.size(); ++i)
        if (ours.words[i] != ref.words[i]) {
            std::snprintf(what, sizeof what, "word %zu is %04x, reference %04x", i, ours.words[i],
                          ref.words[i]);
            return what;
        }
    return {};
}

// Every setting the coders have: MH, MR K = 2 and 4, MMR through both
// entries and the MH-only coder, legacy and conforming.
inline std::vector<setting> all_settings()
{
    std::vector<setting> all;
    for (bool conforming : {false, true}) {
        all.push_back({entry::g3, 0, 1, conforming});
        all.push_back({entry::g3, 1, 0, conforming});
        all.push_back({entry::g3, 1, 1, conforming});
        all.push_back({entry::g3, 3, 1, conforming});
        all.push_back({entry::mmr, 3, 0, conforming});
        all.push_back({entry::mh_only, 0, 0, conforming});
    }
    return all;
}

inline std::string name_of(const setting &s)
{
    std::string n = s.how == entry::mh_only ? "MH-only"
                    : s.how == entry::mmr  ? "MMR-direct"
                    : s.compression == 0   ? "MH"
                    : s.compression == 3   ? "MMR"
                    : s.resolution == 1    ? "MR-K4"
                                           : "MR-K2";
    return n + (s.conforming ? " conforming" : " legacy");
}

}  // namespace encdiff
