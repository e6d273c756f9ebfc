// Drives the T.4 encoder from tests: a scripted line source, a recording
// word sink, the coded stream as bits, and the coder modes by name.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "t4/enct4.h"
#include "t4/t4codes.h"
#include "tests/support/test_pages.h"

namespace enct4test {

// One batch as the source hands it out: exactly count x L bytes, in a block
// of its own so that a read past the last line is caught by the sanitizers.
struct batch {
    int line_bytes = 0;
    int count = 0;
    std::vector<uint8_t> bytes;
};

struct source_script {
    std::vector<batch> batches;
    int end_value = -1;
    std::size_t next = 0;
    int calls = 0;
};

struct sink_record {
    std::vector<uint16_t> words;
    std::vector<int> call_sizes;
    int fail_at_call = 0;  // 1-based call that fails; 0: none
    int fail_value = -3;
};

inline source_script script;
inline sink_record sink;

inline int scripted_source(unsigned char **first_line, int *line_count)
{
    ++script.calls;
    if (script.next >= script.batches.size())
        return script.end_value;
    batch &b = script.batches[script.next++];
    *first_line = b.bytes.data();
    *line_count = b.count;
    return b.line_bytes;
}

inline int recording_sink(const uint16_t *words, int word_count)
{
    sink.call_sizes.push_back(word_count);
    if (static_cast<int>(sink.call_sizes.size()) == sink.fail_at_call)
        return sink.fail_value;
    sink.words.insert(sink.words.end(), words, words + word_count);
    return word_count;
}

inline batch make_batch(const std::vector<testpages::line> &lines, int line_bytes)
{
    batch b{line_bytes, static_cast<int>(lines.size()), {}};
    for (const auto &l : lines)
        b.bytes.insert(b.bytes.end(), l.begin(), l.begin() + line_bytes);
    return b;
}

inline void start(std::vector<batch> batches = {}, int end_value = -1)
{
    script = source_script{std::move(batches), end_value, 0, 0};
    sink = sink_record{};
}

// The coder entries and settings that the tests run.
enum class entry { g3, mmr, mh_only };

struct mode {
    const char *name;
    entry how;
    int compression;  // also the decoder mode
    int resolution;
};

inline void PrintTo(const mode &m, std::ostream *os) { *os << m.name; }

inline constexpr mode MH{"MH", entry::g3, 0, 0};
inline constexpr mode MR_K2{"MR_K2", entry::g3, 1, 0};
inline constexpr mode MR_K4{"MR_K4", entry::g3, 1, 1};
inline constexpr mode MMR{"MMR", entry::g3, 3, 0};
inline constexpr mode MMR_DIRECT{"MMR_direct", entry::mmr, 3, 0};
inline constexpr mode MH_ONLY{"MH_only", entry::mh_only, 0, 0};

inline int run_coder(const mode &m)
{
    switch (m.how) {
    case entry::mmr:
        return enct4_MMR(scripted_source, recording_sink);
    case entry::mh_only:
        return encode_mh_fax(scripted_source, recording_sink);
    case entry::g3:
        break;
    }
    return encode_g3_fax(scripted_source, recording_sink, m.compression, m.resolution);
}

struct coded {
    int result = 0;
    std::vector<uint16_t> words;
};

// Codes the lines as one batch of L-byte lines.
inline coded encode(const mode &m, const std::vector<testpages::line> &lines,
                    int line_bytes = testpages::kLineBytes)
{
    start({make_batch(lines, line_bytes)});
    coded c;
    c.result = run_coder(m);
    c.words = sink.words;
    return c;
}

// Words written low byte first: the byte stream the decoders read.
inline std::vector<uint8_t> bytes_of(const std::vector<uint16_t> &words)
{
    std::vector<uint8_t> out;
    for (uint16_t w : words) {
        out.push_back(static_cast<uint8_t>(w & 0xFF));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    return out;
}

// The stream as '0'/'1' characters in transmission order.
inline std::string bits_of(const std::vector<uint16_t> &words)
{
    std::string bits;
    for (uint16_t w : words)
        for (int i = 0; i < 16; ++i)
            bits.push_back((w >> i) & 1 ? '1' : '0');
    return bits;
}

// A stream padded with 0 bits to whole words, as the encoder delivers it.
inline std::string padded(std::string bits)
{
    bits.append((16 - bits.size() % 16) % 16, '0');
    return bits;
}

// T.4 code strings for a run, straight from the code lists.
inline std::string run_bits(int run, bool black)
{
    const auto &term = black ? t4codes::black_terminating : t4codes::white_terminating;
    const auto &makeup = black ? t4codes::black_makeup : t4codes::white_makeup;
    std::string bits;
    while (run > 2623) {
        bits += t4codes::extended_makeup[12].bits;
        run -= 2560;
    }
    if (run >= 1792)
        bits += t4codes::extended_makeup[(run - 1792) / 64].bits;
    else if (run >= 64)
        bits += makeup[run / 64 - 1].bits;
    bits += term[run % 64].bits;
    return bits;
}

inline std::string white(int run) { return run_bits(run, false); }
inline std::string black(int run) { return run_bits(run, true); }
inline const std::string EOL{t4codes::eol};

// A line of `bytes` bytes with black pixels [from, from + count).
inline testpages::line line_of(int bytes, std::initializer_list<std::pair<int, int>> black_runs)
{
    testpages::line l(static_cast<std::size_t>(bytes), 0);
    for (auto [from, count] : black_runs)
        for (int x = std::max(from, 0); x < from + count && x < bytes * 8; ++x)
            l[static_cast<std::size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
    return l;
}

}  // namespace enct4test
