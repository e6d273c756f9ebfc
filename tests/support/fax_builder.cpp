#include "tests/support/fax_builder.h"

#include "t4/t4codes.h"

namespace faxbuilder {

void append_be32(bytes &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

bytes prefix(std::string_view header_text)
{
    bytes out = {0xBA, 0xDB, 0xAD, 0x16};
    append_be32(out, static_cast<uint32_t>(header_text.size() + 1));
    out.insert(out.end(), header_text.begin(), header_text.end());
    out.push_back(0x1D);
    return out;
}

void append_page(bytes &file, const bytes &data)
{
    append_be32(file, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
}

bytes fax_file(std::string_view header_text, const std::vector<bytes> &pages)
{
    bytes out = prefix(header_text);
    for (const bytes &page : pages)
        append_page(out, page);
    return out;
}

void bit_writer::put(std::string_view bits)
{
    for (char bit : bits) {
        if (bits_used == 0)
            data.push_back(0);
        if (bit == '1')
            data.back() |= static_cast<uint8_t>(1u << bits_used);
        bits_used = (bits_used + 1) % 8;
    }
}

void bit_writer::put_run(int32_t length, bool black)
{
    const auto &terminating = black ? t4codes::black_terminating : t4codes::white_terminating;
    const auto &makeup = black ? t4codes::black_makeup : t4codes::white_makeup;
    while (length > 2560) {
        put(t4codes::extended_makeup[12].bits);
        length -= 2560;
    }
    if (length >= 64) {
        int32_t m = length / 64 * 64;
        put(m <= 1728 ? makeup[m / 64 - 1].bits : t4codes::extended_makeup[(m - 1792) / 64].bits);
        length -= m;
    }
    put(terminating[length].bits);
}

void bit_writer::put_eol() { put(t4codes::eol); }

runs runs_of(const testpages::line &line)
{
    runs out;
    bool black = false;
    int32_t length = 0;
    for (int x = 0; x < testpages::kWidth; ++x) {
        if (testpages::pixel(line, x) != black) {
            out.push_back(length);
            black = !black;
            length = 0;
        }
        ++length;
    }
    out.push_back(length);
    return out;
}

bytes mh_page(const std::vector<runs> &lines, bool rtc)
{
    bit_writer w;
    w.put_eol();
    for (const runs &line : lines) {
        bool black = false;
        for (int32_t run : line) {
            w.put_run(run, black);
            black = !black;
        }
        w.put_eol();
    }
    for (int i = 0; rtc && i < 5; ++i)
        w.put_eol();
    if (w.data.size() % 2 != 0)
        w.data.push_back(0);  // whole 16-bit words, as encoders write them
    return w.data;
}

bytes mh_page(const testpages::page &page, bool rtc)
{
    std::vector<runs> lines;
    for (const auto &line : page.lines)
        lines.push_back(runs_of(line));
    return mh_page(lines, rtc);
}

}  // namespace faxbuilder
