// One progress line on standard error when it is a terminal and the work is
// long enough to be worth one: the files (or pages, images) of a command,
// and within one long file its pages.
#pragma once

// Starts counting `total` steps of `what` ("pages", "files").
void progress_begin(const char *what, int total);
void progress_step(int done);
// Clears the line; nothing stays behind on the terminal.
void progress_end();
// Clears the line before a message; the next step shows it again.
void progress_interrupt();

// Counts the pages of the file the current step works on: `total` of them,
// or -1 when not known in advance. Shown beside the steps, at most ten times
// a second; it works even while library output is being captured, since
// it writes to its own copy of the terminal's descriptor.
void progress_pages_begin(long total);
// One more page has been begun.
void progress_next_page();
void progress_pages_end();

// Work on a thread of a pool shows no progress of its own.
void progress_quiet_on_this_thread();
