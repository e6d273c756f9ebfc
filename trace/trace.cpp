// Diagnostic traces: the TRACES file that switches each trace name on or off,
// the trace stream that open_trace_file opens, and the stamped output
// functions that write to it.
#include "trace/trace.h"

#include "util/whitespace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

[[maybe_unused]] static const char what_string[] = "@(#)|trace|9|01|2|0|0|07/26/99|14:47:50";

namespace {

constexpr std::size_t MAX_PATH_LEN = 4096;       // MAXPATHLEN
constexpr std::size_t LINE_MAX_CHARS = 1023;     // of a TRACES line
constexpr std::size_t STREAM_BUFFER_SIZE = 8192;
constexpr std::size_t DISPLAY_NAME_MAX = 127;

// Word limits of a TRACES line; the out texts of check_trace_config_file are
// one byte larger.
constexpr std::size_t NAME_WORD_MAX = 223;
constexpr std::size_t SWITCH_WORD_MAX = 127;
constexpr std::size_t FILE_WORD_MAX = 255;
constexpr std::size_t MODE_WORD_MAX = 127;
constexpr std::size_t FIFTH_WORD_MAX = 127;
constexpr int WORD_COUNT = 5;

constexpr char CLOSING_NOTICE[] = "open_trace_file: Closing trace file before rescaning\n";
constexpr char CLOSING_OLD_NOTICE[] = "open_trace_file: Closing old trace file before rescaning\n";

constexpr const char *MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct trace_state {
    int on = 0;
    int enabled = 1;
    FILE *stream = nullptr;
    bool stream_is_file = false;  // opened here, so closed here
    int initialised = 0;
    int verbose = 0;              // never cleared once TRACECONFIG was seen
    char trace_dir[MAX_PATH_LEN] = {};
    char config_dir[MAX_PATH_LEN] = {};
    char current_file[MAX_PATH_LEN + 1] = {};
    char last_config_path[MAX_PATH_LEN + 1] = {};
    timespec last_config_time = {};
    // stdio keeps using a buffer handed to setvbuf until the stream is closed,
    // and the standard streams are never closed: each gets a buffer of its
    // own, so that no two streams ever share one.
    char file_buffer[STREAM_BUFFER_SIZE] = {};
    char stdout_buffer[STREAM_BUFFER_SIZE] = {};
    char stderr_buffer[STREAM_BUFFER_SIZE] = {};
};

trace_state trace;

// The four texts that a TRACES line gives open_trace_file.
struct config_texts {
    char on_off[SWITCH_WORD_MAX + 1] = {};
    char file[FILE_WORD_MAX + 1] = {};
    char mode[MODE_WORD_MAX + 1] = {};
    char fifth[FIFTH_WORD_MAX + 1] = {};
};

// One line of TRACES, cut to its limit, and the words found in it.
struct config_line {
    char text[LINE_MAX_CHARS + 1] = {};
    std::string_view words[WORD_COUNT];
};

// Copies as much of text as fits and terminates; true when all of it fitted.
bool copy_bounded(char *out, std::size_t size, std::string_view text)
{
    if (!out || size == 0)
        return false;
    std::size_t count = text.size() < size ? text.size() : size - 1;
    if (count > 0)  // an empty view may have no data pointer
        std::memcpy(out, text.data(), count);
    out[count] = '\0';
    return count == text.size();
}

char lower_ascii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower_ascii(a[i]) != lower_ascii(b[i]))
            return false;
    return true;
}

bool output_allowed()
{
    return trace.on && trace.enabled && trace.stream;
}

std::tm local_now()
{
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (!localtime_r(&now, &parts))
        parts = std::tm{};
    return parts;
}

void write_time_stamp(FILE *stream)
{
    std::tm now = local_now();
    std::fprintf(stream, "%02d:%02d:%02d ", now.tm_hour, now.tm_min, now.tm_sec);
}

void write_date_stamp(FILE *stream)
{
    std::tm now = local_now();
    const char *month = now.tm_mon >= 0 && now.tm_mon < 12 ? MONTHS[now.tm_mon] : "???";
    std::fprintf(stream, "%2d-%s-%04d ", now.tm_mday, month, now.tm_year + 1900);
}

// ---- TRACES file -----------------------------------------------------------

// Reads one line without its newline, keeping at most LINE_MAX_CHARS
// characters; the rest of an over-long line is dropped rather than read as a
// line of its own. False at the end of the file.
bool read_config_line(FILE *config, config_line *line)
{
    std::size_t length = 0;
    int c = std::getc(config);
    if (c == EOF)
        return false;
    for (; c != EOF && c != '\n'; c = std::getc(config))
        if (length < LINE_MAX_CHARS)
            line->text[length++] = static_cast<char>(c);
    line->text[length] = '\0';
    return true;
}

void split_words(config_line *line, std::size_t length)
{
    std::string_view rest(line->text, length);
    for (auto &word : line->words)
        word = {};
    for (auto &word : line->words) {
        std::size_t start = 0;
        while (start < rest.size() && is_white_space(rest[start]))
            ++start;
        std::size_t end = start;
        while (end < rest.size() && !is_white_space(rest[end]))
            ++end;
        if (start == end)
            break;
        word = rest.substr(start, end - start);
        rest.remove_prefix(end);
    }
}

// A name or file word beyond its limit could only be cut into another name or
// another file, so such a line matches nothing.
bool line_matches(const config_line &line, std::string_view name)
{
    return line.words[0].size() <= NAME_WORD_MAX && line.words[2].size() <= FILE_WORD_MAX &&
           line.words[0] == name;
}

bool find_config_line(FILE *config, std::string_view name, config_line *line)
{
    while (read_config_line(config, line)) {
        std::size_t length = std::strlen(line->text);
        if (length <= 1 || line->text[0] == '#')
            continue;
        split_words(line, length);
        if (line_matches(*line, name))
            return true;
    }
    return false;
}

std::string_view word_or_default(std::string_view word, std::string_view fallback)
{
    return word.empty() || word == "-" ? fallback : word;
}

void fill_config_texts(const config_line &line, const char *trace_name, char *on_off,
                       char *file, char *mode, char *fifth)
{
    copy_bounded(on_off, SWITCH_WORD_MAX + 1, word_or_default(line.words[1], "yes"));
    copy_bounded(file, FILE_WORD_MAX + 1, word_or_default(line.words[2], trace_name));
    copy_bounded(mode, MODE_WORD_MAX + 1, word_or_default(line.words[3], "append"));
    copy_bounded(fifth, FIFTH_WORD_MAX + 1, line.words[4]);
}

bool is_newer(const timespec &a, const timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

void forget_config_file()
{
    trace.last_config_path[0] = '\0';
    trace.last_config_time = {};
}

bool try_traces_candidate(const char *dir, char *path, struct stat *file_status)
{
    int written = dir ? std::snprintf(path, MAX_PATH_LEN + 1, "%s/TRACES", dir)
                      : std::snprintf(path, MAX_PATH_LEN + 1, "TRACES");
    if (written < 0 || static_cast<std::size_t>(written) > MAX_PATH_LEN)
        return false;
    if (trace.verbose)
        std::printf("looking for file '%s'\n", path);
    return stat(path, file_status) == 0;
}

// ---- Trace stream ----------------------------------------------------------

// The copy loses its first character when that is '_' after the '/'s are
// replaced, whether it came from a '/' or stood in the name: "_x/y" gives "x_y".
const char *display_name(const char *name, char (&buffer)[DISPLAY_NAME_MAX + 1])
{
    if (!std::strchr(name, '/'))
        return name;
    char copy[DISPLAY_NAME_MAX + 2];
    copy_bounded(copy, sizeof copy, name);
    replace_char(copy, '/', '_');
    copy_bounded(buffer, sizeof buffer, copy[0] == '_' ? copy + 1 : copy);
    return buffer;
}

// Line-buffered with our own buffer; whatever the stream already holds is
// written first.
void start_stream(FILE *stream, char *buffer)
{
    std::fflush(stream);
    std::setvbuf(stream, buffer, _IOLBF, STREAM_BUFFER_SIZE);
}

void close_trace_file(const char *notice)
{
    if (!trace.stream_is_file)
        return;
    if (trace.verbose)
        std::fputs(notice, stdout);
    std::fclose(trace.stream);
    trace.stream = nullptr;
    trace.stream_is_file = false;
}

int switch_off(const char *shown)
{
    // The notice goes into the trace file too, so it shows why the file ends.
    if (trace.stream_is_file)
        trace_puts(CLOSING_NOTICE);
    close_trace_file(CLOSING_NOTICE);
    trace.on = 0;
    trace.enabled = 1;
    trace.stream = nullptr;
    trace.current_file[0] = '\0';
    if (trace.verbose)
        std::printf("open_trace_file(%s): turn off\n", shown);
    return 1;
}

int finish_switch_on(const char *shown, const char *target)
{
    trace.on = 1;
    if (trace.verbose) {
        std::printf("open_trace_file(%s): Trace_on\n", shown);
        std::printf("trace file is '%s'\n", target);
    }
    return 1;
}

// The old trace file is closed too: it would otherwise stay open, unused,
// for the rest of the process.
int switch_to_standard(const char *shown, FILE *stream, const char *target, char *buffer)
{
    close_trace_file(CLOSING_OLD_NOTICE);
    trace.stream = stream;
    copy_bounded(trace.current_file, sizeof trace.current_file, target);
    start_stream(stream, buffer);
    return finish_switch_on(shown, target);
}

// A target that was cut to fit would name another file, so it fails to open.
FILE *open_target(const char *target, bool fits, const char *mode)
{
    if (!fits) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    bool truncate = mode[0] == 'o' || mode[0] == 'O';
    // O_NOFOLLOW: a link planted at a trace file's name would otherwise have
    // its target truncated or written to; O_CLOEXEC: programs we start don't
    // inherit the trace file.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
    int fd = open(target, flags, 0666);
    if (fd < 0)
        return nullptr;
    FILE *stream = fdopen(fd, truncate ? "w" : "a");
    if (!stream) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

int switch_to_file(const char *shown, const char *file_word, const char *mode, bool was_on)
{
    char target[MAX_PATH_LEN + 1];
    int written = file_word[0] == '/'
                      ? std::snprintf(target, sizeof target, "%s", file_word)
                      : std::snprintf(target, sizeof target, "%s/trace_%s", trace.trace_dir, file_word);
    bool fits = written >= 0 && static_cast<std::size_t>(written) < sizeof target;
    if (fits && was_on && trace.stream_is_file && std::strcmp(target, trace.current_file) == 0) {
        trace.on = 1;
        if (trace.verbose)
            std::printf("open_trace_file(%s): Same config file\n", shown);
        return 1;
    }
    close_trace_file(CLOSING_OLD_NOTICE);
    trace.stream = open_target(target, fits, mode);
    if (!trace.stream) {
        // Recorded as "stdout", not as the target, so that the next rescan
        // tries to open the file again instead of keeping standard output.
        std::fprintf(stderr, "open_trace_file:  Couldn't open trace file '%s', using stdout, errno=%d\n",
                     target, errno);
        trace.stream = stdout;
        copy_bounded(trace.current_file, sizeof trace.current_file, "stdout");
        trace.on = 1;
        return 0;
    }
    trace.stream_is_file = true;
    copy_bounded(trace.current_file, sizeof trace.current_file, target);
    start_stream(trace.stream, trace.file_buffer);
    return finish_switch_on(shown, target);
}

int switch_on(const char *shown, const config_texts &texts)
{
    bool was_on = trace.on;
    trace.on = 0;
    trace.enabled = 1;
    if (std::strcmp(texts.file, "stdout") == 0)
        return switch_to_standard(shown, stdout, "stdout", trace.stdout_buffer);
    if (std::strcmp(texts.file, "stderr") == 0)
        return switch_to_standard(shown, stderr, "stderr", trace.stderr_buffer);
    return switch_to_file(shown, texts.file, texts.mode, was_on);
}

}  // namespace

// ---- Output ----------------------------------------------------------------

void trace_printf(const char *format, ...)
{
    if (!output_allowed() || !format)
        return;
    write_time_stamp(trace.stream);
    va_list args;
    va_start(args, format);
    std::vfprintf(trace.stream, format, args);
    va_end(args);
}

void trace_puts(const char *text)
{
    if (!output_allowed() || !text)
        return;
    write_time_stamp(trace.stream);
    std::fputs(text, trace.stream);
}

void trace_write(const void *bytes, std::size_t count)
{
    if (output_allowed() && bytes)
        std::fwrite(bytes, 1, count, trace.stream);
}

void trace_putc(int c)
{
    if (output_allowed())
        std::fputc(c, trace.stream);
}

void trace_date(void)
{
    if (output_allowed())
        write_date_stamp(trace.stream);
}

void trace_time(void)
{
    if (output_allowed())
        write_time_stamp(trace.stream);
}

void trace_flush(void)
{
    if (trace.on && trace.stream)
        std::fflush(trace.stream);
}

void trace_key_record(const trace_key *record)
{
    if (!record || !trace.on || !trace.enabled)
        return;
    auto text = [](const char *t) { return t ? t : ""; };
    trace_printf("key:         [%s]\n", text(record->key));
    trace_printf("check_value: [%ld]\n", record->check_value);
    for (const trace_pair *pair = record->pairs; pair; pair = pair->next)
        trace_printf("    %s = [%s]\n", text(pair->name), text(pair->value));
}

int trace_set_enabled(int enabled)
{
    trace.enabled = enabled != 0;
    return 1;
}

int trace_enabled(void)
{
    return trace.enabled;
}

int trace_is_on(void)
{
    return trace.on;
}

FILE *trace_stream(void)
{
    return trace.stream;
}

// ---- Configuration ---------------------------------------------------------

int trace_init(const char *config_dir, const char *trace_dir)
{
    if (trace.initialised || trace.on || !config_dir || !*config_dir || !trace_dir || !*trace_dir)
        return 0;
    // A directory cut to fit would be another directory.
    if (strnlen(config_dir, MAX_PATH_LEN) >= MAX_PATH_LEN || strnlen(trace_dir, MAX_PATH_LEN) >= MAX_PATH_LEN)
        return 0;
    trace.trace_dir[0] = '\0';
    trace.config_dir[0] = '\0';
    trace.current_file[0] = '\0';
    forget_config_file();
    trace.enabled = 1;
    if (trace.stream_is_file)
        std::fclose(trace.stream);
    trace.stream = nullptr;
    trace.stream_is_file = false;
    copy_bounded(trace.config_dir, sizeof trace.config_dir, config_dir);
    copy_bounded(trace.trace_dir, sizeof trace.trace_dir, trace_dir);
    trace.initialised = 1;
    return 1;
}

// An empty TAVRINHOME or configuration directory would make "/TRACES", a file
// nobody configured, so such a candidate is not tried.
int find_traces_file(char *path, struct stat *file_status)
{
    if (!path)
        return 0;
    struct stat scratch;
    if (!file_status)
        file_status = &scratch;
    const char *home = std::getenv("TAVRINHOME");
    if (home && *home && try_traces_candidate(home, path, file_status))
        return 1;
    if (trace.config_dir[0] && try_traces_candidate(trace.config_dir, path, file_status))
        return 1;
    if (try_traces_candidate(nullptr, path, file_status))
        return 1;
    if (trace.verbose)
        std::printf("couldn't find a TRACES file\n");
    path[0] = '\0';
    return 0;
}

int check_trace_config_file(const char *trace_name, char *on_off, char *file, char *mode,
                            char *fifth)
{
    const char *name = trace_name ? trace_name : "";
    for (char *out : {on_off, file, mode, fifth})
        copy_bounded(out, 1, "");
    if (std::getenv("TRACECONFIG")) {
        trace.verbose = 1;
        std::printf("check_trace_config_file('%s')\n", name);
    }
    char path[MAX_PATH_LEN + 1];
    struct stat status;
    if (!find_traces_file(path, &status)) {
        forget_config_file();
        return 1;
    }
    if (std::strcmp(path, trace.last_config_path) == 0 && !is_newer(status.st_mtim, trace.last_config_time))
        return 3;
    FILE *config = std::fopen(path, "r");
    if (!config)
        return 1;
    copy_bounded(trace.last_config_path, sizeof trace.last_config_path, path);
    trace.last_config_time = status.st_mtim;
    config_line line;
    bool found = find_config_line(config, name, &line);
    std::fclose(config);
    if (!found) {
        if (trace.verbose)
            std::printf("no trace config line for '%s'\n", name);
        return 2;
    }
    if (trace.verbose)
        std::printf("found trace config line '%s'\n", line.text);
    fill_config_texts(line, name, on_off, file, mode, fifth);
    return 0;
}

int open_trace_file(const char *trace_name)
{
    if (!trace.initialised) {
        std::fputs("open_trace_file:  Traces have not been properly initialized\n", stderr);
        return 0;
    }
    const char *name = trace_name ? trace_name : "";
    char shown_buffer[DISPLAY_NAME_MAX + 1];
    const char *shown = display_name(name, shown_buffer);
    if (trace.verbose)
        std::printf("open_trace_file(%s)\n", shown);
    config_texts texts;
    int status = check_trace_config_file(name, texts.on_off, texts.file, texts.mode, texts.fifth);
    if (trace.verbose)
        std::printf("open_trace_file(%s): ret=%d\n", shown, status);
    bool turn_on = false;
    if (status == 0) {
        turn_on = !equals_ignoring_case(texts.on_off, "off");
        if (trace.verbose)
            std::printf("open_trace_file(%s): 1 on_off=\"%s\"\n", shown, texts.on_off);
    } else if (status == 3) {
        if (trace.verbose)
            std::printf("open_trace_file(%s): no change\n", shown);
        return 1;
    } else if (!trace.on) {
        return 1;
    }
    if (std::strchr(texts.file, '/') && std::strchr(name, '/'))
        copy_bounded(texts.file, sizeof texts.file, shown);
    return turn_on ? switch_on(shown, texts) : switch_off(shown);
}

void replace_char(char *text, char find, char replacement)
{
    // Searching for the terminator would run past the end of the text.
    if (!text || find == '\0')
        return;
    for (char *p = text; *p; ++p)
        if (*p == find)
            *p = replacement;
}
