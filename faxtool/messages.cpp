// Diagnostics and the capture of library messages.
#include "faxtool/messages.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "faxtool/progress.h"
#include "util/fdio.h"

void report_failure(std::string_view file, std::string_view reason)
{
    std::fflush(stdout);
    progress_interrupt();
    std::string line = "faxtool: ";
    if (!file.empty()) {
        line += file;
        line += ": ";
    }
    line += reason;
    line += '\n';
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

// Descriptors 1 and 2 as they were before a capture.
struct capture_state {
    int saved_out = -1;
    int saved_err = -1;
};

capture_state capture;

}  // namespace

int begin_library_capture()
{
    std::fflush(stdout);
    std::fflush(stderr);
    FILE *scratch = std::tmpfile();
    if (scratch == nullptr)
        return -1;  // messages then go out as they are
    const int fd = dup(fileno(scratch));
    std::fclose(scratch);
    if (fd < 0)
        return -1;
    capture.saved_out = dup(1);
    capture.saved_err = dup(2);
    dup2(fd, 1);
    dup2(fd, 2);
    return fd;
}

captured_text end_library_capture(int scratch)
{
    captured_text result;
    if (scratch < 0)
        return result;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(capture.saved_out, 1);
    dup2(capture.saved_err, 2);
    close(capture.saved_out);
    close(capture.saved_err);
    capture.saved_out = capture.saved_err = -1;
    if (lseek(scratch, 0, SEEK_SET) == 0) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = fd_read_fully(scratch, buffer, sizeof buffer);
            if (got <= 0)
                break;
            // A chatty library cannot make us keep more than a little of it.
            if (result.text.size() < 65536)
                result.text.append(buffer, static_cast<std::size_t>(got));
            if (static_cast<std::size_t>(got) < sizeof buffer)
                break;
        }
    }
    close(scratch);
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
