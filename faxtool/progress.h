// One progress line on standard error when it is a terminal and the work is
// long enough to be worth one.
#pragma once

// Starts counting `total` steps of `what` ("pages", "files").
void progress_begin(const char *what, int total);
void progress_step(int done);
// Clears the line; nothing stays behind on the terminal.
void progress_end();
// Clears the line before a message; the next step shows it again.
void progress_interrupt();
