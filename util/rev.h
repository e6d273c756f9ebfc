// What-strings: the identification string every module carries, and the
// version banner built from one.
#pragma once

#include <cstddef>

// "@(#)|file|major|release|version|fifth|sixth|date|time"
struct what_record {
    char *copy;              // private copy of the last what-string parsed
    const char *fields[8];   // file, major, release, version, fifth, sixth, date, time
};

// Process-wide record of the last parse.
extern what_record rev_last_parse;

// 1 when all eight fields after the marker are present, else 0.
int parse_what_string(const char *text, what_record *record);

// Given a non-empty what-string, parse it and return the field (or null when
// the parse fails); given null or "", return the field of the last parse.
const char *rev_file(const char *what_string);
const char *rev_major(const char *what_string);
const char *rev_release(const char *what_string);
const char *rev_version(const char *what_string);
const char *rev_fifth(const char *what_string);
const char *rev_sixth(const char *what_string);
const char *rev_date(const char *what_string);
const char *rev_time(const char *what_string);

// Writes "Version %2s.%-5s Release ..." into out (at most out_size bytes,
// NUL included). Returns its length, or 0 (out untouched) when the
// what-string lacks a major number, release level or version number.
int format_version_banner(const char *what_string, char *out, std::size_t out_size);
