// Reading one descriptor, size limits and bilevel rows for the image readers.
#include "faxtool/image_rows.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

bool fill(image_input &in)
{
    if (in.at < in.end)
        return true;
    if (in.fd < 0 || in.error != 0)
        return false;
    ssize_t got;
    do
        got = read(in.fd, in.buffer, sizeof in.buffer);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        in.error = errno;
    if (got <= 0)
        return false;
    in.at = 0;
    in.end = static_cast<std::size_t>(got);
    return true;
}

}  // namespace

int input_peek(image_input &in) { return fill(in) ? in.buffer[in.at] : -1; }

std::size_t input_fill_to(image_input &in, std::size_t count)
{
    count = std::min(count, sizeof in.buffer);
    if (in.at > 0) {
        std::memmove(in.buffer, in.buffer + in.at, in.end - in.at);
        in.end -= in.at;
        in.at = 0;
    }
    while (in.end < count && in.fd >= 0 && in.error == 0) {
        ssize_t got;
        do
            got = read(in.fd, in.buffer + in.end, sizeof in.buffer - in.end);
        while (got < 0 && errno == EINTR);
        if (got < 0)
            in.error = errno;
        if (got <= 0)
            break;
        in.end += static_cast<std::size_t>(got);
    }
    return in.end;
}

int input_get(image_input &in) { return fill(in) ? in.buffer[in.at++] : -1; }

std::size_t input_read(image_input &in, uint8_t *out, std::size_t count)
{
    std::size_t done = 0;
    while (done < count && fill(in)) {
        const std::size_t take = std::min(count - done, in.end - in.at);
        std::memcpy(out + done, in.buffer + in.at, take);
        in.at += take;
        done += take;
    }
    return done;
}

std::string input_short_reason(const image_input &in, const char *cut)
{
    return in.error != 0 ? std::strerror(in.error) : cut;
}

std::string library_failure(const std::string &text)
{
    for (const char *allocation : {"memory", "Memory", "No space for"})
        if (text.find(allocation) != std::string::npos)
            return "out of memory";
    return text;
}

bool page_size_acceptable(int64_t width, int64_t height, int number, std::string &reason)
{
    const std::string page = "page " + std::to_string(number);
    if (width <= 0 || height <= 0)
        reason = page + " is empty (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    else if (width > FAX_WIDTH)
        reason = page + " is " + std::to_string(width) + " pixels wide; a fax page holds at most " +
                 std::to_string(FAX_WIDTH);
    else if (height > MAX_PAGE_ROWS)
        reason = page + " is " + std::to_string(height) + " rows high; a fax page holds at most " +
                 std::to_string(MAX_PAGE_ROWS);
    else
        return true;
    return false;
}

void clear_padding(uint8_t *row, int64_t width)
{
    if (width % 8 != 0)
        row[width / 8] &= static_cast<uint8_t>(0xFFu << (8 - width % 8));
}

void copy_bits(const uint8_t *from, int64_t from_x, uint8_t *to, int64_t to_x, int64_t count)
{
    if (from_x % 8 == 0 && to_x % 8 == 0) {
        std::memcpy(to + to_x / 8, from + from_x / 8, static_cast<std::size_t>(count / 8));
        from_x += count / 8 * 8;
        to_x += count / 8 * 8;
        count %= 8;
    }
    for (int64_t i = 0; i < count; ++i) {
        const int64_t s = from_x + i, d = to_x + i;
        const auto mask = static_cast<uint8_t>(0x80u >> (d & 7));
        if ((from[s >> 3] >> (7 - (s & 7)) & 1) != 0)
            to[d >> 3] |= mask;
        else
            to[d >> 3] &= static_cast<uint8_t>(~mask);
    }
}
