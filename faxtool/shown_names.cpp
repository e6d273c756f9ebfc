// JSON strings and terminal-safe text from names of arbitrary bytes.
#include "faxtool/shown_names.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there does
// not start one (stray continuation, overlong form, surrogate, past U+10FFFF,
// cut short).
std::size_t utf8_length(std::string_view text, std::size_t at, uint32_t &code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    uint32_t minimum;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i) & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void append_format(std::string &out, const char *format, unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    out += text;
}

}  // namespace

std::string json_name(std::string_view name)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < name.size();) {
        uint32_t code = 0;
        const std::size_t length = utf8_length(name, at, code);
        if (length == 0) {
            append_format(out, "\\udc%02x", static_cast<unsigned char>(name[at]));
            ++at;
            continue;
        }
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20 || code == 0x7F) {
            append_format(out, "\\u%04x", code);
        } else {
            out.append(name.substr(at, length));
        }
        at += length;
    }
    return out + "\"";
}

std::string terminal_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        uint32_t code = 0;
        const std::size_t length = utf8_length(text, at, code);
        const bool control = length != 0 && (code < 0x20 || (code >= 0x7F && code <= 0x9F));
        if (length != 0 && !control) {
            out.append(text.substr(at, length));
        } else if (length != 0 && code == '\n') {
            out += "\\n";
        } else if (length != 0 && code == '\t') {
            out += "\\t";
        } else if (length != 0 && code == '\r') {
            out += "\\r";
        } else {
            // Every byte of a C1 control or a byte that is not UTF-8.
            for (std::size_t i = 0; i < (length == 0 ? 1 : length); ++i)
                append_format(out, "\\x%02x", static_cast<unsigned char>(text[at + i]));
        }
        at += length == 0 ? 1 : length;
    }
    return out;
}
