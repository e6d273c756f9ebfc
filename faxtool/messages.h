// faxtool's diagnostics: "faxtool: FILE: reason" on standard error, and the
// capture of what library calls print, so that their texts become reasons.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "faxtool/kept_text.h"

// Prints "faxtool: FILE: reason" (or "faxtool: reason" for an empty file).
void report_failure(std::string_view file, std::string_view reason);

// Messages of work on a thread of a pool, kept there to be printed in input
// order; first_reason becomes the input's reason in a report.
struct kept_messages {
    kept_text text;
    std::string first_reason;
};
// Keeps this thread's messages in `kept`; nullptr prints them again.
void keep_messages(kept_messages *kept);

// Held while descriptors 1 and 2 are pointed elsewhere by a capture, and by
// whoever writes to them while other threads may capture.
std::recursive_mutex &standard_streams_lock();

// A command that has told the user standard output failed says so here, so
// that the final check of standard output does not say it again.
void note_stdout_failure_reported();
bool stdout_failure_reported();

// What a library call wrote to standard output and error while it ran.
struct captured_text {
    std::string text;
};

// Runs body with descriptors 1 and 2 pointed at a file in memory (no file
// system is touched) and returns what was written, so library messages
// neither reach the user as they are nor mix into faxtool's own output.
// The descriptors are restored whatever happened.
template <class F>
captured_text capture_library_output(F &&body);

// The parts of the capture, for the template above.
int begin_library_capture();
captured_text end_library_capture(int scratch);

template <class F>
captured_text capture_library_output(F &&body)
{
    std::lock_guard<std::recursive_mutex> hold(standard_streams_lock());
    const int scratch = begin_library_capture();
    body();
    return end_library_capture(scratch);
}

// The last non-empty line of a library message without its "function: "
// prefix and trailing newline; fallback when there is none.
std::string library_reason(const captured_text &captured, std::string_view fallback);
