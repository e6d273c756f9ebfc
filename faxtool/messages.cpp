// Diagnostics and the capture of library messages.
#include "faxtool/messages.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "faxtool/progress.h"
#include "faxtool/shown_names.h"

namespace {

thread_local kept_messages *kept_here = nullptr;

}  // namespace

void keep_messages(kept_messages *kept)
{
    kept_here = kept;
}

std::recursive_mutex &standard_streams_lock()
{
    static std::recursive_mutex lock;
    return lock;
}

void report_failure(std::string_view file, std::string_view reason)
{
    std::string line = "faxtool: ";
    if (!file.empty()) {
        line += terminal_text(file);
        line += ": ";
    }
    line += terminal_text(reason);  // library texts may carry the name too
    line += '\n';
    if (kept_here != nullptr) {
        if (kept_here->first_reason.empty())
            kept_here->first_reason = reason;
        kept_append(kept_here->text, line);
        return;
    }
    std::fflush(stdout);
    progress_interrupt();
    std::fputs(line.c_str(), stderr);
}

namespace {

struct report_state {
    bool stdout_failure = false;
};

report_state reports;

}  // namespace

void note_stdout_failure_reported()
{
    reports.stdout_failure = true;
}

bool stdout_failure_reported()
{
    return reports.stdout_failure;
}

namespace {

// Descriptors 1 and 2 as they were before a capture, and where its text is
// read back.
struct capture_state {
    int saved_out = -1;
    int saved_err = -1;
    int reader = -1;  // the sink itself, a pipe's read end, or -1 for none
    bool out_failed = false;
    bool err_failed = false;
};

capture_state capture;

// Keeps the end of a chatty library's text: the reason is its last line.
constexpr std::size_t MAX_CAPTURED = 65536;

// Where the library's messages go: a file in memory, so that nothing depends
// on a writable /tmp; else a pipe, whose writes never block (a message past
// its capacity is lost, not waited on); else /dev/null, so that they at
// least stay off faxtool's own output. -1 when not even that opens.
int open_capture_sink(int &reader)
{
    int sink = memfd_create("faxtool-messages", MFD_CLOEXEC);
    if (sink >= 0) {
        reader = sink;
        return sink;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        reader = ends[0];
        return ends[1];
    }
    reader = -1;
    return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

void restore_standard_descriptors()
{
    if (capture.saved_out >= 0) {
        dup2(capture.saved_out, 1);
        close(capture.saved_out);
    }
    if (capture.saved_err >= 0) {
        dup2(capture.saved_err, 2);
        close(capture.saved_err);
    }
    capture.saved_out = capture.saved_err = -1;
}

void read_captured(int reader, std::string &text)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(reader, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > 2 * MAX_CAPTURED)
            text.erase(0, text.size() - MAX_CAPTURED);
    }
    if (text.size() > MAX_CAPTURED)
        text.erase(0, text.size() - MAX_CAPTURED);
}

}  // namespace

int begin_library_capture()
{
    std::fflush(stdout);
    std::fflush(stderr);
    capture.out_failed = std::ferror(stdout) != 0;
    capture.err_failed = std::ferror(stderr) != 0;
    int reader = -1;
    const int sink = open_capture_sink(reader);
    if (sink < 0)
        return -1;  // messages then go out as they are
    capture.saved_out = fcntl(1, F_DUPFD_CLOEXEC, 3);
    capture.saved_err = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (capture.saved_out < 0 || capture.saved_err < 0 || dup2(sink, 1) < 0 || dup2(sink, 2) < 0) {
        restore_standard_descriptors();
        if (reader >= 0 && reader != sink)
            close(reader);
        close(sink);
        return -1;
    }
    capture.reader = reader;
    return sink;
}

captured_text end_library_capture(int sink)
{
    captured_text result;
    if (sink < 0)
        return result;
    std::fflush(stdout);
    std::fflush(stderr);
    restore_standard_descriptors();
    // A message the capture could not take is no failure of faxtool's output.
    if (!capture.out_failed)
        std::clearerr(stdout);
    if (!capture.err_failed)
        std::clearerr(stderr);
    const int reader = capture.reader;
    capture.reader = -1;
    if (reader == sink) {
        if (lseek(sink, 0, SEEK_SET) == 0)
            read_captured(sink, result.text);
        close(sink);
        return result;
    }
    close(sink);  // the last write end: the pipe's reader then sees its end
    if (reader >= 0) {
        read_captured(reader, result.text);
        close(reader);
    }
    return result;
}

std::string library_reason(const captured_text &captured, std::string_view fallback)
{
    std::string_view text = captured.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    const std::size_t newline = text.rfind('\n');
    if (newline != std::string_view::npos)
        text.remove_prefix(newline + 1);
    const std::size_t colon = text.find(": ");
    if (colon != std::string_view::npos && text.substr(0, colon).find(' ') == std::string_view::npos)
        text.remove_prefix(colon + 2);
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.remove_suffix(1);
    return text.empty() ? std::string(fallback) : std::string(text);
}
