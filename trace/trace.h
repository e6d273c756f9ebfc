// Diagnostic traces: per-name switches in the TRACES file, and time-stamped
// output that is dropped unless a trace is on.
#pragma once

#include <cstddef>
#include <cstdio>

#include <sys/stat.h>

// Key record dumped by trace_key_record.
struct trace_pair {
    const char *name;
    const char *value;
    const trace_pair *next;
};
struct trace_key {
    const char *key;
    long check_value;
    const trace_pair *pairs;
};

// Output (no-ops unless a trace is on, enabled and has a stream).
void trace_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trace_puts(const char *text);
void trace_write(const void *bytes, std::size_t count);
void trace_putc(int c);
void trace_date(void);
void trace_time(void);
void trace_flush(void);
void trace_key_record(const trace_key *record);
int trace_set_enabled(int enabled);
int trace_enabled(void);
int trace_is_on(void);
FILE *trace_stream(void);

// Configuration.
int trace_init(const char *config_dir, const char *trace_dir);
int open_trace_file(const char *trace_name);
// Out texts hold 128, 256, 128 and 128 bytes.
int check_trace_config_file(const char *trace_name, char *on_off, char *file, char *mode,
                            char *fifth);
// path must hold MAXPATHLEN + 1 bytes.
int find_traces_file(char *path, struct stat *file_status);
void replace_char(char *text, char find, char replacement);
