// Text a job keeps to print later, in input order: the first bytes in
// memory, the rest in an unnamed temporary file, so that a listing of a
// million pages waiting for its turn costs a file, not memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Bytes kept in memory before the rest goes to a file.
constexpr std::size_t KEPT_IN_MEMORY = 256 * 1024;
// Bytes gathered after those before each write to the file.
constexpr std::size_t KEPT_WRITE_SIZE = 64 * 1024;

struct kept_text {
    std::string head;      // the first bytes
    int spill = -1;        // the file for the bytes after head, -1 while there is none
    uint64_t spilled = 0;  // bytes in it
    bool spill_failed = false;  // no file to be had or written: the rest is in tail
    std::string tail;      // the bytes after those of the file, gathered for its next write
    kept_text() = default;
    kept_text(const kept_text &) = delete;
    kept_text &operator=(const kept_text &) = delete;
    ~kept_text();
    bool empty() const { return head.empty() && spilled == 0; }
};

// Adds bytes at the end. Where no file can be made or written, they stay in
// memory: the text is never lost.
void kept_append(kept_text &text, std::string_view bytes);

// Writes all of the text to out, in order. False when the file could not
// be read back (the text is then cut short).
bool kept_write(const kept_text &text, FILE *out);

// A stream whose writes go to text (fclose it before text goes); null when
// none can be made.
FILE *kept_stream(kept_text &text);

// Where spill files are made: $TMPDIR, else /tmp.
std::string kept_directory();
