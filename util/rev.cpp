// What-strings and the version banner built from them.
#include "util/rev.h"

#include <cstdio>
#include <cstring>
#include <new>

[[maybe_unused]] static const char what_string[] = "@(#)|rev|9|01|2|0|0|07/26/99|14:47:50";

what_record rev_last_parse = {nullptr, {}};

namespace {

enum { FIELD_FILE, FIELD_MAJOR, FIELD_RELEASE, FIELD_VERSION, FIELD_FIFTH, FIELD_SIXTH,
       FIELD_DATE, FIELD_TIME, FIELD_COUNT };

// Next '|'-separated token of the text at *cursor, as strtok gives it: runs
// of separators are skipped, so empty fields never count. The token is
// NUL-terminated in place.
char *next_token(char **cursor)
{
    char *p = *cursor;
    while (*p == '|')
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char *token = p;
    while (*p != '\0' && *p != '|')
        ++p;
    if (*p == '|')
        *p++ = '\0';
    *cursor = p;
    return token;
}

char *copy_text(const char *text)
{
    std::size_t size = std::strlen(text) + 1;
    char *copy = new (std::nothrow) char[size];
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

const char *field_of(const char *what, int field)
{
    if (what && *what) {
        if (!parse_what_string(what, &rev_last_parse))
            return nullptr;
    }
    return rev_last_parse.fields[field];
}

}  // namespace

int parse_what_string(const char *text, what_record *record)
{
    if (!record)
        return 0;
    // Copy before releasing: the text may live inside the record's old copy.
    char *copy = text ? copy_text(text) : nullptr;
    delete[] record->copy;
    record->copy = copy;
    for (const char *&field : record->fields)
        field = nullptr;
    if (!copy)
        return 0;

    char *cursor = copy;
    if (!next_token(&cursor))  // the what-marker, whatever it holds
        return 0;
    for (int i = 0; i < FIELD_COUNT; ++i) {
        record->fields[i] = next_token(&cursor);
        if (!record->fields[i])
            return 0;
    }
    return 1;
}

const char *rev_file(const char *what) { return field_of(what, FIELD_FILE); }
const char *rev_major(const char *what) { return field_of(what, FIELD_MAJOR); }
const char *rev_release(const char *what) { return field_of(what, FIELD_RELEASE); }
const char *rev_version(const char *what) { return field_of(what, FIELD_VERSION); }
const char *rev_fifth(const char *what) { return field_of(what, FIELD_FIFTH); }
const char *rev_sixth(const char *what) { return field_of(what, FIELD_SIXTH); }
const char *rev_date(const char *what) { return field_of(what, FIELD_DATE); }
const char *rev_time(const char *what) { return field_of(what, FIELD_TIME); }

int format_version_banner(const char *what, char *out, std::size_t out_size)
{
    const char *major = rev_major(what);
    const char *release = rev_release(nullptr);
    const char *version = rev_version(nullptr);
    if (!major || !release || !version || !out || out_size == 0)
        return 0;

    // A numeric release level reads as "9.01"; a lettered one as "9b1".
    bool numeric = release[0] >= '0' && release[0] <= '9';
    int length = numeric
        ? std::snprintf(out, out_size, "Version %2s.%-5s Release %s.%s", major, version, major, release)
        : std::snprintf(out, out_size, "Version %2s.%-5s Release %s%s", major, version, major, release);
    if (length < 0) {
        out[0] = '\0';
        return 0;
    }
    // A banner cut short by the buffer reports what was actually stored.
    return static_cast<std::size_t>(length) < out_size ? length : static_cast<int>(out_size - 1);
}
