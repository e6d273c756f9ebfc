#include "tests/support/decode_recorder.h"

#include <algorithm>
#include <span>

#include "t4/t4codes.h"
#include "tests/support/test_pages.h"

namespace t4test {

recorder rec;

void record_run(int32_t run) { rec.events.push_back({event::run, run, {}, 0}); }

void record_line(const unsigned char *line, int bytes_per_line)
{
    rec.events.push_back({event::line, 0, std::vector<uint8_t>(line, line + bytes_per_line),
                          bytes_per_line});
}

void record_eol() { rec.events.push_back({event::eol, 0, {}, 0}); }

std::vector<int32_t> recorder::runs() const
{
    std::vector<int32_t> out;
    for (const auto &e : events)
        if (e.kind == event::run)
            out.push_back(e.value);
    return out;
}

std::vector<std::vector<uint8_t>> recorder::lines() const
{
    std::vector<std::vector<uint8_t>> out;
    for (const auto &e : events)
        if (e.kind == event::line)
            out.push_back(e.bitmap);
    return out;
}

int recorder::eol_count() const
{
    int n = 0;
    for (const auto &e : events)
        n += e.kind == event::eol;
    return n;
}

std::string recorder::summary() const
{
    std::string out;
    for (const auto &e : events) {
        if (!out.empty())
            out += ' ';
        if (e.kind == event::run)
            out += 'R' + std::to_string(e.value);
        else
            out += e.kind == event::line ? "L" : "E";
    }
    return out;
}

std::vector<std::vector<int32_t>> recorder::runs_per_line() const
{
    std::vector<std::vector<int32_t>> out(1);
    for (const auto &e : events) {
        if (e.kind == event::run)
            out.back().push_back(e.value);
        else if (e.kind == event::eol)
            out.emplace_back();
    }
    return out;
}

int decode(const std::vector<uint8_t> &data, int mode)
{
    rec.clear();
    return t4dec_decode(data.data(), static_cast<int>(data.size()), mode, record_run, record_line,
                        record_eol);
}

namespace {

std::string_view code_for(std::span<const t4codes::run_code> codes, int run)
{
    for (const auto &c : codes)
        if (c.run == run)
            return c.bits;
    return {};
}

}  // namespace

std::string run_bits(bool black, int run)
{
    std::string out;
    const auto &makeup = black ? t4codes::black_makeup : t4codes::white_makeup;
    while (run >= 64) {
        int chunk = std::min(run / 64 * 64, 2560);
        std::string_view code = chunk <= 1728 ? code_for(makeup, chunk)
                                              : code_for(t4codes::extended_makeup, chunk);
        out += code;
        run -= chunk;
    }
    out += code_for(black ? t4codes::black_terminating : t4codes::white_terminating, run);
    return out;
}

std::string line_bits(const std::vector<int> &runs)
{
    std::string out;
    bool black = false;
    for (int r : runs) {
        out += run_bits(black, r);
        black = !black;
    }
    return out;
}

std::string mode_bits(int token)
{
    for (const auto &m : t4codes::modes)
        if (m.token == token)
            return std::string(m.bits);
    return {};
}

std::string eol_bits() { return std::string(t4codes::eol); }

std::vector<uint8_t> pack_bits(std::string_view bits)
{
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1')
            out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return out;
}

std::vector<uint8_t> line_from_runs(const std::vector<int> &runs)
{
    testpages::line l = testpages::white_line();
    int x = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (i % 2)
            testpages::set_pixels(l, x, runs[i]);
        x += runs[i];
    }
    return l;
}

}  // namespace t4test
