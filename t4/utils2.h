// The joint between decoder and encoder in the fax file recompression: a
// line_callback that collects a page's decoded lines, a line_source that hands
// them to the encoder as one batch, and a word_sink that writes the coded
// words into the temporary file. One conversion at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "util/file.h"

// Why the current page can't be used; the recompression reports it.
enum class change_format_fault { none, no_memory, write_failed };

struct change_format_state {
    char temp_name[MAXPATHLEN] = {};
    int temp_fd = -1;
    uint32_t page_bytes = 0;           // coded bytes written for the current page
    off_t length_slot = -1;            // offset of the current page's length field
    unsigned char *lines = nullptr;    // decoded lines of the page, back to back (malloc)
    uint32_t line_capacity = 0;        // 0: not allocated
    uint32_t line_fill = 0;            // always a multiple of the bytes per line
    change_format_fault fault = change_format_fault::none;
    int fault_errno = 0;               // of a failed write
    bool runs_pending = false;         // runs decoded since the last collected line
};

extern change_format_state change_format;

extern "C" {

void change_format_collect_line(const unsigned char *line, int byte_count);
// A run_callback that only notes a line is under way, for a line the MH
// decoder leaves open in the run sink at the end of the data.
void change_format_note_run(int32_t run);
int change_format_get_lines(unsigned char **first_line, int *line_count);
int change_format_write_words(const uint16_t *words, int word_count);

}  // extern "C"

// Empties the page: no lines, no bytes, no fault.
void change_format_begin_page();
// Writes a placeholder length at the end of the temporary file and notes its
// offset; the page's coded data follows it.
bool change_format_reserve_length();
// Fills in the page's length slot with the page byte count (big-endian).
bool change_format_finish_page();
// Flushes and closes the temporary file; false when its data may be lost.
bool change_format_close_temp();
// Closes the temporary file (if open) and removes it.
void change_format_discard_temp();
// Releases the page line buffer.
void change_format_release_lines();
